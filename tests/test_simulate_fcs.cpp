// The simulated FCS study of pairmend-simulate --fcs: the files read back with the FCS library as a
// mass cytometer writes them and hold exactly the simulated values, the study follows its model
// (shared anchor, patients that differ, the table simulation's batch effects), the same seed gives
// the same bytes, bad command lines and unusable folders are refused without leaving anything
// behind, and pairmend-fcs corrects the study with its default channels and cofactor. With
// --spillover the study is a fluorescence cytometer's whose recorded matrix undoes the spill; with
// --conditions it has one file per batch and condition, named in the sheet's condition column.

#include "cli_harness.hpp"
#include "fcs_study_writer.hpp"
#include "mass_panel.hpp"
#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs/spillover.hpp"
#include "study.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define PAIRMEND_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PAIRMEND_TEST_ASAN 1
#endif
#endif

namespace {

namespace fs = std::filesystem;
// The FCS library, named once so that a move of its header or namespace is a change of two lines.
namespace fcs_io = pairmend::fcs;
using pairmend::tools::StudyOptions;
using pairmend_test::read_text;
using pairmend_test::run_program;
using pairmend_test::RunResult;
using pairmend_test::TempDir;
using pairmend_test::write_text;
using ::testing::HasSubstr;

const std::string simulate_binary = PAIRMEND_SIMULATE;
const std::string fcs_binary = PAIRMEND_FCS_BINARY;

std::vector<std::string> option_arguments(const StudyOptions& options) {
    return {"--events",
            std::to_string(options.events_per_file),
            "--dims",
            std::to_string(options.dims),
            "--batches",
            std::to_string(options.batches),
            "--files-per-batch",
            std::to_string(options.files_per_batch),
            "--populations",
            std::to_string(options.populations),
            "--seed",
            std::to_string(options.seed)};
}

RunResult simulate_study(const std::string& folder, const StudyOptions& options,
                         const std::vector<pairmend_test::ResourceLimit>& limits = {}) {
    std::vector<std::string> args = {"--fcs", folder};
    const auto rest = option_arguments(options);
    args.insert(args.end(), rest.begin(), rest.end());
    return run_program(simulate_binary, args, "", {}, limits);
}

std::set<std::string> folder_entries(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

StudyOptions small_study() {
    StudyOptions options;
    options.events_per_file = 300;
    options.dims = 12;
    options.batches = 2;
    options.files_per_batch = 2;
    options.populations = 3;
    options.seed = 7;
    return options;
}

TEST(SimulatedFcsStudy, FilesReadBackAsAMassCytometerWritesThemWithTheSimulatedValues) {
    const TempDir dir;
    const std::string folder = dir.file("study");
    const StudyOptions options = small_study();
    const RunResult run = simulate_study(folder, options);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("Batch sheet: " + folder + "/batches.csv"));

    const std::set<std::string> expected_entries = {
        "batch1_sample1.fcs", "batch1_sample2.fcs", "batch1_anchor.fcs", "batch2_sample1.fcs",
        "batch2_sample2.fcs", "batch2_anchor.fcs",  "batches.csv"};
    EXPECT_EQ(folder_entries(folder), expected_entries);
    EXPECT_EQ(read_text(folder + "/batches.csv"), "file,batch\n"
                                                  "batch1_sample1.fcs,batch1\nbatch1_sample2.fcs,batch1\n"
                                                  "batch1_anchor.fcs,batch1\n"
                                                  "batch2_sample1.fcs,batch2\nbatch2_sample2.fcs,batch2\n"
                                                  "batch2_anchor.fcs,batch2\n");

    const auto study = pairmend::tools::make_study(options);
    const std::vector<std::string> names = {"Nd142Di", "Nd143Di", "Nd144Di", "Nd145Di", "Nd146Di", "Sm147Di",
                                            "Nd148Di", "Sm149Di", "Nd150Di", "Eu151Di", "Sm152Di", "Eu153Di"};
    const std::vector<std::string> labels = {"CD3",  "CD4",  "CD8",  "CD19", "CD45RA", "CD11b",
                                             "CD14", "CD16", "CD20", "CD25", "CD27",   "CD28"};
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        SCOPED_TRACE(study.files[f].name);
        const fcs_io::FcsFile file = fcs_io::read_fcs(folder + "/" + study.files[f].name);
        EXPECT_EQ(file.version, "FCS3.1");
        EXPECT_EQ(file.data_type, 'F');
        EXPECT_EQ(file.instrument(), "Helios");
        EXPECT_EQ(file.keyword("$FIL").value_or(""), study.files[f].name);
        ASSERT_EQ(file.num_events, 300u);
        ASSERT_EQ(file.channels.size(), 14u);
        EXPECT_EQ(file.channels[0].name, "Time");
        EXPECT_EQ(file.channels[1].name, "Event_length");
        EXPECT_EQ(file.channels[0].label, "");
        EXPECT_EQ(file.channels[1].label, "");
        for (std::size_t j = 0; j < 12; ++j) {
            EXPECT_EQ(file.channels[2 + j].name, names[j]);
            EXPECT_EQ(file.channels[2 + j].label, labels[j]);
        }
        for (const fcs_io::Channel& channel : file.channels) {
            EXPECT_EQ(channel.bits, 32) << channel.name;
        }

        pairmend::tools::StudyEventStream stream(study, f);
        pairmend::tools::StudyEvent event;
        double previous_time = 0.0;
        for (std::size_t e = 0; e < file.num_events; ++e) {
            ASSERT_TRUE(stream.next(event));
            const double* row = file.raw.data() + e * 14;
            EXPECT_EQ(row[0], static_cast<float>(event.time_ms));
            EXPECT_GE(row[0], previous_time);
            previous_time = row[0];
            EXPECT_EQ(row[1], std::round(row[1]));
            EXPECT_GE(row[1], 10.0);
            EXPECT_LE(row[1], 75.0);
            for (std::size_t j = 0; j < 12; ++j) {
                ASSERT_EQ(row[2 + j], static_cast<float>(std::sinh(event.observed[j]) * 5.0))
                    << "event " << e << ", " << names[j];
            }
        }
        EXPECT_FALSE(stream.next(event));
    }
}

TEST(SimulatedFcsStudy, SpilloverStudyRecordsTheMatrixThatUndoesItsSpill) {
    const TempDir dir;
    const std::string folder = dir.file("study");
    StudyOptions options = small_study();
    options.dims = 5;
    options.spillover = true;
    std::vector<std::string> args = {"--fcs", folder, "--spillover"};
    const auto rest = option_arguments(options);
    args.insert(args.end(), rest.begin(), rest.end());
    const RunResult run = run_program(simulate_binary, args, "", {}, {});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("CD3 (FL1-A), CD4 (FL2-A), CD8 (FL3-A), CD19 (FL4-A), CD45RA (FL5-A)"));
    EXPECT_THAT(run.out, HasSubstr("pairmend-fcs correct --out " + folder + "/corrected --cofactor 150 "));

    const auto study = pairmend::tools::make_study(options);
    const fcs_io::FcsFile file = fcs_io::read_fcs(folder + "/" + study.files[1].name);
    EXPECT_EQ(file.instrument(), "LSRFortessa");
    EXPECT_THAT(file.keyword("PAIRMEND_SIMULATION").value_or(""), ::testing::EndsWith(" --spillover"));
    const fcs_io::FileSpillover found = fcs_io::file_spillover(file);
    ASSERT_TRUE(found.matrix);
    EXPECT_EQ(found.matrix->channels,
              (std::vector<std::string>{"FL1-A", "FL2-A", "FL3-A", "FL4-A", "FL5-A"}));
    EXPECT_EQ(found.matrix->values, pairmend::tools::study_spillover(5));
    EXPECT_EQ(found.matrix->values[0 * 5 + 1], 0.12);
    EXPECT_EQ(found.matrix->values[1 * 5 + 0], 0.05);

    std::vector<double> values = file.linear_values();
    fcs_io::Compensator(*found.matrix, file).apply(file, values);
    pairmend::tools::StudyEventStream stream(study, 1);
    pairmend::tools::StudyEvent event;
    double largest_spill = 0;
    for (std::size_t e = 0; e < file.num_events; ++e) {
        ASSERT_TRUE(stream.next(event));
        // The stored values are floats: compensation gives the emitted signal to their precision,
        // that of the event's largest value.
        double scale = 150;
        for (std::size_t j = 0; j < 5; ++j) {
            scale = std::max(scale, std::fabs(file.raw[e * 6 + 1 + j]));
        }
        for (std::size_t j = 0; j < 5; ++j) {
            const double emitted = std::sinh(event.observed[j]) * 150;
            ASSERT_NEAR(values[e * 6 + 1 + j], emitted, 1e-6 * scale) << e << ", " << j;
            largest_spill = std::max(largest_spill, std::fabs(file.raw[e * 6 + 1 + j] - emitted));
        }
    }
    EXPECT_GT(largest_spill, 100.0) << "the recorded values hold the spill";
}

TEST(SimulatedFcsStudy, LargePanelsAddIsotopesInMassOrderWithDistinctMarkers) {
    const auto channels = pairmend::tools::panel_channels(pairmend::tools::panel_size());
    ASSERT_EQ(channels.size(), 50u);
    std::set<std::string> markers;
    std::set<int> dimensions;
    for (std::size_t k = 0; k < channels.size(); ++k) {
        markers.insert(channels[k].marker);
        dimensions.insert(channels[k].dimension);
        if (k > 0) {
            EXPECT_LT(channels[k - 1].mass, channels[k].mass) << "one channel per mass, ascending";
        }
    }
    EXPECT_EQ(markers.size(), 50u);
    EXPECT_EQ(dimensions.size(), 50u);
    EXPECT_THROW(pairmend::tools::panel_channels(51), std::invalid_argument);
}

TEST(SimulatedFcsStudy, AnchorsShareOneCompositionSamplesDifferAndBatchesFollowTheModel) {
    StudyOptions options = small_study();
    options.batches = 3;
    options.files_per_batch = 3;
    options.populations = 5;
    options.events_per_file = 2000;
    const auto study = pairmend::tools::make_study(options);
    ASSERT_EQ(study.files.size(), 12u);
    std::vector<std::int64_t> anchor;
    for (const auto& population : study.model.populations) {
        anchor.push_back(population.events_per_batch);
    }
    std::set<std::vector<std::int64_t>> sample_compositions;
    std::set<std::uint64_t> seeds;
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        const auto& file = study.files[f];
        seeds.insert(file.seed);
        std::int64_t total = 0;
        for (const auto count : file.population_events) {
            total += count;
        }
        EXPECT_EQ(total, 2000) << file.name;
        if (file.is_anchor()) {
            EXPECT_EQ(file.population_events, anchor) << file.name;
        } else {
            sample_compositions.insert(file.population_events);
            for (std::size_t p = 0; p < anchor.size(); ++p) {
                // Shares vary by a factor from 0.75 to 1.25 before they are scaled back to the total.
                const double ratio =
                    static_cast<double>(file.population_events[p]) / static_cast<double>(anchor[p]);
                EXPECT_GT(ratio, 0.75 / 1.25 - 0.01) << file.name;
                EXPECT_LT(ratio, 1.25 / 0.75 + 0.01) << file.name;
            }
        }

        // Every event is its population's draw with its batch's effect, the populations as counted.
        pairmend::tools::StudyEventStream stream(study, f);
        pairmend::tools::StudyEvent event;
        std::vector<std::int64_t> counted(anchor.size(), 0);
        std::vector<double> expected(static_cast<std::size_t>(options.dims));
        while (stream.next(event)) {
            ++counted[static_cast<std::size_t>(event.population)];
            pairmend::tools::distort(study.model, file.batch - 1, event.population, event.truth.data(),
                                     expected.data());
            ASSERT_EQ(event.observed, expected) << file.name;
            const auto& population = study.model.populations[static_cast<std::size_t>(event.population)];
            for (std::size_t j = 0; j < expected.size(); ++j) {
                ASSERT_LT(std::fabs(event.truth[j] - population.centre[j]), 9 * population.spread[j]);
            }
        }
        EXPECT_EQ(counted, file.population_events) << file.name;
    }
    EXPECT_EQ(sample_compositions.size(), 9u) << "every patient has a composition of its own";
    EXPECT_EQ(seeds.size(), 12u);

    // The study's model is the table simulation's for the same seed: the same kind of batch effect.
    pairmend::tools::SimulationOptions table;
    table.events_per_batch = 2000;
    table.dims = options.dims;
    table.batches = 3;
    table.populations = 5;
    table.seed = options.seed;
    const auto model = pairmend::tools::make_model(table);
    EXPECT_EQ(model.batches[2].offset, study.model.batches[2].offset);
    EXPECT_EQ(model.populations[4].centre, study.model.populations[4].centre);
}

TEST(SimulatedFcsStudy, SameSeedGivesTheSameBytesInAnyFolder) {
    const TempDir dir;
    StudyOptions options = small_study();
    options.events_per_file = 100;
    ASSERT_EQ(simulate_study(dir.file("a"), options).exit_status, 0);
    ASSERT_EQ(simulate_study(dir.file("b with blanks"), options).exit_status, 0);
    options.seed = 8;
    ASSERT_EQ(simulate_study(dir.file("c"), options).exit_status, 0);
    for (const std::string name : {"batch1_sample1.fcs", "batch2_anchor.fcs", "batches.csv"}) {
        const std::string first = read_text(dir.file("a/" + name));
        EXPECT_EQ(first, read_text(dir.file("b with blanks/" + name))) << name;
        if (name != "batches.csv") {
            EXPECT_NE(first, read_text(dir.file("c/" + name))) << name;
        }
    }
}

TEST(SimulatedFcsStudy, BadCommandLinesAndUnusableFoldersAreRefusedLeavingNothingBehind) {
    const TempDir dir;
    const auto refused = [&](const std::vector<std::string>& args, int status, const std::string& message) {
        const RunResult run = run_program(simulate_binary, args);
        EXPECT_EQ(run.exit_status, status) << run.err;
        EXPECT_THAT(run.err, HasSubstr(message));
    };
    const std::string folder = dir.file("study");
    refused({"--fcs", folder, "--out", dir.file("t.csv")}, 2,
            "--out (a table) and --fcs (a folder of FCS files)");
    refused({"--events", "10"}, 2, "Give --out, the input table to write, or --fcs");
    refused({"--fcs", folder, "--truth", dir.file("t.csv")}, 2, "--truth belongs to a table");
    refused({"--out", dir.file("t.csv"), "--files-per-batch", "2"}, 2,
            "--files-per-batch belongs to an FCS study");
    refused({"--fcs", folder, "--files-per-batch", "0"}, 2, "The value \"0\" of --files-per-batch");
    refused({"--fcs", folder, "--dims", "51"}, 2,
            "between 1 and 50, the size of the simulated antibody panel");
    refused({"--fcs", folder, "--dims", "1", "--populations", "40"}, 2, "use fewer populations");
    refused({"--fcs", folder, "--events", "100000000", "--batches", "10"}, 2,
            "beyond what pairmend can correct");
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_FALSE(fs::exists(dir.file("t.csv")));

    write_text(dir.file("a file"), "x");
    refused({"--fcs", dir.file("a file")}, 1, "exists but is not a folder");

    // A folder with someone else's FCS file: refused, and nothing is added.
    fs::create_directories(folder);
    write_text(folder + "/patient.fcs", "data");
    refused({"--fcs", folder}, 1, "already holds FCS files that are not part of this study (patient.fcs)");
    EXPECT_EQ(folder_entries(folder), std::set<std::string>{"patient.fcs"});

    // A write that fails part way (a file-size limit standing for a full disk) keeps the older study
    // whole and leaves no temporary file; a folder the run created is removed again.
    fs::remove(folder + "/patient.fcs");
    StudyOptions options = small_study();
    options.events_per_file = 100;
    ASSERT_EQ(simulate_study(folder, options).exit_status, 0);
    const auto before = folder_entries(folder);
    const std::string anchor = read_text(folder + "/batch1_anchor.fcs");
    options.events_per_file = 5000;
    options.seed = 9;
    const pairmend_test::ResourceLimit limit{RLIMIT_FSIZE, 100000};
    const RunResult failed = simulate_study(folder, options, {limit});
    EXPECT_EQ(failed.exit_status, 1);
    EXPECT_THAT(failed.err, HasSubstr("Could not write " + folder + "/batch1_sample1.fcs"));
    EXPECT_EQ(folder_entries(folder), before);
    EXPECT_EQ(read_text(folder + "/batch1_anchor.fcs"), anchor);

    const RunResult nested = simulate_study(dir.file("new/deeper"), options, {limit});
    EXPECT_EQ(nested.exit_status, 1);
    EXPECT_FALSE(fs::exists(dir.file("new")));
}

TEST(SimulatedFcsStudy, AFileTooLargeForMemoryIsRefusedWithAdvice) {
#ifdef PAIRMEND_TEST_ASAN
    GTEST_SKIP() << "Address-space limits do not work under AddressSanitizer.";
#endif
    // One file of 20 million events x 7 channels needs 560 MB; the address space allows 256 MiB.
    const TempDir dir;
    StudyOptions options;
    options.events_per_file = 20'000'000;
    options.batches = 1;
    options.files_per_batch = 1;
    const RunResult run = simulate_study(dir.file("study"), options, {{RLIMIT_AS, rlim_t(256) << 20}});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_THAT(run.err, HasSubstr("not enough memory to simulate one file of 20000000 events"));
    EXPECT_FALSE(fs::exists(dir.file("study")));
}

// pairmend-fcs's default choice takes exactly the markers of the study (not Time, not Event_length)
// and cofactor 5, and its correction brings the anchors of the batches together.
TEST(SimulatedFcsStudy, PairmendFcsCorrectsTheStudyWithItsDefaultChannelsAndCofactor) {
    const TempDir dir;
    const std::string folder = dir.file("study");
    StudyOptions options;
    options.events_per_file = 600;
    options.dims = 6;
    options.batches = 3;
    options.files_per_batch = 2;
    options.populations = 3;
    options.seed = 4;
    ASSERT_EQ(simulate_study(folder, options).exit_status, 0);
    const auto study = pairmend::tools::make_study(options);

    std::vector<std::string> args = {"correct", "--out", dir.file("corrected"), "--batches",
                                     folder + "/batches.csv"};
    for (const auto& file : study.files) {
        args.push_back(folder + "/" + file.name);
    }
    const RunResult run = run_program(fcs_binary, args);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("as arcsinh(value / 5), cofactor default for mass cytometry (Helios)"));
    EXPECT_THAT(run.err, HasSubstr("Batch 3 = batch3, 3 files"));

    // Mean distance of an anchor's events from batch 1's anchor's mean, on the arcsinh scale.
    const auto anchor_offset = [](const fcs_io::FcsFile& file, const std::vector<double>& reference,
                                  std::size_t first) {
        std::vector<double> mean(6, 0.0);
        const std::size_t width = file.channels.size();
        for (std::size_t e = 0; e < file.num_events; ++e) {
            for (std::size_t j = 0; j < 6; ++j) {
                mean[j] +=
                    std::asinh(file.raw[e * width + first + j] / 5.0) / static_cast<double>(file.num_events);
            }
        }
        double squared = 0.0;
        for (std::size_t j = 0; j < 6 && !reference.empty(); ++j) {
            squared += (mean[j] - reference[j]) * (mean[j] - reference[j]);
        }
        return std::make_pair(mean, std::sqrt(squared));
    };
    const fcs_io::FcsFile reference = fcs_io::read_fcs(dir.file("corrected/batch1_anchor.fcs"));
    ASSERT_EQ(reference.channels.size(), 14u);
    EXPECT_EQ(reference.keyword("PAIRMEND_CORRECTED").value_or(""),
              "Nd142Di,Nd143Di,Nd144Di,Nd145Di,Nd146Di,Sm147Di");
    EXPECT_EQ(reference.keyword("PAIRMEND_COFACTOR").value_or(""), "5");
    EXPECT_EQ(reference.channels[8].name, "Nd142Di_mnn");
    EXPECT_EQ(reference.channels[8].label, "CD3 (MNN)");
    const auto before_reference = anchor_offset(reference, {}, 2).first;
    const auto after_reference = anchor_offset(reference, {}, 8).first;
    for (const char* name : {"batch2_anchor.fcs", "batch3_anchor.fcs"}) {
        const fcs_io::FcsFile anchor = fcs_io::read_fcs(dir.file(std::string("corrected/") + name));
        const double before = anchor_offset(anchor, before_reference, 2).second;
        const double after = anchor_offset(anchor, after_reference, 8).second;
        EXPECT_GT(before, 1.0) << name;
        EXPECT_LT(after, before / 4) << name;
    }

    // The largest panel: every one of its 50 markers is chosen by default.
    StudyOptions large;
    large.dims = pairmend::tools::panel_size();
    large.events_per_file = 20;
    ASSERT_EQ(simulate_study(dir.file("large"), large).exit_status, 0);
    const RunResult info = run_program(fcs_binary, {"info", dir.file("large/batch1_anchor.fcs")});
    ASSERT_EQ(info.exit_status, 0) << info.err;
    std::size_t chosen = 0;
    for (const std::string& line : pairmend_test::split_lines(info.out)) {
        chosen += line.size() > 4 && line.compare(line.size() - 4, 4, " yes") == 0 ? 1 : 0;
    }
    EXPECT_EQ(chosen, 50u) << info.out;
}

TEST(SimulatedFcsStudy, ConditionsGiveAFilePerBatchAndConditionThatPairmendFcsReadsAsTheDesign) {
    const TempDir dir;
    const std::string folder = dir.file("study");
    const std::vector<std::string> common = {"--events",     "400", "--dims",   "6",   "--batches", "3",
                                             "--conditions", "2",   "--design", "3:2", "--seed",    "5"};
    std::vector<std::string> args = {"--fcs", folder};
    args.insert(args.end(), common.begin(), common.end());
    const RunResult written = run_program(simulate_binary, args);
    ASSERT_EQ(written.exit_status, 0) << written.err;
    EXPECT_EQ(folder_entries(folder), (std::set<std::string>{"batch1_condition1.fcs", "batch1_condition2.fcs",
                                                             "batch2_condition1.fcs", "batch2_condition2.fcs",
                                                             "batch3_condition2.fcs", "batches.csv"}));
    EXPECT_EQ(read_text(folder + "/batches.csv"),
              "file,batch,condition\n"
              "batch1_condition1.fcs,batch1,condition1\nbatch1_condition2.fcs,batch1,condition2\n"
              "batch2_condition1.fcs,batch2,condition1\nbatch2_condition2.fcs,batch2,condition2\n"
              "batch3_condition2.fcs,batch3,condition2\n");
    const fcs_io::FcsFile file = fcs_io::read_fcs(folder + "/batch3_condition2.fcs");
    EXPECT_EQ(file.num_events, 400u);
    EXPECT_EQ(file.keyword("$SRC").value_or(""), "batch3, condition 2");

    // The sheet's conditions reach the correction: batch 3 holds condition 2 only.
    std::vector<std::string> correct = {"correct", "--out", dir.file("corrected"), "--batches",
                                        folder + "/batches.csv"};
    for (const auto& entry : folder_entries(folder)) {
        if (entry != "batches.csv") {
            correct.push_back(folder + "/" + entry);
        }
    }
    const RunResult run = run_program(fcs_binary, correct);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("  batch\tcondition1\tcondition2\n"));
    EXPECT_THAT(run.err, HasSubstr("  batch3\t0\t400\n"));

    // Samples and anchors do not mix with conditions; nothing is written.
    args[1] = dir.file("refused");
    args.insert(args.end(), {"--files-per-batch", "2"});
    const RunResult refused = run_program(simulate_binary, args);
    EXPECT_NE(refused.exit_status, 0);
    EXPECT_THAT(refused.err, HasSubstr("--files-per-batch"));
    EXPECT_FALSE(fs::exists(dir.file("refused")));
}

} // namespace
