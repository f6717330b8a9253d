#ifndef PAIRMEND_TOOLS_EVALUATION_HPP
#define PAIRMEND_TOOLS_EVALUATION_HPP

// Scores a batch correction of simulated data against the simulation's ground truth.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace pairmend::tools {

/// The before/after figures of one batch.
struct BatchScore {
    /// The batch label of the input table.
    std::int64_t label = 0;
    /// Events carrying the label.
    std::int64_t events = 0;
    /// Euclidean distance between the batch's mean and the reference batch's mean, before correction
    /// (input table), after correction (corrected table) and in the ground truth. Simulated batches hold
    /// the same populations in the same proportions, so the truth figure is the sampling noise of the
    /// means: what a perfect correction would leave. (Medians are not used: in multimodal data they
    /// fall between populations, where small fluctuations move them far.)
    double distance_before = 0.0;
    double distance_after = 0.0;
    double distance_truth = 0.0;
    /// Root mean square, over the batch's events, of the Euclidean distance between an event and its
    /// true position, before and after correction.
    double rms_before = 0.0;
    double rms_after = 0.0;
};

/// The scores of all batches, in ascending label order.
struct Evaluation {
    std::int64_t reference_label = 1;
    int dims = 0;
    std::vector<BatchScore> batches;
};

/**
 * Reads the three tables row by row in step and scores every batch. The input table has a header
 * and per row its d values, batch label and event number; the corrected and truth tables have a
 * header and d values per row, one row per input row in the same order. Memory use does not
 * grow with the number of rows.
 * @param input_path The input table given to the correction (for example from pairmend-simulate).
 * @param corrected_path The corrected table written by the correction.
 * @param truth_path The undistorted values of the input's rows.
 * @param reference_label The batch whose frame the correction aligns to.
 * @throws std::runtime_error when a file cannot be read, the tables disagree in their number of rows
 * or columns, a cell is not a finite number, or no event carries the reference label.
 */
Evaluation evaluate_correction(const std::string& input_path, const std::string& corrected_path,
                               const std::string& truth_path, std::int64_t reference_label = 1);

/// Prints the scores as a table preceded by a short explanation of the columns.
void print_evaluation(std::ostream& out, const Evaluation& evaluation);

} // namespace pairmend::tools

#endif
