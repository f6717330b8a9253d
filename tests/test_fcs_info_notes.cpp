// What pairmend-fcs says about optional segments the reader set aside and about keywords on which
// the primary and the supplemental TEXT disagree: `info` lists them, `correct` says them under the
// file's progress line, and neither `export` nor a corrected file carries a set-aside keyword.

#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs_study/correct_study.hpp"
#include "pairmend/fcs_study/info_export.hpp"
#include "pairmend/fcs_study/progress.hpp"

#include "cli_harness.hpp"
#include "fcs_builder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace {

using fcs_test::FcsBuilder;
using pairmend_test::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;

/// `events` events of two float channels, a scatter channel and a marker whose two populations
/// sit `shift` apart between batches; the supplemental TEXT after the DATA holds `stext` as it is.
FcsBuilder marker_file(std::size_t events, double shift, const std::string& stext) {
    FcsBuilder builder;
    builder.channels = {{"FSC-A", "", "262144", 32, "0,0"}, {"CD3", "CD3 marker", "262144", 32, "0,0"}};
    builder.keywords = {{"$CYT", "Primary cytometer"}};
    for (std::size_t e = 0; e < events; ++e) {
        const double centre = (e % 2 == 0 ? 1.0 : 4.0) + shift + 0.01 * static_cast<double>(e % 7);
        builder.events.push_back({static_cast<double>(1000 + e), std::sinh(centre) * 150});
    }
    builder.supplemental_bytes = stext;
    builder.supplemental_after_data = true;
    return builder;
}

/// The note the reader makes for a supplemental TEXT that ends with a keyword without a value.
const std::string unparsed_stext = "/SECRET/from the instrument/ORPHAN";

std::string write_file(const TempDir& dir, const std::string& name, const FcsBuilder& builder) {
    const std::string path = dir.file(name);
    pairmend_test::write_text(path, builder.build());
    return path;
}

TEST(FcsToolNotes, InfoListsSetAsideSegmentsAndDisagreements) {
    const TempDir dir;
    const std::string set_aside = write_file(dir, "set_aside.fcs", marker_file(4, 0, unparsed_stext));
    FcsBuilder disagreeing = marker_file(4, 0, "");
    disagreeing.supplemental_after_data = false;
    disagreeing.supplemental = {{"$CYT", "Supplemental cytometer"}, {"$DATE", "05-MAY-2025"}};
    const std::string both = write_file(dir, "both.fcs", disagreeing);

    std::ostringstream out;
    std::ostringstream err;
    EXPECT_TRUE(pairmend::fcs_study::print_info({{set_aside, both}, ""}, out, err));
    EXPECT_EQ(err.str(), "");
    const std::vector<std::string> lines = pairmend_test::split_lines(out.str());
    const auto line_with = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    const auto note = line_with("The supplemental TEXT segment (byte offsets ");
    ASSERT_NE(note, lines.end()) << out.str();
    EXPECT_THAT(
        *note, HasSubstr(") was set aside because it does not parse as keywords and values: it ends with the "
                         "keyword \"ORPHAN\" without a value."));
    EXPECT_EQ(note->rfind("  The supplemental", 0), 0u) << "indented under the file's name";
    EXPECT_LT(note - lines.begin(), line_with("  #  $PnN") - lines.begin()) << "before the channel table";
    EXPECT_NE(line_with("  The primary and the supplemental TEXT give different values for $CYT; the primary "
                        "TEXT's value is used."),
              lines.end())
        << out.str();
    EXPECT_EQ(line_with("values for $DATE"), lines.end()) << "a keyword only the supplemental TEXT holds";
    EXPECT_THAT(out.str(), HasSubstr("instrument Primary cytometer"));
}

TEST(FcsToolNotes, ExportWritesTheDataOfAFileWithASetAsideSegment) {
    const TempDir dir;
    const std::string input =
        write_file(dir, "in.fcs", marker_file(3, 0, "/" + std::string("\x01\x02\x00", 3)));
    const std::string table = dir.file("out.csv");
    pairmend::fcs_study::export_csv({false, input, table});
    const std::vector<std::string> lines = pairmend_test::split_lines(pairmend_test::read_text(table));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "FSC-A,CD3");
    EXPECT_EQ(lines[1].substr(0, 5), "1000,");
}

TEST(FcsToolNotes, CorrectSaysTheNoteAndLeavesTheSetAsideKeywordsOut) {
    const TempDir dir;
    pairmend::fcs_study::StudyFiles options;
    options.cofactor = 150;
    options.files = {write_file(dir, "a.fcs", marker_file(120, 0, unparsed_stext)),
                     write_file(dir, "b.fcs", marker_file(120, 0.3, ""))};
    const pairmend::fcs_study::CorrectedOutput output{dir.file("out"), ""};
    std::ostringstream lines;
    pairmend::fcs_study::Progress progress(lines);
    pairmend::fcs_study::correct_study(options, {}, output, 1, progress);
    const std::string text = lines.str();
    const std::size_t read_a = text.find("Read " + options.files[0]);
    const std::size_t note = text.find("The supplemental TEXT segment (byte offsets ");
    const std::size_t read_b = text.find("Read " + options.files[1]);
    ASSERT_NE(note, std::string::npos) << text;
    EXPECT_LT(read_a, note);
    EXPECT_LT(note, read_b) << "under the progress line of the file it belongs to";
    EXPECT_EQ(text.find("The supplemental TEXT segment", note + 1), std::string::npos) << text;

    const pairmend::fcs::FcsFile corrected = pairmend::fcs::read_fcs(output.out_dir + "/a.fcs");
    EXPECT_EQ(corrected.num_events, 120u);
    EXPECT_FALSE(corrected.keyword("SECRET").has_value());
    EXPECT_EQ(corrected.instrument(), "Primary cytometer");
    EXPECT_TRUE(corrected.set_aside_notes.empty());
}

} // namespace
