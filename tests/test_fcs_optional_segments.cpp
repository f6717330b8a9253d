// The optional segments: a supplemental TEXT or ANALYSIS segment that cannot be used is set aside
// with a note, and the file is read from its primary TEXT and DATA; what the DATA needs is still
// required, and a refusal says when the set-aside supplemental TEXT was the only other place for
// it; primary and supplemental TEXT that disagree are listed.

#include "pairmend/fcs/fcs_file.hpp"

#include "fcs_builder.hpp"
#include "fcs_read_checks.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using fcs_test::FcsBuilder;
using fcs_test::refusal;
using fcs_test::two_channel_builder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::vector<double> two_channel_values = {1.5, -2.25, 100, 3e5, 0, 7};

/// Bytes an instrument keeps for itself: binary words, beginning with printable ones; the first
/// control byte, a NUL, is the fourth.
std::string binary_block(std::size_t size) {
    std::string bytes = "AB ";
    for (std::size_t i = bytes.size(); i < size; ++i) {
        bytes.push_back(static_cast<char>((i * 37 + 11) % 256));
    }
    bytes[3] = '\0';
    return bytes;
}

/// A file whose supplemental TEXT runs from after the DATA to the end of the file and holds
/// binary data, as one instrument writes it.
FcsBuilder instrument_builder() {
    FcsBuilder builder = two_channel_builder();
    builder.keywords = {{"$CYT", "Instrument"}};
    builder.supplemental_bytes = "/" + binary_block(300);
    builder.supplemental_after_data = true;
    return builder;
}

/// The byte offsets of the supplemental TEXT of a file that instrument_builder() makes.
std::pair<std::size_t, std::size_t> supplemental_offsets(const FcsBuilder& builder) {
    const std::size_t begin = builder.data_offset() + builder.data().size();
    return {begin, begin + builder.supplemental_bytes.size() - 1};
}

bool has_keyword(const pairmend::fcs::FcsFile& file, const std::string& name) {
    return std::any_of(file.keywords.begin(), file.keywords.end(),
                       [&](const auto& keyword) { return keyword.first == name; });
}

/// A number of 8 digits, so that replacing an offset keeps every other offset in place.
std::string eight_digits(std::size_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08zu", value);
    return text;
}

// ---------------------------------------------------------------------------------------------
// Supplemental TEXT

TEST(FcsSetAside, InstrumentsBinarySupplementalTextAfterTheData) {
    const FcsBuilder builder = instrument_builder();
    const std::string bytes = builder.build();
    const auto [begin, end] = supplemental_offsets(builder);
    ASSERT_EQ(end, bytes.size() - 1) << "the segment runs to the end of the file";
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(bytes, "instrument.fcs");
    EXPECT_EQ(file.raw, two_channel_values);
    EXPECT_EQ(file.instrument(), "Instrument");
    EXPECT_THAT(
        file.set_aside_notes,
        ElementsAre("The supplemental TEXT segment (byte offsets " + std::to_string(begin) + " to " +
                    std::to_string(end) +
                    ") was set aside because it holds binary data, not text (the control byte 0x00 at "
                    "byte offset " +
                    std::to_string(begin + 4) + ")."));
    EXPECT_THAT(file.disagreeing_keywords, IsEmpty());
}

TEST(FcsSetAside, SupplementalTextThatDoesNotParseCompletely) {
    // Printable, but not whole keywords and values: nothing of it is kept, not even the pairs
    // before the fault.
    FcsBuilder builder = instrument_builder();
    builder.keywords = {};
    builder.supplemental_bytes = "/$CYT/From supplemental/ORPHAN";
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "s.fcs");
    EXPECT_EQ(file.raw, two_channel_values);
    EXPECT_FALSE(has_keyword(file, "$CYT"));
    ASSERT_EQ(file.set_aside_notes.size(), 1u);
    EXPECT_THAT(file.set_aside_notes[0],
                HasSubstr("was set aside because it does not parse as keywords and values: it ends with the "
                          "keyword \"ORPHAN\" without a value."));
    builder.supplemental_bytes = "/$CYT/From supplemental/ORPHAN/";
    EXPECT_THAT(pairmend::fcs::parse_fcs(builder.build(), "s.fcs").set_aside_notes.at(0),
                HasSubstr("it ends with the keyword \"ORPHAN\" (byte offset"));
    // The same segment in the primary TEXT's place is still refused: the primary TEXT is required.
    FcsBuilder primary = two_channel_builder();
    primary.keywords = {{"LAST", "value"}};
    std::string bytes = primary.build();
    bytes.replace(bytes.find("/LAST/value/"), 12, "/LASTKEYWORD");
    EXPECT_THAT(refusal(bytes),
                HasSubstr("its TEXT segment ends with the keyword \"LASTKEYWORD\" without a value."));
}

TEST(FcsSetAside, SupplementalTextOffsetsThatCannotBeUsed) {
    struct Case {
        std::string begin;
        std::string end;
        std::string reason;
    };
    FcsBuilder builder = two_channel_builder();
    builder.version = "FCS3.0";
    builder.supplemental = {{"$CYT", "Supplemental"}, {"EXTRA", "1"}};
    // Offsets of 8 digits keep the layout fixed while they change.
    builder.begin_stext = eight_digits(0);
    builder.end_stext = eight_digits(0);
    const std::size_t data = builder.data_offset();
    const std::size_t size = builder.build().size();
    const std::vector<Case> cases = {
        {"    12x ", "00000400",
         "its offsets, $BEGINSTEXT \"    12x \" and $ENDSTEXT \"00000400\", are not both whole numbers."},
        {"00000300", "   -4   ", "are not both whole numbers."},
        {"00000010", "00000040", "because it begins at byte offset 10, inside the 58-byte HEADER."},
        {"00000500", "00000400", "because it ends (byte offset 400) before it begins (byte offset 500)."},
        {eight_digits(size - 5), eight_digits(size + 20),
         "past the end of the file, which holds only " + std::to_string(size) + " bytes."},
        {"00000060", "00000070", "overlap the TEXT segment (byte offsets 58 to "},
        {eight_digits(data + 4), eight_digits(data + 10),
         "overlap the DATA segment (byte offsets " + std::to_string(data)},
    };
    for (const Case& c : cases) {
        builder.begin_stext = c.begin;
        builder.end_stext = c.end;
        const std::string bytes = builder.build();
        ASSERT_EQ(bytes.size(), size);
        const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(bytes, "o.fcs");
        EXPECT_EQ(file.raw, two_channel_values) << c.begin << " " << c.end;
        EXPECT_FALSE(has_keyword(file, "EXTRA")) << c.begin << " " << c.end;
        ASSERT_EQ(file.set_aside_notes.size(), 1u) << c.begin << " " << c.end;
        EXPECT_THAT(file.set_aside_notes[0], HasSubstr("The supplemental TEXT segment"));
        EXPECT_THAT(file.set_aside_notes[0], HasSubstr(c.reason));
    }
    // The real offsets, written with leading zeros, are used.
    const std::size_t stext = builder.build().find("/$CYT/Supplemental/");
    builder.begin_stext = eight_digits(stext);
    builder.end_stext = eight_digits(data - 1);
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "o.fcs");
    EXPECT_THAT(file.set_aside_notes, IsEmpty());
    EXPECT_EQ(file.keyword("EXTRA").value_or(""), "1");
}

TEST(FcsSetAside, UsableSupplementalTextIsReadWherever) {
    // After the DATA, with line breaks and tabs in values, UTF-8 text, a form feed as delimiter and
    // NUL padding after the last delimiter: all text.
    FcsBuilder builder = two_channel_builder();
    builder.supplemental_after_data = true;
    builder.supplemental_bytes =
        "\x0c$COM\x0cline one\nline two\r\n\tindented\x0c@UNIT\x0c\xc2\xb5m\x0c" + std::string(5, '\0');
    pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "u.fcs");
    EXPECT_THAT(file.set_aside_notes, IsEmpty());
    EXPECT_EQ(file.keyword("$COM").value_or(""), "line one\nline two\r\n\tindented");
    EXPECT_EQ(file.keyword("@UNIT").value_or(""), "\xc2\xb5m");
    // A supplemental TEXT that declares the primary TEXT's own offsets adds nothing and no note.
    builder = two_channel_builder();
    builder.keywords = {{"$CYT", "Primary"}};
    builder.begin_stext = eight_digits(58);
    builder.end_stext = eight_digits(0);
    const std::string bytes = builder.build();
    builder.end_stext = eight_digits(std::stoul(bytes.substr(18, 8)));
    file = pairmend::fcs::parse_fcs(builder.build(), "same.fcs");
    EXPECT_THAT(file.set_aside_notes, IsEmpty());
    EXPECT_EQ(std::count_if(file.keywords.begin(), file.keywords.end(),
                            [](const auto& k) { return k.first == "$CYT"; }),
              1);
}

TEST(FcsSetAside, DisagreeingKeywordsAreListedAndThePrimaryWins) {
    FcsBuilder builder = two_channel_builder();
    builder.keywords = {{"$CYT", "Primary"}, {"$DATE", "01-JAN-2024"}, {"$P1V", "450"}};
    builder.supplemental = {{"$CYT", "Supplemental"},
                            {"$DATE", " 01-JAN-2024 "},
                            {"$p1v", "500"},
                            {"$CYT", "Again"},
                            {"ONLY", "here"}};
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "d.fcs");
    EXPECT_THAT(file.set_aside_notes, IsEmpty());
    EXPECT_THAT(file.disagreeing_keywords, ElementsAre("$CYT", "$P1V"))
        << "blanks around a value are no difference";
    EXPECT_EQ(file.instrument(), "Primary");
    EXPECT_EQ(file.channels[0].keywords.at(0).second, "450");
    EXPECT_EQ(file.keyword("ONLY").value_or(""), "here");
}

// ---------------------------------------------------------------------------------------------
// What the DATA needs stays required

TEST(FcsSetAside, KeywordsTheDataNeedsAreStillRequired) {
    // The end of each refusal: why the supplemental TEXT, where the keyword might have been, was set aside.
    auto reason_for = [](const FcsBuilder& file) {
        return ", and the supplemental TEXT, the only other place to look, was set aside because it holds "
               "binary "
               "data, not text (the control byte 0x00 at byte offset " +
               std::to_string(supplemental_offsets(file).first + 4) + ").";
    };
    const FcsBuilder builder = instrument_builder();
    const std::string reason = reason_for(builder);
    const std::string bytes = builder.build();
    // Each of them missing from the primary TEXT (renamed in place, so that offsets hold).
    struct Case {
        std::string written;
        std::string renamed;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"/$DATATYPE/", "/$DATATYPX/", "is not a valid FCS file: its TEXT has no $DATATYPE"},
        {"/$BYTEORD/", "/$BYTEORX/", "is not a valid FCS file: its TEXT has no $BYTEORD"},
        {"/$PAR/", "/$PAX/", "is not a valid FCS file: its TEXT has no $PAR (number of channels)"},
        {"/$P2B/", "/$P2X/", "is not a valid FCS file: its TEXT does not give the width of channel 2 ($P2B)"},
    };
    for (const Case& c : cases) {
        std::string missing = bytes;
        missing.replace(missing.find(c.written), c.written.size(), c.renamed);
        EXPECT_EQ(refusal(missing, "m.fcs"), "The file m.fcs " + c.message + reason);
    }
    // The DATA offsets: in neither the HEADER nor the primary TEXT.
    FcsBuilder no_offsets = builder;
    no_offsets.data_offsets_in_header = false;
    no_offsets.data_offsets_in_text = false;
    EXPECT_EQ(
        refusal(no_offsets.build(), "m.fcs"),
        "The file m.fcs is not a valid FCS file: it declares 3 events ($TOT) but gives no DATA segment: the "
        "HEADER's offsets are 0 and the TEXT has no $BEGINDATA and $ENDDATA" +
            reason_for(no_offsets));
    // No $TOT, and a DATA segment of no whole number of events.
    FcsBuilder no_tot = builder;
    no_tot.write_tot = false;
    no_tot.data_suffix = "xyz";
    EXPECT_THAT(refusal(no_tot.build(), "m.fcs"),
                HasSubstr("does not hold a whole number of events of 8 bytes" + reason_for(no_tot)));
    // Present but broken: refused as before, naming the keyword.
    std::string broken = bytes;
    broken.replace(broken.find("/$PAR/2/"), 8, "/$PAR/x/");
    EXPECT_EQ(refusal(broken, "m.fcs"),
              "The file m.fcs is not a valid FCS file: its $PAR is \"x\", not a whole number.");
    FcsBuilder too_many = builder;
    too_many.tot = "4";
    EXPECT_THAT(refusal(too_many.build(), "m.fcs"),
                HasSubstr("does not agree with itself: 4 events ($TOT) of 8 bytes"));
    // Without a set-aside supplemental TEXT the refusal is as it always was.
    std::string plain = two_channel_builder().build();
    plain.replace(plain.find("/$DATATYPE/"), 11, "/$DATATYPX/");
    EXPECT_EQ(refusal(plain, "m.fcs"), "The file m.fcs is not a valid FCS file: its TEXT has no $DATATYPE.");
}

// ---------------------------------------------------------------------------------------------
// ANALYSIS

TEST(FcsSetAside, UsableAnalysisSegmentIsPassedOverSilently) {
    FcsBuilder builder = two_channel_builder();
    builder.analysis = "/GATE1/R1/";
    EXPECT_THAT(pairmend::fcs::parse_fcs(builder.build(), "a.fcs").set_aside_notes, IsEmpty());
    builder.analysis_offsets_in_header = false; // only $BEGINANALYSIS and $ENDANALYSIS
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "a.fcs");
    EXPECT_THAT(file.set_aside_notes, IsEmpty());
    EXPECT_EQ(file.raw, two_channel_values);
    EXPECT_FALSE(has_keyword(file, "GATE1")) << "the ANALYSIS segment is not read";
}

TEST(FcsSetAside, AnalysisSegmentsThatCannotBeUsed) {
    FcsBuilder builder = two_channel_builder();
    const std::string bytes = builder.build();
    const std::size_t data = builder.data_offset();
    const std::string size = std::to_string(bytes.size());
    auto header_analysis = [&](const std::string& begin, const std::string& end) {
        std::string changed = bytes;
        changed.replace(42, 16,
                        std::string(8 - begin.size(), ' ') + begin + std::string(8 - end.size(), ' ') + end);
        return changed;
    };
    auto only_note = [](const std::string& file_bytes) {
        const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(file_bytes, "a.fcs");
        EXPECT_EQ(file.raw, two_channel_values);
        EXPECT_EQ(file.set_aside_notes.size(), 1u);
        return file.set_aside_notes.empty() ? std::string() : file.set_aside_notes[0];
    };
    // Past the end of the file (these offsets were once refused as a file cut short).
    const std::string beyond = std::to_string(bytes.size() + 10);
    EXPECT_EQ(only_note(header_analysis("60", beyond)),
              "The ANALYSIS segment (byte offsets 60 to " + beyond +
                  ") was set aside because it runs from byte offset 60 to " + beyond +
                  ", past the end of the file, which holds only " + size + " bytes.");
    EXPECT_EQ(only_note(header_analysis("xx", "0")), "The ANALYSIS segment was set aside because its offsets "
                                                     "in the HEADER (bytes 43 to 58), \"      xx       "
                                                     "0\", are not numbers.");
    EXPECT_THAT(only_note(header_analysis("10", "20")),
                HasSubstr("it begins at byte offset 10, inside the 58-byte HEADER."));
    EXPECT_THAT(only_note(header_analysis("70", "60")),
                HasSubstr("it ends (byte offset 60) before it begins (byte offset 70)."));
    EXPECT_THAT(only_note(header_analysis("60", "61")),
                HasSubstr("overlap the TEXT segment (byte offsets 58 to "));
    EXPECT_THAT(only_note(header_analysis(std::to_string(data + 8), std::to_string(data + 9))),
                HasSubstr("overlap the DATA segment (byte offsets " + std::to_string(data) + " to "));
    // From the TEXT, when the HEADER gives 0.
    builder.begin_analysis = "none";
    EXPECT_EQ(only_note(builder.build()),
              "The ANALYSIS segment was set aside because its offsets, $BEGINANALYSIS "
              "\"none\" and $ENDANALYSIS \"0\", are not both whole numbers.");
    // Over a supplemental TEXT that is in use.
    builder = two_channel_builder();
    builder.supplemental = {{"$CYT", "Supplemental"}};
    builder.begin_analysis = eight_digits(0);
    builder.end_analysis = eight_digits(0);
    const std::size_t stext = builder.build().find("/$CYT/Supplemental/");
    builder.begin_analysis = eight_digits(stext);
    builder.end_analysis = eight_digits(stext + 3);
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(builder.build(), "a.fcs");
    EXPECT_EQ(file.instrument(), "Supplemental");
    ASSERT_EQ(file.set_aside_notes.size(), 1u);
    EXPECT_THAT(file.set_aside_notes[0], HasSubstr("overlap the supplemental TEXT segment"));
    // FCS 2.0 has only the HEADER's offsets.
    FcsBuilder old;
    old.version = "FCS2.0";
    old.datatype = "I";
    old.channels = {{"FSC-H", "", "1024", 16, "0,0"}};
    old.events = {{1}, {2}};
    std::string old_bytes = old.build();
    old_bytes.replace(42, 16, "      99    9999");
    const pairmend::fcs::FcsFile old_file = pairmend::fcs::parse_fcs(old_bytes, "old.fcs");
    EXPECT_EQ(old_file.raw, (std::vector<double>{1, 2}));
    EXPECT_THAT(old_file.set_aside_notes,
                ElementsAre(HasSubstr("The ANALYSIS segment (byte offsets 99 to 9999)")));
}

TEST(FcsSetAside, BothOptionalSegmentsSetAside) {
    FcsBuilder builder = instrument_builder();
    std::string bytes = builder.build();
    bytes.replace(42, 16, "      60      61");
    const pairmend::fcs::FcsFile file = pairmend::fcs::parse_fcs(bytes, "both.fcs");
    EXPECT_EQ(file.raw, two_channel_values);
    EXPECT_THAT(file.set_aside_notes,
                ElementsAre(HasSubstr("The supplemental TEXT segment"), HasSubstr("The ANALYSIS segment")));
}

// ---------------------------------------------------------------------------------------------
// Real files

TEST(FcsSetAside, RealFilesWithASupplementalTextAfterTheirDataOpen) {
    const std::string shared_fcs = std::string(PAIRMEND_SHARED_DATA) + "/fcs";
    if (!std::filesystem::exists(shared_fcs)) {
        GTEST_SKIP() << "shared data absent";
    }
    std::size_t found = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(shared_fcs)) {
        if (entry.path().extension() != ".fcs" || entry.path().filename() == "corrupted.fcs") {
            continue;
        }
        const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(entry.path().string());
        std::uint64_t stext = 0;
        std::uint64_t data_end = 0;
        try {
            stext = std::stoull(file.keyword("$BEGINSTEXT").value_or("0"));
            data_end = std::stoull(file.keyword("$ENDDATA").value_or("0"));
        } catch (const std::exception&) {
            continue;
        }
        if (stext == 0 || stext <= data_end) {
            continue;
        }
        ++found;
        EXPECT_GT(file.num_events, 0u) << file.path;
        EXPECT_EQ(file.raw.size(), file.num_events * file.channels.size()) << file.path;
        EXPECT_TRUE(std::all_of(file.raw.begin(), file.raw.end(), [](double v) { return std::isfinite(v); }))
            << file.path;
    }
    if (found == 0) {
        GTEST_SKIP() << "no file in " << shared_fcs << " keeps its supplemental TEXT after its DATA";
    }
}

} // namespace
