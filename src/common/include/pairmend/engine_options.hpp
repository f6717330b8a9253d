#ifndef PAIRMEND_ENGINE_OPTIONS_HPP
#define PAIRMEND_ENGINE_OPTIONS_HPP

// The correction engine's settings as every front end sees them: the ranges that pairmend-fcs and
// the language bindings accept, their job-file keys and the text form in which reports and files
// record them. The functions keep no state and may be called from any thread.

#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/ReferencePolicy.hpp"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace pairmend {

/** Every setting of a correction, at the engine's defaults (`mnncorrect::Settings`). */
struct EngineOptions : mnncorrect::Settings {};

/** The kinds of value a setting takes. */
enum class SettingKind { whole_number, number, flag, policy };

/** The kind's name as the bindings give it: "whole_number", "number", "flag" or "policy". */
const char* setting_kind_name(SettingKind kind);

/**
 * A setting's value as front ends hand it over: an int (whole number), a double (number), a bool
 * (flag) or a policy's name; the alternatives of the job file's values.
 */
using SettingValue = std::variant<bool, double, int, std::string>;

/**
 * One setting as front ends present it. The job-file key doubles as the keyword of the Python and R
 * functions; `option` is the pairmend-fcs command-line option. `get` and `set` reach the setting's
 * field of an EngineOptions, so that front ends read, write and print every setting by walking
 * engine_settings() without naming the fields.
 */
struct SettingInfo {
    const char* key;         ///< "num_neighbors": the job-file key and the bindings' keyword.
    const char* option;      ///< "--neighbors": pairmend-fcs's option.
    const char* metavar;     ///< the option's value in usage texts ("K"); empty for a switch; "a|b" for a
                             ///< flag given as one of two words, the first for true.
    SettingKind kind;        ///< what kind of value it takes.
    double minimum;          ///< the smallest accepted value (numbers only).
    double maximum;          ///< the largest accepted value (numbers only).
    const char* range;       ///< the accepted values in words: "a whole number from 1 to 2147483647".
    const char* description; ///< a few words for usage texts.
    const char* choices;     ///< a flag given as one of two words: what each means in usage texts, true
                             ///< first ("automatic|batch number order"); empty otherwise.
    double (*get)(
        const EngineOptions& options); ///< the field as a number (a flag 0 or 1, a policy its value).
    void (*set)(EngineOptions& options, double value); ///< sets the field from such a number.
    double default_value;     ///< the default as a number (a flag 0 or 1, a policy its value).
    std::string default_text; ///< the default as setting_text writes it (a policy by its name).
};

/** Every setting, in the order in which the job file and the reports list them. */
const std::vector<SettingInfo>& engine_settings();

/** The setting of job-file key `key`, or nullptr when there is none. */
const SettingInfo* find_setting(const std::string& key);

/** Whether `value` lies in the accepted range of a whole-number or number setting (finite). */
bool in_range(const SettingInfo& setting, double value);

/**
 * Each setting by its job-file key and its value as setting_text writes it, in the order of
 * engine_settings().
 */
std::vector<std::pair<std::string, std::string>> settings_text(const EngineOptions& options);

/** The setting's value in `options` as text: setting_text of its value, a policy by its name. */
std::string value_text(const SettingInfo& setting, const EngineOptions& options);

/** The setting's value in `options`: an int, double or bool by its kind, a policy by its name. */
SettingValue setting_value(const SettingInfo& setting, const EngineOptions& options);

/**
 * Sets the setting in `options` to `value`, which must hold the alternative of the setting's kind
 * (int, double, bool, a policy's name); no range is checked.
 * @throws std::bad_variant_access when `value` holds another alternative.
 * @throws std::runtime_error unknown_policy_message for a policy name that is none of the four.
 */
void set_setting(const SettingInfo& setting, EngineOptions& options, const SettingValue& value);

/** A whole number as the job file writes it. */
std::string setting_text(int value);

/** true or false, as the job file writes it. */
std::string setting_text(bool value);

/**
 * A floating-point setting as the job file must write it: the shortest text that reads back as the
 * same value, with a decimal point even for whole values (3.0, never 3, which a job file would
 * refuse as a whole number).
 */
std::string setting_text(double value);

/** The names of the reference policies, in the order of their values: Input, MaxSize, MaxVariance, MaxRSS. */
const std::vector<std::string>& reference_policy_names();

/** The name of a reference policy as the job file writes it ("Input", "MaxSize", ...). */
const char* reference_policy_name(mnncorrect::ReferencePolicy policy);

/** The policy named `text` exactly (case-sensitive), or nothing. */
std::optional<mnncorrect::ReferencePolicy> find_reference_policy(const std::string& text);

/**
 * The policy named `text` exactly.
 * @throws std::runtime_error unknown_policy_message(text) for any other text.
 */
mnncorrect::ReferencePolicy parse_reference_policy(const std::string& text);

/**
 * The engine's settings from their values, as the Python and R bindings take them by keyword:
 * `value_of` gives each setting's value (see set_setting), in the order of engine_settings().
 *
 * @throws what `value_of` and set_setting throw; std::runtime_error with the program's message for
 *         an unknown reference policy.
 */
EngineOptions engine_options_of(const std::function<SettingValue(const SettingInfo&)>& value_of);

/**
 * The number of engine threads when the caller names none: half of what the OpenMP runtime offers
 * (`max_threads`, what omp_get_max_threads() reports), at least one.
 */
int engine_thread_count(int max_threads);

/** engine_thread_count of this process's OpenMP maximum. */
int default_engine_threads();

/**
 * The engine's options with every setting from `options`, every observation considered and
 * default_engine_threads() threads; a caller with a thread count of its own sets num_threads after.
 */
mnncorrect::Options configure_engine(const EngineOptions& options);

} // namespace pairmend

#endif
