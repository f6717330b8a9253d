#include "pairmend/fcs/spillover.hpp"

#include "internal/fcs_text.hpp"
#include "internal/refusal.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace pairmend::fcs {

namespace {

// Why a matrix cannot be used with a file (after "because"), or an empty text.
std::string matrix_fault(const SpilloverMatrix& matrix, const FcsFile* file) {
    std::set<std::string> seen;
    for (const std::string& name : matrix.channels) {
        if (!seen.insert(name).second) {
            return "it names the channel " + name + " twice";
        }
        if (file != nullptr) {
            const bool found = std::any_of(file->channels.begin(), file->channels.end(),
                                           [&](const Channel& c) { return detail::trim(c.name) == name; });
            if (!found) {
                return "it names the channel " + name + ", which the file does not have";
            }
        }
    }
    if (!invert_matrix(matrix.values, matrix.channels.size())) {
        return "its matrix is singular (it has no inverse, so the spill cannot be undone)";
    }
    return {};
}

// A keyword of the form "n,name1,...,namen,f11,...,fnn": its matrix, or the fault that makes it
// unusable.
std::pair<std::optional<SpilloverMatrix>, std::string> parse_listed(const std::string& keyword,
                                                                    std::string_view value) {
    std::vector<std::string_view> items;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = value.find(',', start);
        items.push_back(
            detail::trim(value.substr(start, comma == std::string_view::npos ? comma : comma - start)));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    std::uint64_t n = 0;
    if (!detail::parse_unsigned(items.front(), n) || n == 0 || n > 10000) {
        return {std::nullopt, "its channel count " + detail::shown(items.front()) +
                                  " is not a whole number from 1 to 10000"};
    }
    const std::size_t count = static_cast<std::size_t>(n);
    if (items.size() < 1 + count) {
        return {std::nullopt, "it gives " + std::to_string(n) + " as its channel count but names only " +
                                  std::to_string(items.size() - 1) + " channels"};
    }
    const std::size_t given = items.size() - 1 - count;
    if (given != count * count) {
        const std::string channels = "it names " + std::to_string(n) + " channels but gives ";
        const std::string wanted = " of the " + std::to_string(count * count) + " values of their matrix";
        if (given == 0) {
            return {std::nullopt, channels + "none" + wanted};
        }
        return {std::nullopt,
                channels + std::to_string(given) + (given < count * count ? "" : " instead") + wanted};
    }
    SpilloverMatrix matrix;
    matrix.source = keyword;
    for (std::size_t i = 0; i < count; ++i) {
        matrix.channels.emplace_back(items[1 + i]);
    }
    for (std::size_t k = 0; k < count * count; ++k) {
        double entry = 0;
        if (!detail::parse_number(items[1 + count + k], entry)) {
            return {std::nullopt, "its value " + detail::shown(items[1 + count + k]) + " (row " +
                                      std::to_string(k / count + 1) + ", column " +
                                      std::to_string(k % count + 1) + ") is not a number"};
        }
        matrix.values.push_back(entry);
    }
    return {std::move(matrix), {}};
}

// "$DFC<i>TO<j>" in key form: the channel numbers i and j.
bool dfc_numbers(const std::string& key, std::uint64_t& from, std::uint64_t& to) {
    if (key.size() < 8 || key.compare(0, 4, "$DFC") != 0) {
        return false;
    }
    const std::size_t at = key.find("TO", 4);
    return at != std::string::npos && detail::parse_unsigned(std::string_view(key).substr(4, at - 4), from) &&
           key.find_first_not_of("0123456789", 4) == at &&
           detail::parse_unsigned(std::string_view(key).substr(at + 2), to) &&
           key.find_first_not_of("0123456789", at + 2) == std::string::npos;
}

// The matrix of a file's $DFCiTOj keywords, the fault that makes them unusable, or neither when
// the file has none.
std::pair<std::optional<SpilloverMatrix>, std::string> parse_dfc(const FcsFile& file) {
    std::map<std::pair<std::uint64_t, std::uint64_t>, double> spill;
    std::set<std::uint64_t> numbers;
    for (const auto& [name, value] : file.keywords) {
        std::uint64_t from = 0;
        std::uint64_t to = 0;
        if (!dfc_numbers(detail::key_of(name), from, to)) {
            continue;
        }
        const std::string written(detail::trim(name));
        if (from == 0 || to == 0 || from > file.channels.size() || to > file.channels.size()) {
            return {std::nullopt, "the keyword " + written + " names a channel number beyond the file's " +
                                      std::to_string(file.channels.size()) + " channels"};
        }
        if (from == to) {
            return {std::nullopt, "the keyword " + written + " gives the spill of a channel into itself"};
        }
        double percent = 0;
        if (!detail::parse_number(value, percent)) {
            return {std::nullopt,
                    "the value " + detail::shown(value) + " of " + written + " is not a number"};
        }
        if (!spill.emplace(std::make_pair(from, to), percent / 100).second) {
            return {std::nullopt, "the keyword " + written + " is given twice"};
        }
        numbers.insert(from);
        numbers.insert(to);
    }
    if (spill.empty()) {
        return {std::nullopt, {}};
    }
    SpilloverMatrix matrix;
    matrix.source = "$DFCiTOj";
    const std::vector<std::uint64_t> order(numbers.begin(), numbers.end());
    const std::size_t n = order.size();
    matrix.values.assign(n * n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        matrix.channels.emplace_back(detail::trim(file.channels[order[i] - 1].name));
        matrix.values[i * n + i] = 1;
    }
    for (const auto& [pair, share] : spill) {
        const auto row =
            static_cast<std::size_t>(std::find(order.begin(), order.end(), pair.first) - order.begin());
        const auto column =
            static_cast<std::size_t>(std::find(order.begin(), order.end(), pair.second) - order.begin());
        matrix.values[row * n + column] = share;
    }
    return {std::move(matrix), {}};
}

// The cells of one CSV line; quoted cells may hold commas, and quotes doubled inside them.
std::vector<std::string> csv_cells(const std::string& line) {
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                cells.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cells.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            cells.emplace_back();
        } else {
            cells.back() += c;
        }
    }
    for (std::string& cell : cells) {
        cell = std::string(detail::trim(cell));
    }
    return cells;
}

} // namespace

std::optional<std::vector<double>> invert_matrix(const std::vector<double>& matrix, std::size_t n) {
    if (n == 0 || matrix.size() != n * n) {
        return std::nullopt;
    }
    double largest = 0;
    for (const double entry : matrix) {
        if (!std::isfinite(entry)) {
            return std::nullopt;
        }
        largest = std::max(largest, std::fabs(entry));
    }
    std::vector<double> left = matrix;
    std::vector<double> right(n * n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        right[i * n + i] = 1;
    }
    for (std::size_t column = 0; column < n; ++column) {
        std::size_t pivot = column;
        for (std::size_t row = column + 1; row < n; ++row) {
            if (std::fabs(left[row * n + column]) > std::fabs(left[pivot * n + column])) {
                pivot = row;
            }
        }
        if (!(std::fabs(left[pivot * n + column]) > 1e-12 * largest)) {
            return std::nullopt;
        }
        if (pivot != column) {
            std::swap_ranges(left.begin() + static_cast<std::ptrdiff_t>(pivot * n),
                             left.begin() + static_cast<std::ptrdiff_t>(pivot * n + n),
                             left.begin() + static_cast<std::ptrdiff_t>(column * n));
            std::swap_ranges(right.begin() + static_cast<std::ptrdiff_t>(pivot * n),
                             right.begin() + static_cast<std::ptrdiff_t>(pivot * n + n),
                             right.begin() + static_cast<std::ptrdiff_t>(column * n));
        }
        const double scale = left[column * n + column];
        for (std::size_t k = 0; k < n; ++k) {
            left[column * n + k] /= scale;
            right[column * n + k] /= scale;
        }
        for (std::size_t row = 0; row < n; ++row) {
            const double factor = left[row * n + column];
            if (row == column || factor == 0) {
                continue;
            }
            for (std::size_t k = 0; k < n; ++k) {
                left[row * n + k] -= factor * left[column * n + k];
                right[row * n + k] -= factor * right[column * n + k];
            }
        }
    }
    for (const double entry : right) {
        if (!std::isfinite(entry)) {
            return std::nullopt;
        }
    }
    return right;
}

FileSpillover file_spillover(const FcsFile& file) {
    FileSpillover result;
    auto consider = [&](const std::string& keyword, std::optional<SpilloverMatrix> matrix,
                        std::string fault) {
        if (matrix && fault.empty()) {
            fault = matrix_fault(*matrix, &file);
        }
        if (!fault.empty()) {
            result.notes.push_back("The " + keyword + " keyword" +
                                   (keyword == "$DFCiTOj" ? "s were" : " was") + " set aside because " +
                                   fault + ".");
        } else if (matrix && !result.matrix) {
            result.matrix = std::move(matrix);
        }
    };
    for (const std::string keyword : {"$SPILLOVER", "SPILL", "$SPILL"}) {
        if (result.matrix) {
            break;
        }
        const std::optional<std::string> value = file.keyword(keyword);
        if (value) {
            auto [matrix, fault] = parse_listed(keyword, *value);
            consider(keyword, std::move(matrix), std::move(fault));
        }
    }
    if (!result.matrix) {
        auto [matrix, fault] = parse_dfc(file);
        if (matrix || !fault.empty()) {
            consider("$DFCiTOj", std::move(matrix), std::move(fault));
        }
    }
    return result;
}

SpilloverMatrix read_spillover_csv(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("The spillover matrix file " + path +
                                 " cannot be read. Check its name and that it is readable.");
    }
    auto refuse = [&path](const std::string& fault) {
        throw std::runtime_error("The spillover matrix file " + path + " cannot be used: " + fault +
                                 ". Write it as a header of channel names ($PnN), then one row of numbers "
                                 "per channel.");
    };
    std::vector<std::vector<std::string>> rows;
    std::vector<std::size_t> line_numbers;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3); // the byte-order mark some programs write
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (detail::trim(line).empty()) {
            continue;
        }
        rows.push_back(csv_cells(line));
        line_numbers.push_back(number);
    }
    if (rows.size() < 2) {
        refuse("it holds no matrix rows");
    }
    double number = 0;
    // Rows that begin with their channel's name instead of a number.
    const bool named_rows = !detail::parse_number(rows[1].front(), number);
    std::vector<std::string> header = rows.front();
    const std::size_t n = rows.size() - 1;
    if (named_rows && header.size() == n + 1) {
        header.erase(header.begin()); // the corner cell above the row names
    }
    if (header.size() != n) {
        refuse("its header names " + std::to_string(header.size()) + " channels but " + std::to_string(n) +
               (n == 1 ? " row follows" : " rows follow"));
    }
    SpilloverMatrix matrix;
    matrix.source = path;
    matrix.channels = header;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        std::vector<std::string> cells = rows[r];
        const std::string at = "line " + std::to_string(line_numbers[r]);
        if (named_rows) {
            if (cells.front() != header[r - 1]) {
                refuse(at + " is the row of " + detail::shown(cells.front()) + ", but the header's channel " +
                       std::to_string(r) + " is " + detail::shown(header[r - 1]));
            }
            cells.erase(cells.begin());
        }
        if (cells.size() != n) {
            refuse(at + " has " + std::to_string(cells.size()) + " values instead of " + std::to_string(n));
        }
        for (std::size_t c = 0; c < n; ++c) {
            double entry = 0;
            if (!detail::parse_number(cells[c], entry)) {
                refuse(at + " holds " + detail::shown(cells[c]) + " in column " + std::to_string(c + 1) +
                       ", which is not a number");
            }
            matrix.values.push_back(entry);
        }
    }
    const std::string fault = matrix_fault(matrix, nullptr);
    if (!fault.empty()) {
        refuse(fault);
    }
    return matrix;
}

Compensator::Compensator(const SpilloverMatrix& matrix, const FcsFile& file) {
    for (const std::string& name : matrix.channels) {
        const auto found = std::find_if(file.channels.begin(), file.channels.end(),
                                        [&](const Channel& c) { return detail::trim(c.name) == name; });
        if (found == file.channels.end()) {
            throw std::runtime_error("The spillover matrix of " + matrix.source + " names the channel " +
                                     name + ", which " + file.path +
                                     " does not have. Give a matrix of this file's channels, or "
                                     "--compensation none.");
        }
        positions_.push_back(static_cast<std::size_t>(found - file.channels.begin()));
    }
    std::optional<std::vector<double>> inverse = invert_matrix(matrix.values, matrix.channels.size());
    if (!inverse) {
        throw std::runtime_error("The spillover matrix of " + matrix.source +
                                 " is singular (it has no inverse), so its spill cannot be undone. Give "
                                 "another matrix, or --compensation none.");
    }
    inverse_ = std::move(*inverse);
}

void Compensator::apply(const FcsFile& file, std::vector<double>& linear) const {
    apply(file, 0, file.num_events, linear.data());
}

void Compensator::apply(const FcsFile& file, std::size_t first, std::size_t count, double* linear) const {
    const std::size_t width = file.channels.size();
    const std::size_t n = positions_.size();
    std::vector<double> measured(n);
    for (std::size_t e = 0; e < count; ++e) {
        double* row = linear + e * width;
        for (std::size_t i = 0; i < n; ++i) {
            measured[i] = row[positions_[i]];
            if (!std::isfinite(measured[i])) {
                std::ostringstream text;
                text << "Event " << first + e + 1 << " of " << file.path << " has the value " << measured[i]
                     << " in the channel " << file.channels[positions_[i]].name
                     << ", which compensation needs and which is not a finite number. Remove that event "
                        "from the file, or give --compensation none.";
                throw std::runtime_error(text.str());
            }
        }
        // The compensated event x solves x * S = measured: x = measured * S^-1.
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0;
            for (std::size_t i = 0; i < n; ++i) {
                sum += measured[i] * inverse_[i * n + j];
            }
            row[positions_[j]] = sum;
        }
    }
}

} // namespace pairmend::fcs
