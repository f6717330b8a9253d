// Where the reader's bytes come from: a file on disk read range by range, against the same bytes
// given in memory.

#include "pairmend/fcs/fcs_file.hpp"

#include "fcs_builder.hpp"
#include "fcs_read_checks.hpp"

#include "cli_harness.hpp"
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using fcs_test::FcsBuilder;
using fcs_test::two_channel_builder;
using pairmend_test::TempDir;
using ::testing::HasSubstr;

// ---------------------------------------------------------------------------------------------
// Files

TEST(FcsReader, MissingFileIsRefusedWithItsName) {
    TempDir dir;
    const std::string path = dir.file("absent.fcs");
    try {
        pairmend::fcs::read_fcs(path);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr("The file " + path + " cannot be read: "));
    }
}

TEST(FcsReader, FolderAndEmptyFileAreRefusedWithTheirNames) {
    TempDir dir;
    try {
        pairmend::fcs::read_fcs(dir.path().string());
        FAIL() << "a folder was read";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr("The file " + dir.path().string() + " cannot be read: "));
    }
    const std::string empty = dir.file("empty.fcs");
    pairmend_test::write_text(empty, "");
    try {
        pairmend::fcs::read_fcs(empty);
        FAIL() << "an empty file was read";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "The file " + empty +
                      " is not an FCS file: it does not begin with an FCS version such as FCS3.1.");
    }
}

TEST(FcsReader, FileReadInBlocksEqualsTheBytesInMemory) {
    // 3 channels of 4 bytes: 400,000 events are 4.8 MB, more than one 4 MB block, and the last
    // block is a partial one, so the file is read at several offsets.
    FcsBuilder builder = two_channel_builder();
    builder.channels.push_back({"CD8", "", "262144", 32, "0,0"});
    builder.byteord = "4,3,2,1";
    builder.events.clear();
    for (std::size_t e = 0; e < 400000; ++e) {
        builder.events.push_back({double(e), -double(e % 977) / 8, double(e * 7 % 65536) + 0.5});
    }
    builder.trailer = "00000000";
    const std::string bytes = builder.build();
    TempDir dir;
    const std::string path = dir.file("blocks.fcs");
    pairmend_test::write_text(path, bytes);

    const pairmend::fcs::FcsFile from_file = pairmend::fcs::read_fcs(path);
    const pairmend::fcs::FcsFile from_memory = pairmend::fcs::parse_fcs(bytes, path);
    EXPECT_EQ(from_file.path, path);
    ASSERT_EQ(from_file.num_events, 400000u);
    EXPECT_EQ(from_file.raw, from_memory.raw);
    EXPECT_EQ(from_file.keywords, from_memory.keywords);
    for (const std::size_t e :
         {std::size_t{0}, std::size_t{349524}, std::size_t{349525}, std::size_t{399999}}) {
        for (std::size_t c = 0; c < 3; ++c) {
            ASSERT_EQ(from_file.raw[e * 3 + c], builder.events[e][c]) << "event " << e << " channel " << c;
        }
    }
}

} // namespace
