#ifndef QN_CSV_HPP
#define QN_CSV_HPP

#include <fstream>
#include <locale>
#include <string>
#include <vector>

namespace QN {

/**
 * Reads a whole comma-separated text table into rows of trimmed text cells.
 *
 * No quoting: every comma separates. Empty cells are dropped (their neighbours move left),
 * white space around cells is removed, and a carriage return before the line feed vanishes
 * with the trim. An empty line gives a row with no cells; a final line feed adds no row.
 *
 * @param path The file to read.
 * @param rows Filled with the rows in file order; left untouched when the file cannot be opened.
 * @param skipFirstLine When true, the first line (the header) is discarded unread.
 * @return true when the file could be opened, false otherwise.
 */
bool read_csv(const std::string& path, std::vector<std::vector<std::string>>& rows, bool skipFirstLine);

/**
 * Writes a header line and rows of numbers as a delimited text table, replacing any file.
 *
 * Values are written as a freshly opened stream writes them: at most 6 significant digits,
 * plain or exponent notation as printf's %g chooses, full stop as decimal point. Every line is
 * flushed as soon as it is written, so a failure leaves the complete lines before it in place.
 *
 * @param path The file to create.
 * @param rows The rows of values; each row should hold at least one value.
 * @param header The column names, written verbatim; no header line when empty.
 * @param delimiter The character between neighbouring names and values.
 * @return true when the file was opened and every write succeeded, false otherwise.
 */
template <typename Value>
bool write_csv(const std::string& path, const std::vector<std::vector<Value>>& rows,
               const std::vector<std::string>& header, char delimiter);

// Implementation

template <typename Value>
bool write_csv(const std::string& path, const std::vector<std::vector<Value>>& rows,
               const std::vector<std::string>& header, char delimiter) {
    std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file) {
        return false;
    }
    // The decimal point must be a full stop whatever the process's global locale.
    file.imbue(std::locale::classic());

    if (!header.empty()) {
        for (std::size_t i = 0; i < header.size(); ++i) {
            if (i > 0) {
                file << delimiter;
            }
            file << header[i];
        }
        file << '\n' << std::flush;
    }
    for (const std::vector<Value>& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i > 0) {
                file << delimiter;
            }
            file << row[i];
        }
        file << '\n' << std::flush;
    }
    if (!file) {
        return false;
    }
    file.close();
    return !file.fail();
}

} // namespace QN

#endif
