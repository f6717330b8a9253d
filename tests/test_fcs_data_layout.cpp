// The layout of the DATA segment and the decoding of its values: every data type, byte order and
// bit width, $PnE, where the DATA segment lies, $TOT against the segment, $NEXTDATA, and the
// refusal of layouts that are wrong or cannot be read.

#include "pairmend/fcs/fcs_file.hpp"

#include "cli_harness.hpp"
#include "fcs_builder.hpp"
#include "fcs_read_checks.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using fcs_test::FcsBuilder;
using fcs_test::refusal;
using fcs_test::two_channel_builder;
using ::testing::HasSubstr;

// ---------------------------------------------------------------------------------------------
// Data types, byte orders, widths, amplification

TEST(FcsConstructed, FloatsInEveryByteOrder) {
    for (const std::string order : {"1,2,3,4", "4,3,2,1", "3,4,1,2", "2,1,4,3"}) {
        FcsBuilder builder = two_channel_builder();
        builder.byteord = order;
        const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "floats.fcs");
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
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(bytes, "pdp.fcs");
    EXPECT_EQ(file.raw, (std::vector<double>{0x01020304, 0x0506}));
    // 2,1,4,3 stores 16-bit values most significant byte first.
    builder.byteord = "2,1,4,3";
    EXPECT_EQ(pairmend::fcs::parse_fcs(builder.build(), "x.fcs").raw,
              (std::vector<double>{0x01020304, 0x0506}));
    EXPECT_EQ(builder.build().substr(data, 6), std::string("\x03\x04\x01\x02\x05\x06", 6));
}

TEST(FcsConstructed, DoublesInBothByteOrders) {
    for (const std::string order : {"1,2,3,4,5,6,7,8", "8,7,6,5,4,3,2,1", "1,2,3,4", "4,3,2,1"}) {
        FcsBuilder builder;
        builder.datatype = "D";
        builder.byteord = order;
        builder.channels = {{"X", "", "1", 64, "0,0"}, {"Y", "", "1", 64, "0,0"}};
        builder.events = {{0.1, -1e300}, {5e-324, 12345.678}};
        const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "doubles.fcs");
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
            const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "ints.fcs");
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
        const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "mixed.fcs");
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
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "masked.fcs");
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
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "log.fcs");
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

// A file read a block of events at a time gives the values read_fcs gives the whole file.
TEST(FcsConstructed, BlocksOfEventsReadAsTheWholeFile) {
    pairmend_test::TempDir dir;
    FcsBuilder builder;
    builder.datatype = "I";
    builder.channels = {{"LOG", "", "1024", 16, "4,0"}, {"LIN", "", "1024", 16, "0,0"}};
    for (int e = 0; e < 700; ++e) {
        builder.events.push_back({static_cast<double>((e * 37) % 1024), static_cast<double>(e % 1000)});
    }
    const std::string path = dir.file("log.fcs");
    pairmend_test::write_text(path, builder.build());
    const pairmend::fcs::FcsFile whole = pairmend::fcs::read_fcs(path);
    const std::vector<double> linear = whole.linear_values();

    pairmend::fcs::FcsReader reader(path);
    EXPECT_TRUE(reader.file().raw.empty());
    EXPECT_EQ(reader.file().num_events, 700u);
    const pairmend::fcs::LinearScale scale(reader.file());
    std::vector<double> blocks;
    for (std::size_t first = 0; first < 700; first += 300) { // 300, 300, then 100 events
        const std::size_t count = std::min<std::size_t>(300, 700 - first);
        std::vector<double> block(count * 2);
        reader.read_events(first, count, block.data());
        scale.apply(block.data(), count);
        blocks.insert(blocks.end(), block.begin(), block.end());
    }
    EXPECT_EQ(blocks, linear);
    std::vector<double> one(2);
    EXPECT_THROW(reader.read_events(700, 1, one.data()), std::out_of_range);
}

TEST(FcsConstructed, LogOnFloatChannelsIsNotApplied) {
    FcsBuilder builder = two_channel_builder();
    builder.channels[0].amplification = "4,1";
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "f.fcs");
    EXPECT_EQ(file.channels[0].log_decades, 4);
    EXPECT_EQ(file.linear_values(), file.raw);
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
    EXPECT_EQ(pairmend::fcs::parse_fcs(builder.build(), "t.fcs").raw, (std::vector<double>{1, 2}));
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

// ---------------------------------------------------------------------------------------------
// Where the DATA segment lies and how many events it holds

TEST(FcsConstructed, DataOffsetsOnlyInText) {
    FcsBuilder builder = two_channel_builder();
    builder.data_offsets_in_header = false;
    EXPECT_EQ(pairmend::fcs::parse_fcs(builder.build(), "t.fcs").raw,
              (std::vector<double>{1.5, -2.25, 100, 3e5, 0, 7}));
    builder.header_offset_format = "%-8llu"; // left-justified offsets are tolerated
    EXPECT_EQ(pairmend::fcs::parse_fcs(builder.build(), "t.fcs").raw.size(), 6u);
}

TEST(FcsConstructed, OffsetsBeyondTheHeadersEightDigits) {
    // A DATA segment beyond byte 99,999,999: the HEADER gives 0, the TEXT the real offsets.
    FcsBuilder builder = two_channel_builder();
    builder.gap_before_data = 100000000;
    builder.trailer = "00000000";
    const std::string bytes = builder.build();
    ASSERT_GT(bytes.size(), 100000000u);
    EXPECT_EQ(bytes.substr(26, 16), "       0       0");
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(bytes, "large.fcs");
    EXPECT_EQ(file.raw, (std::vector<double>{1.5, -2.25, 100, 3e5, 0, 7}));
    EXPECT_THAT(refusal(bytes.substr(0, bytes.size() - 12), "large.fcs"),
                HasSubstr("The file large.fcs is cut short: its DATA segment runs from byte offset 100"));
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

TEST(FcsConstructed, Fcs2WithoutTotOrDataKeywords) {
    FcsBuilder builder;
    builder.version = "FCS2.0";
    builder.datatype = "I";
    builder.byteord = "4,3,2,1";
    builder.write_tot = false;
    builder.channels = {{"FSC-H", "", "1024", 16, "0,0"}, {"FL1-H", "", "1024", 16, "4,0"}};
    builder.events = {{1, 2}, {3, 4}, {1023, 512}};
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "old.fcs");
    EXPECT_EQ(file.version, "FCS2.0");
    EXPECT_EQ(file.num_events, 3u);
    EXPECT_EQ(file.raw, (std::vector<double>{1, 2, 3, 4, 1023, 512}));
    // No $PnN: the channel is named P<n>.
    builder.keywords = {};
    std::string bytes = builder.build();
    const std::size_t at = bytes.find("/$P2N/FL1-H/");
    bytes.replace(at, 12, "/$P2X/FL1-H/");
    EXPECT_EQ(pairmend::fcs::parse_fcs(bytes, "old.fcs").channels[1].name, "P2");
}

TEST(FcsConstructed, NoEvents) {
    FcsBuilder builder = two_channel_builder();
    builder.events.clear();
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "empty.fcs");
    EXPECT_EQ(file.num_events, 0u);
    EXPECT_TRUE(file.raw.empty());
    EXPECT_EQ(file.channels.size(), 2u);
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

TEST(FcsConstructed, NextDataSetIsReported) {
    FcsBuilder builder = two_channel_builder();
    builder.nextdata = "12345";
    std::string bytes = builder.build();
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(bytes, "next.fcs");
    EXPECT_TRUE(file.more_data_sets);
    EXPECT_EQ(file.raw, (std::vector<double>{1.5, -2.25, 100, 3e5, 0, 7}));
    builder.nextdata = "        0";
    EXPECT_FALSE(pairmend::fcs::parse_fcs(builder.build(), "one.fcs").more_data_sets);
}

} // namespace
