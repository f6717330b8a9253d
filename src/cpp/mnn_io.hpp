#ifndef PAIRMEND_MNN_IO_HPP
#define PAIRMEND_MNN_IO_HPP

#include "MnnSettings.hpp"
#include "pairmend/batch_labels.hpp"
#include "pairmend/messages.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

/**
 * Turns the input table's text rows into the engine's input.
 *
 * Every row is one event: its measured values, then its batch label, then its event number.
 * Batch labels are numbered 0 to k-1 in ascending order of their integer value (labels 1, 2
 * and 10 become 0, 1 and 2), whatever the row order. The table's shape is checked first;
 * then the labels are converted (so a single batch is reported before any value is read),
 * then the event numbers, then the values.
 *
 * @param rows The data rows, header line already skipped.
 * @param data Out: the values, event after event (event i at i*ndim .. i*ndim+ndim-1).
 * @param eventNumbers Out: the event numbers in row order.
 * @param batches Out: the batch number of every event in row order.
 * @throws std::runtime_error for a table without data rows, with fewer than three columns,
 *         with a row whose cell count differs from the first row's, beyond 2,147,483,647
 *         events or values, with a single batch ("There must be at least two batches"), or
 *         with a value that is infinite or not a number.
 * @throws std::invalid_argument or std::out_of_range from the standard string-to-number
 *         conversions for a cell without a valid number or beyond its range.
 */
void prepare_mnn_input(const std::vector<std::vector<std::string>>& rows, std::vector<double>& data,
                       std::vector<int>& eventNumbers, std::vector<int>& batches);

namespace pairmend {

/// The input table in the engine's form, with the batch labels behind the batch numbers.
struct MnnInput {
    int nobs = 0;                  ///< number of events
    int ndim = 0;                  ///< measured values per event
    std::vector<double> data;      ///< the values, event after event
    std::vector<int> eventNumbers; ///< the event numbers, in row order
    std::vector<int> batches;      ///< the batch number (0 to k-1) of every event, in row order
    std::vector<int> batchLabels;  ///< the label of batch number b at position b, ascending
};

/**
 * Reads the input table at `path` (header line skipped) and prepares it as
 * `prepare_mnn_input` does.
 * @throws std::runtime_error "Couldn't open or read <path>" when the file cannot be opened,
 *         and every error of `prepare_mnn_input`.
 */
MnnInput read_mnn_input(const std::string& path);

/// Column names of the output table: "MNN_<j>_<runId>" for j = 1..ndim.
std::vector<std::string> mnn_output_header(const std::string& runId, int ndim);

} // namespace pairmend

/**
 * Writes the corrected matrix as the job's output table: a header of "MNN_<j>_<run ID>" for
 * j = 1..ndim, then one line of ndim values per event.
 *
 * @param settings The loaded job; its first output file (resolved) receives the table.
 * @param corrected The corrected values, event after event, ndim per event.
 * @param nobs The number of events.
 * @param ndim The number of values per event.
 * @throws std::runtime_error "Unable to save output to <path>" when the table cannot be written.
 *         The table is written under a temporary name beside its place and renamed into place
 *         when complete, so a failure leaves no incomplete table and any older table unchanged.
 */
void save_mnn_output(const QN::MnnSettings& settings, std::vector<double>& corrected, int nobs, int ndim);

/// As above, for a matrix of `nobs` x `ndim` values held elsewhere than in a vector.
void save_mnn_output(const QN::MnnSettings& settings, const double* corrected, int nobs, int ndim);

#endif
