#include "pairmend/fcs_study/study_report.hpp"

#include "pairmend/fcs_study/transforms.hpp"

#include "pairmend/fcs_study/listing.hpp"
#include "pairmend/fcs_study/number_text.hpp"
#include "pairmend/model/subsample.hpp"
#include "pairmend/report/qc_json.hpp"
#include "pairmend/report/qc_report.hpp"
#include "pairmend/report/qc_summary.hpp"

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace pairmend::fcs_study {

namespace fs = std::filesystem;

namespace {

// The report looks at no more events per batch than this, as for a correction in memory.
constexpr std::size_t report_events_per_batch = 20000;

// How the report names the input: the files' common folder when they share one.
std::string input_description(const Study& study) {
    const fs::path folder = fs::path(study.files.front().path).parent_path().lexically_normal();
    const bool one_folder =
        std::all_of(study.files.begin(), study.files.end(), [&folder](const fcs::FcsFile& file) {
            return fs::path(file.path).parent_path().lexically_normal() == folder;
        });
    std::ostringstream text;
    text << study.files.size() << " FCS files";
    if (one_folder && !folder.empty()) {
        text << " in " << folder.string();
    }
    return text.str();
}

} // namespace

ReportSample::ReportSample(const Study& study)
    : ndim_(study.ndim()), seen_(study.batch_events.size(), 0), taken_(study.batch_events.size(), 0) {
    for (const std::size_t n : study.batch_events) {
        rows_.push_back(model::even_positions(n, std::min(n, report_events_per_batch)));
    }
}

void ReportSample::take(int batch_number, std::size_t num_events, const double* events,
                        const double* corrected, int condition) {
    const auto b = static_cast<std::size_t>(batch_number - 1);
    const std::vector<std::size_t>& rows = rows_[b];
    for (; taken_[b] < rows.size() && rows[taken_[b]] < seen_[b] + num_events; ++taken_[b]) {
        const std::size_t e = rows[taken_[b]] - seen_[b];
        uncorrected_.insert(uncorrected_.end(), events + e * ndim_, events + (e + 1) * ndim_);
        corrected_.insert(corrected_.end(), corrected + e * ndim_, corrected + (e + 1) * ndim_);
        batch_numbers_.push_back(batch_number);
        if (condition >= 0) {
            conditions_.push_back(condition);
        }
    }
    seen_[b] += num_events;
}

void ReportSample::show_in(ReportEvidence& evidence) const {
    evidence.ndim = static_cast<int>(ndim_);
    evidence.nobs = batch_numbers_.size();
    evidence.uncorrected = uncorrected_.data();
    evidence.corrected = corrected_.data();
    evidence.batch_numbers = batch_numbers_.data();
    evidence.conditions =
        conditions_.size() == batch_numbers_.size() && !conditions_.empty() ? conditions_.data() : nullptr;
}

std::string run_id(const std::string& out_dir) {
    std::string id = fs::path(out_dir).lexically_normal().filename().string();
    return id.empty() ? out_dir : id;
}

void write_study_report(OutputTransaction& outputs, const CorrectedOutput& output, const Study& study,
                        ReportEvidence evidence, std::vector<std::pair<std::string, double>> phases) {
    report::QcReportInput run;
    run.input_file = input_description(study);
    run.run_id = run_id(output.out_dir);
    run.parameter_names = study.channels.channel_names;
    run.settings = {{"run_ID", run.run_id}};
    for (auto& row : evidence.correction_rows) {
        run.settings.push_back(std::move(row));
    }
    for (auto& setting : settings_text(evidence.engine)) {
        run.settings.push_back(std::move(setting));
    }
    const std::optional<double> cofactor = uniform_cofactor(study.transforms);
    if (cofactor) {
        run.settings.emplace_back("cofactor", shortest_text(*cofactor));
    } else {
        run.settings.emplace_back("transforms", transforms_text(study.transforms));
    }
    run.settings.emplace_back("threads", std::to_string(evidence.threads));
    for (std::size_t b = 0; b < study.batches.names.size(); ++b) {
        run.settings.emplace_back("batch " + std::to_string(b + 1),
                                  study.batches.names[b] + ": " + joined(batch_members(study, b + 1), ", "));
    }
    run.ndim = evidence.ndim;
    run.nobs = evidence.nobs;
    run.uncorrected = evidence.uncorrected;
    run.corrected = evidence.corrected;
    run.batch_labels = evidence.batch_numbers;
    run.merge_order = std::move(evidence.merge_order);
    run.num_pairs = std::move(evidence.num_pairs);
    run.engine = std::move(evidence.engine_run);
    run.split_correction = std::move(evidence.split_correction);
    if (evidence.conditions != nullptr) {
        run.condition_names = study.batches.conditions;
        run.conditions = evidence.conditions;
    }

    const report::QcReportOptions report_options;
    // The report times its own figures and shows them after these phases, under one head.
    const report::QcSummary summary = report::summarize_run(run, report_options);
    run.phase_seconds = std::move(phases);
    const std::string html_file = outputs.add(output.report);
    const std::string json_file = outputs.add(report::qc_json_path(output.report));
    report::save_qc_report(html_file, report::render_qc_report(run, summary, report_options));
    report::save_qc_report(json_file, report::render_qc_json(run, summary));
}

} // namespace pairmend::fcs_study
