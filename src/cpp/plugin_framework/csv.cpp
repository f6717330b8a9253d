#include "plugin_framework/csv.hpp"

#include "plugin_framework/utilities.hpp"

#include <filesystem>
#include <system_error>

namespace QN {

bool read_csv(const std::string& path, std::vector<std::vector<std::string>>& rows, bool skipFirstLine) {
    // A folder opens like a file on some systems but holds no lines; it is no table.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return false;
    }
    std::ifstream file(path);
    if (!file) {
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
