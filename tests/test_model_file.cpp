// The model file: a round trip keeps every bit, every damaged or foreign file is refused with a
// sentence naming the file and the fault, unknown sections are skipped or refused by their flag,
// and writing never leaves a partial file behind.

#include "pairmend/model/apply.hpp"
#include "pairmend/model/curves_method.hpp"
#include "pairmend/model/fit.hpp"
#include "pairmend/model/model_file.hpp"

#include "crc32.hpp"
#include "shifted_batches.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using pairmend::model::Model;

constexpr int ndim = 3;
const std::string source = "The model file study.pmm";

std::string message_of(const std::function<void()>& fun) {
    try {
        fun();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no exception";
}

std::string decode_message(const Bytes& bytes) {
    return message_of([&] { pairmend::model::decode_model(bytes.data(), bytes.size(), source); });
}

// A small model of three batches, with FCS channels.
Model small_model() {
    const std::vector<double> centres{0, 0, 0, 5, 5, 0};
    std::vector<std::vector<double>> events;
    std::vector<pairmend::model::BatchEvents> batches;
    for (int b = 0; b < 3; ++b) {
        events.push_back(pairmend_test::shifted_batch(ndim, 120, centres, {0.8 * b, 0.3 * b, 0}, 0.5,
                                                      static_cast<std::uint64_t>(b + 1)));
    }
    const char* names[] = {"day 1", "day 2 \xc2\xb5", "day 3"};
    for (int b = 0; b < 3; ++b) {
        batches.push_back({names[b], 120, events[static_cast<size_t>(b)].data()});
    }
    pairmend::model::FitOptions options;
    options.settings.reference_events = 200;
    options.parameters = {"CD3", "CD4", "CD8"};
    options.fcs = pairmend::model::FcsInfo{{{"FL1-A", "CD3"}, {"FL2-A", "CD4"}, {"FL3-A", ""}}, 150, {}, {}};
    return pairmend::model::fit(ndim, batches, options);
}

std::uint32_t read_u32(const Bytes& bytes, size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void write_u32(Bytes& bytes, size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void write_u64(Bytes& bytes, size_t at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        bytes[at + static_cast<size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// Sets the file length and the checksum to fit the bytes, as a writer would have.
void reseal(Bytes& bytes) {
    write_u64(bytes, 16, bytes.size());
    write_u32(bytes, bytes.size() - 4, pairmend::model::internal::crc32(bytes.data(), bytes.size() - 4));
}

// Offset of the first section of `type` (its type field).
size_t find_section(const Bytes& bytes, std::uint32_t type) {
    size_t at = 24;
    while (at + 16 <= bytes.size() - 4) {
        if (read_u32(bytes, at) == type) {
            return at;
        }
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i) {
            length = length << 8 | bytes[at + 8 + static_cast<size_t>(i)];
        }
        at += 16 + length;
    }
    ADD_FAILURE() << "no section " << type;
    return 0;
}

// Appends a section before the checksum and reseals the file.
Bytes with_section(Bytes bytes, std::uint32_t type, std::uint32_t flags, const Bytes& payload) {
    bytes.resize(bytes.size() - 4);
    Bytes header(16, 0);
    write_u32(header, 0, type);
    write_u32(header, 4, flags);
    write_u64(header, 8, payload.size());
    bytes.insert(bytes.end(), header.begin(), header.end());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.resize(bytes.size() + 4);
    reseal(bytes);
    return bytes;
}

class ModelFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("pairmend_model_file_" +
                   std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::filesystem::path folder_;
};

TEST(Crc32, MatchesZlib) {
    const std::string check = "123456789";
    EXPECT_EQ(
        pairmend::model::internal::crc32(reinterpret_cast<const unsigned char*>(check.data()), check.size()),
        0xCBF43926U);
    EXPECT_EQ(pairmend::model::internal::crc32(nullptr, 0), 0U);
}

TEST_F(ModelFile, RoundTripKeepsEveryBitAndApplyGivesTheSameValues) {
    const Model model = small_model();
    const std::string path = (folder_ / "study.pmm").string();
    pairmend::model::save_model(model, path);
    const Model loaded = pairmend::model::load_model(path);

    EXPECT_EQ(pairmend::model::encode_model(loaded), pairmend::model::encode_model(model));
    EXPECT_EQ(loaded.parameters, model.parameters);
    ASSERT_TRUE(loaded.fcs.has_value());
    EXPECT_EQ(loaded.fcs->channels[1].name, "FL2-A");
    EXPECT_EQ(loaded.fcs->channels[2].label, "");
    EXPECT_EQ(loaded.fcs->cofactor, 150);
    EXPECT_EQ(loaded.batches[1].name.size() + loaded.batches[0].name.size() + loaded.batches[2].name.size(),
              5U + 8U + 5U);
    EXPECT_EQ(loaded.settings.reference_events, 200U);

    const std::vector<double> events =
        pairmend_test::shifted_batch(ndim, 80, {0, 0, 0, 5, 5, 0}, {1, 0, 0}, 0.5, 9);
    for (const auto& batch : model.batches) {
        std::vector<double> a(events.size());
        std::vector<double> b(events.size());
        pairmend::model::apply(model, batch.name, ndim, 80, events.data(), a.data(), 1);
        pairmend::model::apply(loaded, batch.name, ndim, 80, events.data(), b.data(), 2);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(double)), 0) << batch.name;
    }

    // Little-endian whatever the host: the version sits in the low byte first.
    const Bytes bytes = pairmend::model::encode_model(model);
    EXPECT_EQ(bytes[8], 1);
    EXPECT_EQ(bytes[9], 0);
}

TEST_F(ModelFile, TransformsPerChannelRoundTripAndModelsWithoutThemMeanOneCofactor) {
    const Model plain = small_model();
    EXPECT_TRUE(plain.fcs->transforms.empty());
    EXPECT_EQ(find_section(pairmend::model::encode_model(plain), 6) > 0, true);

    Model model = plain;
    model.fcs->transforms = {pairmend::model::arcsinh_transform(150),
                             {pairmend::model::TransformKind::logicle, {262144, 0.5, 4.5, 0.25}},
                             {pairmend::model::TransformKind::linear, {}}};
    const Bytes bytes = pairmend::model::encode_model(model);
    const Model loaded = pairmend::model::decode_model(bytes.data(), bytes.size(), source);
    EXPECT_EQ(loaded.fcs->transforms, model.fcs->transforms);
    EXPECT_EQ(pairmend::model::encode_model(loaded), bytes);

    // The transforms are required: a reader that skipped them would correct other values.
    const size_t at = find_section(bytes, 10);
    EXPECT_EQ(bytes[at + 4], 1);

    model.fcs->transforms[1].parameters[1] = 3; // W beyond M / 2
    EXPECT_EQ(message_of([&] { pairmend::model::encode_model(model); }),
              "The model holds a transform of the channel FL2-A that cannot be used: logicle's W must lie "
              "between 0 and M / 2 = 2.25, not 3.");
    model.fcs->transforms.pop_back();
    EXPECT_EQ(message_of([&] { pairmend::model::encode_model(model); }),
              "The model holds 2 channel transforms for 3 parameters.");
}

TEST(ModelFileRefusal, TruncatedAtAnyPoint) {
    const Bytes bytes = pairmend::model::encode_model(small_model());
    for (const size_t keep : {size_t(0), size_t(5), size_t(8), size_t(20), size_t(27), size_t(60),
                              bytes.size() / 2, bytes.size() - 5, bytes.size() - 1}) {
        const Bytes cut(bytes.begin(), bytes.begin() + static_cast<long>(keep));
        const std::string message = decode_message(cut);
        EXPECT_EQ(message.rfind(source + " is truncated: ", 0), 0U) << keep << ": " << message;
    }
    const Bytes cut(bytes.begin(), bytes.end() - 1);
    EXPECT_EQ(decode_message(cut), source + " is truncated: it should hold " + std::to_string(bytes.size()) +
                                       " bytes, but holds only " + std::to_string(bytes.size() - 1) + ".");
}

TEST(ModelFileRefusal, AnyFlippedByteIsCaught) {
    const Bytes bytes = pairmend::model::encode_model(small_model());
    // Every byte after the signature and length: a flip there is a checksum mismatch (or, in the
    // checksum itself, the same).
    for (size_t at = 24; at < bytes.size(); at += 7) {
        Bytes damaged = bytes;
        damaged[at] ^= 0x10;
        EXPECT_EQ(decode_message(damaged), source + " is corrupt: its checksum does not match its contents.")
            << at;
    }
    Bytes version = bytes;
    version[9] ^= 0x01;
    EXPECT_EQ(decode_message(version), source + " is corrupt: its checksum does not match its contents.");
}

TEST(ModelFileRefusal, ForeignNewerAndInconsistentFiles) {
    const Bytes bytes = pairmend::model::encode_model(small_model());

    Bytes foreign = bytes;
    foreign[1] = 'X';
    EXPECT_EQ(decode_message(foreign),
              source + " is not a pairmend model file: it does not begin with the model file signature.");
    const std::string text = "FCS3.1    some other file";
    EXPECT_EQ(
        decode_message(Bytes(text.begin(), text.end())).rfind(source + " is not a pairmend model file", 0),
        0U);

    Bytes newer = bytes;
    write_u32(newer, 8, 2);
    reseal(newer);
    EXPECT_EQ(decode_message(newer),
              source + " has model format version 2, but this pairmend reads versions 1 to 1; it "
                       "was written by a newer pairmend, which can read it.");
    Bytes zero = bytes;
    write_u32(zero, 8, 0);
    reseal(zero);
    EXPECT_EQ(decode_message(zero),
              source + " has model format version 0, but this pairmend reads versions 1 to 1.");

    Bytes longer = bytes;
    longer.push_back(0);
    EXPECT_EQ(decode_message(longer), source + " is corrupt: it declares a length of " +
                                          std::to_string(bytes.size()) + " bytes, but holds " +
                                          std::to_string(bytes.size() + 1) + ".");
}

TEST(ModelFileRefusal, DeclaredSizesLargerThanTheFileAllocateNothing) {
    const Bytes bytes = pairmend::model::encode_model(small_model());

    // A section longer than the rest of the file.
    Bytes section = bytes;
    write_u64(section, find_section(section, 5) + 8, 1ULL << 60);
    reseal(section);
    EXPECT_EQ(
        decode_message(section).rfind(source + " is corrupt: it declares 1152921504606846976 section", 0), 0U)
        << decode_message(section);

    // Counts inside a section that its bytes cannot hold: paired events, reference rows, names.
    const size_t state = find_section(bytes, 4) + 16;
    for (const size_t field : {state + 4, state + 12, state + 20}) {
        Bytes count = bytes;
        write_u64(count, field, 0x0FFFFFFFFFFFFFFFULL);
        reseal(count);
        const std::string message = decode_message(count);
        EXPECT_EQ(message.rfind(source + " is corrupt: it declares 1152921504606846975 ", 0), 0U) << message;
        EXPECT_NE(message.find("more than the"), std::string::npos) << message;
    }
    Bytes rows = bytes;
    write_u64(rows, find_section(rows, 5) + 16, 1ULL << 40);
    reseal(rows);
    EXPECT_EQ(decode_message(rows).rfind(source + " is corrupt: it declares 1099511627776 reference rows", 0),
              0U);
    Bytes names = bytes;
    write_u32(names, find_section(names, 2) + 20, 0xFFFFFFF0U); // length of the first parameter name
    reseal(names);
    EXPECT_EQ(decode_message(names).rfind(source + " is corrupt: it declares 4294967280 parameter name", 0),
              0U)
        << decode_message(names);

    // Sizes that fit the file but not each other: a partner outside the reference centres.
    Bytes partner = bytes;
    const std::uint64_t npaired = [&] {
        std::uint64_t value = 0;
        for (int i = 7; i >= 0; --i) {
            value = value << 8 | partner[state + 4 + static_cast<size_t>(i)];
        }
        return value;
    }();
    write_u32(partner, state + 28 + 4 * npaired, 0x7FFFFFF0U);
    reseal(partner);
    EXPECT_EQ(decode_message(partner).rfind(source + " holds a correction for batch \"", 0), 0U)
        << decode_message(partner);
}

TEST(ModelFileRefusal, UnknownSectionsAreSkippedOrRefusedByTheirFlag) {
    const Model model = small_model();
    const Bytes bytes = pairmend::model::encode_model(model);

    const Bytes optional = with_section(bytes, 77, 0, Bytes{1, 2, 3});
    const Model read = pairmend::model::decode_model(optional.data(), optional.size(), source);
    EXPECT_EQ(pairmend::model::encode_model(read), bytes);

    const Bytes required = with_section(bytes, 77, 1, Bytes{1, 2, 3});
    EXPECT_EQ(decode_message(required),
              source +
                  " holds a section of type 77 that this pairmend cannot read; it needs a newer pairmend.");

    // A known section given twice, and a model without its reference.
    const size_t reference = find_section(bytes, 5);
    const Bytes twice = with_section(bytes, 5, 1,
                                     Bytes(bytes.begin() + static_cast<long>(reference) + 16,
                                           bytes.begin() + static_cast<long>(find_section(bytes, 6))));
    EXPECT_EQ(decode_message(twice), source + " is corrupt: it holds section 5 twice.");
}

TEST_F(ModelFile, WritingIsAtomic) {
    const Model model = small_model();
    const std::string path = (folder_ / "study.pmm").string();
    {
        std::ofstream old(path);
        old << "an earlier file";
    }
    pairmend::model::save_model(model, path);
    EXPECT_NO_THROW(pairmend::model::load_model(path));
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(folder_), std::filesystem::directory_iterator()),
        1);

    // A folder that does not exist: nothing written, the reason given.
    const std::string missing = (folder_ / "no such folder" / "x.pmm").string();
    EXPECT_EQ(message_of([&] { pairmend::model::save_model(model, missing); }),
              "Could not write the model file " + missing + ": No such file or directory.");

    // The destination is a folder: the rename fails, the temporary file is removed.
    std::filesystem::create_directories(folder_ / "taken.pmm" / "inside");
    const std::string taken = (folder_ / "taken.pmm").string();
    EXPECT_NE(
        message_of([&] { pairmend::model::save_model(model, taken); }).find("Could not write the model file"),
        std::string::npos);
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(folder_), std::filesystem::directory_iterator()),
        2);

    EXPECT_EQ(message_of([&] { pairmend::model::load_model(missing); }),
              "Could not read the model file " + missing + ": No such file or directory.");
    // A folder given as the model: refused as such, not read as an empty or endless file.
    EXPECT_EQ(message_of([&] { pairmend::model::load_model(taken); }),
              "Could not read the model file " + taken + ": Is a directory.");
}

} // namespace

namespace {

// A version-1 file written when the format was introduced: later readers must keep reading it, and
// writing what they read must give back the same bytes.
TEST(ModelFileVersion1, StaysReadable) {
    const std::string path = std::string(PAIRMEND_TEST_DATA) + "/model_v1.pmm";
    std::ifstream in(path, std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 1973U);

    const Model model = pairmend::model::load_model(path);
    EXPECT_EQ(model.ndim, 2);
    EXPECT_EQ(model.parameters, (std::vector<std::string>{"CD3", "FL2"}));
    EXPECT_EQ(model.settings.num_neighbors, 3);
    EXPECT_EQ(model.settings.reference_events, 20U);
    ASSERT_EQ(model.batches.size(), 3U);
    std::vector<std::string> names;
    for (const auto& batch : model.batches) {
        names.push_back(batch.name);
        EXPECT_EQ(batch.fitted_events, 14U);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_TRUE(model.fcs.has_value());
    EXPECT_EQ(model.fcs->channels[0].name, "FL1");
    EXPECT_EQ(model.fcs->cofactor, 5);
    EXPECT_EQ(pairmend::model::encode_model(model), bytes);
}

} // namespace

// A model of the "curves" method: its method and alignments have sections of their own.
class CurvesModelFile : public ModelFile {
protected:
    static Model curves_model() {
        const std::vector<double> centres{0, 0, 0, 5, 5, 0};
        std::vector<std::vector<double>> events;
        std::vector<pairmend::model::BatchEvents> batches;
        for (int b = 0; b < 3; ++b) {
            events.push_back(pairmend_test::shifted_batch(ndim, 400, centres, {0.8 * b, 0.3 * b, 0}, 0.5,
                                                          static_cast<std::uint64_t>(b + 1)));
        }
        for (int b = 0; b < 3; ++b) {
            batches.push_back({"day " + std::to_string(b + 1), 400, events[static_cast<size_t>(b)].data()});
        }
        pairmend::model::FitOptions options;
        options.method = pairmend::model::parse_method("curves");
        return pairmend::model::fit(ndim, batches, options);
    }
};

TEST_F(CurvesModelFile, RoundTripKeepsTheMethodAndEveryBit) {
    const Model model = curves_model();
    ASSERT_FALSE(model.batches[1].as<pairmend::model::CurvesCorrection>().alignment.curves.empty());
    const std::string path = (folder_ / "curves.pmm").string();
    pairmend::model::save_model(model, path);
    const Model loaded = pairmend::model::load_model(path);
    EXPECT_EQ(loaded.method, pairmend::model::parse_method("curves"));
    const Bytes bytes = pairmend::model::encode_model(model);
    EXPECT_EQ(pairmend::model::encode_model(loaded), bytes);

    const std::vector<double> events =
        pairmend_test::shifted_batch(ndim, 80, {0, 0, 0, 5, 5, 0}, {1, 0, 0}, 0.5, 9);
    for (const auto& batch : model.batches) {
        std::vector<double> a(events.size());
        std::vector<double> b(events.size());
        pairmend::model::apply(model, batch.name, ndim, 80, events.data(), a.data(), 1);
        pairmend::model::apply(loaded, batch.name, ndim, 80, events.data(), b.data(), 2);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(double)), 0) << batch.name;
    }
    // A model of the default method carries no method section, so its file is as before.
    EXPECT_EQ(find_section(bytes, 7), 24U + 16U + read_u32(bytes, 24 + 8));
    const Bytes mnn = pairmend::model::encode_model(small_model());
    for (size_t at = 24; at + 16 <= mnn.size() - 4;) {
        ASSERT_NE(read_u32(mnn, at), 7U);
        ASSERT_NE(read_u32(mnn, at), 8U);
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i) {
            length = length << 8 | mnn[at + 8 + static_cast<size_t>(i)];
        }
        at += 16 + length;
    }
}

TEST_F(CurvesModelFile, RefusesUnknownMethodsDamageAndOversizedCounts) {
    const Bytes bytes = pairmend::model::encode_model(curves_model());

    // A method this version does not know: the name is replaced by one of the same length.
    Bytes unknown = bytes;
    const size_t name = find_section(unknown, 7) + 16 + 4;
    const std::string other = "cubist";
    std::copy(other.begin(), other.end(), unknown.begin() + static_cast<long>(name));
    reseal(unknown);
    EXPECT_EQ(decode_message(unknown), source +
                                           " corrects with the method \"cubist\", which this pairmend does "
                                           "not know; it needs a newer pairmend.");

    for (const size_t keep : {size_t(60), bytes.size() / 2, bytes.size() - 5}) {
        const Bytes cut(bytes.begin(), bytes.begin() + static_cast<long>(keep));
        EXPECT_EQ(decode_message(cut).rfind(source + " is truncated: ", 0), 0U) << keep;
    }

    // Counts of curves, knots and field centres larger than the section holds allocate nothing.
    const size_t alignment = find_section(bytes, 8) + 16;
    for (const size_t field : {alignment + 4, alignment + 8}) {
        Bytes count = bytes;
        write_u32(count, field, 0xFFFFFFF0U);
        reseal(count);
        const std::string message = decode_message(count);
        EXPECT_EQ(message.rfind(source + " is corrupt: it declares 4294967280 ", 0), 0U) << message;
    }

    // A curve that turns back: the knots are swapped.
    Bytes backwards = bytes;
    const size_t knots = alignment + 12;
    std::swap_ranges(backwards.begin() + static_cast<long>(knots),
                     backwards.begin() + static_cast<long>(knots + 8),
                     backwards.begin() + static_cast<long>(knots + 8));
    reseal(backwards);
    const std::string message = decode_message(backwards);
    EXPECT_EQ(message, source + " holds an alignment for batch \"" + curves_model().batches[1].name +
                           "\" that has a curve that is not increasing.");

    // Alignments in a model without the method section are out of order.
    const size_t method = find_section(bytes, 7);
    Bytes without(bytes.begin(), bytes.begin() + static_cast<long>(method));
    const size_t method_length = 16 + read_u32(bytes, method + 8);
    without.insert(without.end(), bytes.begin() + static_cast<long>(method + method_length), bytes.end());
    reseal(without);
    EXPECT_EQ(decode_message(without), source + " is corrupt: its sections are out of order.");
}
