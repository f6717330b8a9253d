// The fast table reader and writer against the general text-table path: the same values,
// batches, labels and event numbers, the same exceptions with the same messages, and the same
// output bytes.

#include "mnn_io.hpp"
#include "table_io.hpp"

#include "plugin_framework/csv.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

using pairmend_test::read_text;
using pairmend_test::TempDir;
using pairmend_test::write_text;

// What reading a table gave: the prepared input, or the exception's type and message.
struct Outcome {
    std::string error;
    pairmend::MnnInput input;
};

std::string describe(const std::exception& error) {
    return std::string(typeid(error).name()) + ": " + error.what();
}

// The general path: text rows, then prepare_mnn_input; labels as the distinct label values.
Outcome read_general(const std::string& path) {
    Outcome outcome;
    try {
        std::vector<std::vector<std::string>> rows;
        if (!QN::read_csv(path, rows, true)) {
            throw std::runtime_error("Couldn't open or read " + path);
        }
        pairmend::MnnInput& input = outcome.input;
        prepare_mnn_input(rows, input.data, input.eventNumbers, input.batches);
        input.nobs = static_cast<int>(rows.size());
        input.ndim = static_cast<int>(rows.front().size()) - 2;
        for (const std::vector<std::string>& row : rows) {
            input.batchLabels.push_back(std::stoi(row[row.size() - 2]));
        }
        std::sort(input.batchLabels.begin(), input.batchLabels.end());
        input.batchLabels.erase(std::unique(input.batchLabels.begin(), input.batchLabels.end()),
                                input.batchLabels.end());
    } catch (const std::exception& error) {
        outcome.error = describe(error);
    }
    return outcome;
}

// What the program does: pairmend::read_mnn_input, fast path first.
Outcome read_program(const std::string& path) {
    Outcome outcome;
    try {
        outcome.input = pairmend::read_mnn_input(path);
    } catch (const std::exception& error) {
        outcome.error = describe(error);
    }
    return outcome;
}

// Compares bit patterns, so that -0.0 and 0.0 differ.
bool same_bits(const std::vector<double>& left, const std::vector<double>& right) {
    return left.size() == right.size() &&
           (left.empty() || std::memcmp(left.data(), right.data(), left.size() * sizeof(double)) == 0);
}

void expect_same(const Outcome& expected, const Outcome& actual, const std::string& what) {
    EXPECT_EQ(expected.error, actual.error) << what;
    if (!expected.error.empty()) {
        return; // a failed read leaves its outputs unspecified
    }
    EXPECT_EQ(expected.input.nobs, actual.input.nobs) << what;
    EXPECT_EQ(expected.input.ndim, actual.input.ndim) << what;
    EXPECT_TRUE(same_bits(expected.input.data, actual.input.data)) << what;
    EXPECT_EQ(expected.input.batches, actual.input.batches) << what;
    EXPECT_EQ(expected.input.eventNumbers, actual.input.eventNumbers) << what;
    EXPECT_EQ(expected.input.batchLabels, actual.input.batchLabels) << what;
}

// A plain decimal number of 1 to `maxDigits` significant digits with a random point, sign,
// leading zeros and exponent; the exponent keeps the value well inside the normal range.
std::string random_number(std::mt19937_64& rng, int maxDigits) {
    std::uniform_int_distribution<int> coin(0, 1);
    std::uniform_int_distribution<int> digit(0, 9);
    const int ndigits = std::uniform_int_distribution<int>(1, maxDigits)(rng);
    std::string digits;
    for (int i = 0; i < ndigits; ++i) {
        digits += static_cast<char>('0' + digit(rng));
    }
    if (coin(rng) == 0) {
        digits.insert(
            0, std::string(static_cast<std::size_t>(std::uniform_int_distribution<int>(0, 2)(rng)), '0'));
    }
    std::string text = coin(rng) == 0 ? "-" : (std::uniform_int_distribution<int>(0, 9)(rng) == 0 ? "+" : "");
    const auto point = std::uniform_int_distribution<std::size_t>(0, digits.size())(rng);
    if (coin(rng) == 0) {
        text += digits.substr(0, point) + "." + digits.substr(point); // may give ".5" or "5."
    } else {
        text += digits;
    }
    if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
        const int exponent = std::uniform_int_distribution<int>(-250, 250)(rng);
        text += coin(rng) == 0 ? "e" : "E";
        if (exponent >= 0 && coin(rng) == 0) {
            text += '+';
        }
        text += std::to_string(exponent);
    }
    return text;
}

// Layout variations the fast reader must read exactly like the general path.
struct Layout {
    const char* name;
    const char* lineEnd;
    bool finalLineEnd;
    const char* padding; // around every cell
    bool trailingComma;  // after the last cell of every row
};

std::string random_table(std::mt19937_64& rng, const Layout& layout, int nrows, int ndim, int maxDigits) {
    std::string text = "a,b,whatever header \"x,y\"" + std::string(layout.lineEnd);
    std::uniform_int_distribution<int> label(-3, 3);
    std::uniform_int_distribution<int> event(-1000000, 1000000);
    for (int r = 0; r < nrows; ++r) {
        for (int j = 0; j < ndim; ++j) {
            text += layout.padding + random_number(rng, maxDigits) + layout.padding + ",";
        }
        text += layout.padding + std::to_string(label(rng) * 7) + layout.padding + ",";
        text += layout.padding + std::to_string(event(rng)) + layout.padding;
        if (layout.trailingComma) {
            text += ",";
        }
        if (r + 1 < nrows || layout.finalLineEnd) {
            text += layout.lineEnd;
        }
    }
    return text;
}

} // namespace

// Seed 20240611: random tables in every layout must take the fast path and give exactly what
// the general path gives, value bits included (so the decimal conversion matches strtod).
TEST(FastTableReader, MatchesTheGeneralPathOnCommonTables) {
    const Layout layouts[] = {
        {"plain", "\n", true, "", false},
        {"CR LF", "\r\n", true, "", false},
        {"no final line end", "\n", false, "", false},
        {"CR LF, no final line end", "\r\n", false, "", false},
        {"blank-padded", "\n", true, "  ", false},
        {"tab-padded, trailing comma", "\n", true, "\t", true},
    };
    std::mt19937_64 rng(20240611);
    const TempDir dir;
    const std::string path = dir.file("in.csv");
    for (const Layout& layout : layouts) {
        for (const int maxDigits : {1, 7, 17, 25}) {
            const int ndim = std::uniform_int_distribution<int>(1, 12)(rng);
            write_text(path, random_table(rng, layout, 3000, ndim, maxDigits));
            const std::string what =
                std::string(layout.name) + ", up to " + std::to_string(maxDigits) + " digits";

            const std::optional<pairmend::MnnInput> fast = pairmend::table_io::read_input_table(path);
            ASSERT_TRUE(fast.has_value()) << what;
            const Outcome expected = read_general(path);
            ASSERT_EQ(expected.error, "") << what;
            expect_same(expected, Outcome{"", *fast}, what);
        }
    }
}

// Lines and a header that straddle the reader's blocks, and a header longer than a block.
TEST(FastTableReader, MatchesTheGeneralPathAcrossReadBlocks) {
    std::mt19937_64 rng(99);
    const TempDir dir;
    const std::string path = dir.file("big.csv");
    std::string text = random_table(rng, {"plain", "\n", false, "", false}, 160000, 6, 9);
    text.insert(0, std::string(9u << 20, 'h'));
    write_text(path, text);

    const std::optional<pairmend::MnnInput> fast = pairmend::table_io::read_input_table(path);
    ASSERT_TRUE(fast.has_value());
    EXPECT_EQ(fast->nobs, 160000);
    expect_same(read_general(path), Outcome{"", *fast}, "large table");
}

// Labels are numbered in ascending order whatever the row order, also with more distinct labels
// than the reader tracks while it reads.
TEST(FastTableReader, NumbersLabelsInAscendingOrder) {
    const TempDir dir;
    const std::string path = dir.file("in.csv");
    write_text(path, "h\n1,7,1\n2,-2,2\n3,7,3\n4,9,4\n");
    const std::optional<pairmend::MnnInput> fast = pairmend::table_io::read_input_table(path);
    ASSERT_TRUE(fast.has_value());
    EXPECT_EQ(fast->batches, (std::vector<int>{1, 0, 1, 2}));
    EXPECT_EQ(fast->batchLabels, (std::vector<int>{-2, 7, 9}));

    std::string many = "h\n";
    std::mt19937_64 rng(5);
    for (int r = 0; r < 20000; ++r) {
        many += "0.5," + std::to_string(std::uniform_int_distribution<int>(-100000, 100000)(rng)) + ",1\n";
    }
    write_text(path, many);
    const std::optional<pairmend::MnnInput> manyLabels = pairmend::table_io::read_input_table(path);
    ASSERT_TRUE(manyLabels.has_value());
    expect_same(read_general(path), Outcome{"", *manyLabels}, "many labels");
}

// Tables outside the common form give exactly the general path's result or exception: the
// fast reader hands them over rather than guessing.
TEST(FastTableReader, UnusualAndBadTablesGiveTheGeneralOutcome) {
    const std::string good = "1.5,0,10\n-2,1,11\n";
    const std::vector<std::pair<const char*, std::string>> tables = {
        {"empty file", ""},
        {"header only", "a,b,c\n"},
        {"header only, no line end", "a,b,c"},
        {"ragged row", "h\n1,2,0,10\n3,1,11\n"},
        {"empty line inside", "h\n1.5,0,10\n\n-2,1,11\n"},
        {"line of a carriage return", "h\n1.5,0,10\r\n\r\n-2,1,11\r\n"},
        {"two columns", "h\n1,2\n3,4\n"},
        {"one batch", "h\n1.5,4,10\n2.5,4,11\n3.5,4,12\n"},
        {"letter in a label", "h\n1.5,x,10\n2.5,1,11\n"},
        {"2.0 as a label", "h\n1.5,2.0,10\n2.5,1,11\n"},
        {"label with a tail", "h\n1.5,3abc,10\n2.5,1,11\n"},
        {"label overflow", "h\n1.5,99999999999,10\n2.5,1,11\n"},
        {"event number overflow", "h\n1.5,0,-2147483649\n2.5,1,11\n"},
        {"largest labels", "h\n1.5,2147483647,-2147483648\n2.5,-2147483648,11\n"},
        {"hexadecimal value", "h\n0x1p3,0,10\n2.5,1,11\n"},
        {"infinite value", "h\ninf,0,10\n2.5,1,11\n"},
        {"signed infinite value", "h\n-Infinity,0,10\n2.5,1,11\n"},
        {"not a number", "h\nnan,0,10\n2.5,1,11\n"},
        {"value overflow", "h\n1e999,0,10\n2.5,1,11\n"},
        {"largest value", "h\n1.7976931348623157e308,0,10\n2.5,1,11\n"},
        {"beyond the largest value", "h\n1.7976931348623159e308,0,10\n2.5,1,11\n"},
        {"smallest normal value", "h\n2.2250738585072014e-308,0,10\n2.5,1,11\n"},
        {"subnormal value", "h\n4.9e-324,0,10\n2.5,1,11\n"},
        {"value underflow", "h\n1e-400,0,10\n2.5,1,11\n"},
        {"zero with a huge exponent", "h\n0.000e-99999,0,10\n-0,1,11\n"},
        {"value with a tail", "h\n12abc,0,10\n2.5,1,11\n"},
        {"value with an inner blank", "h\n1 2,0,10\n2.5,1,11\n"},
        {"incomplete exponent", "h\n1.5e,0,10\n2.5e+,1,11\n"},
        {"doubled sign", "h\n+-1,0,10\n2.5,1,11\n"},
        {"lone point", "h\n.,0,10\n2.5,1,11\n"},
        {"blank cell", "h\n1.5,  ,0,10\n2.5,1,1,11\n"},
        {"trailing comma before CR LF adds a blank cell", "h\n1.5,0,10,\r\n2.5,1,11,\r\n"},
        {"doubled commas shift cells", "h\n1.5,,0,10\n,2.5,1,,11,\n"},
        {"zero byte", std::string("h\n1.5,0,10\n2.5\0,1,11\n", 21)},
        {"end-of-file mark in the header", "h\x1a\n" + good},
        {"quoted cells", "h\n\"1.5\",0,10\n2.5,1,11\n"},
        {"form feed and vertical tab padding", "h\n\f1.5\v,0,10\n2.5,1,11\n"},
    };
    const TempDir dir;
    const std::string path = dir.file("in.csv");
    for (const auto& [name, text] : tables) {
        write_text(path, text);
        expect_same(read_general(path), read_program(path), name);
    }
    // A file that does not exist and a folder are reported with the reader's message.
    expect_same(read_general(dir.file("missing.csv")), read_program(dir.file("missing.csv")), "missing");
    EXPECT_EQ(read_program(dir.file("missing.csv")).error,
              describe(std::runtime_error("Couldn't open or read " + dir.file("missing.csv"))));
    expect_same(read_general(dir.path().string()), read_program(dir.path().string()), "folder");
}

// The value formatting equals a default-formatted stream's on doubles of every magnitude.
TEST(FastTableWriter, FormatsValuesLikeAStream) {
    std::vector<double> values = {0.0,
                                  -0.0,
                                  1e-5,
                                  1e-4,
                                  0.0001,
                                  123456.0,
                                  1234567.0,
                                  999999.5,
                                  9999995.0,
                                  9.999995e-5,
                                  0.1,
                                  100.0,
                                  -2.0,
                                  0.5,
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::lowest(),
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN(),
                                  -std::numeric_limits<double>::quiet_NaN()};
    std::mt19937_64 rng(31337);
    for (int i = 0; i < 200000; ++i) {
        std::uint64_t bits = rng();
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof(value));
        values.push_back(value); // every exponent, subnormals, infinities and NaNs
    }
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-8, 8);
    for (int i = 0; i < 200000; ++i) {
        values.push_back(unit(rng) * std::pow(10.0, exponent(rng))); // the magnitudes of real data
    }
    for (int i = 0; i < 20000; ++i) {
        // Values next to the rounding points of six digits, where %g switches notation.
        const double edge = std::pow(10.0, exponent(rng)) * (1.0 - 5e-7);
        values.push_back(std::nextafter(edge, 0.0));
        values.push_back(edge);
        values.push_back(std::nextafter(edge, 1e300));
    }
    for (int i = 0; i < 100000; ++i) {
        // Short binary fractions, among them exact ties at the seventh digit (999999.5, 12345.25).
        const auto whole = std::uniform_int_distribution<std::int64_t>(1, std::int64_t{1} << 30)(rng);
        values.push_back(
            std::ldexp(static_cast<double>(whole), -std::uniform_int_distribution<int>(0, 30)(rng)));
    }
    char text[pairmend::table_io::max_value_chars];
    for (const double value : values) {
        std::ostringstream stream;
        stream << value;
        ASSERT_EQ(std::string(text, pairmend::table_io::format_value(value, text)), stream.str())
            << "for the value with bits " << std::hexfloat << value;
    }
}

// The written table equals QN::write_csv's bytes, also across the writer's buffer boundaries.
TEST(FastTableWriter, WritesTheSameBytesAsTheGeneralWriter) {
    std::mt19937_64 rng(2718);
    std::normal_distribution<double> normal(0.0, 1000.0);
    const TempDir dir;
    for (const auto& [nobs, ndim] : {std::pair<std::size_t, std::size_t>{0, 3}, {1, 1}, {70000, 7}}) {
        std::vector<double> values(nobs * ndim);
        for (double& value : values) {
            value = normal(rng);
        }
        std::vector<std::vector<double>> rows(nobs);
        for (std::size_t i = 0; i < nobs; ++i) {
            rows[i].assign(values.begin() + static_cast<std::ptrdiff_t>(i * ndim),
                           values.begin() + static_cast<std::ptrdiff_t>((i + 1) * ndim));
        }
        for (const std::vector<std::string>& header :
             {std::vector<std::string>{}, std::vector<std::string>{"MNN_1_R", "MNN_2_R", "x y"}}) {
            ASSERT_TRUE(QN::write_csv(dir.file("general.csv"), rows, header, ','));
            ASSERT_TRUE(pairmend::table_io::write_value_table(dir.file("fast.csv"), header, values.data(),
                                                              nobs, ndim));
            EXPECT_TRUE(read_text(dir.file("general.csv")) == read_text(dir.file("fast.csv")))
                << nobs << " rows of " << ndim << " values, header of " << header.size();
        }
    }
}

TEST(FastTableWriter, ReportsFilesThatCannotBeWritten) {
    const TempDir dir;
    const std::vector<double> values(300000, 1.25); // more than one buffer
    EXPECT_FALSE(
        pairmend::table_io::write_value_table(dir.file("no-folder/out.csv"), {"a"}, values.data(), 1, 1));
    EXPECT_FALSE(pairmend::table_io::write_value_table(dir.path().string(), {"a"}, values.data(), 1, 1));
    EXPECT_FALSE(pairmend::table_io::write_value_table("/dev/full", {"a"}, values.data(), 1, 1));
    EXPECT_FALSE(pairmend::table_io::write_value_table("/dev/full", {"a"}, values.data(), 100000, 3));
}
