#ifndef QN_MNN_SETTINGS_HPP
#define QN_MNN_SETTINGS_HPP

#include "mnncorrect/ReferencePolicy.hpp"
#include "pairmend/engine_options.hpp"
#include "plugin_framework/Settings.hpp"

#include <cstddef>
#include <limits>
#include <string>

namespace QN {

/**
 * The settings of a batch-correction job: the job file of QN::Settings plus the MNN options
 * as typed members, whose defaults are pairmend::EngineOptions's.
 *
 * Loading checks that the job names one input file, one output file and a summary file, then
 * copies the options out of the job file's "settings" object; every value must have the JSON
 * type of its option (15 for an integer, 3.0 for a floating-point option). Not thread-safe:
 * use one object from one thread.
 */
class MnnSettings : public Settings {
public:
    static constexpr const char* approximate_Att = "approximate";
    static constexpr const char* automatic_order_Att = "automatic_order";
    static constexpr const char* num_mads_Att = "num_mads";
    static constexpr const char* num_neighbors_Att = "num_neighbors";
    static constexpr const char* reference_policy_Att = "reference_policy";
    static constexpr const char* robust_iterations_Att = "robust_iterations";
    static constexpr const char* robust_trim_Att = "robust_trim";
    static constexpr const char* run_ID_Att = "run_ID";
    static constexpr const char* report_file_Att = "report_file";
    static constexpr const char* input_Val = "Input";
    static constexpr const char* max_size_Val = "MaxSize";
    static constexpr const char* max_variance_Val = "MaxVariance";
    static constexpr const char* max_Rss_Val = "MaxRSS";

    /**
     * Every option at its default; the program directory recorded.
     * @throws std::runtime_error "Couldn't get path of executable" when it cannot be found.
     */
    MnnSettings() = default;

    /**
     * Every option at its default, then loadJSONSetup(path).
     * @throws std::runtime_error or std::bad_variant_access as loadJSONSetup().
     */
    explicit MnnSettings(const std::string& path);

    /**
     * Checks the loaded job and copies the MNN options out of its settings.
     * @throws std::runtime_error "There must be exactly one input file", "No summary file",
     *         "There must be exactly one output file", "<text> is not a valid reference policy"
     *         or "No run ID specified".
     * @throws std::bad_variant_access (with a message naming the key and the expected JSON
     *         type) when a known key holds a value of another type.
     */
    void processLoadedJSON() override;

    /// Puts every option back to its default (no report), except the reference policy, which stays.
    void setDefaults();

    bool approximate = pairmend::EngineOptions{}.approximate;
    bool automatic_order = pairmend::EngineOptions{}.automatic_order;
    /// Not settable from the job file: the engine considers every observation.
    std::size_t observation_cap = std::numeric_limits<std::size_t>::max();
    double num_mads = pairmend::EngineOptions{}.num_mads;
    int num_neighbors = pairmend::EngineOptions{}.num_neighbors;
    mnncorrect::ReferencePolicy reference_policy = pairmend::EngineOptions{}.reference_policy;
    int robust_iterations = pairmend::EngineOptions{}.robust_iterations;
    double robust_trim = pairmend::EngineOptions{}.robust_trim;
    std::string run_ID = "NO_RUN_ID";
    /// Where the quality-control report goes, as written in the job file; empty for no report.
    std::string report_file;

    /**
     * The quality-control report's file name, resolved with addPath() when `resolve` is true.
     * @return The empty string when the job asks for no report, whatever `resolve` says.
     */
    std::string reportFile(bool resolve) const;

    /// The MNN options as the engine's settings that every front end shares.
    pairmend::EngineOptions engineOptions() const;

    /// Sets the MNN options from the engine's settings.
    void setEngineOptions(const pairmend::EngineOptions& options);
};

/**
 * The reference policy named by a job file's "reference_policy" text, spelled exactly as
 * "Input", "MaxSize", "MaxVariance" or "MaxRSS".
 * @throws std::runtime_error "<text> is not a valid reference policy" for any other text.
 */
mnncorrect::ReferencePolicy parse_reference_policy(const std::string& text);

} // namespace QN

#endif
