// The FCS reader as a whole, on real files: the files of ../shared/data/fcs (skipped when absent)
// against the CSV tables made from them, and the instruments' files with their counts, channels
// and keywords. The reader's parts have their own test files: test_fcs_header_text (HEADER and
// TEXT), test_fcs_data_layout (layout, bounds and decoding of the DATA) and test_fcs_byte_source
// (reading from a file).

#include "pairmend/fcs/fcs_file.hpp"
#include "plugin_framework/csv.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::string shared_fcs = std::string(PAIRMEND_SHARED_DATA) + "/fcs";

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
std::size_t channel_for(const pairmend::fcs::FcsFile& file, const std::string& column) {
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
        const pairmend::fcs::FcsFile file =
            pairmend::fcs::read_fcs(shared_fcs + "/" + folder + "/" + samples[s][0]);
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
        const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(entry.path().string());
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
        const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(shared_fcs + "/instruments/" + e.file);
        EXPECT_EQ(file.version, e.version) << e.file;
        EXPECT_EQ(file.num_events, e.events) << e.file;
        EXPECT_EQ(file.channels.size(), e.channels) << e.file;
        EXPECT_EQ(file.instrument(), e.instrument) << e.file;
        EXPECT_EQ(file.raw.size(), e.events * e.channels) << e.file;
        EXPECT_TRUE(std::all_of(file.raw.begin(), file.raw.end(), [](double v) { return std::isfinite(v); }));
    }
    // The MACSQuant 3.1 file keeps most of its keywords in a supplemental TEXT.
    const pairmend::fcs::FcsFile macs =
        pairmend::fcs::read_fcs(shared_fcs + "/instruments/EY_2013-07-19_PBS_FCS_3.1_Well_A1.001.fcs");
    EXPECT_TRUE(macs.keyword("@MB_SESSIONID").has_value());
    EXPECT_EQ(macs.channels[10].name, "FL2-A");
    EXPECT_EQ(macs.channels[10].label, "V2-A");
    EXPECT_EQ(macs.channels[0].range_text, "25.6708");
    // The Fortessa file pads numbers with blanks and delimits with a form feed.
    const pairmend::fcs::FcsFile fortessa =
        pairmend::fcs::read_fcs(shared_fcs + "/instruments/FCS_3.0_Fortessa_PBS_Specimen_001_A1_A01.fcs");
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
    const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
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
    const std::vector<pairmend::fcs::Channel> channels = file.linear_channels();
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
        pairmend::fcs::read_fcs(path);
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
            EXPECT_THROW(pairmend::fcs::read_fcs(path), std::runtime_error);
            continue;
        }
        const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
        EXPECT_EQ(file.path, path);
        EXPECT_GT(file.num_events, 0u);
        ++read;
    }
    EXPECT_GE(read, 28u);
}

} // namespace
