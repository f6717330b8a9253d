#ifndef PAIRMEND_MNN_IO_HPP
#define PAIRMEND_MNN_IO_HPP

#include "MnnSettings.hpp"

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

/**
 * Writes the corrected matrix as the job's output table: a header of "MNN_<j>_<run ID>" for
 * j = 1..ndim, then one line of ndim values per event.
 *
 * @param settings The loaded job; its first output file (resolved) receives the table.
 * @param corrected The corrected values, event after event, ndim per event.
 * @param nobs The number of events.
 * @param ndim The number of values per event.
 * @throws std::runtime_error "Unable to save output to <path>" when the table cannot be written;
 *         a table this call began writing is then removed, so no incomplete table remains.
 */
void save_mnn_output(const QN::MnnSettings& settings, std::vector<double>& corrected, int nobs, int ndim);

/// As above, for a matrix of `nobs` x `ndim` values held elsewhere than in a vector.
void save_mnn_output(const QN::MnnSettings& settings, const double* corrected, int nobs, int ndim);

/**
 * Numbers the batch labels 0 to k-1 in ascending order of the labels, whatever the order of the
 * events: labels 1, 2 and 10 become batches 0, 1 and 2. The numbering decides the first
 * reference under the policy "Input" and the merge order without automatic order, so every
 * caller numbers its labels here.
 *
 * @tparam Label An ordered label type (int for the input table; the Python module also uses
 *         64-bit integers and texts, which are ordered by their bytes).
 * @param labels The label of every event.
 * @param count The number of events.
 * @param batches Out: room for `count` batch numbers; may be the same memory as `labels`.
 * @return The distinct labels in ascending order: the label of batch b at position b.
 * @throws std::runtime_error "There must be at least two batches" when fewer than two labels differ.
 */
template <typename Label>
std::vector<Label> number_batch_labels(const Label* labels, std::size_t count, int* batches) {
    std::vector<Label> distinct(labels, labels + count);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    if (distinct.size() < 2) {
        throw std::runtime_error("There must be at least two batches");
    }
    for (std::size_t i = 0; i < count; ++i) {
        batches[i] = static_cast<int>(std::lower_bound(distinct.begin(), distinct.end(), labels[i]) -
                                      distinct.begin());
    }
    return distinct;
}

/**
 * The message for a measured value that is infinite or not a number:
 * The value "<value>" <place> is not a finite number. Remove or replace that event.
 * @param value The value as written ("nan", "-inf"); a long text is shortened.
 * @param place Where the value is, beginning with "in", for example "in data row 3 (line 4 of
 *        the file), column 2 of the input table".
 */
std::string non_finite_value_message(const std::string& value, const std::string& place);

/// Column names of the output table: "MNN_<j>_<runId>" for j = 1..ndim.
std::vector<std::string> mnn_output_header(const std::string& runId, int ndim);

namespace detail {

/**
 * Rejects a table whose event count or value count (events times parameters) exceeds
 * 2,147,483,647, the largest count the program's 32-bit arithmetic holds.
 * @throws std::runtime_error naming the count and the limit.
 */
void check_table_size(std::uint64_t nobs, std::uint64_t ndim);

} // namespace detail

#endif
