// pairmend-fcs: its command line and batch sheets, the default channel choice on real files, and
// whole corrections: the corrected values equal pairmend's for the same transformed values, the
// written files keep the original values, and a failed run leaves the output folder as it was.

#include "cli_harness.hpp"
#include "fcs_tool.hpp"
#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs_study/batch_plan.hpp"
#include "pairmend/fcs_study/channel_choice.hpp"
#include "pairmend/fcs_study/correct_study.hpp"
#include "pairmend/fcs_study/prepare_correction.hpp"
#include "pairmend/fcs_study/run_correction.hpp"
#include "pairmend/output_transaction.hpp"
#include "run_mnn.hpp"
#include "tool_options.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pairmend::fcs_tool::CorrectCommand;
using pairmend_test::read_text;
using pairmend_test::run_program;
using pairmend_test::RunResult;
using pairmend_test::split_lines;
using pairmend_test::TempDir;
using pairmend_test::write_text;
using ::testing::HasSubstr;

const std::string fcs_binary = PAIRMEND_FCS_BINARY;
const std::string shared_data = PAIRMEND_SHARED_DATA;
const std::string mass_folder = shared_data + "/fcs/mass_cytometry";
const std::string flow_folder = shared_data + "/fcs/flow_cytometry";

// The 37 protein markers with a name in the mass-cytometry files, in file order.
const std::vector<std::string> mass_markers = {
    "CD235ab_CD61", "CD45",     "CD66",  "CD7",   "CD19",  "CD45RA", "CD11b", "CD4", "CD8a",  "CD11c",
    "CD123",        "CREB",     "STAT5", "p38",   "TCRgd", "STAT1",  "STAT3", "S6",  "CXCR3", "CD161",
    "CD33",         "MAPKAPK2", "Tbet",  "FoxP3", "IkB",   "CD16",   "NFkB",  "ERK", "CCR9",  "CD25",
    "CD3",          "CCR7",     "CD15",  "CCR2",  "HLADR", "CD14",   "CD56"};

std::vector<std::string> mass_files() {
    std::vector<std::string> files;
    for (const char* patient : {"021", "026", "028", "034"}) {
        for (const char* run : {"1", "2"}) {
            files.push_back(mass_folder + "/Gates_PTLG" + patient + "_Unstim_Control_" + run + ".fcs");
        }
    }
    return files;
}

std::string mass_run_sheet(const TempDir& dir) {
    std::string text = "file,batch\n";
    for (const std::string& file : mass_files()) {
        const std::string name = fs::path(file).filename().string();
        text += name + ",run " + name.substr(name.size() - 5, 1) + "\n";
    }
    const std::string path = dir.file("runs.csv");
    write_text(path, text);
    return path;
}

bool have_shared_data() {
    return fs::exists(mass_folder) && fs::exists(flow_folder);
}

// Every entry of a folder, for checking that a failed run left it as it was.
std::set<std::string> folder_entries(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A small FCS file: float channels named as given, values event after event.
void write_small_fcs(const std::string& path, const std::vector<std::string>& names,
                     const std::vector<float>& values, const std::string& instrument = "") {
    pairmend::fcs::FcsOutput output;
    for (const std::string& name : names) {
        pairmend::fcs::Channel channel;
        channel.name = name;
        channel.label = name == "Time" ? "" : "marker " + name;
        channel.range = 100000;
        output.channels.push_back(channel);
    }
    if (!instrument.empty()) {
        output.keywords.emplace_back("$CYT", instrument);
    }
    output.num_events = values.size() / names.size();
    output.values = values;
    pairmend::fcs::write_fcs(path, output);
}

// Two populations in channels A and B, the second batch shifted on the arcsinh scale; a time
// channel first. Seeded, so the files are fixed.
std::vector<float> two_population_events(int batch, std::size_t events, bool with_time = true) {
    std::mt19937_64 rng(20261208 + static_cast<unsigned>(batch));
    std::normal_distribution<double> noise(0.0, 0.15);
    std::vector<float> values;
    for (std::size_t e = 0; e < events; ++e) {
        const double centre = e % 2 == 0 ? 1.0 : 4.0;
        const double shift = batch == 1 ? 0.0 : 0.4;
        if (with_time) {
            values.push_back(static_cast<float>(e));
        }
        values.push_back(static_cast<float>(std::sinh(centre + shift + noise(rng)) * 5));
        values.push_back(static_cast<float>(std::sinh(centre - shift + noise(rng)) * 5));
    }
    return values;
}

struct SmallRun {
    TempDir dir;
    std::string first;
    std::string second;
    std::string out;
};

// Two small files from a mass cytometer (so the default cofactor applies) in a fresh folder.
std::unique_ptr<SmallRun> small_run() {
    auto run = std::make_unique<SmallRun>();
    fs::create_directory(run->dir.path() / "in");
    run->first = run->dir.file("in/one.fcs");
    run->second = run->dir.file("in/two.fcs");
    run->out = run->dir.file("out");
    write_small_fcs(run->first, {"Time", "A", "B"}, two_population_events(1, 200), "Helios");
    write_small_fcs(run->second, {"Time", "A", "B"}, two_population_events(2, 200), "Helios");
    return run;
}

struct ToolResult {
    int status;
    std::string out;
    std::string err;
};

ToolResult run_tool(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = pairmend::fcs_tool::run_fcs_tool(args, out, err);
    return {status, out.str(), err.str()};
}

std::string error_of(const std::vector<std::string>& args) {
    const ToolResult result = run_tool(args);
    EXPECT_NE(result.status, 0) << result.err;
    const std::string first_line = split_lines(result.err).empty() ? "" : split_lines(result.err).front();
    return first_line;
}

std::string six_digits(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::general, 6);
    return std::string(buffer, result.ptr);
}

std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : split_lines(text)) {
        std::vector<std::string> cells;
        std::stringstream stream(line);
        std::string cell;
        while (std::getline(stream, cell, ',')) {
            cells.push_back(cell);
        }
        rows.push_back(cells);
    }
    return rows;
}

TEST(FcsToolCommandLine, WrongArgumentsAreRefusedWithTheUsageText) {
    const ToolResult none = run_tool({});
    EXPECT_EQ(none.status, 2);
    EXPECT_THAT(none.err, HasSubstr("Usage: pairmend-fcs"));

    EXPECT_EQ(run_tool({"--help"}).status, 0);
    EXPECT_THAT(run_tool({"--help"}).out, HasSubstr("pairmend-fcs correct --out DIR"));

    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"frobnicate"},
         "Error: Unknown command \"frobnicate\": use info, export, correct, fit, apply or extend."},
        {{"correct", "a.fcs", "b.fcs"},
         "Error: pairmend-fcs correct needs --out DIR, the folder for the corrected files."},
        {{"correct", "--out", "o"}, "Error: pairmend-fcs correct needs the FCS files to correct."},
        {{"correct", "--out"}, "Error: The option --out needs a value."},
        {{"correct", "--out", "o", "--speed", "a.fcs"}, "Error: pairmend-fcs correct has no option --speed."},
        {{"correct", "--out", "o", "--neighbors", "0", "a.fcs"},
         "Error: The value \"0\" of --neighbors must be a whole number from 1 to 2147483647."},
        {{"correct", "--out", "o", "--robust-iterations", "-1", "a.fcs"},
         "Error: The value \"-1\" of --robust-iterations must be a whole number from 0 to 2147483647."},
        {{"correct", "--out", "o", "--robust-trim", "1.5", "a.fcs"},
         "Error: The value \"1.5\" of --robust-trim must be a number from 0 to 1."},
        {{"correct", "--out", "o", "--cofactor", "0", "a.fcs"},
         "Error: The value \"0\" of --cofactor must be a positive number."},
        {{"correct", "--out", "o", "--cofactor", "nan", "a.fcs"},
         "Error: The value \"nan\" of --cofactor must be a positive number."},
        {{"correct", "--out", "o", "--mads", "2x", "a.fcs"},
         "Error: The value \"2x\" of --mads must be a number of at least 0."},
        {{"correct", "--out", "o", "--order", "random", "a.fcs"},
         "Error: The value \"random\" of --order must be automatic or input."},
        {{"correct", "--out", "o", "--reference-policy", "maxrss", "a.fcs"},
         "Error: The value \"maxrss\" of --reference-policy must be one of Input, MaxSize, MaxVariance and "
         "MaxRSS."},
        {{"correct", "--out", "o", "--approximate=yes", "a.fcs"},
         "Error: The option --approximate takes no value."},
        {{"correct", "--out", "o", "--channels", "CD3,,CD4", "a.fcs"},
         "Error: The channel list \"CD3,,CD4\" of --channels has an empty name; separate the names by single "
         "commas."},
        {{"correct", "--out", "o", "--threads", "0", "a.fcs"},
         "Error: The value \"0\" of --threads must be a whole number from 1 to 2147483647."},
        {{"export", "a.fcs"},
         "Error: pairmend-fcs export needs two file names, the FCS file and the CSV file to write."},
        {{"export", "--decimal", "a.fcs", "b.csv"}, "Error: pairmend-fcs export has no option --decimal."},
        {{"info"}, "Error: pairmend-fcs info needs one or more FCS files."},
    };
    for (const auto& [args, message] : cases) {
        const ToolResult result = run_tool(args);
        EXPECT_EQ(result.status, 2) << message;
        EXPECT_EQ(split_lines(result.err).front(), message);
        EXPECT_THAT(result.err, HasSubstr("Usage: pairmend-fcs")) << message;
    }
}

TEST(FcsToolCommandLine, EveryEngineOptionReachesTheEngine) {
    const CorrectCommand options = pairmend::fcs_tool::parse_correct_command({"--out=o",
                                                                              "--num-neighbors",
                                                                              "7",
                                                                              "--mads=2.5",
                                                                              "--robust-iterations",
                                                                              "4",
                                                                              "--robust-trim",
                                                                              "0.1",
                                                                              "--approximate",
                                                                              "--order",
                                                                              "input",
                                                                              "--reference-policy",
                                                                              "MaxVariance",
                                                                              "--threads",
                                                                              "3",
                                                                              "--channels",
                                                                              "CD3,CD19",
                                                                              "--cofactor",
                                                                              "150",
                                                                              "--report",
                                                                              "r.html",
                                                                              "a.fcs",
                                                                              "--",
                                                                              "--odd-name.fcs"});
    EXPECT_EQ(options.output.out_dir, "o");
    EXPECT_EQ(options.study.files, (std::vector<std::string>{"a.fcs", "--odd-name.fcs"}));
    EXPECT_EQ(options.study.channels, (std::vector<std::string>{"CD3", "CD19"}));
    EXPECT_EQ(options.study.cofactor, 150.0);
    EXPECT_EQ(options.output.report, "r.html");
    ASSERT_TRUE(options.threads.has_value());

    const mnncorrect::Options engine =
        pairmend::fcs_study::configure_engine(options.learning.engine, *options.threads);
    EXPECT_EQ(engine.num_neighbors, 7);
    EXPECT_EQ(engine.num_mads, 2.5);
    EXPECT_EQ(engine.robust_iterations, 4);
    EXPECT_EQ(engine.robust_trim, 0.1);
    EXPECT_TRUE(engine.approximate);
    EXPECT_FALSE(engine.automatic_order);
    EXPECT_EQ(engine.reference_policy, mnncorrect::MaxVariance);
    EXPECT_EQ(engine.num_threads, 3);

    // Without options: pairmend's defaults and thread count.
    const CorrectCommand plain = pairmend::fcs_tool::parse_correct_command({"--out", "o", "a.fcs"});
    EXPECT_FALSE(plain.threads.has_value());
    const mnncorrect::Options defaults =
        pairmend::fcs_study::configure_engine(plain.learning.engine, pairmend::default_engine_threads());
    const QN::MnnSettings pairmend_defaults;
    const mnncorrect::Options pairmend = QN::configure_engine(pairmend_defaults);
    EXPECT_EQ(defaults.num_neighbors, pairmend.num_neighbors);
    EXPECT_EQ(defaults.num_mads, pairmend.num_mads);
    EXPECT_EQ(defaults.robust_iterations, pairmend.robust_iterations);
    EXPECT_EQ(defaults.robust_trim, pairmend.robust_trim);
    EXPECT_EQ(defaults.reference_policy, pairmend.reference_policy);
    EXPECT_EQ(defaults.num_threads, pairmend.num_threads);
}

TEST(FcsToolBatchSheet, AssignsFilesByPathOrBaseNameInNaturalOrder) {
    const TempDir dir;
    const std::vector<std::string> files = {"data/a.fcs", "data/b.fcs", "other/c.fcs", "d.fcs"};
    const std::string path = dir.file("sheet.csv");
    write_text(path, "File , Batch\r\n\ndata/a.fcs, run 10\r\nb.fcs,run 2\nc.fcs ,run 10\n d.fcs,run 9\n");
    const pairmend::fcs_study::BatchPlan plan =
        pairmend::fcs_study::batches_from_sheet(files, pairmend::fcs_study::read_batch_sheet(path));
    EXPECT_EQ(plan.names, (std::vector<std::string>{"run 2", "run 9", "run 10"}));
    EXPECT_EQ(plan.file_batch, (std::vector<int>{3, 1, 3, 2}));

    EXPECT_TRUE(pairmend::fcs_study::natural_less("B2", "b1") !=
                pairmend::fcs_study::natural_less("b1", "B2"));
    EXPECT_TRUE(pairmend::fcs_study::natural_less("run 1", "run 01") !=
                pairmend::fcs_study::natural_less("run 01", "run 1"));
    EXPECT_TRUE(pairmend::fcs_study::natural_less("day", "day 1"));
}

TEST(FcsToolBatchSheet, RefusesSheetsThatDoNotMatchTheFiles) {
    const TempDir dir;
    const std::vector<std::string> files = {"data/a.fcs", "data/b.fcs"};
    const std::string path = dir.file("sheet.csv");
    const auto message = [&](const std::string& text) {
        write_text(path, text);
        try {
            pairmend::fcs_study::batches_from_sheet(files, pairmend::fcs_study::read_batch_sheet(path));
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message("file,batch\na.fcs,1\n"), "The input file data/b.fcs is not in the batch sheet " +
                                                    path + ". Add a line \"b.fcs,<batch>\" for it.");
    EXPECT_EQ(message("file,batch\na.fcs,1\nb.fcs,2\ndata/a.fcs,3\n"),
              "The batch sheet " + path +
                  " names the input file data/a.fcs twice (lines 2 and 4). Each file belongs to exactly one "
                  "batch.");
    EXPECT_EQ(
        message("file,batch\na.fcs,1\nb.fcs,2\nc.fcs,2\n"),
        "Line 4 of the batch sheet " + path +
            " names c.fcs, which is not among the input files. Add the file to the command line or remove "
            "the line from the sheet.");
    EXPECT_EQ(message("file,batch\na.fcs,1\nb.fcs\n"),
              "Line 3 of the batch sheet " + path +
                  " reads \"b.fcs\", but every line after the header must be a file name and a batch name "
                  "separated by one comma (file,batch).");
    EXPECT_EQ(message("a.fcs,1\nb.fcs,2\n"),
              "The first line of the batch sheet " + path +
                  " names the input file a.fcs, but it is read as the header line. "
                  "Add a header line \"file,batch\" at the top of the sheet.");
    EXPECT_EQ(message("file,batch\n"), "The batch sheet " + path +
                                           " names no files: it must hold a header line, then one line "
                                           "\"file,batch\" per input file.");
    EXPECT_EQ(message("file,batch\na.fcs,1\nb.fcs,2\n"), "no error");

    // A condition column gives every file a condition; an empty cell names its line.
    EXPECT_EQ(message("file,batch,condition\na.fcs,1,mock\nb.fcs,2, \n"),
              "Line 3 of the batch sheet " + path +
                  " gives the file b.fcs no condition, but the sheet has a condition column: give every file "
                  "its condition.");
    write_text(path, "File,Batch,Condition\nb.fcs,1,virus 2\na.fcs,2,mock\n");
    const pairmend::fcs_study::BatchPlan plan =
        pairmend::fcs_study::batches_from_sheet(files, pairmend::fcs_study::read_batch_sheet(path));
    EXPECT_EQ(plan.conditions, (std::vector<std::string>{"mock", "virus 2"}));
    EXPECT_EQ(plan.file_condition, (std::vector<int>{0, 1}));
}

TEST(FcsToolChannels, DefaultChoiceOnRealFiles) {
    if (!have_shared_data()) {
        GTEST_SKIP() << "the real FCS files are not present";
    }
    const pairmend::fcs::FcsFile mass = pairmend::fcs::read_fcs(mass_files().front());
    EXPECT_TRUE(pairmend::fcs_study::is_mass_cytometry(mass));
    std::vector<std::string> chosen;
    for (const std::size_t i : pairmend::fcs_study::default_channels(mass)) {
        chosen.push_back(mass.channels[i].label);
    }
    EXPECT_EQ(chosen, mass_markers);

    const pairmend::fcs::FcsFile flow = pairmend::fcs::read_fcs(flow_folder + "/Mock_01_A.fcs");
    EXPECT_FALSE(pairmend::fcs_study::is_mass_cytometry(flow));
    EXPECT_EQ(pairmend::fcs_study::default_channels(flow).size(), flow.channels.size());

    // Scatter and time are left out of conventional flow files.
    const std::string fortessa =
        shared_data + "/fcs/instruments/FCS_3.0_Fortessa_PBS_Specimen_001_A1_A01.fcs";
    if (fs::exists(fortessa)) {
        const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(fortessa);
        std::vector<std::string> names;
        for (const std::size_t i : pairmend::fcs_study::default_channels(file)) {
            names.push_back(file.channels[i].name);
        }
        EXPECT_EQ(names, (std::vector<std::string>{"FITC-A", "PerCP-Cy5-5-A", "AmCyan-A", "PE-Texas Red-A"}));
    }

    // Channels are found by $PnN or $PnS; a name that is neither is refused with the file's name.
    EXPECT_EQ(mass.channels[pairmend::fcs_study::find_channel(mass, "CD19")].name, "Nd142Di");
    EXPECT_EQ(mass.channels[pairmend::fcs_study::find_channel(mass, "Nd142Di")].label, "CD19");
    EXPECT_THROW(
        {
            try {
                pairmend::fcs_study::find_channel(mass, "CD999");
            } catch (const std::runtime_error& error) {
                EXPECT_EQ(std::string(error.what()),
                          mass.path +
                              " has no channel named \"CD999\" (neither as $PnN nor as $PnS). Check the "
                              "spelling, or run pairmend-fcs info " +
                              mass.path + " to see its channels.");
                throw;
            }
        },
        std::runtime_error);
}

TEST(FcsToolChannels, BookkeepingChannelsByNameAndLabel) {
    const auto reason = [](const std::string& name, const std::string& label, bool mass) {
        pairmend::fcs::Channel channel;
        channel.name = name;
        channel.label = label;
        return pairmend::fcs_study::default_exclusion_reason(channel, mass);
    };
    EXPECT_EQ(reason("Time", "", false), "time");
    EXPECT_EQ(reason("FL8-H", "Time (10.24 sec.)", false), "time");
    EXPECT_EQ(reason("Event #", "", false), "event counter or length");
    EXPECT_EQ(reason("SSC-A", "", false), "scatter");
    EXPECT_EQ(reason("Residual", "", true), "pulse shape");
    EXPECT_EQ(reason("Nd142Di_mnn", "CD19 (MNN)", true), "corrected before");
    EXPECT_EQ(reason("Pt195Di", "195Pt_cisplatin", true), "viability");
    EXPECT_EQ(reason("Pd102Di", "BC1", true), "barcode");
    EXPECT_EQ(reason("Ir191Di", "DNA1", true), "DNA");
    EXPECT_EQ(reason("Ce140Di", "", true), "no marker label");
    EXPECT_EQ(reason("Nd142Di", "CD19", true), "");
    EXPECT_EQ(reason("Timeline", "", false), "");
    EXPECT_EQ(reason("FITC-A", "", false), "");
    EXPECT_EQ(reason("Ce140Di", "", false), "");
}

TEST(FcsToolCorrect, SmallFilesGetTheirCorrectedChannelsAndKeepTheirValues) {
    const auto run = small_run();
    const ToolResult result = run_tool({"correct", "--out", run->out, run->first, run->second});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_THAT(result.err,
                HasSubstr("Correcting 2 channels (the default choice) as arcsinh(value / 5), cofactor "
                          "default for mass cytometry (Helios):"));
    EXPECT_THAT(result.err, HasSubstr("marker A (A), marker B (B)"));
    EXPECT_THAT(result.err, HasSubstr("Batch 1 = one.fcs\n"));
    EXPECT_THAT(result.err, HasSubstr("Merge step 2: batch "));
    EXPECT_THAT(result.err, HasSubstr("mutual pairs"));
    EXPECT_EQ(folder_entries(run->out), (std::set<std::string>{"one.fcs", "two.fcs"}));

    for (const std::string& input : {run->first, run->second}) {
        const pairmend::fcs::FcsFile source = pairmend::fcs::read_fcs(input);
        const pairmend::fcs::FcsFile written =
            pairmend::fcs::read_fcs(run->out + "/" + fs::path(input).filename().string());
        ASSERT_EQ(written.channels.size(), 5u);
        EXPECT_EQ(written.channels[3].name, "A_mnn");
        EXPECT_EQ(written.channels[3].label, "marker A (MNN)");
        EXPECT_EQ(written.channels[4].name, "B_mnn");
        EXPECT_EQ(written.keyword("$CYT"), "Helios");
        EXPECT_EQ(written.keyword("PAIRMEND_COFACTOR"), "5");
        ASSERT_EQ(written.num_events, source.num_events);
        for (std::size_t e = 0; e < source.num_events; ++e) {
            for (std::size_t c = 0; c < 3; ++c) {
                ASSERT_EQ(written.raw[e * 5 + c], source.raw[e * 3 + c]) << "event " << e << " channel " << c;
            }
        }
    }

    // The two batches differ by 0.4 in A on the arcsinh scale; the correction closes most of that gap.
    const auto mean_a = [](const std::string& path, std::size_t channel, std::size_t width) {
        const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
        double sum = 0;
        for (std::size_t e = 0; e < file.num_events; ++e) {
            sum += std::asinh(file.raw[e * width + channel] / 5);
        }
        return sum / static_cast<double>(file.num_events);
    };
    const double before = mean_a(run->second, 1, 3) - mean_a(run->first, 1, 3);
    const double after = mean_a(run->out + "/two.fcs", 3, 5) - mean_a(run->out + "/one.fcs", 3, 5);
    EXPECT_NEAR(before, 0.4, 0.05);
    EXPECT_LT(std::fabs(after), 0.5 * std::fabs(before)) << "before " << before << ", after " << after;
}

// The report of a pairmend-fcs run carries the channels' names, its JSON figures appear beside it
// together with the corrected files, and the noise floor is measured with the run's own settings.
TEST(FcsToolCorrect, ReportAndItsFiguresAreWrittenWithTheCorrectedFiles) {
    const auto run = small_run();
    const ToolResult result = run_tool({"correct", "--out", run->out, "--neighbors", "10", "--report",
                                        run->out + "/qc.html", run->first, run->second});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(folder_entries(run->out), (std::set<std::string>{"one.fcs", "two.fcs", "qc.html", "qc.json"}));
    const std::string html = read_text(run->out + "/qc.html");
    EXPECT_THAT(html, HasSubstr("marker A (A)"));
    // The time table names the report once, as the head of its parts.
    const std::string report_row = "<tr><td>Quality-control report</td>";
    EXPECT_NE(html.find(report_row), std::string::npos);
    EXPECT_EQ(html.find(report_row), html.rfind(report_row));

    rapidjson::Document figures;
    figures.Parse(read_text(run->out + "/qc.json").c_str());
    ASSERT_FALSE(figures.HasParseError());
    ASSERT_TRUE(figures["parameters"].IsArray());
    ASSERT_EQ(figures["parameters"].Size(), 2u);
    EXPECT_STREQ(figures["parameters"][0].GetString(), "marker A (A)");
    ASSERT_TRUE(figures["noise_floor"]["displacement"].IsNumber()) << "the noise floor was not measured";
    EXPECT_GT(figures["noise_floor"]["displacement"].GetDouble(), 0.0);
    EXPECT_EQ(figures["batches"].Size(), 2u);
}

TEST(FcsToolCorrect, RefusalsLeaveTheOutputFolderAsItWas) {
    const auto run = small_run();
    const std::string lacking = run->dir.file("in/lacking.fcs");
    write_small_fcs(lacking, {"Time", "A"}, std::vector<float>(40, 1.0f), "Helios");
    const std::string bad = run->dir.file("in/bad.fcs");
    std::vector<float> values = two_population_events(2, 50);
    values[3 * 17 + 2] = std::numeric_limits<float>::infinity();
    write_small_fcs(bad, {"Time", "A", "B"}, values, "Helios");
    const std::string flow = run->dir.file("in/flow.fcs");
    write_small_fcs(flow, {"Time", "A", "B"}, two_population_events(2, 50), "LSRII");
    fs::create_directory(run->dir.path() / "in2");
    const std::string same_name = run->dir.file("in2/one.fcs");
    fs::copy_file(run->first, same_name);

    const std::string apart = run->dir.file("apart.csv");
    write_text(apart, "file,batch,condition\none.fcs,1,mock\ntwo.fcs,2,virus\n");
    const std::string empty_cell = run->dir.file("empty.csv");
    write_text(empty_cell, "file,batch,condition\none.fcs,1,mock\ntwo.fcs,2\n");

    // A folder that exists keeps exactly what it held; a missing one is not created.
    fs::create_directory(run->out);
    write_text(run->out + "/keep.txt", "kept");
    const std::string missing = run->dir.file("not-there/deeper");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--channels=A,B", run->first, lacking},
         "Error: " + lacking + " has no channel named \"B\" (neither as $PnN nor as $PnS)."},
        {{run->first, bad},
         "Error: Event 18 of " + bad +
             " has the value inf in the channel marker B (B), which is "
             "not a finite number."},
        {{run->first, flow},
         "Error: No --cofactor was given, and " + flow +
             " does not come from a mass cytometer (instrument LSRII), for which pairmend-fcs "
             "would use 5."},
        {{run->first, same_name},
         "Error: The input files " + run->first + " and " + same_name +
             " have the same name one.fcs, so both corrected files would be "},
        {{run->first, run->second, run->first},
         "Error: The input file " + run->first + " is named twice on the command line. Name each file once."},
        {{run->first},
         "Error: All input files are in one batch (one.fcs), but correction needs at least two batches."},
        {{run->first, run->dir.file("in/absent.fcs")}, "Error: "},
        {{"--batches=" + apart, run->first, run->second},
         "Error: The batch \"1\" holds only mock, which no other batch holds, so its batch effect cannot be "
         "told from its biology"},
        {{"--batches=" + empty_cell, run->first, run->second},
         "Error: Line 3 of the batch sheet " + empty_cell + " gives the file two.fcs no condition"},
    };
    for (const std::string& out : {run->out, missing}) {
        for (const auto& [files, message] : cases) {
            std::vector<std::string> args = {"correct", "--out", out, "--report", out + "/report.html"};
            args.insert(args.end(), files.begin(), files.end());
            const ToolResult result = run_tool(args);
            EXPECT_EQ(result.status, 1);
            EXPECT_THAT(result.err, HasSubstr(message));
            EXPECT_EQ(split_lines(result.err).back().rfind("Error: ", 0), 0u) << result.err;
        }
    }
    EXPECT_EQ(folder_entries(run->out), (std::set<std::string>{"keep.txt"}));
    EXPECT_FALSE(fs::exists(run->dir.path() / "not-there"));

    // An output folder that is a file, an output that would replace its input: refused before
    // anything is read.
    write_text(run->dir.file("plain"), "not a folder");
    EXPECT_EQ(error_of({"correct", "--out", run->dir.file("plain"), run->first, run->second}),
              "Error: The output folder " + run->dir.file("plain") + " exists but is not a folder.");
    EXPECT_EQ(error_of({"export", run->first, run->dir.file("in/../in/one.fcs")}),
              "Error: The table " + run->dir.file("in/../in/one.fcs") + " would replace the FCS file " +
                  run->first + ". Choose another name for the table.");
    EXPECT_EQ(pairmend::fcs::read_fcs(run->first).num_events, 200u);
    const std::string replaced = error_of({"correct", "--out", run->dir.file("in"), run->first, run->second});
    EXPECT_EQ(replaced, "Error: The corrected file " + run->dir.file("in") +
                            "/one.fcs would replace the input file " + run->first +
                            ". Choose an --out folder that holds none of the input files.");
}

TEST(FcsToolCorrect, AFailingWriteLeavesNoNewFile) {
    const auto run = small_run();
    fs::create_directory(run->out);
    write_text(run->out + "/keep.txt", "kept");
    // Every FCS file fits under the size limit, the report does not: the failure comes after all
    // corrected files were written under their temporary names.
    const RunResult result = run_program(
        fcs_binary,
        {"correct", "--out", run->out, "--report", run->out + "/report.html", run->first, run->second}, "",
        {}, {{RLIMIT_FSIZE, 16 * 1024}});
    EXPECT_EQ(result.exit_status, 1) << result.err;
    EXPECT_THAT(result.err, HasSubstr("Wrote " + run->out + "/two.fcs"));
    EXPECT_THAT(result.err, HasSubstr("Error: Unable to write the quality-control report to "));
    EXPECT_EQ(folder_entries(run->out), (std::set<std::string>{"keep.txt"}));
}

TEST(FcsToolCorrect, AnInterruptedRunRemovesTheFolderItCreated) {
    if (!have_shared_data()) {
        GTEST_SKIP() << "the real FCS files are not present";
    }
    const TempDir dir;
    const std::string out = dir.file("new/deeper");
    std::vector<std::string> args = {fcs_binary, "correct", "--out", out, "--cofactor", "500"};
    for (const auto& entry : fs::directory_iterator(flow_folder)) {
        args.push_back(entry.path().string());
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // The folder is made before the engine starts, which then runs for many seconds on these files.
    for (int wait = 0; wait < 4000 && !fs::exists(out); ++wait) {
        usleep(5000);
    }
    const bool created = fs::exists(out);
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(created);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_FALSE(fs::exists(dir.path() / "new"));
}

TEST(FcsToolCorrect, MassCytometryRunsMatchPairmendOnTheSameTransformedValues) {
    if (!have_shared_data()) {
        GTEST_SKIP() << "the real FCS files are not present";
    }
    const TempDir dir;
    pairmend::fcs_study::StudyFiles study;
    study.files = mass_files();
    study.batch_sheet = mass_run_sheet(dir);
    study.channels = mass_markers;
    study.cofactor = 5;
    const pairmend::fcs_study::CorrectedOutput output{dir.file("out"), ""};
    const pairmend::fcs_study::LearnSettings learning;
    std::ostringstream lines;
    pairmend::fcs_study::Progress progress(lines);
    const pairmend::fcs_study::CorrectionInput input =
        pairmend::fcs_study::prepare_correction(study, progress);
    ASSERT_EQ(input.ndim, 37);
    ASSERT_EQ(input.nobs, 8000u);
    EXPECT_EQ(input.study.batches.names, (std::vector<std::string>{"run 1", "run 2"}));

    // pairmend on a table of the same transformed values, written to read back exactly, with the
    // batch numbers as labels.
    std::string table;
    for (std::size_t j = 0; j < 37; ++j) {
        table += mass_markers[j] + ",";
    }
    table += "batch,event\n";
    char number[32];
    for (std::size_t e = 0; e < input.nobs; ++e) {
        for (std::size_t j = 0; j < 37; ++j) {
            const double value = input.data[e * 37 + j];
            // The transform is arcsinh(value / 5) of the file's values, in the chosen order.
            const std::size_t file = e / 1000;
            const double source = input.linear[file][(e % 1000) * 55 + input.study.channels.chosen[file][j]];
            ASSERT_EQ(value, std::asinh(source / 5));
            table.append(number, std::to_chars(number, number + sizeof(number), value).ptr);
            table += ',';
        }
        table += std::to_string(input.batch_ids[e] + 1) + "," + std::to_string(e + 1) + "\n";
    }
    write_text(dir.file("input.csv"), table);
    write_text(dir.file("job.json"), pairmend_test::job_json(dir.file("input.csv"), dir.file("output.csv"),
                                                             dir.file("summary.txt"), "\"run_ID\": \"FCS\""));
    const RunResult pairmend = run_program(PAIRMEND_BINARY, {dir.file("job.json")});
    ASSERT_EQ(pairmend.exit_status, 0) << pairmend.out;
    ASSERT_THAT(read_text(dir.file("summary.txt")), HasSubstr("success"));
    const auto rows = csv_rows(read_text(dir.file("output.csv")));
    ASSERT_EQ(rows.size(), input.nobs + 1);

    const pairmend::fcs_study::CorrectionResult result =
        pairmend::fcs_study::run_correction(input, learning, 2, progress);
    for (std::size_t e = 0; e < input.nobs; ++e) {
        ASSERT_EQ(rows[e + 1].size(), 37u);
        for (std::size_t j = 0; j < 37; ++j) {
            ASSERT_EQ(six_digits(result.corrected[e * 37 + j]), rows[e + 1][j])
                << "event " << e + 1 << ", " << mass_markers[j];
        }
    }
    EXPECT_THAT(lines.str(), HasSubstr("Merge step 2: batch 1 (run 1), 4000 events, joined with"));

    // The written files hold the original values and the corrected ones on the linear scale.
    pairmend::fcs_study::correct_study(study, learning, output, 2, progress);
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        const pairmend::fcs::FcsFile source = pairmend::fcs::read_fcs(study.files[f]);
        const pairmend::fcs::FcsFile written =
            pairmend::fcs::read_fcs(output.out_dir + "/" + fs::path(study.files[f]).filename().string());
        ASSERT_EQ(written.channels.size(), 55u + 37u);
        EXPECT_EQ(written.channels[55 + 4].name, "Nd142Di_mnn");
        EXPECT_EQ(written.channels[55 + 4].label, "CD19 (MNN)");
        EXPECT_EQ(written.keyword("$CYT"), source.keyword("$CYT"));
        EXPECT_EQ(written.keyword("PAIRMEND_BATCH"), f % 2 == 0 ? "1 (run 1)" : "2 (run 2)");
        for (std::size_t e = 0; e < source.num_events; ++e) {
            for (std::size_t c = 0; c < 55; ++c) {
                ASSERT_EQ(written.raw[e * 92 + c], source.raw[e * 55 + c]);
            }
            for (std::size_t j = 0; j < 37; ++j) {
                const double back = std::asinh(written.raw[e * 92 + 55 + j] / 5);
                const double expected = std::stod(rows[f * 1000 + e + 1][j]);
                ASSERT_NEAR(back, expected, 1e-5 * std::fabs(expected) + 1e-9)
                    << "file " << f << " event " << e;
            }
        }
    }
}

TEST(FcsToolInfo, DescribesWrittenFilesAndGoesOnPastOneThatCannotBeRead) {
    const auto run = small_run();
    const std::string broken = run->dir.file("in/broken.fcs");
    write_text(broken, "FCS3.1    this is not an FCS file");
    const ToolResult result = run_tool({"info", run->first, broken, run->second});
    EXPECT_EQ(result.status, 1);
    // Both readable files are described in full: version, events, channels, data type, instrument.
    for (const std::string& file : {run->first, run->second}) {
        const std::size_t at = result.out.find(file + "\n");
        ASSERT_NE(at, std::string::npos) << result.out;
        EXPECT_EQ(split_lines(result.out.substr(at))[1],
                  "  FCS3.1, 200 events, 3 channels, 32-bit floating-point values, instrument Helios (mass "
                  "cytometry)");
    }
    EXPECT_NE(result.out.find("marker A"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("marker B"), std::string::npos) << result.out;
    const std::vector<std::string> errors = split_lines(result.err);
    ASSERT_EQ(errors.size(), 1u) << result.err;
    EXPECT_EQ(errors[0].rfind("Error: ", 0), 0u);
    EXPECT_NE(errors[0].find(broken), std::string::npos) << errors[0];

    const ToolResult readable = run_tool({"info", run->first});
    EXPECT_EQ(readable.status, 0);
    EXPECT_TRUE(readable.err.empty()) << readable.err;
    // The time channel is left out of the default choice and says why; A and B are chosen.
    const std::vector<std::string> lines = split_lines(readable.out);
    const auto line_of = [&lines](const std::string& name) {
        for (const std::string& line : lines) {
            if (line.find(" " + name + " ") != std::string::npos) {
                return line;
            }
        }
        return std::string();
    };
    EXPECT_NE(line_of("Time").find("no"), std::string::npos) << readable.out;
    EXPECT_NE(line_of("A").find("yes"), std::string::npos) << readable.out;
}

TEST(FcsToolExport, WrittenFileReadsBackExactlyWithQuotedNames) {
    const TempDir dir;
    const std::string path = dir.file("odd.fcs");
    // A name with a quote must come out as one CSV cell, the quote doubled.
    const std::vector<float> values{1.5f, -2.25f, 3.0e7f, 0.1f, 0.0f, -0.0f};
    write_small_fcs(path, {"FSC A", "CD\"3", "Time"}, values);
    const std::string out = dir.file("odd.csv");
    ASSERT_EQ(run_tool({"export", path, out}).status, 0);
    const std::vector<std::string> lines = split_lines(read_text(out));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "FSC A,\"CD\"\"3\",Time");
    // Every value is the shortest text that reads back as the stored float32.
    EXPECT_EQ(lines[1], "1.5,-2.25,3e+07");
    EXPECT_EQ(lines[2], "0.10000000149011612,0,-0");

    // An export that cannot be written leaves nothing at the path and says why.
    const ToolResult failed = run_tool({"export", path, dir.file("missing/odd.csv")});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("missing/odd.csv"), std::string::npos) << failed.err;
    EXPECT_EQ(folder_entries(dir.path()), (std::set<std::string>{"odd.csv", "odd.fcs"}));
}

TEST(FcsToolExport, RealFileReadsBackBitIdentical) {
    const std::string calibur = shared_data + "/fcs/instruments/Sample_Well_A02.fcs";
    if (!fs::exists(calibur)) {
        GTEST_SKIP() << "the real FCS files are not present";
    }
    const TempDir dir;
    const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(calibur);
    const std::vector<double> linear = file.linear_values();
    for (const bool raw : {false, true}) {
        const std::string out = dir.file(raw ? "raw.csv" : "linear.csv");
        std::vector<std::string> args = {"export", calibur, out};
        if (raw) {
            args.insert(args.begin() + 1, "--raw");
        }
        ASSERT_EQ(run_tool(args).status, 0);
        const auto rows = csv_rows(read_text(out));
        ASSERT_EQ(rows.size(), file.num_events + 1);
        EXPECT_EQ(rows[0], (std::vector<std::string>{"FSC-H", "SSC-H", "FL1-H", "FL2-H", "FL3-H", "FL2-A",
                                                     "FL2-W", "Time"}));
        const std::vector<double>& expected = raw ? file.raw : linear;
        for (std::size_t e = 0; e < file.num_events; ++e) {
            for (std::size_t c = 0; c < 8; ++c) {
                ASSERT_EQ(std::strtod(rows[e + 1][c].c_str(), nullptr), expected[e * 8 + c]);
            }
        }
    }
    // The log-amplified channels differ between the two.
    EXPECT_NE(read_text(dir.file("raw.csv")), read_text(dir.file("linear.csv")));
}

} // namespace
