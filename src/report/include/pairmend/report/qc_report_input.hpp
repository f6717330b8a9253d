#ifndef PAIRMEND_REPORT_QC_REPORT_INPUT_HPP
#define PAIRMEND_REPORT_QC_REPORT_INPUT_HPP

// What the quality-control report is built from: a plain description of one finished run.

#include "mnncorrect/MnnCorrect.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pairmend::report {

/**
 * A run's correction, repeatable on two batches: the report corrects half of the first reference
 * batch onto the other half with it to measure the noise floor.
 */
struct SplitCorrection {
    int num_neighbors = 0; ///< the neighbours the correction pairs; the halves need more events.
    int num_threads = 1;   ///< the threads the report may use for its own searches.
    /// Corrects `second` (rows of `ndim` values) onto `first` as the run corrected its batches and
    /// writes the corrected rows of both, `first`'s first, into `output`. Returns false when the
    /// two share no mutual nearest neighbours.
    std::function<bool(int ndim, const std::vector<double>& first, const std::vector<double>& second,
                       std::vector<double>& output)>
        correct;
};

/**
 * A description of one finished batch-correction run. The matrices and labels are not owned:
 * they must stay alive and unchanged while a report is being built from this object.
 * Plain data; safe to read from several threads, not to modify while a report is built.
 */
struct QcReportInput {
    std::string input_file;                   ///< the input table's path, as shown to the reader.
    std::string run_id;                       ///< the job's run identifier.
    std::vector<std::string> parameter_names; ///< one name per parameter, or empty for "parameter 1", ...
    std::vector<std::pair<std::string, std::string>> settings; ///< every setting used, as (name, value text).
    std::vector<std::pair<std::string, double>> phase_seconds; ///< wall-clock seconds per phase of the run.

    int ndim = 0;                        ///< the number of parameters per event.
    std::size_t nobs = 0;                ///< the number of events.
    const double* uncorrected = nullptr; ///< ndim * nobs values, event after event, before correction.
    const double* corrected = nullptr;   ///< ndim * nobs values, event after event, after correction.
    const int* batch_labels = nullptr;   ///< nobs batch labels as the user wrote them in the input table.

    /// The batch labels in the order in which they joined the reference, the first reference first;
    /// empty when the order is unknown.
    std::vector<int> merge_order;
    /// The number of mutual-nearest-neighbour pairs of every merge step: one entry per batch of
    /// merge_order after the first (empty when merge_order is empty).
    std::vector<int> num_pairs;
    /// The correction with the options the run used (neighbours, MADs, robust averaging, search,
    /// threads). The report repeats it on a batch split in two to measure the method's noise floor,
    /// and searches neighbours with its thread count; without it the noise floor is left out.
    std::optional<mnncorrect::MnnCorrect<int, double>> engine;
    /// For a run corrected another way than by the engine on every event (another method, a fit
    /// on a subsample): the same correction, repeated for the noise floor in place of `engine`.
    std::optional<SplitCorrection> split_correction;
    /// For a run with conditions: the condition names, and every event's condition (a position
    /// among them); empty and null without conditions, and the report then shows none.
    std::vector<std::string> condition_names;
    const int* conditions = nullptr;
};

/** How much of the data the report looks at. The defaults keep large runs quick and the file small.
 *  A plain value; safe to share between threads for reading. */
struct QcReportOptions {
    std::size_t max_events_per_batch = 20000; ///< larger batches are represented by a random subsample.
    std::uint64_t seed = 20240611;            ///< the fixed seed of that subsample.
    double few_pairs_fraction =
        0.05; ///< warn when a merged batch had fewer pairs than this share of its events.
    /// Budget of plotted points over all curves; with the 2-D view's points it keeps the file under
    /// 2 MB at 8 batches and 64 parameters.
    std::size_t max_curve_points = 100000;
    double floor_warning_ratio = 2.0; ///< warn when a batch moved less than this multiple of the noise floor.
    /// Events per batch whose neighbourhoods are measured for mixing and structure kept; their
    /// neighbours are always searched among all sampled events. Bounds the report's time.
    std::size_t max_queries_per_batch = 1000;
    int mixing_neighbours = 30;          ///< neighbours per event for the neighbourhood mixing.
    int structure_neighbours = 15;       ///< neighbours per event for the structure kept.
    std::uint64_t split_seed = 20240612; ///< the fixed seed of the noise floor's random split.
    std::size_t max_view_points = 6000;  ///< points per panel of the 2-D view; bounds the file size.
    /// Threads for the neighbour searches; 0 means the engine's thread count (1 without an engine).
    int num_threads = 0;
};

} // namespace pairmend::report

#endif
