#ifndef PAIRMEND_TABLE_IO_HPP
#define PAIRMEND_TABLE_IO_HPP

// Fast reading of the input table straight into the engine's input, and fast writing of the
// corrected matrix, with results identical to the general text-table path.

#include "mnn_io.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace pairmend::table_io {

/**
 * Reads the input table at `path` (header line skipped) straight into the engine's input,
 * without holding the table as text.
 *
 * It handles the common form: every data line holds the same number of plain decimal numbers
 * (optional sign, digits, optional fraction, optional exponent), separated by commas and
 * possibly padded with white space or followed by a carriage return. Its result is then the
 * one `QN::read_csv` followed by `prepare_mnn_input` gives, batch labels numbered in ascending
 * order. Any other form, and any error it cannot report exactly as the general path does, is
 * left to that path: the function then returns nothing, and the caller reads the table the
 * general way, which gives the result or the message.
 *
 * Functions are stateless and safe to call from several threads on different files.
 *
 * @param path The file to read.
 * @return The prepared input, or nothing when the general path must decide.
 * @throws std::runtime_error "There must be at least two batches" for a well-formed table with
 *         a single batch label, and the event-count or value-count error of
 *         `detail::check_table_size` for a well-formed table beyond 2,147,483,647 events or
 *         values (refused without holding more than that many values).
 */
std::optional<MnnInput> read_input_table(const std::string& path);

/**
 * Writes a header line and `nobs` rows of `ndim` values to `path`, byte for byte as
 * `QN::write_csv` writes them with a comma as delimiter, but through a large buffer instead of
 * one flush per line.
 *
 * @param path The file to create (any existing file is replaced).
 * @param header The column names, written verbatim; no header line when empty.
 * @param values The values, row after row, at least nobs * ndim of them.
 * @param nobs The number of rows.
 * @param ndim The number of values per row.
 * @return true when the file was opened and every write succeeded; false otherwise, in which
 *         case the lines written before the failure may remain in the file.
 */
bool write_value_table(const std::string& path, const std::vector<std::string>& header, const double* values,
                       std::size_t nobs, std::size_t ndim);

/// Enough room for any value `format_value` writes (sign, 6 digits, point, exponent).
constexpr std::size_t max_value_chars = 32;

/**
 * Writes `value` as a freshly opened C++ stream inserts a double: printf's %g with precision 6
 * in the C locale (for instance 1234567.0 becomes 1.23457e+06, -0.0 becomes -0).
 * @param value The number to write.
 * @param out Room for at least `max_value_chars` characters; no terminating zero is written.
 * @return The number of characters written.
 */
std::size_t format_value(double value, char* out);

} // namespace pairmend::table_io

#endif
