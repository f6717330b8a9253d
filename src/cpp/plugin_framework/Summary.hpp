#ifndef QN_SUMMARY_HPP
#define QN_SUMMARY_HPP

#include "plugin_framework/NameValue.hpp"

#include <string>
#include <vector>

namespace QN {

/**
 * The outcome of one run, written as a small INI-style summary file for the host.
 *
 * The file holds "status = success" or "status = failure" and, when the information text is
 * not empty, "information = <text>". Calculations are kept in memory only. Not thread-safe:
 * use one object from one thread.
 */
class Summary {
public:
    static constexpr const char* status_Att = "status";
    static constexpr const char* success_Val = "success";
    static constexpr const char* failure_Val = "failure";
    static constexpr const char* information_Att = "information";

    /// A failure with 0 events, no calculations and no information text.
    Summary() = default;

    /**
     * @param success Whether the run succeeded.
     * @param numEvents The number of events the run processed.
     * @param calculations Named results of the run (not written to the file).
     * @param information A text for the host, usually the error message; empty for none.
     */
    Summary(bool success, int numEvents, const std::vector<NameValue>& calculations,
            const std::string& information);

    /// Appends one calculation.
    void add_calculation(const NameValue& calculation) { calculations_.push_back(calculation); }
    /// Appends the calculations in order after the existing ones.
    void add_calculations(const std::vector<NameValue>& calculations);
    /// Removes every calculation.
    void clear_calculations() { calculations_.clear(); }
    /// True when at least one calculation was added.
    bool has_calculations() const { return !calculations_.empty(); }

    /// The information text (empty for none).
    std::string information() const { return information_; }
    /// Replaces the information text.
    void information(const std::string& text) { information_ = text; }
    /// True when the information text is not empty.
    bool has_information() const { return !information_.empty(); }

    /// Whether the run succeeded.
    bool is_success() const { return success_; }
    /// Marks the run as succeeded or failed.
    void is_success(bool success) { success_ = success; }

    /// The number of events the run processed.
    int numEvents() const { return numEvents_; }

    /**
     * Writes the summary file, replacing an existing one.
     * @param path The file to write, used unchanged.
     * @throws std::runtime_error "Couldn't open summary file <path>" when it cannot be created,
     *         and "Couldn't write summary file <path>" when it could not be written completely
     *         (for example on a full disk).
     */
    void saveAsINI(const std::string& path) const;

private:
    std::vector<NameValue> calculations_;
    std::string information_;
    int numEvents_ = 0;
    bool success_ = false;
};

} // namespace QN

#endif
