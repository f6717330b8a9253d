#include "MnnSettings.hpp"

#include "cli_harness.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace {

using pairmend_test::TempDir;
using pairmend_test::write_text;

class MnnJob : public ::testing::Test {
protected:
    // A job file of one input, one output and a summary file with the given settings members.
    std::string job(const std::string& members) const {
        return pairmend_test::job_json("in.csv", "out.csv", "summary.txt", members);
    }

    void load(const std::string& json) {
        write_text(path, json);
        settings.loadJSONSetup(path);
    }

    // The message of the error that loading `json` raises; `Error` is the expected type.
    template <typename Error>
    std::string load_error(const std::string& json) {
        try {
            load(json);
        } catch (const Error& error) {
            return error.what();
        }
        ADD_FAILURE() << "loading did not fail: " << json;
        return "";
    }

    TempDir dir;
    std::string path = dir.file("job.json");
    QN::MnnSettings settings;
};

} // namespace

TEST_F(MnnJob, RunIdAloneLeavesEveryOptionAtItsDefault) {
    load(job(R"("run_ID": "R7")"));
    EXPECT_EQ(settings.run_ID, "R7");
    EXPECT_EQ(settings.num_neighbors, 15);
    EXPECT_EQ(settings.num_mads, 3.0);
    EXPECT_EQ(settings.robust_iterations, 2);
    EXPECT_EQ(settings.robust_trim, 0.25);
    EXPECT_FALSE(settings.approximate);
    EXPECT_TRUE(settings.automatic_order);
    EXPECT_EQ(settings.reference_policy, mnncorrect::MaxRSS);
    EXPECT_EQ(settings.observation_cap, std::numeric_limits<std::size_t>::max());
}

TEST_F(MnnJob, EveryOptionIsCopiedFromItsKey) {
    load(job(R"("approximate": true, "automatic_order": false, "num_mads": 2.5, "num_neighbors": -4,
                "reference_policy": "MaxVariance", "robust_iterations": 0, "robust_trim": 1e-1,
                "run_ID": "", "unknown": "ignored", "num_neighbors": "ignored duplicate")"));
    EXPECT_TRUE(settings.approximate);
    EXPECT_FALSE(settings.automatic_order);
    EXPECT_EQ(settings.num_mads, 2.5);
    EXPECT_EQ(settings.num_neighbors, -4);
    EXPECT_EQ(settings.reference_policy, mnncorrect::MaxVariance);
    EXPECT_EQ(settings.robust_iterations, 0);
    EXPECT_EQ(settings.robust_trim, 0.1);
    EXPECT_EQ(settings.run_ID, "");
}

TEST_F(MnnJob, ReferencePolicyTextsAreExactAndCaseSensitive) {
    const std::pair<const char*, mnncorrect::ReferencePolicy> policies[] = {
        {"Input", mnncorrect::Input},
        {"MaxSize", mnncorrect::MaxSize},
        {"MaxVariance", mnncorrect::MaxVariance},
        {"MaxRSS", mnncorrect::MaxRSS}};
    for (const auto& policy : policies) {
        load(job(std::string(R"("run_ID": "R", "reference_policy": ")") + policy.first + "\""));
        EXPECT_EQ(settings.reference_policy, policy.second) << policy.first;
    }
    EXPECT_EQ(load_error<std::runtime_error>(job(R"("run_ID": "R", "reference_policy": "maxrss")")),
              "maxrss is not a valid reference policy");
    EXPECT_EQ(load_error<std::runtime_error>(job(R"("run_ID": "R", "reference_policy": "")")),
              " is not a valid reference policy");
}

TEST_F(MnnJob, ValuesOfTheWrongJsonTypeRaiseTheLibrarysBadVariantAccess) {
    // The message is the standard library's own, whatever it says.
    std::string library_message;
    try {
        std::variant<bool, double> holder(true);
        (void)std::get<double>(holder);
    } catch (const std::bad_variant_access& error) {
        library_message = error.what();
    }
    for (const char* settings_json :
         {R"("run_ID": "R", "num_mads": 3)", R"("run_ID": "R", "num_neighbors": 15.0)",
          R"("run_ID": "R", "approximate": "true")", R"("run_ID": 7)",
          R"("run_ID": "R", "reference_policy": 3)"}) {
        EXPECT_EQ(load_error<std::bad_variant_access>(job(settings_json)), library_message) << settings_json;
    }
}

TEST_F(MnnJob, FailedOptionKeepsEarlierOptionsAndDefaultsLaterOnes) {
    load(job(R"("run_ID": "R", "num_neighbors": 30, "robust_trim": 0.5, "reference_policy": "Input")"));
    EXPECT_THROW(
        load(job(R"("approximate": true, "num_neighbors": 15.0, "robust_trim": 0.4, "run_ID": "S")")),
        std::bad_variant_access);
    EXPECT_TRUE(settings.approximate);
    EXPECT_EQ(settings.num_neighbors, 15);
    EXPECT_EQ(settings.robust_trim, 0.25);
    EXPECT_EQ(settings.run_ID, "NO_RUN_ID");
    // The reference policy is not reset between loads.
    EXPECT_EQ(settings.reference_policy, mnncorrect::Input);
}

TEST_F(MnnJob, RunIdIsRequired) {
    EXPECT_EQ(load_error<std::runtime_error>(job(R"("num_neighbors": 30)")), "No run ID specified");
    EXPECT_EQ(load_error<std::runtime_error>(job("")), "No run ID specified");
}

TEST_F(MnnJob, FileCountsAreCheckedBeforeAnyOption) {
    const std::string bad_option = R"("settings": {"num_mads": 3})";
    EXPECT_EQ(load_error<std::runtime_error>(
                  R"({"input_files": [{"name": "a"}, {"name": "b"}], "output_files": [{"name": "o"}],
                      "summary_file": "s", )" +
                  bad_option + "}"),
              "There must be exactly one input file");
    EXPECT_EQ(load_error<std::runtime_error>(R"({"output_files": [{"name": "o"}], "summary_file": "s"})"),
              "There must be exactly one input file");
    EXPECT_EQ(load_error<std::runtime_error>(R"({"input_files": [{"name": "a"}], "summary_file": ""})"),
              "No summary file");
    EXPECT_EQ(load_error<std::runtime_error>(R"({"input_files": [{"name": "a"}], "summary_file": "s", )" +
                                             bad_option + "}"),
              "There must be exactly one output file");
    EXPECT_EQ(load_error<std::runtime_error>(R"({"input_files": [{"name": "a"}], "summary_file": "s",
                  "output_files": [{"name": "o"}, {"name": "p"}]})"),
              "There must be exactly one output file");
}

TEST_F(MnnJob, ConstructorWithPathLoadsAndSetDefaultsKeepsThePolicy) {
    write_text(path, job(R"("run_ID": "R9", "num_neighbors": 30, "reference_policy": "MaxSize")"));
    QN::MnnSettings loaded(path);
    EXPECT_EQ(loaded.run_ID, "R9");
    EXPECT_EQ(loaded.num_neighbors, 30);

    loaded.setDefaults();
    EXPECT_EQ(loaded.num_neighbors, 15);
    EXPECT_EQ(loaded.run_ID, "NO_RUN_ID");
    EXPECT_EQ(loaded.reference_policy, mnncorrect::MaxSize);
}

TEST_F(MnnJob, ReportFileIsOptionalAndResolvedAgainstTheProgramFolder) {
    load(job(R"("run_ID": "R", "report_file": "qc/report.html")"));
    EXPECT_EQ(settings.report_file, "qc/report.html");
    EXPECT_EQ(settings.reportFile(false), "qc/report.html");
    EXPECT_EQ(settings.reportFile(true), settings.addPath("qc/report.html"));
    EXPECT_NE(settings.reportFile(true), "qc/report.html");

    // Loading a job without the key (or with an empty name) asks for no report.
    load(job(R"("run_ID": "R")"));
    EXPECT_EQ(settings.reportFile(true), "");
    load(job(R"("run_ID": "R", "report_file": "")"));
    EXPECT_EQ(settings.reportFile(true), "");

    EXPECT_THROW(load(job(R"("run_ID": "R", "report_file": true)")), std::bad_variant_access);
}

TEST_F(MnnJob, KeysAndDefaultsAreTheSharedEngineSettings) {
    // The job file's keys are the shared settings' keys, and a job without options runs with the
    // shared defaults, so the program and the other front ends cannot drift apart.
    const std::vector<std::string> keys{
        QN::MnnSettings::num_neighbors_Att,     QN::MnnSettings::num_mads_Att,
        QN::MnnSettings::robust_iterations_Att, QN::MnnSettings::robust_trim_Att,
        QN::MnnSettings::approximate_Att,       QN::MnnSettings::automatic_order_Att,
        QN::MnnSettings::reference_policy_Att};
    std::vector<std::string> shared;
    for (const pairmend::SettingInfo& setting : pairmend::engine_settings()) {
        shared.push_back(setting.key);
    }
    EXPECT_EQ(keys, shared);

    load(job(R"("run_ID": "R7", "num_neighbors": 4, "robust_trim": 0.5)"));
    load(job(R"("run_ID": "R8")"));
    EXPECT_EQ(pairmend::settings_text(settings.engineOptions()),
              pairmend::settings_text(pairmend::EngineOptions{}));
}
