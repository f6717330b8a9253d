// Reading the HEADER and the TEXT segments: versions, HEADER offsets, files cut short in any
// segment, delimiters, keyword case, padding, supplemental TEXT, and TEXT that cannot be read.

#include "pairmend/fcs/fcs_file.hpp"

#include "fcs_builder.hpp"
#include "fcs_read_checks.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>

namespace {

using fcs_test::FcsBuilder;
using fcs_test::refusal;
using fcs_test::two_channel_builder;
using ::testing::HasSubstr;

// ---------------------------------------------------------------------------------------------
// HEADER

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
    ASSERT_LT(stext, data);
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
        } else {
            // A supplemental TEXT cut short is set aside; the DATA after it is cut short too.
            EXPECT_THAT(message, HasSubstr("is cut short: its DATA segment runs from byte offset " +
                                           std::to_string(data)))
                << length;
        }
    }
    EXPECT_NO_THROW(pairmend::fcs::parse_fcs(bytes, "whole.fcs"));
}

// ---------------------------------------------------------------------------------------------
// TEXT: delimiters, case, padding, supplemental TEXT

TEST(FcsConstructed, AnyDelimiterAndDoubledDelimitersInValues) {
    for (const char delimiter : {'/', '|', '\\', '\x0c', '\t', ',', '*'}) {
        FcsBuilder builder = two_channel_builder();
        builder.delimiter = delimiter;
        const std::string d(1, delimiter);
        // (A value cannot begin with the delimiter: the standard forbids it, as it reads as a doubled one.)
        builder.keywords = {{"$CYT", "Cyto" + d + "meter"}, {"TRAIL", "y" + d}, {"MY" + d + "KEY", "v"}};
        builder.channels[1].label = "CD3" + d + "CD28";
        builder.channels[0].name = "FSC" + d + "A";
        const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "delim.fcs");
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
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(bytes, "case.fcs");
    EXPECT_EQ(file.instrument(), "Aurora");
    EXPECT_EQ(file.keyword("$CYT").value_or(""), "Aurora");
    EXPECT_EQ(file.keyword("$P1V").value_or(""), "450");
    EXPECT_EQ(file.channels[1].name, "CD3");
    ASSERT_EQ(file.channels[0].keywords.size(), 1u);
    EXPECT_EQ(file.channels[0].keywords[0].first, "v");
    EXPECT_EQ(file.raw.size(), 6u);
    EXPECT_FALSE(file.keyword("$NOPE").has_value());
}

TEST(FcsConstructed, LenientEndsOfText) {
    FcsBuilder builder = two_channel_builder();
    builder.keywords = {{"LAST", "value"}};
    builder.final_delimiter = false;
    EXPECT_EQ(pairmend::fcs::parse_fcs(builder.build(), "t.fcs").keyword("LAST").value_or(""), "value");
    builder.final_delimiter = true;
    builder.text_padding = std::string("   \0\0", 5);
    EXPECT_EQ(pairmend::fcs::parse_fcs(builder.build(), "t.fcs").keyword("LAST").value_or(""), "value");
    // Off by one: the DATA segment is one byte longer than the events (as some writers do).
    builder.data_suffix = "x";
    EXPECT_EQ(pairmend::fcs::parse_fcs(builder.build(), "t.fcs").num_events, 3u);
    // Blanks around numbers.
    builder.data_suffix.clear();
    builder.tot = "  3  ";
    builder.channels[0].range = " 1024 ";
    EXPECT_EQ(pairmend::fcs::parse_fcs(builder.build(), "t.fcs").num_events, 3u);
}

TEST(FcsConstructed, SupplementalText) {
    FcsBuilder builder = two_channel_builder();
    builder.version = "FCS3.0";
    builder.supplemental = {{"$CYT", "In supplemental"}, {"$P2V", "700"}, {"LONG", std::string(5000, 'z')}};
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "stext.fcs");
    EXPECT_EQ(file.instrument(), "In supplemental");
    EXPECT_EQ(file.keyword("LONG").value_or("").size(), 5000u);
    ASSERT_EQ(file.channels[1].keywords.size(), 1u);
    EXPECT_EQ(file.channels[1].keywords[0].second, "700");
    EXPECT_EQ(file.raw, (std::vector<double>{1.5, -2.25, 100, 3e5, 0, 7}));
    // A keyword in both: the primary TEXT's value wins; both stay in `keywords`.
    builder.keywords = {{"$CYT", "In primary"}};
    const pairmend::fcs::FcsFile both = pairmend::fcs::parse_fcs(builder.build(), "stext.fcs");
    EXPECT_EQ(both.instrument(), "In primary");
    EXPECT_EQ(std::count_if(both.keywords.begin(), both.keywords.end(),
                            [](const auto& k) { return k.first == "$CYT"; }),
              2);
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
