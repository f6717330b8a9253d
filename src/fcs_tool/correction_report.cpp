#include "correction_report.hpp"

#include "listing.hpp"
#include "number_text.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/report/qc_json.hpp"
#include "pairmend/report/qc_report.hpp"
#include "pairmend/report/qc_summary.hpp"

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace pairmend::fcs_tool {

namespace fs = std::filesystem;

namespace {

// How the report names the input: the files' common folder when they share one.
std::string input_description(const CorrectionInput& input) {
    const fs::path folder = fs::path(input.files.front().path).parent_path().lexically_normal();
    const bool one_folder =
        std::all_of(input.files.begin(), input.files.end(), [&folder](const fcs::FcsFile& file) {
            return fs::path(file.path).parent_path().lexically_normal() == folder;
        });
    std::ostringstream text;
    text << input.files.size() << " FCS files";
    if (one_folder && !folder.empty()) {
        text << " in " << folder.string();
    }
    return text.str();
}

} // namespace

std::string run_id(const CorrectOptions& options) {
    std::string id = fs::path(options.out_dir).lexically_normal().filename().string();
    return id.empty() ? options.out_dir : id;
}

void write_correction_report(OutputTransaction& outputs, const std::string& path,
                             const CorrectOptions& options, const CorrectionInput& input,
                             const CorrectionResult& result,
                             std::vector<std::pair<std::string, double>> phases) {
    std::vector<int> labels(input.nobs);
    std::transform(input.batch_ids.begin(), input.batch_ids.end(), labels.begin(),
                   [](int id) { return id + 1; });

    report::QcReportInput run;
    run.input_file = input_description(input);
    run.run_id = run_id(options);
    run.parameter_names = input.channel_names;
    run.settings = {{"run_ID", run.run_id}};
    for (auto& setting : settings_text(options.engine)) {
        run.settings.push_back(std::move(setting));
    }
    run.settings.emplace_back("cofactor", shortest_text(input.cofactor));
    run.settings.emplace_back("threads", std::to_string(configure_engine(options).num_threads));
    for (std::size_t b = 0; b < input.batches.names.size(); ++b) {
        run.settings.emplace_back("batch " + std::to_string(b + 1),
                                  input.batches.names[b] + ": " + joined(batch_members(input, b + 1), ", "));
    }
    run.ndim = input.ndim;
    run.nobs = input.nobs;
    run.uncorrected = input.data.data();
    run.corrected = result.corrected.data();
    run.batch_labels = labels.data();
    for (const int id : result.details.merge_order) {
        run.merge_order.push_back(id + 1);
    }
    run.num_pairs = result.details.num_pairs;
    // The noise floor repeats the correction on a split batch with the run's own settings.
    run.engine.emplace(configure_engine(options));
    write_report_files(outputs, path, run, std::move(phases));
}

void write_report_files(OutputTransaction& outputs, const std::string& path, report::QcReportInput& run,
                        std::vector<std::pair<std::string, double>> phases) {
    const report::QcReportOptions report_options;
    // The report times its own figures and shows them after these phases, under one head.
    const report::QcSummary summary = report::summarize_run(run, report_options);
    run.phase_seconds = std::move(phases);
    const std::string html_file = outputs.add(path);
    const std::string json_file = outputs.add(report::qc_json_path(path));
    report::save_qc_report(html_file, report::render_qc_report(run, summary, report_options));
    report::save_qc_report(json_file, report::render_qc_json(run, summary));
}

} // namespace pairmend::fcs_tool
