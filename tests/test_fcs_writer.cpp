// The FCS 3.1 writer: exact layout, required keywords, offsets right for any size, values back bit
// for bit through the reader, keywords with delimiters, refusals of outputs that would make an
// invalid file, and descriptive_keywords().

#include "pairmend/fcs/fcs_file.hpp"

#include "cli_harness.hpp"
#include "fcs_builder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using pairmend_test::read_text;
using pairmend_test::TempDir;
using ::testing::HasSubstr;

const std::string shared_fcs = std::string(PAIRMEND_SHARED_DATA) + "/fcs";

pairmend::fcs::Channel channel(const std::string& name, const std::string& label = "", double range = 1024) {
    pairmend::fcs::Channel c;
    c.name = name;
    c.label = label;
    c.range = range;
    return c;
}

pairmend::fcs::FcsOutput small_output() {
    pairmend::fcs::FcsOutput output;
    output.channels = {channel("FSC-A", "", 262144), channel("CD3", "CD3 PE", 1000),
                       channel("MNN_CD3", "CD3 corrected")};
    output.num_events = 4;
    output.values = {1.5f, -2.25f, 0.0f, 100.0f, 3e5f, 7.0f, -0.0f, 1e-40f, 12.5f, 65504.0f, 0.1f, 3.0f};
    output.keywords = {{"$CYT", "Helios"}, {"$FIL", "sample.fcs"}, {"CUSTOM KEY", "a value"}};
    return output;
}

std::uint32_t bits(float value) {
    std::uint32_t u;
    std::memcpy(&u, &value, 4);
    return u;
}

/// The keywords of a TEXT segment in order, names as written (delimiter: its first byte).
std::vector<std::pair<std::string, std::string>> text_pairs(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> pairs;
    const char d = text[0];
    std::vector<std::string> tokens;
    std::string token;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (text[i] == d && i + 1 < text.size() && text[i + 1] == d) {
            token.push_back(d);
            ++i;
        } else if (text[i] == d) {
            tokens.push_back(token);
            token.clear();
        } else {
            token.push_back(text[i]);
        }
    }
    for (std::size_t i = 0; i + 1 < tokens.size(); i += 2) {
        pairs.emplace_back(tokens[i], tokens[i + 1]);
    }
    return pairs;
}

void expect_same_values(const pairmend::fcs::FcsFile& file, const pairmend::fcs::FcsOutput& output) {
    ASSERT_EQ(file.num_events, output.num_events);
    ASSERT_EQ(file.raw.size(), output.values.size());
    for (std::size_t i = 0; i < output.values.size(); ++i) {
        ASSERT_EQ(bits(static_cast<float>(file.raw[i])), bits(output.values[i])) << "value " << i;
    }
}

TEST(FcsWriter, LayoutFollowsTheStandard) {
    TempDir dir;
    const std::string path = dir.file("out.fcs");
    const pairmend::fcs::FcsOutput output = small_output();
    pairmend::fcs::write_fcs(path, output);
    const std::string bytes = read_text(path);

    // HEADER: version, four blanks, six right-justified offsets of 8 characters.
    ASSERT_GE(bytes.size(), 58u);
    EXPECT_EQ(bytes.substr(0, 10), "FCS3.1    ");
    EXPECT_EQ(bytes.substr(10, 8), "      58");
    const std::size_t text_end = std::stoul(bytes.substr(18, 8));
    const std::size_t data_begin = std::stoul(bytes.substr(26, 8));
    const std::size_t data_end = std::stoul(bytes.substr(34, 8));
    EXPECT_EQ(bytes.substr(42, 16), "       0       0");
    EXPECT_EQ(data_begin, text_end + 1);
    EXPECT_EQ(data_end - data_begin + 1, 12u * 4u);
    EXPECT_EQ(bytes.size(), data_end + 1 + 8);
    EXPECT_EQ(bytes.substr(data_end + 1), "00000000") << "CRC field: not computed";

    // TEXT: every required keyword, $PnS only where a label is set, then the caller's keywords.
    const std::string text = bytes.substr(58, text_end - 58 + 1);
    EXPECT_EQ(text.front(), text.back());
    const auto pairs = text_pairs(text);
    std::map<std::string, std::string> keywords(pairs.begin(), pairs.end());
    EXPECT_EQ(keywords.size(), pairs.size()) << "no keyword twice";
    const std::map<std::string, std::string> required = {{"$BEGINANALYSIS", "0"},
                                                         {"$ENDANALYSIS", "0"},
                                                         {"$BEGINSTEXT", "0"},
                                                         {"$ENDSTEXT", "0"},
                                                         {"$BEGINDATA", std::to_string(data_begin)},
                                                         {"$ENDDATA", std::to_string(data_end)},
                                                         {"$BYTEORD", "1,2,3,4"},
                                                         {"$DATATYPE", "F"},
                                                         {"$MODE", "L"},
                                                         {"$NEXTDATA", "0"},
                                                         {"$PAR", "3"},
                                                         {"$TOT", "4"},
                                                         {"$P1N", "FSC-A"},
                                                         {"$P1B", "32"},
                                                         {"$P1E", "0,0"},
                                                         {"$P1R", "262144"},
                                                         {"$P2N", "CD3"},
                                                         {"$P2S", "CD3 PE"},
                                                         {"$P2B", "32"},
                                                         {"$P2E", "0,0"},
                                                         {"$P2R", "1000"},
                                                         {"$P3N", "MNN_CD3"},
                                                         {"$P3S", "CD3 corrected"},
                                                         {"$P3B", "32"},
                                                         {"$P3E", "0,0"},
                                                         {"$P3R", "1024"},
                                                         {"$CYT", "Helios"},
                                                         {"$FIL", "sample.fcs"},
                                                         {"CUSTOM KEY", "a value"}};
    for (const auto& [key, value] : required) {
        EXPECT_EQ(keywords[key], value) << key;
    }
    EXPECT_EQ(keywords.count("$P1S"), 0u);
    EXPECT_EQ(pairs.size(), required.size());

    // DATA: float32 little-endian, event after event.
    for (std::size_t i = 0; i < output.values.size(); ++i) {
        const std::string stored = bytes.substr(data_begin + 4 * i, 4);
        EXPECT_EQ(stored, fcs_test::stored_bytes(bits(output.values[i]), 4, "1,2,3,4")) << i;
    }
}

TEST(FcsWriter, ReaderGivesBackTheSameValuesBitForBit) {
    TempDir dir;
    const std::string path = dir.file("round.fcs");
    pairmend::fcs::FcsOutput output;
    output.channels = {channel("A"), channel("B"), channel("C"), channel("D"), channel("E")};
    output.num_events = 20000;
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::uint32_t> any;
    for (std::size_t i = 0; i < output.num_events * 5; ++i) {
        // Every bit pattern but NaNs: signed zeros, subnormals, infinities, huge and tiny values.
        float value;
        do {
            const std::uint32_t u = any(rng);
            std::memcpy(&value, &u, 4);
        } while (std::isnan(value));
        output.values.push_back(value);
    }
    output.values[0] = std::numeric_limits<float>::infinity();
    output.values[1] = -std::numeric_limits<float>::infinity();
    output.values[2] = -0.0f;
    output.values[3] = std::numeric_limits<float>::denorm_min();
    pairmend::fcs::write_fcs(path, output);
    const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
    EXPECT_EQ(file.version, "FCS3.1");
    EXPECT_EQ(file.data_type, 'F');
    EXPECT_FALSE(file.more_data_sets);
    expect_same_values(file, output);
    ASSERT_EQ(file.channels.size(), 5u);
    EXPECT_EQ(file.channels[4].name, "E");
    EXPECT_EQ(file.channels[4].bits, 32);
    EXPECT_EQ(file.channels[4].range, 1024);
}

TEST(FcsWriter, ChannelsAndKeywordsComeBack) {
    TempDir dir;
    const std::string path = dir.file("k.fcs");
    pairmend::fcs::FcsOutput output = small_output();
    output.channels[0].keywords = {{"V", "538"}, {"G", "1.0"}, {"DISPLAY", "LOG"}};
    output.channels[2].keywords = {{"V", "400"}};
    output.channels[1].range_text = " 1000.5 ";
    pairmend::fcs::write_fcs(path, output);
    const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
    expect_same_values(file, output);
    EXPECT_EQ(file.channels[0].name, "FSC-A");
    EXPECT_EQ(file.channels[1].label, "CD3 PE");
    EXPECT_EQ(file.channels[1].range_text, "1000.5");
    EXPECT_EQ(file.channels[2].label, "CD3 corrected");
    EXPECT_EQ(file.channels[0].keywords, output.channels[0].keywords);
    EXPECT_EQ(file.keyword("$P3V").value_or(""), "400");
    EXPECT_EQ(file.instrument(), "Helios");
    EXPECT_EQ(file.keyword("custom key").value_or(""), "a value");
}

TEST(FcsWriter, DelimitersInsideValuesAreEscaped) {
    TempDir dir;
    const std::string path = dir.file("d.fcs");
    pairmend::fcs::FcsOutput output = small_output();
    // Values that hold every character the writer could choose as its delimiter.
    std::string every;
    for (const char c : std::string("|/\\!^~#@%&;:?*+=`'\x0c\x1e\x1f\x1d\x1c")) {
        every += std::string("x") + c;
    }
    output.keywords = {{"$COM", every + "/"}, {"PATH", "C:\\data\\run|1/a.fcs"}, {"ODD|NAME/", "v"}};
    output.channels[1].label = "CD3/CD28|x";
    pairmend::fcs::write_fcs(path, output);
    const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
    expect_same_values(file, output);
    EXPECT_EQ(file.keyword("$COM").value_or(""), every + "/");
    EXPECT_EQ(file.keyword("PATH").value_or(""), "C:\\data\\run|1/a.fcs");
    EXPECT_EQ(file.keyword("ODD|NAME/").value_or(""), "v");
    EXPECT_EQ(file.channels[1].label, "CD3/CD28|x");
    // Without such values the delimiter occurs nowhere else: nothing needs escaping.
    pairmend::fcs::write_fcs(path, small_output());
    const std::string bytes = read_text(path);
    EXPECT_EQ(bytes[58], '|');
}

TEST(FcsWriter, OffsetDigitsStayRightAcrossEveryTextLength) {
    // The TEXT grows one character at a time across the 999/1000 and 9999/10000 boundaries of
    // the data offsets' digits.
    TempDir dir;
    const std::string path = dir.file("len.fcs");
    for (const std::size_t base : {900u, 9900u}) {
        for (std::size_t extra = 0; extra < 40; ++extra) {
            pairmend::fcs::FcsOutput output = small_output();
            output.keywords.emplace_back("PAD", std::string(base - 300 + extra, 'p'));
            pairmend::fcs::write_fcs(path, output);
            const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
            expect_same_values(file, output);
            const std::string bytes = read_text(path);
            ASSERT_EQ(std::stoul(bytes.substr(26, 8)), std::stoul(file.keyword("$BEGINDATA").value_or("x")));
            ASSERT_EQ(std::stoul(bytes.substr(18, 8)) + 1, std::stoul(bytes.substr(26, 8)));
        }
    }
}

TEST(FcsWriter, FilesBeyondTheHeadersEightDigits) {
    // 25,000,001 float32 values: the DATA segment ends past byte 99,999,999, so the HEADER's
    // DATA offsets are 0 and the real ones are in the TEXT.
    TempDir dir;
    const std::string path = dir.file("large.fcs");
    pairmend::fcs::FcsOutput output;
    output.channels = {channel("T", "", 1e8)};
    output.num_events = 25000001;
    output.values.resize(output.num_events);
    for (std::size_t i = 0; i < output.num_events; ++i) {
        output.values[i] = static_cast<float>(i);
    }
    pairmend::fcs::write_fcs(path, output);
    EXPECT_GT(std::filesystem::file_size(path), 100000000u);
    std::string head(58, ' ');
    {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fread(head.data(), 1, 58, file), 58u);
        std::fclose(file);
    }
    EXPECT_EQ(head.substr(26, 16), "       0       0");
    const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
    ASSERT_EQ(file.num_events, output.num_events);
    const std::size_t begin = std::stoul(file.keyword("$BEGINDATA").value_or("0"));
    EXPECT_EQ(std::stoul(file.keyword("$ENDDATA").value_or("0")), begin + 100000004u - 1);
    for (const std::size_t i :
         {std::size_t{0}, std::size_t{1}, std::size_t{16777216}, std::size_t{25000000}}) {
        EXPECT_EQ(file.raw[i], static_cast<float>(i));
    }
}

TEST(FcsWriter, NoEventsAndRangesFromTheData) {
    TempDir dir;
    const std::string path = dir.file("e.fcs");
    pairmend::fcs::FcsOutput output;
    output.channels = {channel("A", "", 0)};
    pairmend::fcs::write_fcs(path, output);
    const pairmend::fcs::FcsFile empty = pairmend::fcs::read_fcs(path);
    EXPECT_EQ(empty.num_events, 0u);
    EXPECT_EQ(empty.channels[0].range_text, "1");
    // A channel without a range gets its largest value, rounded up.
    output.num_events = 3;
    output.values = {2.5f, 1234.25f, -5e6f};
    pairmend::fcs::write_fcs(path, output);
    EXPECT_EQ(pairmend::fcs::read_fcs(path).channels[0].range_text, "1235");
}

// A file written a block at a time is byte for byte the file written at once; one left unfinished
// is removed.
TEST(FcsWriter, BlocksGiveTheBytesOfOneWriteAndAnUnfinishedFileIsRemoved) {
    TempDir dir;
    pairmend::fcs::FcsOutput output;
    output.channels = {channel("A", "", 0), channel("B", "B label", 1000)};
    output.keywords = {{"$CYT", "Test"}};
    output.num_events = 10;
    for (int e = 0; e < 10; ++e) {
        output.values.push_back(static_cast<float>(e) * 123.5F);
        output.values.push_back(static_cast<float>(-e));
    }
    pairmend::fcs::write_fcs(dir.file("whole.fcs"), output);

    pairmend::fcs::FcsOutput layout = output;
    layout.values.clear();
    EXPECT_THROW(pairmend::fcs::FcsWriter(dir.file("none.fcs"), layout), std::invalid_argument)
        << "channel A has no range before its values are seen";
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.fcs")));
    pairmend::fcs::ValueRanges ranges(layout.channels);
    ASSERT_FALSE(ranges.empty());
    ranges.add(output.values.data(), 4);
    ranges.add(output.values.data() + 8, 6);
    ranges.apply(layout.channels);
    {
        pairmend::fcs::FcsWriter writer(dir.file("blocks.fcs"), layout);
        writer.write_events(output.values.data(), 3);
        writer.write_events(output.values.data() + 6, 7);
        EXPECT_THROW(writer.write_events(output.values.data(), 1), std::logic_error);
        writer.finish();
    }
    EXPECT_EQ(read_text(dir.file("blocks.fcs")), read_text(dir.file("whole.fcs")));

    {
        pairmend::fcs::FcsWriter writer(dir.file("cut.fcs"), layout);
        writer.write_events(output.values.data(), 3);
        EXPECT_THROW(writer.finish(), std::logic_error);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("cut.fcs")));
    {
        pairmend::fcs::FcsWriter writer(dir.file("dropped.fcs"), layout);
        writer.write_events(output.values.data(), 3);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("dropped.fcs")))
        << "a writer destroyed unfinished removes its file";
}

TEST(FcsWriter, ChannelsWithoutARangeFromAFileGetOne) {
    fcs_test::FcsBuilder builder;
    builder.channels = {{"A", "", "0", 32, "0,0"}, {"B", "", "", 32, ""}, {"C", "", "5", 32, "0,0"}};
    builder.events = {{10.5, 3, 1}, {2, 99.25, 1}};
    const pairmend::fcs::FcsFile source = pairmend::fcs::parse_fcs(builder.build(), "r.fcs");
    pairmend::fcs::FcsOutput output;
    output.channels = source.linear_channels();
    EXPECT_EQ(output.channels[0].range_text, "");
    output.num_events = 2;
    output.values = {10.5f, 3, 1, 2, 99.25f, 1};
    TempDir dir;
    pairmend::fcs::write_fcs(dir.file("r.fcs"), output);
    const pairmend::fcs::FcsFile copy = pairmend::fcs::read_fcs(dir.file("r.fcs"));
    EXPECT_EQ(copy.channels[0].range_text, "11");
    EXPECT_EQ(copy.channels[1].range_text, "100");
    EXPECT_EQ(copy.channels[2].range_text, "5");
}

TEST(FcsWriter, RefusesOutputsThatWouldMakeAnInvalidFile) {
    TempDir dir;
    const std::string path = dir.file("bad.fcs");
    auto refusal = [&](const pairmend::fcs::FcsOutput& output) -> std::string {
        try {
            pairmend::fcs::write_fcs(path, output);
        } catch (const std::invalid_argument& error) {
            EXPECT_FALSE(std::filesystem::exists(path)) << "nothing written";
            return error.what();
        }
        ADD_FAILURE() << "written";
        std::filesystem::remove(path);
        return {};
    };
    const std::string start = "Cannot write the FCS file " + path + ": ";
    pairmend::fcs::FcsOutput output = small_output();
    output.values.pop_back();
    EXPECT_EQ(refusal(output), start + "11 values are not 4 events of 3 channels.");
    output = small_output();
    output.channels.clear();
    output.values.clear();
    EXPECT_EQ(refusal(output), start + "it has no channels.");
    output = small_output();
    output.channels[1].name = "";
    EXPECT_EQ(refusal(output),
              start + "the name ($PnN) of channel 2 is empty; FCS values must hold at least one character.");
    output.channels[1].name = "CD3,CD4";
    EXPECT_THAT(refusal(output), HasSubstr("holds a comma, which FCS 3.1 does not allow in $PnN."));
    output.channels[1].name = "FSC-A";
    EXPECT_THAT(refusal(output), HasSubstr("two channels are named \"FSC-A\""));
    output = small_output();
    output.channels[0].label = "\xff\xfe";
    EXPECT_THAT(refusal(output), HasSubstr("the label ($PnS) of channel 1 is not UTF-8 text"));
    output = small_output();
    output.channels[0].range_text = "wide";
    EXPECT_THAT(refusal(output), HasSubstr("\"wide\", is not a positive number."));
    output = small_output();
    output.channels[0].keywords = {{"N", "x"}};
    EXPECT_THAT(refusal(output), HasSubstr("the keyword $PnN of channel 1 cannot be written"));
    output.channels[0].keywords = {{"2V", "x"}};
    EXPECT_THAT(refusal(output), HasSubstr("must not begin with a digit"));
    output.channels[0].keywords = {{"V", "1"}, {"v", "2"}};
    EXPECT_THAT(refusal(output), HasSubstr("channel 1 has the keyword $Pnv twice."));
    output = small_output();
    for (const std::string key : {"$TOT", "$par", "$BEGINDATA", "$P1N", "$P4V", "$p12DISPLAY"}) {
        output.keywords = {{key, "1"}};
        EXPECT_THAT(refusal(output), HasSubstr("the keyword " + key + " describes the layout")) << key;
    }
    output.keywords = {{"$CYT", "a"}, {"$cyt", "b"}};
    EXPECT_THAT(refusal(output), HasSubstr("the keyword $cyt is given twice."));
    output.keywords = {{"$CYT", ""}};
    EXPECT_THAT(refusal(output), HasSubstr("the value of $CYT is empty"));
    output.keywords = {{" $CYT", "x"}};
    EXPECT_THAT(refusal(output), HasSubstr("is not a keyword name"));
    output.keywords = {{"KEY\xc3\xa9", "x"}};
    EXPECT_THAT(refusal(output), HasSubstr("is not a keyword name"));
}

TEST(FcsWriter, UnwritablePlaceIsReportedWithTheFileName) {
    TempDir dir;
    const std::string path = dir.file("no/such/folder/out.fcs");
    try {
        pairmend::fcs::write_fcs(path, small_output());
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr("Cannot write the FCS file " + path + ": "));
    }
}

// ---------------------------------------------------------------------------------------------
// descriptive_keywords

TEST(FcsDescriptiveKeywords, KeepsWhatStaysTrue) {
    fcs_test::FcsBuilder builder;
    builder.version = "FCS3.0";
    builder.channels = {{"FSC-A", "", "1024", 32, "0,0"}, {"FL1-A", "CD3", "1024", 32, "0,0"}};
    builder.events = {{1, 2}};
    builder.keywords = {{"$CYT", "LSRII"},
                        {"$P1V", "500"},
                        {"$p2g", "1.0"},
                        {"$P12DISPLAY", "LOG"},
                        {"$SPILLOVER", "2,FSC-A,FL1-A,1,0.1,0,1"},
                        {"SPILL", "2,FSC-A,FL1-A,1,0.1,0,1"},
                        {"$COMP", "1,0,0,1"},
                        {"$DFC1TO2", "0.1"},
                        {"$UNICODE", "65001,$CYT"},
                        {"$GATE", "1"},
                        {"$G1N", "FSC"},
                        {"$R1I", "1"},
                        {"$PK1", "3"},
                        {"$PKN1", "4"},
                        {"$CSMODE", "2"},
                        {"$CSV1FLAG", "2"},
                        {"$ORIGINALITY", "Original"},
                        {"$LAST_MODIFIED", "01-JAN-2020 10:00:00"},
                        {"$PLATEID", "P1"},
                        {"$PROJ", "Project"},
                        {"P1DISPLAY", "LOG"},
                        {"CREATOR", "CellQuest Pro\xaa 5.2.1"},
                        {"$cyt", "duplicate"},
                        {"BAD\x01NAME", "x"}};
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "d.fcs");
    const auto kept = pairmend::fcs::descriptive_keywords(file);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"$CYT", "LSRII"},
        {"$SPILLOVER", "2,FSC-A,FL1-A,1,0.1,0,1"},
        {"SPILL", "2,FSC-A,FL1-A,1,0.1,0,1"},
        {"$DFC1TO2", "0.1"},
        {"$PLATEID", "P1"},
        {"$PROJ", "Project"},
        {"P1DISPLAY", "LOG"},
        {"CREATOR", "CellQuest Pro\xc2\xaa 5.2.1"},
        {"$ORIGINALITY", "DataModified"}};
    EXPECT_EQ(kept, expected);
    // What it keeps can be written as it is.
    TempDir dir;
    pairmend::fcs::FcsOutput output;
    output.channels = file.linear_channels();
    output.num_events = 1;
    output.values = {1, 2};
    output.keywords = kept;
    pairmend::fcs::write_fcs(dir.file("d.fcs"), output);
    const pairmend::fcs::FcsFile again = pairmend::fcs::read_fcs(dir.file("d.fcs"));
    EXPECT_EQ(again.keyword("CREATOR").value_or(""), "CellQuest Pro\xc2\xaa 5.2.1");
    EXPECT_EQ(again.keyword("$P1V").value_or(""), "500");
    EXPECT_EQ(again.keyword("$P2G").value_or(""), "1.0");
}

TEST(FcsDescriptiveKeywords, EveryRealFileWritesAndReadsBack) {
    // Each shared file, written again from its linear values, channels and descriptive keywords,
    // reads back with the same values (as float32), names, labels and keywords.
    if (!std::filesystem::exists(shared_fcs)) {
        GTEST_SKIP() << "shared data absent";
    }
    TempDir dir;
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(shared_fcs)) {
        if (entry.path().extension() != ".fcs" || entry.path().filename() == "corrupted.fcs") {
            continue;
        }
        const pairmend::fcs::FcsFile source = pairmend::fcs::read_fcs(entry.path().string());
        pairmend::fcs::FcsOutput output;
        output.channels = source.linear_channels();
        output.keywords = pairmend::fcs::descriptive_keywords(source);
        output.num_events = source.num_events;
        const std::vector<double> linear = source.linear_values();
        output.values.assign(linear.begin(), linear.end());
        const std::string path = dir.file(entry.path().filename().string());
        pairmend::fcs::write_fcs(path, output);
        const pairmend::fcs::FcsFile copy = pairmend::fcs::read_fcs(path);
        expect_same_values(copy, output);
        ASSERT_EQ(copy.channels.size(), source.channels.size());
        for (std::size_t c = 0; c < copy.channels.size(); ++c) {
            EXPECT_EQ(copy.channels[c].name, source.channels[c].name);
            EXPECT_EQ(copy.channels[c].label, source.channels[c].label);
            EXPECT_EQ(copy.channels[c].keywords, source.channels[c].keywords) << path << " channel " << c + 1;
        }
        EXPECT_EQ(copy.instrument(), source.instrument());
        EXPECT_EQ(pairmend::fcs::descriptive_keywords(copy), output.keywords) << path;
        ++files;
    }
    EXPECT_GE(files, 28u);
}

} // namespace
