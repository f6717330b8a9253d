#include "table_reader.hpp"

#include <charconv>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace pairmend::tools {

namespace {

std::string_view trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\r";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

} // namespace

void split_cells(std::string_view line, std::vector<std::string_view>& cells) {
    cells.clear();
    if (trim(line).empty()) {
        return;
    }
    size_t start = 0;
    while (true) {
        const auto comma = line.find(',', start);
        if (comma == std::string_view::npos) {
            cells.push_back(trim(line.substr(start)));
            return;
        }
        cells.push_back(trim(line.substr(start, comma - start)));
        start = comma + 1;
    }
}

TableReader::TableReader(std::string path, std::string description)
    : path_(std::move(path)), description_(std::move(description)), stream_(path_, std::ios::binary) {
    if (!stream_) {
        throw std::runtime_error("Could not open " + name() + ".");
    }
    if (!std::getline(stream_, line_)) {
        throw std::runtime_error("Could not read a header line from " + name() + ": the file is empty.");
    }
    std::vector<std::string_view> cells;
    split_cells(line_, cells);
    header_.assign(cells.begin(), cells.end());
}

bool TableReader::next(std::vector<std::string_view>& cells) {
    if (!std::getline(stream_, line_)) {
        if (stream_.bad()) {
            throw std::runtime_error("Could not read " + name() + ".");
        }
        return false;
    }
    ++row_;
    split_cells(line_, cells);
    return true;
}

double TableReader::number(std::string_view cell, std::size_t column) const {
    double value = 0.0;
    const char* end = cell.data() + cell.size();
    const auto result = std::from_chars(cell.data(), end, value);
    if (cell.empty() || result.ec != std::errc() || result.ptr != end || !std::isfinite(value)) {
        std::ostringstream message;
        message << "Row " << row_ << ", column " << column + 1 << " of " << name() << " holds \"" << cell
                << "\", which is not a finite number.";
        throw std::runtime_error(message.str());
    }
    return value;
}

std::int64_t TableReader::integer(std::string_view cell, const char* what) const {
    std::int64_t value = 0;
    const char* end = cell.data() + cell.size();
    const auto result = std::from_chars(cell.data(), end, value);
    if (cell.empty() || result.ec != std::errc() || result.ptr != end) {
        std::ostringstream message;
        message << "Row " << row_ << " of " << name() << " has the " << what << " \"" << cell
                << "\", which is not a whole number.";
        throw std::runtime_error(message.str());
    }
    return value;
}

} // namespace pairmend::tools
