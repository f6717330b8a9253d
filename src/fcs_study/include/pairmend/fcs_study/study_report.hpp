#ifndef PAIRMEND_FCS_STUDY_STUDY_REPORT_HPP
#define PAIRMEND_FCS_STUDY_STUDY_REPORT_HPP

// The quality-control report of a corrected FCS study, the same for every way a study is
// corrected: the engine on every event, a model learnt in the run, or a model learnt before.

#include "mnncorrect/MnnCorrect.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/fcs_study/study.hpp"
#include "pairmend/fcs_study/study_options.hpp"
#include "pairmend/output_transaction.hpp"
#include "pairmend/report/qc_report_input.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pairmend::fcs_study {

/** What a correction of a study shows in its report besides the study itself. */
struct ReportEvidence {
    int ndim = 0;                        ///< the chosen channels.
    std::size_t nobs = 0;                ///< the events shown: all of them, or a sample.
    const double* uncorrected = nullptr; ///< their arcsinh values before correction, event after event.
    const double* corrected = nullptr;   ///< and after.
    const int* batch_numbers = nullptr;  ///< their batch numbers, from 1.
    /// Rows of the settings table after the run's name: how the run corrected ("model", "method")
    /// when it went through a model; empty for the engine's own run.
    std::vector<std::pair<std::string, std::string>> correction_rows;
    EngineOptions engine;         ///< the engine's settings.
    int threads = 1;              ///< the threads the run used.
    std::vector<int> merge_order; ///< batch numbers in merge order; empty when not known.
    std::vector<int> num_pairs;   ///< mutual pairs of every merge step after the first.
    /// The run's correction, repeated on halves of the first reference batch for the noise floor:
    /// the engine as configured, or a model's method and fit; neither when it cannot be repeated.
    std::optional<mnncorrect::MnnCorrect<int, double>> engine_run;
    std::optional<report::SplitCorrection> split_correction;
    /// With conditions: every shown event's condition, a position in the study's conditions.
    const int* conditions = nullptr;
};

/**
 * The events a report looks at when the files stream past one at a time: at most as many per
 * batch as the report itself would sample, evenly spread over the batch's files.
 */
class ReportSample {
public:
    explicit ReportSample(const Study& study);

    /** Keeps the planned events among the next `num_events` events of batch `batch_number` (from
     *  1): a file, or a block of one, in order; given before and after correction, event after
     *  event. */
    void take(int batch_number, std::size_t num_events, const double* events, const double* corrected,
              int condition = -1);

    /** The sample as the report's events; valid while this object lives unchanged. */
    void show_in(ReportEvidence& evidence) const;

private:
    std::size_t ndim_;
    std::vector<std::vector<std::size_t>> rows_; ///< per batch, the chosen event positions within it.
    std::vector<std::size_t> seen_;              ///< per batch, the events of the files taken so far.
    std::vector<std::size_t> taken_;             ///< per batch, the rows of rows_ kept so far.
    std::vector<int> conditions_;                ///< with conditions, the condition of every kept event.
    std::vector<double> uncorrected_;
    std::vector<double> corrected_;
    std::vector<int> batch_numbers_;
};

/**
 * Writes the report and its figures as JSON under temporary names registered with `outputs`, so
 * that they appear only with the corrected files.
 * @param phases the run's phases so far with their seconds; the report adds its own time.
 * @throws std::runtime_error when a file cannot be written.
 */
void write_study_report(OutputTransaction& outputs, const CorrectedOutput& output, const Study& study,
                        ReportEvidence evidence, std::vector<std::pair<std::string, double>> phases);

/** The run's name: the output folder's name (or the folder as given when it has none). */
std::string run_id(const std::string& out_dir);

} // namespace pairmend::fcs_study

#endif
