#include "pairmend/fcs_study/sheet_file.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pairmend::fcs_study {

std::string trimmed(const std::string& text) {
    const auto is_blank = [](unsigned char c) { return std::isspace(c) != 0; };
    auto begin = std::find_if_not(text.begin(), text.end(), is_blank);
    auto end = std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(begin), is_blank).base();
    return std::string(begin, end);
}

SheetFile read_sheet_file(const std::string& path, const std::string& what) {
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("Could not open the " + what + " " + path + ".");
    }
    SheetFile sheet;
    sheet.path = path;
    std::string line;
    int number = 0;
    bool have_header = false;
    while (std::getline(file, line)) {
        ++number;
        SheetLine read{trimmed(line), {}, number};
        if (read.text.empty()) {
            continue;
        }
        if (!have_header) {
            sheet.header = read.text;
            have_header = true;
            continue;
        }
        std::size_t start = 0;
        while (true) {
            const std::size_t comma = read.text.find(',', start);
            read.cells.push_back(
                trimmed(read.text.substr(start, comma == std::string::npos ? comma : comma - start)));
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        sheet.lines.push_back(std::move(read));
    }
    if (file.bad()) {
        throw std::runtime_error("Could not read the " + what + " " + path + ".");
    }
    return sheet;
}

void require_two_cells(const SheetFile& sheet, const SheetLine& line, const std::string& what,
                       const std::string& pair_words) {
    if (line.cells.size() == 2 && !line.cells[0].empty() && !line.cells[1].empty()) {
        return;
    }
    std::ostringstream message;
    message << "Line " << line.number << " of the " << what << " " << sheet.path << " reads \"" << line.text
            << "\", but every line after the header must be " << pair_words << ".";
    throw std::runtime_error(message.str());
}

} // namespace pairmend::fcs_study
