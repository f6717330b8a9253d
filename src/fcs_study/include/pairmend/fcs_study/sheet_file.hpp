#ifndef PAIRMEND_FCS_STUDY_SHEET_FILE_HPP
#define PAIRMEND_FCS_STUDY_SHEET_FILE_HPP

// The small CSV sheets a user writes beside a study (batches, channel names, ...): a header line,
// then lines of cells separated by commas. Blanks around cells, empty lines and Windows line ends
// are allowed; cells are not quoted.

#include <string>
#include <vector>

namespace pairmend::fcs_study {

/** One line of a sheet after its header. */
struct SheetLine {
    std::string text;               ///< the line, trimmed.
    std::vector<std::string> cells; ///< its cells, each trimmed.
    int number = 0;                 ///< the line's number in the file, from 1.
};

/** A sheet as read. */
struct SheetFile {
    std::string path;             ///< where it was read from, for messages.
    std::string header;           ///< its first non-empty line, trimmed.
    std::vector<SheetLine> lines; ///< the non-empty lines after the header.
};

/**
 * Reads a sheet.
 * @param what how messages name it ("batch sheet", "channel-name sheet").
 * @throws std::runtime_error "Could not open the batch sheet a.csv." (or read).
 */
SheetFile read_sheet_file(const std::string& path, const std::string& what);

/**
 * Refuses a line that is not two non-empty cells.
 * @param pair_words what the two cells must be, e.g. "a file name and a batch name separated by one
 *        comma (file,batch)".
 * @throws std::runtime_error "Line 4 of the batch sheet a.csv reads "x", but every line after the
 *         header must be <pair_words>."
 */
void require_two_cells(const SheetFile& sheet, const SheetLine& line, const std::string& what,
                       const std::string& pair_words);

/** The text without blanks at either end. */
std::string trimmed(const std::string& text);

} // namespace pairmend::fcs_study

#endif
