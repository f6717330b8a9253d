// End-to-end tests of the quality-control report as a job asks for it: the built pairmend runs
// on a small simulated table (pairmend-simulate, seed 11) whose batch labels are renumbered, so
// that labels and the program's dense batch numbers differ. The merge order and pair counts in
// the report are checked against the engine run in this process on the same table.

#include "mnn_io.hpp"
#include "mnncorrect/MnnCorrect.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pairmend_test::job_json;
using pairmend_test::json_quote;
using pairmend_test::read_text;
using pairmend_test::run_program;
using pairmend_test::split_lines;
using pairmend_test::TempDir;
using pairmend_test::write_text;

const std::string binary = PAIRMEND_BINARY;

// Simulated labels 1, 2, 3 become 12, 5, 40: in ascending order batch numbers 1, 0, 2.
const std::map<std::string, std::string> relabel = {{"1", "12"}, {"2", "5"}, {"3", "40"}};

// Options of the jobs below, as "settings" members; the report file is added per test.
const std::string options = R"("run_ID": "QC7", "num_neighbors": 10, "num_mads": 2.5, )"
                            R"("reference_policy": "Input")";

// Writes a table of 3 batches x 300 events x 3 parameters with the header `header` and the
// labels renumbered as above.
void write_table(const TempDir& dir, const std::string& path, const std::string& header) {
    const std::string simulated = dir.file("simulated.csv");
    const auto result =
        run_program(PAIRMEND_SIMULATE, {"--events", "300", "--dims", "3", "--batches", "3", "--populations",
                                        "2", "--seed", "11", "--out", simulated});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    std::vector<std::string> lines = split_lines(read_text(simulated));
    ASSERT_GT(lines.size(), 1u);
    std::ostringstream table;
    table << header << "\n";
    for (std::size_t i = 1; i < lines.size(); ++i) {
        // Cells: three values, the label, the event number.
        std::vector<std::string> cells;
        std::istringstream row(lines[i]);
        for (std::string cell; std::getline(row, cell, ',');) {
            cells.push_back(cell);
        }
        ASSERT_EQ(cells.size(), 5u) << lines[i];
        cells[3] = relabel.at(cells[3]);
        table << cells[0] << "," << cells[1] << "," << cells[2] << "," << cells[3] << "," << cells[4] << "\n";
    }
    write_text(path, table.str());
}

// The text between `open` (inclusive) and the next `close`; empty when `open` is missing.
std::string section(const std::string& html, const std::string& open, const std::string& close) {
    const std::size_t begin = html.find(open);
    if (begin == std::string::npos) {
        return "";
    }
    return html.substr(begin, html.find(close, begin) - begin);
}

// Every match of `pattern` in `text`, as the list of its groups.
std::vector<std::vector<std::string>> matches(const std::string& text, const std::string& pattern) {
    std::vector<std::vector<std::string>> found;
    const std::regex expression(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), expression); it != std::sregex_iterator();
         ++it) {
        std::vector<std::string> groups;
        for (std::size_t g = 1; g < it->size(); ++g) {
            groups.push_back((*it)[g].str());
        }
        found.push_back(groups);
    }
    return found;
}

// The engine's merge order (as labels) and pair counts for the table at `path` under `options`.
std::vector<std::pair<int, int>> expected_merge_steps(const std::string& path) {
    const pairmend::MnnInput input = pairmend::read_mnn_input(path);
    mnncorrect::Options engine_options;
    engine_options.num_neighbors = 10;
    engine_options.num_mads = 2.5;
    engine_options.reference_policy = mnncorrect::Input;
    engine_options.num_threads = 1;
    const mnncorrect::MnnCorrect<int, double> engine(engine_options);
    std::vector<double> output(input.data.size());
    const auto details = engine.run(input.ndim, static_cast<std::size_t>(input.nobs), input.data.data(),
                                    input.batches.data(), output.data(), static_cast<const int*>(nullptr));
    std::vector<std::pair<int, int>> steps;
    for (std::size_t s = 0; s < details.merge_order.size(); ++s) {
        const int label = input.batchLabels.at(static_cast<std::size_t>(details.merge_order[s]));
        steps.emplace_back(label, s == 0 ? -1 : details.num_pairs.at(s - 1));
    }
    return steps;
}

class ReportJob : public ::testing::Test {
protected:
    void SetUp() override { write_table(dir, input, "CD3-FITC, CD4 ,CD8,batch,event"); }

    // Writes job.json into `folder` with `members` after the common options, and runs it.
    pairmend_test::RunResult run_job(const TempDir& folder, const std::string& members) {
        const std::string job = folder.file("job.json");
        write_text(job, job_json(input, folder.file("out.csv"), folder.file("summary.txt"),
                                 options + (members.empty() ? "" : ", " + members)));
        return run_program(binary, {job}, "", {{"OMP_NUM_THREADS", "2"}});
    }

    TempDir dir;
    std::string input = dir.file("in.csv");
};

} // namespace

TEST_F(ReportJob, ReportDescribesTheRunAndLeavesTheOutputUnchanged) {
    const TempDir with;
    const TempDir without;
    const std::string report = with.file("report.html");
    const auto reported = run_job(with, "\"report_file\": " + json_quote(report));
    const auto plain = run_job(without, "");
    ASSERT_EQ(read_text(with.file("summary.txt")), "status = success\n") << reported.out;
    ASSERT_EQ(read_text(without.file("summary.txt")), "status = success\n") << plain.out;
    EXPECT_EQ(reported.exit_status, 0);

    // Same output bytes, same console apart from the measured time, and no report without the key.
    EXPECT_TRUE(read_text(with.file("out.csv")) == read_text(without.file("out.csv")));
    std::vector<std::string> lines_with = split_lines(reported.out);
    std::vector<std::string> lines_without = split_lines(plain.out);
    ASSERT_EQ(lines_with.size(), 7u) << reported.out;
    ASSERT_EQ(lines_without.size(), 7u) << plain.out;
    const std::string timing = "MNN batch correction on 900 events took ";
    EXPECT_EQ(lines_with.back().rfind(timing, 0), 0u) << lines_with.back();
    EXPECT_EQ(lines_without.back().rfind(timing, 0), 0u) << lines_without.back();
    lines_with.pop_back();
    lines_without.pop_back();
    EXPECT_EQ(lines_with, lines_without);
    std::vector<std::string> plain_files;
    for (const auto& entry : fs::directory_iterator(without.path())) {
        plain_files.push_back(entry.path().filename().string());
    }
    std::sort(plain_files.begin(), plain_files.end());
    EXPECT_EQ(plain_files, (std::vector<std::string>{"job.json", "out.csv", "summary.txt"}));

    const std::string html = read_text(report);
    EXPECT_NE(html.find("<td><code>" + input + "</code></td>"), std::string::npos);
    EXPECT_NE(html.find("<tr><th>Run ID</th><td>QC7</td></tr>"), std::string::npos);
    // Parameter names come from the header line, trimmed as the data cells are.
    for (const char* name : {"CD3-FITC", "CD4", "CD8"}) {
        EXPECT_NE(html.find(std::string("<h3>") + name + "</h3>"), std::string::npos) << name;
    }
    EXPECT_EQ(html.find("parameter 1"), std::string::npos);

    // Events per batch by the user's labels.
    const auto batches = matches(section(html, "<table id=\"batches\">", "</table>"),
                                 R"re(<tr data-batch="(\d+)">.*?<td class="num events">(\d+)</td>)re");
    EXPECT_EQ(batches, (std::vector<std::vector<std::string>>{{"5", "300"}, {"12", "300"}, {"40", "300"}}));

    // Every setting the engine used, defaults included, doubles written as the job file needs them.
    const std::string settings = section(html, "<table id=\"settings\">", "</table>");
    for (const char* row :
         {"<tr><td>run_ID</td><td>QC7</td></tr>", "<tr><td>num_neighbors</td><td>10</td></tr>",
          "<tr><td>num_mads</td><td>2.5</td></tr>", "<tr><td>robust_iterations</td><td>2</td></tr>",
          "<tr><td>robust_trim</td><td>0.25</td></tr>", "<tr><td>approximate</td><td>false</td></tr>",
          "<tr><td>automatic_order</td><td>true</td></tr>",
          "<tr><td>reference_policy</td><td>Input</td></tr>"}) {
        EXPECT_NE(settings.find(row), std::string::npos) << row;
    }

    const auto phases = matches(section(html, "<table id=\"phases\">", "</table>"),
                                R"re(<tr><td>([^<]+)</td><td class="num">[0-9.e+-]+</td></tr>)re");
    EXPECT_EQ(phases, (std::vector<std::vector<std::string>>{{"Read and prepare the input table"},
                                                             {"Correct the batches"},
                                                             {"Write the output table"},
                                                             {"Quality-control report"}}));

    // The merge order by labels with the pair counts of the engine's own run.
    const auto steps = matches(section(html, "<table id=\"merge-steps\">", "</table>"),
                               R"re(<tr data-batch="(\d+)"[^>]*>.*?<td class="num pairs">([^<]+)</td>)re");
    const auto expected = expected_merge_steps(input);
    ASSERT_EQ(steps.size(), 3u);
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(steps[0], (std::vector<std::string>{"5", "first reference"}));
    EXPECT_EQ(expected[0].first, 5);
    for (std::size_t s = 1; s < steps.size(); ++s) {
        EXPECT_EQ(steps[s], (std::vector<std::string>{std::to_string(expected[s].first),
                                                      std::to_string(expected[s].second)}));
        EXPECT_GT(expected[s].second, 0);
    }
}

TEST_F(ReportJob, EmptyNameOrUnusableHeaderChangeOnlyWhatTheyShould) {
    // An empty report name asks for no report.
    const TempDir empty;
    run_job(empty, R"("report_file": "")");
    EXPECT_EQ(read_text(empty.file("summary.txt")), "status = success\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(empty.path()), fs::directory_iterator()), 3);

    // A header whose cell count does not fit the table gives numbered parameters.
    write_table(dir, input, "CD3,CD4,batch,event");
    const TempDir numbered;
    run_job(numbered, "\"report_file\": " + json_quote(numbered.file("report.html")));
    ASSERT_EQ(read_text(numbered.file("summary.txt")), "status = success\n");
    const std::string html = read_text(numbered.file("report.html"));
    for (const char* name : {"parameter 1", "parameter 2", "parameter 3"}) {
        EXPECT_NE(html.find(std::string("<h3>") + name + "</h3>"), std::string::npos) << name;
    }
    EXPECT_EQ(html.find("<h3>CD3</h3>"), std::string::npos);
}

TEST_F(ReportJob, RelativeReportNameLandsInTheProgramFolder) {
    TempDir program_dir;
    const fs::path program = program_dir.path() / "pairmend";
    fs::copy_file(binary, program);
    fs::permissions(program, fs::perms::owner_all, fs::perm_options::add);
    write_text(program_dir.file("job.json"), job_json(input, dir.file("out.csv"), dir.file("summary.txt"),
                                                      options + R"(, "report_file": "report.html")"));
    const TempDir workdir;
    const auto result = run_program(program.string(), {"job.json"}, workdir.path().string());
    ASSERT_EQ(read_text(dir.file("summary.txt")), "status = success\n") << result.out;
    EXPECT_TRUE(fs::exists(program_dir.file("report.html")));
    EXPECT_TRUE(fs::is_empty(workdir.path()));
}

TEST_F(ReportJob, UnwritableReportFailsTheJobButKeepsTheOutputTable) {
    const TempDir folder;
    const std::string report = folder.file("missing-folder/report.html");
    const auto result = run_job(folder, "\"report_file\": " + json_quote(report));
    const std::string message = "Unable to write the quality-control report to " + report;
    const std::vector<std::string> lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), 6u) << result.out;
    EXPECT_EQ(lines[4], "Before running MNN");
    EXPECT_EQ(lines[5], "Error: " + message);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_text(folder.file("summary.txt")), "status = failure\ninformation = " + message + "\n");

    const TempDir plain;
    run_job(plain, "");
    EXPECT_TRUE(read_text(folder.file("out.csv")) == read_text(plain.file("out.csv")));
}

TEST_F(ReportJob, WrongTypedReportFileFailsLikeOtherSettings) {
    std::string library_message;
    try {
        std::variant<int, std::string> holder(7);
        (void)std::get<std::string>(holder);
    } catch (const std::bad_variant_access& error) {
        library_message = error.what();
    }
    const TempDir folder;
    const auto result = run_job(folder, R"("report_file": 7)");
    EXPECT_EQ(result.out, "Before loading setting\nError: " + library_message + "\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_text(folder.file("summary.txt")),
              "status = failure\ninformation = " + library_message + "\n");
    EXPECT_FALSE(fs::exists(folder.file("out.csv")));
}

TEST_F(ReportJob, JsonFiguresSitNextToTheReportAndRepeatExactly) {
    const TempDir first;
    const TempDir second;
    run_job(first, "\"report_file\": " + json_quote(first.file("qc.html")));
    run_job(second, "\"report_file\": " + json_quote(second.file("qc.html")));
    ASSERT_EQ(read_text(first.file("summary.txt")), "status = success\n");
    ASSERT_EQ(read_text(second.file("summary.txt")), "status = success\n");
    const std::string json = read_text(first.file("qc.json"));
    EXPECT_TRUE(json == read_text(second.file("qc.json")));

    rapidjson::Document doc;
    doc.Parse(json.c_str());
    ASSERT_FALSE(doc.HasParseError()) << json;
    EXPECT_STREQ(doc["parameters"][0].GetString(), "CD3-FITC");
    const auto expected = expected_merge_steps(input);
    ASSERT_EQ(doc["merge_order"].Size(), expected.size());
    for (rapidjson::SizeType s = 0; s < doc["merge_order"].Size(); ++s) {
        EXPECT_EQ(doc["merge_order"][s]["label"].GetInt(), expected[s].first);
        if (s > 0) {
            EXPECT_EQ(doc["merge_order"][s]["pairs"].GetInt(), expected[s].second);
        }
    }
    // The program hands the engine's settings to the report, so the noise floor is measured.
    EXPECT_EQ(doc["noise_floor"]["label"].GetInt(), 5);
    EXPECT_TRUE(doc["noise_floor"]["displacement"].IsNumber()) << json;
    std::vector<int> labels;
    for (const auto& batch : doc["batches"].GetArray()) {
        labels.push_back(batch["label"].GetInt());
        EXPECT_EQ(batch["events"].GetInt(), 300);
        EXPECT_EQ(batch["emd_before"].Size(), 3U);
        EXPECT_EQ(batch["structure_kept"].IsNull(), batch["label"].GetInt() == 5);
    }
    EXPECT_EQ(labels, (std::vector<int>{5, 12, 40}));
}

TEST_F(ReportJob, UnwritableJsonFailsTheJobAndLeavesNoReport) {
    const TempDir folder;
    fs::create_directories(folder.path() / "report.json");
    const std::string report = folder.file("report.html");
    run_job(folder, "\"report_file\": " + json_quote(report));
    EXPECT_EQ(read_text(folder.file("summary.txt")), "status = failure\ninformation = Unable to write the "
                                                     "quality-control report to " +
                                                         folder.file("report.json") + "\n");
    EXPECT_FALSE(fs::exists(report));
    EXPECT_TRUE(fs::exists(folder.file("out.csv")));
}
