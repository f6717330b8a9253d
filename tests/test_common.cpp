#include "pairmend/batch_labels.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/messages.hpp"
#include "pairmend/output_transaction.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pairmend_test::TempDir;
using pairmend_test::write_text;

std::string read_text(const fs::path& path) {
    return pairmend_test::read_text(path.string());
}

// Every entry of a folder, for checking that nothing was left behind.
std::set<std::string> entries(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

} // namespace

TEST(EngineSettings, DescribeEveryOptionWithItsDefaultAndRange) {
    const pairmend::EngineOptions defaults;
    std::vector<std::string> keys;
    for (const pairmend::SettingInfo& setting : pairmend::engine_settings()) {
        keys.push_back(setting.key);
        EXPECT_EQ(pairmend::find_setting(setting.key), &setting);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"num_neighbors", "num_mads", "robust_iterations", "robust_trim",
                                              "approximate", "automatic_order", "reference_policy"}));
    EXPECT_EQ(pairmend::find_setting("neighbours"), nullptr);

    // The texts that reports and corrected files record for the defaults.
    const std::vector<std::pair<std::string, std::string>> expected{
        {"num_neighbors", "15"},       {"num_mads", "3.0"},      {"robust_iterations", "2"},
        {"robust_trim", "0.25"},       {"approximate", "false"}, {"automatic_order", "true"},
        {"reference_policy", "MaxRSS"}};
    EXPECT_EQ(pairmend::settings_text(defaults), expected);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(pairmend::engine_settings()[i].default_text, expected[i].second) << expected[i].first;
    }

    const pairmend::SettingInfo& neighbours = *pairmend::find_setting("num_neighbors");
    EXPECT_FALSE(pairmend::in_range(neighbours, 0));
    EXPECT_TRUE(pairmend::in_range(neighbours, 1));
    EXPECT_TRUE(pairmend::in_range(neighbours, 2147483647.0));
    EXPECT_FALSE(pairmend::in_range(neighbours, 2147483648.0));
    const pairmend::SettingInfo& trim = *pairmend::find_setting("robust_trim");
    EXPECT_TRUE(pairmend::in_range(trim, 0) && pairmend::in_range(trim, 1));
    EXPECT_FALSE(pairmend::in_range(trim, 1.0000001));
    const pairmend::SettingInfo& mads = *pairmend::find_setting("num_mads");
    EXPECT_FALSE(pairmend::in_range(mads, std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(pairmend::in_range(mads, std::numeric_limits<double>::quiet_NaN()));
}

// Each row of the table reaches its own field: values set through the table land in the named
// field and nowhere else, and come back as the kind's alternative.
TEST(EngineSettings, ReachTheirFieldsThroughTheTable) {
    const std::vector<pairmend::SettingValue> values{
        7, 2.5, 4, 0.125, true, false, std::string("MaxVariance")};
    pairmend::EngineOptions options;
    for (std::size_t i = 0; i < values.size(); ++i) {
        pairmend::set_setting(pairmend::engine_settings()[i], options, values[i]);
    }
    EXPECT_EQ(options.num_neighbors, 7);
    EXPECT_EQ(options.num_mads, 2.5);
    EXPECT_EQ(options.robust_iterations, 4);
    EXPECT_EQ(options.robust_trim, 0.125);
    EXPECT_TRUE(options.approximate);
    EXPECT_FALSE(options.automatic_order);
    EXPECT_EQ(options.reference_policy, mnncorrect::MaxVariance);
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(pairmend::setting_value(pairmend::engine_settings()[i], options), values[i]) << i;
    }
    EXPECT_EQ(pairmend::settings_text(options).back().second, "MaxVariance");

    // A value of another kind is refused as the job file refuses it; an unknown policy by name.
    const pairmend::SettingInfo& neighbours = *pairmend::find_setting("num_neighbors");
    EXPECT_THROW(pairmend::set_setting(neighbours, options, 15.0), std::bad_variant_access);
    EXPECT_THROW(
        pairmend::set_setting(*pairmend::find_setting("reference_policy"), options, std::string("maxrss")),
        std::runtime_error);
    const pairmend::EngineOptions read = pairmend::engine_options_of(
        [&](const pairmend::SettingInfo& setting) { return pairmend::setting_value(setting, options); });
    EXPECT_EQ(pairmend::settings_text(read), pairmend::settings_text(options));
}

TEST(EngineSettings, FloatingPointTextsReadBackExactlyWithADecimalPoint) {
    EXPECT_EQ(pairmend::setting_text(3.0), "3.0");
    EXPECT_EQ(pairmend::setting_text(0.1), "0.1");
    EXPECT_EQ(pairmend::setting_text(1e-5), "1e-05");
    EXPECT_EQ(pairmend::setting_text(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(std::stod(pairmend::setting_text(1.0 / 3.0)), 1.0 / 3.0);
    EXPECT_EQ(pairmend::setting_text(-2), "-2");
    EXPECT_EQ(pairmend::setting_text(true), "true");
}

TEST(EngineSettings, ReferencePoliciesByNameAreExact) {
    EXPECT_EQ(pairmend::reference_policy_names(),
              (std::vector<std::string>{"Input", "MaxSize", "MaxVariance", "MaxRSS"}));
    for (const mnncorrect::ReferencePolicy policy :
         {mnncorrect::Input, mnncorrect::MaxSize, mnncorrect::MaxVariance, mnncorrect::MaxRSS}) {
        EXPECT_EQ(pairmend::parse_reference_policy(pairmend::reference_policy_name(policy)), policy);
    }
    EXPECT_FALSE(pairmend::find_reference_policy("maxrss").has_value());
    try {
        pairmend::parse_reference_policy(" MaxRSS");
        ADD_FAILURE() << "a policy with a leading blank was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), " MaxRSS is not a valid reference policy");
    }
}

TEST(EngineSettings, ConfigureEngineCopiesEverySettingAndUsesHalfTheThreads) {
    pairmend::EngineOptions options;
    options.num_neighbors = 7;
    options.num_mads = 2.5;
    options.robust_iterations = 4;
    options.robust_trim = 0.1;
    options.approximate = true;
    options.automatic_order = false;
    options.reference_policy = mnncorrect::MaxVariance;
    const mnncorrect::Options engine = pairmend::configure_engine(options);
    EXPECT_EQ(engine.num_neighbors, 7);
    EXPECT_EQ(engine.num_mads, 2.5);
    EXPECT_EQ(engine.robust_iterations, 4);
    EXPECT_EQ(engine.robust_trim, 0.1);
    EXPECT_TRUE(engine.approximate);
    EXPECT_FALSE(engine.automatic_order);
    EXPECT_EQ(engine.reference_policy, mnncorrect::MaxVariance);
    EXPECT_EQ(engine.observation_cap, std::numeric_limits<std::size_t>::max());
    EXPECT_EQ(engine.num_threads, pairmend::default_engine_threads());

    EXPECT_EQ(pairmend::engine_thread_count(0), 1);
    EXPECT_EQ(pairmend::engine_thread_count(3), 1);
    EXPECT_EQ(pairmend::engine_thread_count(8), 4);
}

TEST(SharedMessages, NameTheValueTheBatchAndTheLimit) {
    EXPECT_EQ(pairmend::non_finite_value_message("nan", "in row 2, column 3 of the data"),
              "The value \"nan\" in row 2, column 3 of the data is not a finite number. Remove or replace "
              "that event.");
    EXPECT_EQ(pairmend::quoted_value(std::string(50, 'x')), "\"" + std::string(40, 'x') + "...\"");
    EXPECT_NE(pairmend::no_mutual_pairs_message("B7").find("The batch labelled B7 shares no mutual"),
              std::string::npos);
    EXPECT_NO_THROW(pairmend::check_table_size(2147483647u, 1));
    EXPECT_THROW(pairmend::check_table_size(2147483648u, 1), std::runtime_error);
    EXPECT_THROW(pairmend::check_table_size(1073741824u, 2), std::runtime_error);
}

TEST(BatchLabels, AreNumberedInAscendingOrderWhateverTheEventOrder) {
    const std::vector<int> labels{10, 2, 1, 2, 10};
    std::vector<int> batches(labels.size());
    EXPECT_EQ(pairmend::number_batch_labels(labels.data(), labels.size(), batches.data()),
              (std::vector<int>{1, 2, 10}));
    EXPECT_EQ(batches, (std::vector<int>{2, 1, 0, 1, 2}));

    // Texts by their bytes: upper case before lower case, "run 10" before "run 2".
    const std::vector<std::string> texts{"run 2", "b", "B", "run 10"};
    std::vector<int> ids(texts.size());
    EXPECT_EQ(pairmend::number_batch_labels(texts.data(), texts.size(), ids.data()),
              (std::vector<std::string>{"B", "b", "run 10", "run 2"}));
    EXPECT_EQ(ids, (std::vector<int>{3, 1, 0, 2}));

    const std::vector<int> single{4, 4};
    std::vector<int> out(2);
    EXPECT_THROW(pairmend::number_batch_labels(single.data(), single.size(), out.data()), std::runtime_error);
}

TEST(OutputTransaction, FilesAppearOnlyOnCommitAndReplaceOlderOnes) {
    const TempDir dir;
    const fs::path folder(dir.path());
    write_text((folder / "old.txt").string(), "old");
    {
        pairmend::OutputTransaction files;
        const std::string fresh = files.add(folder / "new.txt");
        const std::string replacing = files.add(folder / "old.txt");
        EXPECT_NE(fresh, (folder / "new.txt").string());
        EXPECT_NE(fresh.find(files.token()), std::string::npos);
        write_text(fresh, "new");
        write_text(replacing, "replaced");
        EXPECT_FALSE(fs::exists(folder / "new.txt"));
        EXPECT_EQ(read_text(folder / "old.txt"), "old");
        files.commit();
    }
    EXPECT_EQ(read_text(folder / "new.txt"), "new");
    EXPECT_EQ(read_text(folder / "old.txt"), "replaced");
    EXPECT_EQ(entries(folder), (std::set<std::string>{"new.txt", "old.txt"}));
}

TEST(OutputTransaction, WithoutCommitRemovesItsTemporaryFilesAndTheFoldersItMade) {
    const TempDir dir;
    const fs::path folder(dir.path());
    write_text((folder / "kept.txt").string(), "kept");
    try {
        pairmend::OutputTransaction files;
        files.create_folder(folder / "a" / "b");
        write_text(files.add(folder / "a" / "b" / "out.txt"), "partial");
        write_text(files.add(folder / "kept.txt"), "partial");
        throw std::runtime_error("a write failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(entries(folder), std::set<std::string>{"kept.txt"});
    EXPECT_EQ(read_text(folder / "kept.txt"), "kept");
}

TEST(OutputTransaction, AFailedRenameTakesBackTheFilesAlreadyMoved) {
    const TempDir dir;
    const fs::path folder(dir.path());
    std::string second;
    {
        pairmend::OutputTransaction files;
        write_text(files.add(folder / "first.txt"), "1");
        second = files.add(folder / "second.txt");
        write_text(second, "2");
        // A folder in the way of the second file's final name makes its rename fail.
        fs::create_directory(folder / "second.txt");
        write_text((folder / "second.txt" / "inside").string(), "x");
        try {
            files.commit();
            ADD_FAILURE() << "the commit did not fail";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find("second.txt"), std::string::npos) << error.what();
        }
        EXPECT_FALSE(fs::exists(folder / "first.txt"));
    }
    EXPECT_FALSE(fs::exists(second));
    EXPECT_EQ(entries(folder), std::set<std::string>{"second.txt"});
}

TEST(OutputTransaction, DevicesAreWrittenInPlaceAndNeverRemoved) {
    pairmend::OutputTransaction files;
    EXPECT_EQ(files.add("/dev/null"), "/dev/null");
    files.commit();
    EXPECT_TRUE(fs::exists("/dev/null"));
    {
        pairmend::OutputTransaction abandoned;
        EXPECT_EQ(abandoned.add("/dev/null"), "/dev/null");
    }
    EXPECT_TRUE(fs::exists("/dev/null"));
}

TEST(OutputTransaction, RefusesAFolderThatIsAFile) {
    const TempDir dir;
    const fs::path file = fs::path(dir.path()) / "plain";
    write_text(file.string(), "x");
    pairmend::OutputTransaction files;
    EXPECT_THROW(files.create_folder(file), std::runtime_error);
}
