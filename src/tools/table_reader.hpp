#ifndef PAIRMEND_TOOLS_TABLE_READER_HPP
#define PAIRMEND_TOOLS_TABLE_READER_HPP

// Line-by-line reading of comma-separated numeric tables, so that tables larger than memory can be
// compared without loading them.

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace pairmend::tools {

/**
 * Reads a comma-separated table with a header line, one data row at a time. Cells are split at every
 * comma (no quoting) and trimmed of blanks, tabs and carriage returns; empty cells are kept, so that
 * they are reported rather than silently shifting the columns.
 *
 * Not thread-safe: one reader per thread.
 */
class TableReader {
public:
    /**
     * Opens the table and reads its header line.
     * @param path The file to read.
     * @param description What the table is, for messages (for example "input table").
     * @throws std::runtime_error when the file cannot be opened or has no header line.
     */
    TableReader(std::string path, std::string description);

    /// The trimmed cells of the header line.
    const std::vector<std::string>& header() const { return header_; }

    /**
     * Reads the next data row into `cells` (views into the reader's line buffer, valid until the next call).
     * @return false at the end of the table.
     * @throws std::runtime_error when the file cannot be read.
     */
    bool next(std::vector<std::string_view>& cells);

    /// The 1-based number of the data row read last (0 before the first).
    std::int64_t row() const { return row_; }

    /// "the <description> <path>", for messages.
    std::string name() const { return "the " + description_ + " " + path_; }

    /**
     * Converts the cell at 0-based `column` of the current row to a finite double.
     * @throws std::runtime_error naming the row, the column and the text otherwise.
     */
    double number(std::string_view cell, std::size_t column) const;

    /**
     * Converts a cell of the current row to an integer.
     * @param what What the cell holds, for messages (for example "batch label").
     * @throws std::runtime_error naming the row and the text when it is not a whole number.
     */
    std::int64_t integer(std::string_view cell, const char* what) const;

private:
    std::string path_;
    std::string description_;
    std::ifstream stream_;
    std::string line_;
    std::vector<std::string> header_;
    std::int64_t row_ = 0;
};

/// Splits `line` at commas into trimmed views; an empty line gives no cells.
void split_cells(std::string_view line, std::vector<std::string_view>& cells);

} // namespace pairmend::tools

#endif
