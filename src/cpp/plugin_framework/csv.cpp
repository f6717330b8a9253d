#include "plugin_framework/csv.hpp"

#include "plugin_framework/utilities.hpp"

namespace QN {

bool read_csv(const std::string& path, std::vector<std::vector<std::string>>& rows, bool skipFirstLine) {
    std::ifstream file;
    if (!open_text_file(path, file)) {
        return false;
    }
    rows.clear();

    std::string line;
    if (skipFirstLine) {
        std::getline(file, line);
    }
    while (std::getline(file, line)) {
        std::vector<std::string> cells = tokenize(line, ",", false);
        for (std::string& cell : cells) {
            cell = trim(cell);
        }
        rows.push_back(std::move(cells));
    }
    return true;
}

} // namespace QN
