#include "table_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace pairmend::table_io {

namespace {

constexpr std::uint64_t int_limit = static_cast<std::uint64_t>(std::numeric_limits<int>::max());

// Large blocks keep the number of system calls small without holding much of the file.
constexpr std::size_t read_block = std::size_t{8} << 20;
constexpr std::size_t write_block = std::size_t{1} << 20;

// Batch labels are tracked in a small sorted list while reading; beyond this many distinct
// labels they are collected by sorting all of them at the end instead.
constexpr std::size_t max_tracked_labels = 4096;

// White space as isspace in the C locale sees it, which is what the cell trim removes.
bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

const char* skip_space(const char* p, const char* end) {
    while (p != end && is_c_space(*p)) {
        ++p;
    }
    return p;
}

// Empty tokens vanish in the split, so any run of commas acts as one separator.
const char* skip_commas(const char* p, const char* end) {
    while (p != end && *p == ',') {
        ++p;
    }
    return p;
}

// After a number: the rest of its cell may only be white space; returns the cell's end (a
// comma or the line's end), or nullptr when the cell holds more.
const char* end_of_cell(const char* p, const char* end) {
    p = skip_space(p, end);
    return (p == end || *p == ',') ? p : nullptr;
}

// True when the mantissa (the digits before any exponent) of a number text has no digit but 0.
bool zero_mantissa(const char* first, const char* last) {
    for (; first != last && *first != 'e' && *first != 'E'; ++first) {
        if (*first >= '1' && *first <= '9') {
            return false;
        }
    }
    return true;
}

// Converts a plain decimal number text starting at `first` (sign already checked) and returns
// the end of the text it used, or nullptr when the conversion fails.
const char* convert_double(const char* first, const char* end, double& value) {
#if defined(__cpp_lib_to_chars)
    const std::from_chars_result result = std::from_chars(first, end, value, std::chars_format::general);
    return result.ec == std::errc() ? result.ptr : nullptr;
#else
    // Without a floating-point from_chars, the C library converts a bounded copy, exactly as the
    // general path does.
    char text[64];
    const bool cut = static_cast<std::size_t>(end - first) >= sizeof(text);
    const std::size_t length = cut ? sizeof(text) - 1 : static_cast<std::size_t>(end - first);
    std::memcpy(text, first, length);
    text[length] = '\0';
    char* stop = nullptr;
    errno = 0;
    value = std::strtod(text, &stop);
    if (errno == ERANGE || stop == text || (cut && stop == text + length)) {
        return nullptr; // out of range, no number, or possibly cut short by the copy
    }
    return first + (stop - text);
#endif
}

// Parses one value cell starting at `p` (the start of a non-empty token). Only plain decimal
// numbers are accepted, whose conversion is exactly the standard string-to-double result; values
// that conversion reports as out of range (including numbers below the normal range) are left to
// the general path. Returns the end of the cell, or nullptr.
const char* parse_value_cell(const char* p, const char* end, double& value) {
    p = skip_space(p, end);
    const char* number = p;
    if (p != end && *p == '+') {
        number = ++p; // from_chars takes no plus sign
    } else if (p != end && *p == '-') {
        ++p;
    }
    // Excludes inf, nan, hexadecimal forms and doubled signs.
    if (p == end || !(is_digit(*p) || *p == '.')) {
        return nullptr;
    }
    const char* stop = convert_double(number, end, value);
    if (stop == nullptr) {
        return nullptr;
    }
    const double magnitude = std::fabs(value);
    if (!(magnitude > DBL_MIN && magnitude < DBL_MAX) && !(magnitude == 0.0 && zero_mantissa(number, stop))) {
        return nullptr;
    }
    return end_of_cell(stop, end);
}

// Parses one integer cell (batch label or event number) starting at `p`: optional sign and
// decimal digits within the range of int. Returns the end of the cell, or nullptr.
const char* parse_int_cell(const char* p, const char* end, int& value) {
    p = skip_space(p, end);
    const char* number = p;
    if (p != end && *p == '+') {
        number = ++p;
    } else if (p != end && *p == '-') {
        ++p;
    }
    if (p == end || !is_digit(*p)) {
        return nullptr;
    }
    const std::from_chars_result result = std::from_chars(number, end, value, 10);
    if (result.ec != std::errc()) {
        return nullptr;
    }
    return end_of_cell(result.ptr, end);
}

// Counts the cells of a line as the general split does (maximal runs of characters other than
// commas); `blank` is set when a cell holds only white space, whose count may depend on the
// platform's line-end translation.
std::size_t count_cells(const char* p, const char* end, bool& blank) {
    std::size_t count = 0;
    while ((p = skip_commas(p, end)) != end) {
        ++count;
        bool only_space = true;
        for (; p != end && *p != ','; ++p) {
            only_space = only_space && is_c_space(*p);
        }
        blank = blank || only_space;
    }
    return count;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

/// Collects the data lines of one table into the engine's input. Not thread-safe; one per read.
class TableScan {
public:
    explicit TableScan(std::uint64_t fileSize) : fileSize_(fileSize) {}

    /// Takes one data line (without its line feed).
    void add_line(const char* begin, const char* end);

    /// True once the table is known to need the general path.
    bool undecidable() const { return undecidable_; }

    /// The prepared input after the last line, or nothing when the general path must decide.
    std::optional<MnnInput> finish();

private:
    void start(const char* begin, const char* end);
    bool within_limits() const { return nrows_ <= int_limit && nrows_ <= int_limit / ndim_; }
    void track_label(int label);
    void stop_storing();

    std::uint64_t fileSize_;
    std::size_t ncells_ = 0; // 0 until the first data line
    std::size_t ndim_ = 0;
    std::uint64_t nrows_ = 0;
    bool storing_ = true; // every line so far parsed and stored
    bool undecidable_ = false;
    bool mayExceedLimits_ = true; // whether the file is large enough to exceed the count limits
    MnnInput input_;
    std::vector<double> row_;
    std::vector<int> labels_; // sorted distinct labels while tracking
    bool trackingLabels_ = true;
    int lastLabel_ = 0;
};

void TableScan::start(const char* begin, const char* end) {
    bool blank = false;
    ncells_ = count_cells(begin, end, blank);
    if (ncells_ < 3 || blank) {
        undecidable_ = true;
        return;
    }
    ndim_ = ncells_ - 2;
    row_.resize(ndim_);

    // A row takes at least two bytes per cell (one character and a comma or the line end), which
    // bounds the row count by the file size; an unknown size (0) bounds nothing.
    const std::uint64_t maxRows = (fileSize_ + 1) / (2 * ncells_);
    mayExceedLimits_ = fileSize_ == 0 || maxRows > int_limit || maxRows > int_limit / ndim_;

    // Reserve for the rows the file size suggests, with room for rows a little longer than
    // average; untouched capacity costs address space only.
    const std::uint64_t line = static_cast<std::uint64_t>(end - begin) + 1;
    const std::uint64_t guess = fileSize_ / line + fileSize_ / line / 4 + 16;
    const std::uint64_t rows = std::min({guess, int_limit, int_limit / ndim_});
    input_.data.reserve(static_cast<std::size_t>(rows * ndim_));
    input_.batches.reserve(static_cast<std::size_t>(rows));
    input_.eventNumbers.reserve(static_cast<std::size_t>(rows));
}

void TableScan::add_line(const char* begin, const char* end) {
    if (ncells_ == 0) {
        start(begin, end);
        if (undecidable_) {
            return;
        }
    }
    ++nrows_;

    if (storing_) {
        const char* p = begin;
        for (std::size_t j = 0; j < ndim_ && p != nullptr; ++j) {
            p = parse_value_cell(skip_commas(p, end), end, row_[j]);
        }
        int label = 0;
        int event = 0;
        if (p != nullptr) {
            p = parse_int_cell(skip_commas(p, end), end, label);
        }
        if (p != nullptr) {
            p = parse_int_cell(skip_commas(p, end), end, event);
        }
        if (p != nullptr && skip_commas(p, end) == end && within_limits()) {
            input_.data.insert(input_.data.end(), row_.begin(), row_.end());
            input_.batches.push_back(label);
            input_.eventNumbers.push_back(event);
            track_label(label);
            return;
        }
        stop_storing();
        if (!mayExceedLimits_) {
            undecidable_ = true; // nothing left that only this reader could decide
            return;
        }
    }

    // Only the shape is still needed: it decides whether a table beyond the limits can be
    // refused with the general path's message.
    bool blank = false;
    if (count_cells(begin, end, blank) != ncells_ || blank) {
        undecidable_ = true;
    }
}

void TableScan::stop_storing() {
    storing_ = false;
    input_ = MnnInput{}; // give the memory back to the general path or the refusal
}

void TableScan::track_label(int label) {
    if (!trackingLabels_ || (!labels_.empty() && label == lastLabel_)) {
        return;
    }
    lastLabel_ = label;
    const auto place = std::lower_bound(labels_.begin(), labels_.end(), label);
    if (place != labels_.end() && *place == label) {
        return;
    }
    if (labels_.size() == max_tracked_labels) {
        trackingLabels_ = false;
        return;
    }
    labels_.insert(place, label);
}

std::optional<MnnInput> TableScan::finish() {
    if (undecidable_ || nrows_ == 0) {
        return std::nullopt;
    }
    if (!within_limits()) {
        check_table_size(nrows_, ndim_); // throws: the table is beyond the limits
    }
    if (!storing_) {
        return std::nullopt;
    }

    std::vector<int> labels;
    if (trackingLabels_) {
        labels = std::move(labels_);
    } else {
        labels = input_.batches;
        std::sort(labels.begin(), labels.end());
        labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    }
    if (labels.size() == 1) {
        throw std::runtime_error("There must be at least two batches");
    }
    // Ascending label order, as the general path numbers them.
    for (int& batch : input_.batches) {
        batch = static_cast<int>(std::lower_bound(labels.begin(), labels.end(), batch) - labels.begin());
    }
    input_.batchLabels = std::move(labels);
    input_.nobs = static_cast<int>(nrows_);
    input_.ndim = static_cast<int>(ndim_);
    return std::move(input_);
}

#if defined(__SIZEOF_INT128__)
// Exact %.6g for values from about 1e-14 to below 1e6, the magnitudes of measured values, with
// integer arithmetic only: the value is mantissa * 2^exponent exactly, so scaling it by a power
// of ten in 128 bits gives the exact six leading digits and the exact remainder, which rounds
// half to even as printf does. Returns 0 for values outside that range.
std::size_t format_six_digits(double value, char* out) {
    __extension__ typedef unsigned __int128 Wide; // a compiler extension, hence the guard
    static constexpr std::uint64_t powers_of_ten[] = {1ULL,
                                                      10ULL,
                                                      100ULL,
                                                      1000ULL,
                                                      10000ULL,
                                                      100000ULL,
                                                      1000000ULL,
                                                      10000000ULL,
                                                      100000000ULL,
                                                      1000000000ULL,
                                                      10000000000ULL,
                                                      100000000000ULL,
                                                      1000000000000ULL,
                                                      10000000000000ULL,
                                                      100000000000000ULL,
                                                      1000000000000000ULL,
                                                      10000000000000000ULL,
                                                      100000000000000000ULL,
                                                      1000000000000000000ULL,
                                                      10000000000000000000ULL};
    constexpr int max_scale = 19;

    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    const bool negative = (bits >> 63) != 0;
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased == 0 || biased == 0x7ff) {
        return 0; // zero, subnormal, infinite or not a number
    }
    const std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int binaryExponent = biased - 1023;
    if (binaryExponent >= 20) {
        return 0; // 2^20 and above: may need six digits before the point or more
    }
    const int shift = 52 - binaryExponent; // value = mantissa / 2^shift, shift >= 33

    // floor(log10(value)) is this estimate or one more; the digit count below decides.
    int decimalExponent = (binaryExponent * 78913) >> 18;
    std::uint64_t digits = 0;
    Wide remainder = 0;
    for (;;) {
        const int scale = 5 - decimalExponent;
        if (scale < 0 || scale > max_scale) {
            return 0;
        }
        const Wide scaled = static_cast<Wide>(mantissa) * powers_of_ten[scale];
        digits = static_cast<std::uint64_t>(scaled >> shift);
        remainder = scaled & ((Wide{1} << shift) - 1);
        if (digits >= 1000000) {
            ++decimalExponent;
        } else if (digits < 100000) {
            --decimalExponent;
        } else {
            break;
        }
    }
    const Wide half = Wide{1} << (shift - 1);
    if (remainder > half || (remainder == half && (digits & 1) != 0)) {
        if (++digits == 1000000) {
            digits = 100000;
            ++decimalExponent;
        }
    }

    char text[6];
    for (int i = 5; i >= 0; --i) {
        text[i] = static_cast<char>('0' + digits % 10);
        digits /= 10;
    }
    int length = 6;
    while (length > 1 && text[length - 1] == '0') {
        --length;
    }

    char* p = out;
    if (negative) {
        *p++ = '-';
    }
    if (decimalExponent < -4 || decimalExponent >= 6) {
        *p++ = text[0];
        if (length > 1) {
            *p++ = '.';
            std::memcpy(p, text + 1, static_cast<std::size_t>(length - 1));
            p += length - 1;
        }
        const int magnitude = decimalExponent < 0 ? -decimalExponent : decimalExponent;
        *p++ = 'e';
        *p++ = decimalExponent < 0 ? '-' : '+';
        if (magnitude >= 100) {
            *p++ = static_cast<char>('0' + magnitude / 100);
        }
        *p++ = static_cast<char>('0' + magnitude / 10 % 10);
        *p++ = static_cast<char>('0' + magnitude % 10);
    } else if (decimalExponent >= 0) {
        const int whole = decimalExponent + 1;
        for (int i = 0; i < whole; ++i) {
            *p++ = i < length ? text[i] : '0';
        }
        if (length > whole) {
            *p++ = '.';
            std::memcpy(p, text + whole, static_cast<std::size_t>(length - whole));
            p += length - whole;
        }
    } else {
        *p++ = '0';
        *p++ = '.';
        for (int i = -1; i > decimalExponent; --i) {
            *p++ = '0';
        }
        std::memcpy(p, text, static_cast<std::size_t>(length));
        p += length;
    }
    return static_cast<std::size_t>(p - out);
}
#endif

} // namespace

std::optional<MnnInput> read_input_table(const std::string& path) {
    // A folder is no table; the general path reports it.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return std::nullopt;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return std::nullopt;
    }
    std::uint64_t fileSize = std::filesystem::file_size(path, error);
    if (error) {
        fileSize = 0;
    }

    TableScan scan(fileSize);
    std::vector<char> buffer(read_block);
    std::size_t carried = 0; // bytes of an unfinished line at the start of the buffer
    bool inHeader = true;
    for (;;) {
        if (carried == buffer.size()) {
            buffer.resize(buffer.size() * 2); // one line longer than the buffer
        }
        const std::size_t got = std::fread(buffer.data() + carried, 1, buffer.size() - carried, file.get());
        if (got == 0) {
            if (std::ferror(file.get())) {
                return std::nullopt;
            }
            break;
        }
        const char* p = buffer.data();
        const char* const end = p + carried + got;
        for (;;) {
            const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
            const char* lineEnd = found == nullptr ? end : static_cast<const char*>(found);
            if (inHeader) {
                // The header is skipped unread, except that an end-of-file mark (Ctrl-Z) in it
                // could end a text-mode read early on some systems.
                if (std::memchr(p, '\x1a', static_cast<std::size_t>(lineEnd - p)) != nullptr) {
                    return std::nullopt;
                }
                if (found == nullptr) {
                    p = end; // the rest of a long header needs no keeping
                    break;
                }
                inHeader = false;
            } else if (found == nullptr) {
                break;
            } else {
                scan.add_line(p, lineEnd);
                if (scan.undecidable()) {
                    return std::nullopt;
                }
            }
            p = lineEnd + 1;
        }
        carried = static_cast<std::size_t>(end - p);
        std::memmove(buffer.data(), p, carried);
    }
    // A last line without a line feed still counts.
    if (carried > 0 && !inHeader) {
        scan.add_line(buffer.data(), buffer.data() + carried);
    }
    return scan.finish();
}

std::size_t format_value(double value, char* out) {
#if defined(__SIZEOF_INT128__)
    if (const std::size_t length = format_six_digits(value, out)) {
        return length;
    }
#endif
#if defined(__cpp_lib_to_chars)
    // to_chars with a precision is defined as printf in the C locale, here %.6g, which is what a
    // stream with default formatting writes.
    const std::to_chars_result result =
        std::to_chars(out, out + max_value_chars, value, std::chars_format::general, 6);
    return static_cast<std::size_t>(result.ptr - out);
#else
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    const std::string written = text.str();
    const std::size_t length = std::min(written.size(), max_value_chars);
    std::memcpy(out, written.data(), length);
    return length;
#endif
}

bool write_value_table(const std::string& path, const std::vector<std::string>& header, const double* values,
                       std::size_t nobs, std::size_t ndim) {
    // A text stream, as the general writer uses, so line ends follow the platform's convention.
    std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file) {
        return false;
    }
    if (!header.empty()) {
        std::string line;
        for (std::size_t i = 0; i < header.size(); ++i) {
            if (i > 0) {
                line += ',';
            }
            line += header[i];
        }
        line += '\n';
        file.write(line.data(), static_cast<std::streamsize>(line.size()));
    }

    std::vector<char> buffer(write_block);
    std::size_t used = 0;
    const auto flush = [&]() {
        file.write(buffer.data(), static_cast<std::streamsize>(used));
        used = 0;
        return static_cast<bool>(file);
    };
    for (std::size_t i = 0; i < nobs; ++i) {
        const double* row = values + i * ndim;
        for (std::size_t j = 0; j < ndim; ++j) {
            // Room for a delimiter, a value and the line feed.
            if (used + max_value_chars + 2 > buffer.size() && !flush()) {
                return false;
            }
            if (j > 0) {
                buffer[used++] = ',';
            }
            used += format_value(row[j], buffer.data() + used);
        }
        if (used + 1 > buffer.size() && !flush()) {
            return false;
        }
        buffer[used++] = '\n';
    }
    if (!flush()) {
        return false;
    }
    file.close();
    return !file.fail();
}

} // namespace pairmend::table_io
