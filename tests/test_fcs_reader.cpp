// The FCS reader: the real files of ../shared/data/fcs (skipped when absent) against the CSV
// tables made from them, the instruments' files, and constructed files for every data type, byte
// order, bit width, $PnE, supplemental TEXT, $NEXTDATA, large offsets and delimiters; refusals of
// files cut short, files whose counts disagree and files that are not FCS at all.

#include "fcs/fcs_file.hpp"
#include "plugin_framework/csv.hpp"

#include "cli_harness.hpp"
#include "fcs_builder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using fcs_test::BuildChannel;
using fcs_test::FcsBuilder;
using ::testing::HasSubstr;

const std::string shared_fcs = std::string(PAIRMEND_SHARED_DATA) + "/fcs";

/// The message of the runtime_error parse_fcs throws, or a failure when it throws none.
std::string refusal(const std::string& bytes, const std::string& name = "test.fcs") {
    try {
        fcs::parse_fcs(bytes, name);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    ADD_FAILURE() << "parse_fcs accepted the file";
    return {};
}

FcsBuilder two_channel_builder() {
    FcsBuilder builder;
    builder.channels = {{"FSC-A", "", "262144", 32, "0,0"}, {"CD3", "CD3 marker", "262144", 32, "0,0"}};
    builder.events = {{1.5, -2.25}, {100, 3e5}, {0, 7}};
    return builder;
}

// ---------------------------------------------------------------------------------------------
// Real files

std::vector<std::vector<std::string>> read_csv_rows(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    QN::read_csv(path, rows, false);
    return rows;
}

/// True when arcsinh(value / cofactor), rounded to 7 significant digits, is at most one unit in
/// the 7th digit away from the table's value.
bool matches_table(double value, double cofactor, double table) {
    const double transformed = std::asinh(value / cofactor);
    char text[64];
    std::snprintf(text, sizeof text, "%.7g", transformed);
    const double rounded = std::stod(text);
    const double magnitude = std::max(std::fabs(rounded), std::fabs(table));
    if (magnitude == 0) {
        return true;
    }
    const double unit = std::pow(10.0, std::floor(std::log10(magnitude)) - 6);
    return std::fabs(rounded - table) <= unit * 1.0001;
}

/// The FCS channel that a table column comes from: $PnS equal to the column name, or whose last
/// word is (flow files: "PECy5-5 CD3e" for CD3e), or $PnN equal to it.
std::size_t channel_for(const fcs::FcsFile& file, const std::string& column) {
    for (std::size_t c = 0; c < file.channels.size(); ++c) {
        const std::string& label = file.channels[c].label;
        const std::size_t space = label.rfind(' ');
        if (label == column || (space != std::string::npos && label.substr(space + 1) == column)) {
            return c;
        }
    }
    for (std::size_t c = 0; c < file.channels.size(); ++c) {
        if (file.channels[c].name == column) {
            return c;
        }
    }
    ADD_FAILURE() << file.path << " has no channel for the table column " << column;
    return 0;
}

/// Every row of `table` (made from the files its samples sheet lists) against those files.
void check_table(const std::string& table, const std::string& folder, double cofactor) {
    const std::string data = PAIRMEND_SHARED_DATA;
    if (!std::filesystem::exists(data + "/" + table + ".csv") ||
        !std::filesystem::exists(shared_fcs + "/" + folder)) {
        GTEST_SKIP() << "shared data absent";
    }
    const auto rows = read_csv_rows(data + "/" + table + ".csv");
    const auto samples = read_csv_rows(data + "/" + table + "_samples.csv");
    ASSERT_GT(rows.size(), 1u);
    ASSERT_GT(samples.size(), 1u);
    const std::vector<std::string>& header = rows[0];
    const std::size_t ncolumns = header.size() - 2; // values, then batch and event
    std::size_t checked = 0;
    for (std::size_t s = 1; s < samples.size(); ++s) {
        const fcs::FcsFile file = fcs::read_fcs(shared_fcs + "/" + folder + "/" + samples[s][0]);
        const std::size_t first = std::stoul(samples[s][1]);
        const std::size_t last = std::stoul(samples[s][2]);
        ASSERT_EQ(file.num_events, last - first + 1) << file.path;
        std::vector<std::size_t> channel(ncolumns);
        for (std::size_t j = 0; j < ncolumns; ++j) {
            channel[j] = channel_for(file, header[j]);
        }
        const std::vector<double> values = file.linear_values();
        const std::size_t npar = file.channels.size();
        for (std::size_t e = 0; e < file.num_events; ++e) {
            const std::vector<std::string>& row = rows.at(first + e);
            for (std::size_t j = 0; j < ncolumns; ++j) {
                const double value = values[e * npar + channel[j]];
                if (!matches_table(value, cofactor, std::stod(row[j]))) {
                    ADD_FAILURE() << file.path << " event " << e + 1 << " channel " << header[j] << ": "
                                  << value << " gives " << std::asinh(value / cofactor) << ", the table "
                                  << row[j];
                    return;
                }
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, (rows.size() - 1) * ncolumns);
}

TEST(FcsRealFiles, MassCytometryEqualsTheTables) {
    check_table("cytof_all", "mass_cytometry", 5.0);
}

TEST(FcsRealFiles, FlowCytometryEqualsTheTables) {
    check_table("flow_wnv_all", "flow_cytometry", 500.0);
}

TEST(FcsRealFiles, MassCytometryFilesAsDescribed) {
    if (!std::filesystem::exists(shared_fcs + "/mass_cytometry")) {
        GTEST_SKIP() << "shared data absent";
    }
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(shared_fcs + "/mass_cytometry")) {
        const fcs::FcsFile file = fcs::read_fcs(entry.path().string());
        EXPECT_EQ(file.version, "FCS3.0");
        EXPECT_EQ(file.data_type, 'F');
        EXPECT_EQ(file.num_events, 1000u);
        EXPECT_EQ(file.channels.size(), 55u);
        EXPECT_EQ(file.instrument(), "DVSSCIENCES-CYTOF");
        EXPECT_EQ(file.keyword("$byteord").value_or(""), "4,3,2,1");
        EXPECT_FALSE(file.more_data_sets);
        EXPECT_EQ(file.raw.size(), 1000u * 55u);
        ++files;
    }
    EXPECT_EQ(files, 8u);
}

TEST(FcsRealFiles, InstrumentsReadWithTheirCounts) {
    if (!std::filesystem::exists(shared_fcs + "/instruments")) {
        GTEST_SKIP() << "shared data absent";
    }
    struct Expected {
        const char* file;
        const char* version;
        std::size_t events;
        std::size_t channels;
        const char* instrument;
    };
    const Expected expected[] = {
        {"FCS3.0_Custom_Compatible.fcs", "FCS3.0", 10000, 16, "MACSQuant"},
        {"EY_2013-07-19_PBS_FCS_3.1_Well_A1.001.fcs", "FCS3.1", 10000, 19, "MACSQuant"},
        {"FCS_3.0_Fortessa_PBS_Specimen_001_A1_A01.fcs", "FCS3.0", 11585, 11, "LSRII"},
        {"Sample_Well_A02.fcs", "FCS2.0", 37395, 8, "FACSCalibur"},
    };
    for (const Expected& e : expected) {
        const fcs::FcsFile file = fcs::read_fcs(shared_fcs + "/instruments/" + e.file);
        EXPECT_EQ(file.version, e.version) << e.file;
        EXPECT_EQ(file.num_events, e.events) << e.file;
        EXPECT_EQ(file.channels.size(), e.channels) << e.file;
        EXPECT_EQ(file.instrument(), e.instrument) << e.file;
        EXPECT_EQ(file.raw.size(), e.events * e.channels) << e.file;
        EXPECT_TRUE(std::all_of(file.raw.begin(), file.raw.end(), [](double v) { return std::isfinite(v); }));
    }
    // The MACSQuant 3.1 file keeps most of its keywords in a supplemental TEXT.
    const fcs::FcsFile macs =
        fcs::read_fcs(shared_fcs + "/instruments/EY_2013-07-19_PBS_FCS_3.1_Well_A1.001.fcs");
    EXPECT_TRUE(macs.keyword("@MB_SESSIONID").has_value());
    EXPECT_EQ(macs.channels[10].name, "FL2-A");
    EXPECT_EQ(macs.channels[10].label, "V2-A");
    EXPECT_EQ(macs.channels[0].range_text, "25.6708");
    // The Fortessa file pads numbers with blanks and delimits with a form feed.
    const fcs::FcsFile fortessa =
        fcs::read_fcs(shared_fcs + "/instruments/FCS_3.0_Fortessa_PBS_Specimen_001_A1_A01.fcs");
    EXPECT_EQ(fortessa.channels[10].name, "Time");
    EXPECT_EQ(fortessa.keyword("$P1V").value_or(""), "538");
    ASSERT_EQ(fortessa.channels[0].keywords.size(), 2u);
    EXPECT_EQ(fortessa.channels[0].keywords[0], (std::pair<std::string, std::string>("V", "538")));
}

TEST(FcsRealFiles, CalibursLogChannelsAreConverted) {
    const std::string path = shared_fcs + "/instruments/Sample_Well_A02.fcs";
    if (!std::filesystem::exists(path)) {
        GTEST_SKIP() << "shared data absent";
    }
    const fcs::FcsFile file = fcs::read_fcs(path);
    EXPECT_EQ(file.data_type, 'I');
    ASSERT_EQ(file.channels.size(), 8u);
    for (std::size_t c = 0; c < 8; ++c) {
        EXPECT_EQ(file.channels[c].bits, 16);
        EXPECT_EQ(file.channels[c].range, 1024);
        EXPECT_EQ(file.channels[c].log_decades, c < 5 ? 4.0 : 0.0);
        EXPECT_EQ(file.channels[c].log_offset, c < 5 ? 1.0 : 0.0) << "an f2 of 0 is read as 1";
    }
    EXPECT_EQ(file.channels[7].label, "Time (10.24 sec.)");
    const std::vector<double> linear = file.linear_values();
    for (std::size_t e = 0; e < file.num_events; ++e) {
        for (std::size_t c = 0; c < 8; ++c) {
            const double raw = file.raw[e * 8 + c];
            ASSERT_GE(raw, 0);
            ASSERT_LE(raw, 1023) << "masked to the 10 bits of the range 1024";
            const double expected = c < 5 ? std::pow(10.0, 4.0 * raw / 1024.0) : raw;
            ASSERT_EQ(linear[e * 8 + c], expected);
        }
    }
    // The first event as stored: FSC-H 71, SSC-H 83.
    EXPECT_EQ(file.raw[0], 71);
    EXPECT_EQ(file.raw[1], 83);
    EXPECT_NEAR(linear[0], std::pow(10.0, 4.0 * 71 / 1024), 1e-12);
    const std::vector<fcs::Channel> channels = file.linear_channels();
    EXPECT_EQ(channels[0].range, 10000);
    EXPECT_EQ(channels[0].range_text, "10000");
    EXPECT_EQ(channels[0].log_decades, 0);
    EXPECT_EQ(channels[5].range_text, "1024");
}

TEST(FcsRealFiles, CorruptedFileIsRefused) {
    const std::string path = shared_fcs + "/instruments/corrupted.fcs";
    if (!std::filesystem::exists(path)) {
        GTEST_SKIP() << "shared data absent";
    }
    try {
        fcs::read_fcs(path);
        FAIL() << "corrupted.fcs was read";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "The file " + path +
                      " is not an FCS file: it does not begin with an FCS version such as "
                      "FCS3.1.");
    }
}

TEST(FcsRealFiles, EveryFileReadsOrIsRefusedWithItsName) {
    if (!std::filesystem::exists(shared_fcs)) {
        GTEST_SKIP() << "shared data absent";
    }
    std::size_t read = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(shared_fcs)) {
        if (entry.path().extension() != ".fcs") {
            continue;
        }
        const std::string path = entry.path().string();
        if (entry.path().filename() == "corrupted.fcs") {
            EXPECT_THROW(fcs::read_fcs(path), std::runtime_error);
            continue;
        }
        const fcs::FcsFile file = fcs::read_fcs(path);
        EXPECT_EQ(file.path, path);
        EXPECT_GT(file.num_events, 0u);
        ++read;
    }
    EXPECT_GE(read, 28u);
}

TEST(FcsReader, MissingFileIsRefusedWithItsName) {
    pairmend_test::TempDir dir;
    const std::string path = dir.file("absent.fcs");
    try {
        fcs::read_fcs(path);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr("The file " + path + " cannot be read: "));
    }
}

// ---------------------------------------------------------------------------------------------
// Constructed files: data types, byte orders, widths

TEST(FcsConstructed, FloatsInEveryByteOrder) {
    for (const std::string order : {"1,2,3,4", "4,3,2,1", "3,4,1,2", "2,1,4,3"}) {
        FcsBuilder builder = two_channel_builder();
        builder.byteord = order;
        const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "floats.fcs");
        EXPECT_EQ(file.data_type, 'F');
        EXPECT_EQ(file.num_events, 3u);
        EXPECT_EQ(file.raw, (std::vector<double>{1.5, -2.25, 100, 3e5, 0, 7})) << order;
        EXPECT_EQ(file.channels[1].label, "CD3 marker");
        EXPECT_EQ(file.channels[0].label, "");
        EXPECT_EQ(file.channels[0].bits, 32);
    }
}

TEST(FcsConstructed, MixedByteOrderBytesAreAsTheStandardSays) {
    // 3,4,1,2: the stored bytes are the value's third, fourth, first and second byte.
    FcsBuilder builder;
    builder.datatype = "I";
    builder.byteord = "3,4,1,2";
    builder.channels = {{"A", "", "4294967296", 32, "0,0"}, {"B", "", "65536", 16, "0,0"}};
    builder.events = {{0x01020304, 0x0506}};
    const std::string bytes = builder.build();
    const std::size_t data = builder.data_offset();
    EXPECT_EQ(bytes.substr(data, 6), std::string("\x02\x01\x04\x03\x06\x05", 6));
    const fcs::FcsFile file = fcs::parse_fcs(bytes, "pdp.fcs");
    EXPECT_EQ(file.raw, (std::vector<double>{0x01020304, 0x0506}));
    // 2,1,4,3 stores 16-bit values most significant byte first.
    builder.byteord = "2,1,4,3";
    EXPECT_EQ(fcs::parse_fcs(builder.build(), "x.fcs").raw, (std::vector<double>{0x01020304, 0x0506}));
    EXPECT_EQ(builder.build().substr(data, 6), std::string("\x03\x04\x01\x02\x05\x06", 6));
}

TEST(FcsConstructed, DoublesInBothByteOrders) {
    for (const std::string order : {"1,2,3,4,5,6,7,8", "8,7,6,5,4,3,2,1", "1,2,3,4", "4,3,2,1"}) {
        FcsBuilder builder;
        builder.datatype = "D";
        builder.byteord = order;
        builder.channels = {{"X", "", "1", 64, "0,0"}, {"Y", "", "1", 64, "0,0"}};
        builder.events = {{0.1, -1e300}, {5e-324, 12345.678}};
        const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "doubles.fcs");
        EXPECT_EQ(file.data_type, 'D');
        EXPECT_EQ(file.raw, (std::vector<double>{0.1, -1e300, 5e-324, 12345.678})) << order;
    }
}

TEST(FcsConstructed, IntegersOfEveryWidthAndOrder) {
    for (const std::string order : {"1,2,3,4", "4,3,2,1"}) {
        for (const int bits : {8, 16, 24, 32, 40, 48, 56, 64}) {
            FcsBuilder builder;
            builder.datatype = "I";
            builder.byteord = order;
            const double top = bits >= 53 ? 9007199254740991.0 : std::ldexp(1.0, bits) - 1;
            const std::string range =
                bits == 64 ? "18446744073709551616" : std::to_string(static_cast<std::uint64_t>(top) + 1);
            builder.channels = {{"A", "", range, bits, "0,0"}};
            builder.events = {{0}, {1}, {top}, {std::floor(top / 3)}};
            const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "ints.fcs");
            EXPECT_EQ(file.raw, (std::vector<double>{0, 1, top, std::floor(top / 3)}))
                << order << " " << bits;
            EXPECT_EQ(file.channels[0].bits, bits);
        }
    }
}

TEST(FcsConstructed, WidthsDifferPerChannel) {
    for (const std::string order : {"1,2,3,4", "4,3,2,1", "3,4,1,2"}) {
        FcsBuilder builder;
        builder.datatype = "I";
        builder.byteord = order;
        builder.channels = {{"A", "", "256", 8, "0,0"},
                            {"B", "", "65536", 16, "0,0"},
                            {"C", "", "4294967296", 32, "0,0"},
                            {"D", "", "1024", 16, "0,0"},
                            {"E", "", "16777216", order == "3,4,1,2" ? 32 : 24, "0,0"}};
        for (int e = 0; e < 500; ++e) {
            builder.events.push_back({double(e % 256), double(e * 131 % 65536),
                                      double(e * 7919u * 104729u % 4294967296u), double(e % 1024),
                                      double(e * 9973 % 16777216)});
        }
        const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "mixed.fcs");
        ASSERT_EQ(file.num_events, 500u);
        for (std::size_t e = 0; e < 500; ++e) {
            for (std::size_t c = 0; c < 5; ++c) {
                ASSERT_EQ(file.raw[e * 5 + c], builder.events[e][c])
                    << order << " event " << e << " channel " << c;
            }
        }
    }
}

TEST(FcsConstructed, IntegersAreMaskedToTheirRange) {
    FcsBuilder builder;
    builder.datatype = "I";
    builder.byteord = "4,3,2,1";
    // Range 1024 needs 10 bits; 1000 needs 10 bits too; 1025 needs 11; 0x10000 all 16.
    builder.channels = {{"A", "", "1024", 16, "0,0"},
                        {"B", "", " 1000 ", 16, "0,0"},
                        {"C", "", "1025", 16, "0,0"},
                        {"D", "", "65536", 16, "0,0"},
                        {"E", "", "256", 64, "0,0"}};
    builder.events = {{0xFC05, 0x0C07, 0xFFFF, 0xFFFF, 18446744073709549568.0},
                      {1023, 1023, 1024, 65535, 255}};
    const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "masked.fcs");
    EXPECT_EQ(file.raw, (std::vector<double>{0x005, 0x007, 0x7FF, 0xFFFF, 0, 1023, 1023, 1024, 65535, 255}));
}

TEST(FcsConstructed, LogChannelsConvertToLinear) {
    FcsBuilder builder;
    builder.datatype = "I";
    builder.byteord = "1,2";
    builder.channels = {{"LOG", "", "1024", 16, "4,0"},
                        {"LOG2", "", "1024", 16, " 3 , 0.5 "},
                        {"LIN", "", "1024", 16, "0,0"},
                        {"NOE", "", "1024", 16, ""}};
    builder.events = {{0, 0, 0, 0}, {256, 512, 5, 6}, {1023, 1023, 1023, 1023}};
    const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "log.fcs");
    EXPECT_EQ(file.channels[0].log_decades, 4);
    EXPECT_EQ(file.channels[0].log_offset, 1) << "an f2 of 0 is read as 1";
    EXPECT_EQ(file.channels[1].log_decades, 3);
    EXPECT_EQ(file.channels[1].log_offset, 0.5);
    EXPECT_EQ(file.channels[3].log_decades, 0);
    const std::vector<double> linear = file.linear_values();
    EXPECT_EQ(linear[0], 1);
    EXPECT_EQ(linear[1], 0.5);
    EXPECT_DOUBLE_EQ(linear[4], 10);
    EXPECT_DOUBLE_EQ(linear[5], std::pow(10.0, 1.5) * 0.5);
    EXPECT_EQ(linear[6], 5);
    EXPECT_EQ(linear[7], 6);
    EXPECT_DOUBLE_EQ(linear[8], std::pow(10.0, 4.0 * 1023 / 1024));
    EXPECT_EQ(file.raw[8], 1023) << "raw keeps the stored value";
    const auto channels = file.linear_channels();
    EXPECT_EQ(channels[0].range, 10000);
    EXPECT_DOUBLE_EQ(channels[1].range, 500);
    EXPECT_EQ(channels[2].range_text, "1024");
}

TEST(FcsConstructed, LogOnFloatChannelsIsNotApplied) {
    FcsBuilder builder = two_channel_builder();
    builder.channels[0].amplification = "4,1";
    const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "f.fcs");
    EXPECT_EQ(file.channels[0].log_decades, 4);
    EXPECT_EQ(file.linear_values(), file.raw);
}

// ---------------------------------------------------------------------------------------------
// TEXT: delimiters, case, supplemental TEXT, offsets

TEST(FcsConstructed, AnyDelimiterAndDoubledDelimitersInValues) {
    for (const char delimiter : {'/', '|', '\\', '\x0c', '\t', ',', '*'}) {
        FcsBuilder builder = two_channel_builder();
        builder.delimiter = delimiter;
        const std::string d(1, delimiter);
        // (A value cannot begin with the delimiter: the standard forbids it, as it reads as a doubled one.)
        builder.keywords = {{"$CYT", "Cyto" + d + "meter"}, {"TRAIL", "y" + d}, {"MY" + d + "KEY", "v"}};
        builder.channels[1].label = "CD3" + d + "CD28";
        builder.channels[0].name = "FSC" + d + "A";
        const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "delim.fcs");
        EXPECT_EQ(file.instrument(), "Cyto" + d + "meter") << int(delimiter);
        EXPECT_EQ(file.keyword("TRAIL").value_or(""), "y" + d);
        EXPECT_EQ(file.keyword("my" + d + "key").value_or(""), "v");
        EXPECT_EQ(file.channels[1].label, "CD3" + d + "CD28");
        EXPECT_EQ(file.channels[0].name, "FSC" + d + "A");
        EXPECT_EQ(file.raw, (std::vector<double>{1.5, -2.25, 100, 3e5, 0, 7}));
    }
}

TEST(FcsConstructed, KeywordsAreCaseInsensitive) {
    FcsBuilder builder = two_channel_builder();
    builder.keywords = {{"$Cyt", "Aurora"}, {"$p1v", "450"}};
    std::string bytes = builder.build();
    // Lower-case every required keyword name in place (same length, so offsets hold).
    for (const std::string key : {"$BYTEORD", "$DATATYPE", "$PAR", "$TOT", "$P1B", "$P2N", "$BEGINDATA"}) {
        const std::size_t at = bytes.find("/" + key + "/");
        ASSERT_NE(at, std::string::npos);
        for (std::size_t i = 0; i < key.size(); ++i) {
            bytes[at + 1 + i] = static_cast<char>(std::tolower(static_cast<unsigned char>(key[i])));
        }
    }
    const fcs::FcsFile file = fcs::parse_fcs(bytes, "case.fcs");
    EXPECT_EQ(file.instrument(), "Aurora");
    EXPECT_EQ(file.keyword("$CYT").value_or(""), "Aurora");
    EXPECT_EQ(file.keyword("$P1V").value_or(""), "450");
    EXPECT_EQ(file.channels[1].name, "CD3");
    ASSERT_EQ(file.channels[0].keywords.size(), 1u);
    EXPECT_EQ(file.channels[0].keywords[0].first, "v");
    EXPECT_EQ(file.raw.size(), 6u);
    EXPECT_FALSE(file.keyword("$NOPE").has_value());
}

TEST(FcsConstructed, SupplementalText) {
    FcsBuilder builder = two_channel_builder();
    builder.version = "FCS3.0";
    builder.supplemental = {{"$CYT", "In supplemental"}, {"$P2V", "700"}, {"LONG", std::string(5000, 'z')}};
    const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "stext.fcs");
    EXPECT_EQ(file.instrument(), "In supplemental");
    EXPECT_EQ(file.keyword("LONG").value_or("").size(), 5000u);
    ASSERT_EQ(file.channels[1].keywords.size(), 1u);
    EXPECT_EQ(file.channels[1].keywords[0].second, "700");
    EXPECT_EQ(file.raw, (std::vector<double>{1.5, -2.25, 100, 3e5, 0, 7}));
    // A keyword in both: the primary TEXT's value wins; both stay in `keywords`.
    builder.keywords = {{"$CYT", "In primary"}};
    const fcs::FcsFile both = fcs::parse_fcs(builder.build(), "stext.fcs");
    EXPECT_EQ(both.instrument(), "In primary");
    EXPECT_EQ(std::count_if(both.keywords.begin(), both.keywords.end(),
                            [](const auto& k) { return k.first == "$CYT"; }),
              2);
}

TEST(FcsConstructed, NextDataSetIsReported) {
    FcsBuilder builder = two_channel_builder();
    builder.nextdata = "12345";
    std::string bytes = builder.build();
    const fcs::FcsFile file = fcs::parse_fcs(bytes, "next.fcs");
    EXPECT_TRUE(file.more_data_sets);
    EXPECT_EQ(file.raw, (std::vector<double>{1.5, -2.25, 100, 3e5, 0, 7}));
    builder.nextdata = "        0";
    EXPECT_FALSE(fcs::parse_fcs(builder.build(), "one.fcs").more_data_sets);
}

TEST(FcsConstructed, DataOffsetsOnlyInText) {
    FcsBuilder builder = two_channel_builder();
    builder.data_offsets_in_header = false;
    EXPECT_EQ(fcs::parse_fcs(builder.build(), "t.fcs").raw,
              (std::vector<double>{1.5, -2.25, 100, 3e5, 0, 7}));
    builder.header_offset_format = "%-8llu"; // left-justified offsets are tolerated
    EXPECT_EQ(fcs::parse_fcs(builder.build(), "t.fcs").raw.size(), 6u);
}

TEST(FcsConstructed, OffsetsBeyondTheHeadersEightDigits) {
    // A DATA segment beyond byte 99,999,999: the HEADER gives 0, the TEXT the real offsets.
    FcsBuilder builder = two_channel_builder();
    builder.gap_before_data = 100000000;
    builder.trailer = "00000000";
    const std::string bytes = builder.build();
    ASSERT_GT(bytes.size(), 100000000u);
    EXPECT_EQ(bytes.substr(26, 16), "       0       0");
    const fcs::FcsFile file = fcs::parse_fcs(bytes, "large.fcs");
    EXPECT_EQ(file.raw, (std::vector<double>{1.5, -2.25, 100, 3e5, 0, 7}));
    EXPECT_THAT(refusal(bytes.substr(0, bytes.size() - 12), "large.fcs"),
                HasSubstr("The file large.fcs is cut short: its DATA segment runs from byte offset 100"));
}

TEST(FcsConstructed, Fcs2WithoutTotOrDataKeywords) {
    FcsBuilder builder;
    builder.version = "FCS2.0";
    builder.datatype = "I";
    builder.byteord = "4,3,2,1";
    builder.write_tot = false;
    builder.channels = {{"FSC-H", "", "1024", 16, "0,0"}, {"FL1-H", "", "1024", 16, "4,0"}};
    builder.events = {{1, 2}, {3, 4}, {1023, 512}};
    const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "old.fcs");
    EXPECT_EQ(file.version, "FCS2.0");
    EXPECT_EQ(file.num_events, 3u);
    EXPECT_EQ(file.raw, (std::vector<double>{1, 2, 3, 4, 1023, 512}));
    // No $PnN: the channel is named P<n>.
    builder.keywords = {};
    std::string bytes = builder.build();
    const std::size_t at = bytes.find("/$P2N/FL1-H/");
    bytes.replace(at, 12, "/$P2X/FL1-H/");
    EXPECT_EQ(fcs::parse_fcs(bytes, "old.fcs").channels[1].name, "P2");
}

TEST(FcsConstructed, LenientEndsOfText) {
    FcsBuilder builder = two_channel_builder();
    builder.keywords = {{"LAST", "value"}};
    builder.final_delimiter = false;
    EXPECT_EQ(fcs::parse_fcs(builder.build(), "t.fcs").keyword("LAST").value_or(""), "value");
    builder.final_delimiter = true;
    builder.text_padding = std::string("   \0\0", 5);
    EXPECT_EQ(fcs::parse_fcs(builder.build(), "t.fcs").keyword("LAST").value_or(""), "value");
    // Off by one: the DATA segment is one byte longer than the events (as some writers do).
    builder.data_suffix = "x";
    EXPECT_EQ(fcs::parse_fcs(builder.build(), "t.fcs").num_events, 3u);
    // Blanks around numbers.
    builder.data_suffix.clear();
    builder.tot = "  3  ";
    builder.channels[0].range = " 1024 ";
    EXPECT_EQ(fcs::parse_fcs(builder.build(), "t.fcs").num_events, 3u);
}

TEST(FcsConstructed, NoEvents) {
    FcsBuilder builder = two_channel_builder();
    builder.events.clear();
    const fcs::FcsFile file = fcs::parse_fcs(builder.build(), "empty.fcs");
    EXPECT_EQ(file.num_events, 0u);
    EXPECT_TRUE(file.raw.empty());
    EXPECT_EQ(file.channels.size(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Refusals

TEST(FcsRefusals, NotAnFcsFile) {
    EXPECT_EQ(refusal("", "a.fcs"),
              "The file a.fcs is not an FCS file: it does not begin with an FCS version such as FCS3.1.");
    EXPECT_EQ(refusal("PK\x03\x04 zip archive", "a.fcs"),
              "The file a.fcs is not an FCS file: it does not begin with an FCS version such as FCS3.1.");
    EXPECT_EQ(refusal("time,FSC-A\n1,2\n", "a.csv"),
              "The file a.csv is not an FCS file: it does not begin with an FCS version such as FCS3.1.");
    FcsBuilder builder = two_channel_builder();
    builder.version = "FCS3.2";
    EXPECT_EQ(refusal(builder.build(), "new.fcs"), "The file new.fcs is written in version FCS3.2 of the "
                                                   "Flow Cytometry Standard, which this reader does "
                                                   "not read (it reads FCS2.0, FCS3.0 and FCS3.1).");
    builder.version = "FCSX.Y";
    EXPECT_THAT(refusal(builder.build()), HasSubstr("is not an FCS file"));
}

TEST(FcsRefusals, CutShortAtEverySegment) {
    FcsBuilder builder = two_channel_builder();
    builder.version = "FCS3.0";
    builder.supplemental = {{"$CYT", "Supplemental"}};
    const std::string bytes = builder.build();
    const std::size_t data = builder.data_offset();
    const std::size_t stext = bytes.find("/$CYT/Supplemental/");
    ASSERT_NE(stext, std::string::npos);
    // Every prefix is refused, with the segment it ends in.
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        const std::string message = refusal(bytes.substr(0, length), "short.fcs");
        ASSERT_THAT(message, HasSubstr("The file short.fcs ")) << length;
        if (length < 3) {
            EXPECT_THAT(message, HasSubstr("is not an FCS file")) << length;
        } else if (length < 58) {
            EXPECT_THAT(message, HasSubstr("is cut short")) << length;
            EXPECT_THAT(message, HasSubstr(length < 6 ? "version" : "HEADER")) << length;
        } else if (length < stext) {
            EXPECT_THAT(message, HasSubstr("is cut short: its TEXT segment runs from byte offset 58"))
                << length;
        } else if (length < data) {
            EXPECT_THAT(message, HasSubstr("is cut short: its supplemental TEXT segment")) << length;
        } else {
            EXPECT_THAT(message, HasSubstr("is cut short: its DATA segment runs from byte offset " +
                                           std::to_string(data)))
                << length;
        }
    }
    EXPECT_NO_THROW(fcs::parse_fcs(bytes, "whole.fcs"));
}

TEST(FcsRefusals, CutShortAnalysisSegment) {
    FcsBuilder builder = two_channel_builder();
    std::string bytes = builder.build();
    // Point the HEADER's ANALYSIS offsets past the end of the file.
    const std::string size = std::to_string(bytes.size() + 10);
    bytes.replace(42, 16, std::string(8 - 2, ' ') + "60" + std::string(8 - size.size(), ' ') + size);
    EXPECT_THAT(refusal(bytes),
                HasSubstr("is cut short: its ANALYSIS segment runs from byte offset 60 to " + size));
}

TEST(FcsRefusals, CountsThatDisagreeWithTheFileSize) {
    FcsBuilder builder = two_channel_builder();
    builder.tot = "4";
    EXPECT_EQ(refusal(builder.build(), "c.fcs"), "The file c.fcs does not agree with itself: 4 events ($TOT) "
                                                 "of 8 bytes (2 channels) need more than the 24 "
                                                 "bytes of its DATA segment (room for 3 events).");
    builder.tot = "2";
    EXPECT_EQ(refusal(builder.build(), "c.fcs"), "The file c.fcs does not agree with itself: 2 events ($TOT) "
                                                 "of 8 bytes (2 channels) need 16 bytes, but "
                                                 "its DATA segment holds 24 bytes (room for 3 events).");
    // A $TOT far beyond the file is refused before any buffer is sized from it.
    builder.tot = "18446744073709551615";
    EXPECT_THAT(refusal(builder.build()), HasSubstr("18446744073709551615 events ($TOT) of 8 bytes"));
    builder.tot = "99999999999999999999999";
    EXPECT_THAT(refusal(builder.build()),
                HasSubstr("its $TOT is \"99999999999999999999999\", not a whole number."));
    // Widths that disagree with the data: a channel declared 64 bits wide.
    builder.tot.reset();
    builder.datatype = "I";
    builder.events = {{1, 2}, {3, 4}, {5, 6}};
    builder.channels[0].bits = 16;
    builder.channels[1].bits = 16;
    std::string bytes = builder.build();
    bytes.replace(bytes.find("/$P1B/16/"), 9, "/$P1B/64/");
    EXPECT_THAT(refusal(bytes),
                HasSubstr("3 events ($TOT) of 10 bytes (2 channels) need more than the 12 bytes"));
    // $PAR beyond what the TEXT could describe.
    builder = two_channel_builder();
    bytes = builder.build();
    bytes.replace(bytes.find("/$PAR/2/"), 8, "/$PAR/9/");
    EXPECT_THAT(refusal(bytes), HasSubstr("its TEXT does not give the width of channel 3 ($P3B)."));
    bytes.replace(bytes.find("/$PAR/9/"), 8, "/$PAR/0/");
    EXPECT_THAT(refusal(bytes), HasSubstr("holds no channels: its $PAR is 0."));
}

TEST(FcsRefusals, OffsetsThatDisagree) {
    FcsBuilder builder = two_channel_builder();
    std::string bytes = builder.build();
    const std::string begin = bytes.substr(26, 8);
    std::string moved = bytes;
    moved.replace(26, 8, "      59");
    EXPECT_THAT(
        refusal(moved, "o.fcs"),
        HasSubstr(
            "The file o.fcs disagrees with itself about where its DATA segment lies: the HEADER says byte "
            "offsets 59 to"));
    moved = bytes;
    moved.replace(26, 8, "      10");
    moved.replace(34, 8, "      20");
    EXPECT_THAT(refusal(moved), HasSubstr("DATA segment lies"));
    builder.data_offsets_in_text = false;
    bytes = builder.build();
    bytes.replace(26, 8, "      10");
    EXPECT_THAT(refusal(bytes),
                HasSubstr("its DATA segment begins at byte offset 10, inside the 58-byte HEADER."));
    bytes.replace(26, 8, "     300");
    bytes.replace(34, 8, "     200");
    EXPECT_THAT(refusal(bytes),
                HasSubstr("its DATA segment ends (byte offset 200) before it begins (byte offset 300)."));
    bytes.replace(26, 8, "       0");
    bytes.replace(34, 8, "       0");
    EXPECT_THAT(refusal(bytes), HasSubstr("declares 3 events ($TOT) but gives no DATA segment"));
    bytes.replace(10, 8, "      xx");
    EXPECT_THAT(
        refusal(bytes),
        HasSubstr("the TEXT start offset in its HEADER (bytes 11 to 18) is \"      xx\", not a number."));
    bytes.replace(10, 8, "       0");
    bytes.replace(18, 8, "       0");
    EXPECT_THAT(refusal(bytes), HasSubstr("its HEADER gives no TEXT segment"));
}

TEST(FcsRefusals, LayoutsThatCannotBeRead) {
    FcsBuilder builder = two_channel_builder();
    builder.mode = "C";
    EXPECT_EQ(refusal(builder.build(), "h.fcs"),
              "The file h.fcs holds data in mode $MODE \"C\" (histograms), but only list-mode data ($MODE L) "
              "can be read.");
    builder = two_channel_builder();
    builder.datatype = "A";
    EXPECT_THAT(refusal(builder.build()), HasSubstr("its values are ASCII text ($DATATYPE A)"));
    builder.datatype = "Q";
    EXPECT_THAT(refusal(builder.build()), HasSubstr("its $DATATYPE \"Q\" is none of I, F, D and A."));
    builder = two_channel_builder();
    builder.channels[1].bits = 16;
    EXPECT_THAT(refusal(builder.build()),
                HasSubstr("channel 2 of its float data ($DATATYPE F) has $P2B 16 instead of 32."));
    builder = two_channel_builder();
    builder.datatype = "I";
    builder.channels[0].bits = 12;
    builder.channels[1].bits = 12;
    builder.events = {};
    EXPECT_THAT(refusal(builder.build()),
                HasSubstr("channel 1 stores integers of 12 bits; only whole bytes"));
    builder.channels[0].bits = 128;
    EXPECT_THAT(refusal(builder.build()), HasSubstr("at most 64 bits"));
    builder.channels[0].bits = 16;
    builder.channels[1].bits = 16;
    builder.byteord = "1,2,3"; // ascending: little-endian for any width
    builder.events = {{1, 2}};
    EXPECT_EQ(fcs::parse_fcs(builder.build(), "t.fcs").raw, (std::vector<double>{1, 2}));
}

TEST(FcsRefusals, BadKeywordValues) {
    FcsBuilder builder = two_channel_builder();
    builder.byteord = "1,2,2,4";
    EXPECT_THAT(refusal(builder.build()),
                HasSubstr("its $BYTEORD \"1,2,2,4\" is not an order of the byte numbers 1 to 4."));
    builder.byteord = "big";
    EXPECT_THAT(refusal(builder.build()), HasSubstr("its $BYTEORD \"big\" is not a list of byte numbers"));
    builder = two_channel_builder();
    builder.datatype = "I";
    builder.byteord = "3,4,1,2";
    builder.channels[0].bits = 24;
    builder.channels[1].bits = 24;
    builder.events = {};
    EXPECT_THAT(
        refusal(builder.build()),
        HasSubstr(
            "its mixed byte order $BYTEORD \"3,4,1,2\" does not say how the 3-byte values of channel 1"));
    builder = two_channel_builder();
    builder.channels[0].amplification = "four";
    EXPECT_THAT(refusal(builder.build()), HasSubstr("its $P1E \"four\" is not two numbers f1,f2"));
    builder = two_channel_builder();
    builder.channels[0].range = "wide";
    EXPECT_THAT(refusal(builder.build()),
                HasSubstr("the range of channel 1, $P1R \"wide\", is not a number."));
    builder = two_channel_builder();
    builder.datatype = "I";
    builder.channels = {{"A", "", "", 16, "4,1"}};
    builder.events = {{1}};
    EXPECT_THAT(refusal(builder.build()),
                HasSubstr("channel 1 is logarithmic ($P1E) but has no positive range ($P1R)."));
}

TEST(FcsRefusals, BrokenText) {
    FcsBuilder builder = two_channel_builder();
    std::string bytes = builder.build();
    // A keyword without a value at the end of the TEXT.
    builder.keywords = {{"LAST", "value"}};
    std::string text_bytes = builder.build();
    const std::size_t at = text_bytes.find("/LAST/value/");
    text_bytes.replace(at, 12, "/LASTKEYWORD");
    EXPECT_THAT(refusal(text_bytes),
                HasSubstr("its TEXT segment ends with the keyword \"LASTKEYWORD\" without a value."));
    text_bytes = builder.build();
    text_bytes.replace(text_bytes.find("/LAST/value/"), 12, "/valueLAST//");
    EXPECT_THAT(refusal(text_bytes), HasSubstr("without a value"));
    // Required keywords missing.
    for (const std::string key : {"$DATATYPE", "$BYTEORD", "$PAR"}) {
        std::string missing = bytes;
        const std::size_t pos = missing.find("/" + key + "/");
        missing[pos + 2] = 'X';
        EXPECT_THAT(refusal(missing), HasSubstr("its TEXT has no " + key)) << key;
    }
}

} // namespace
