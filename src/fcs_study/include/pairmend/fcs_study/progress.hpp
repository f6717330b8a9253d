#ifndef PAIRMEND_FCS_STUDY_PROGRESS_HPP
#define PAIRMEND_FCS_STUDY_PROGRESS_HPP

// Progress lines with the time elapsed since the command started.

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>

namespace pairmend::fcs_study {

/**
 * Prints "[  12.34 s] text" lines, the seconds counted from construction, and flushes each line
 * so that a user watching a long run sees it at once. Not thread-safe: use from one thread.
 */
class Progress {
public:
    /** @param out receives the lines; it must outlive the object. */
    explicit Progress(std::ostream& out) : out_(out), start_(Clock::now()) {}

    /** Prints one line. */
    void line(const std::string& text) {
        char stamp[32];
        std::snprintf(stamp, sizeof(stamp), "[%8.2f s] ", seconds());
        out_ << stamp << text << std::endl;
    }

    /** Prints a line without a time stamp (lists that belong to the line before). */
    void detail(const std::string& text) { out_ << "             " << text << std::endl; }

    /** Seconds since construction. */
    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    using Clock = std::chrono::steady_clock;
    std::ostream& out_;
    Clock::time_point start_;
};

} // namespace pairmend::fcs_study

#endif
