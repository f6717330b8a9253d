#ifndef MNNCORRECT_INTERRUPTED_HPP
#define MNNCORRECT_INTERRUPTED_HPP

#include <functional>
#include <stdexcept>

namespace mnncorrect {

/**
 * Thrown when a caller's stop check asks a run to end (a user pressed Ctrl-C in an interactive
 * session). The caller's output buffer then holds no finished result. Immutable, so safe to read
 * from any thread.
 */
class Interrupted : public std::runtime_error {
public:
    Interrupted() : std::runtime_error("The correction was interrupted.") {}
};

namespace internal {

/**
 * Ends the run with Interrupted when `should_stop` is set and returns true. Called only on the
 * run's own thread, between phases and never inside a parallel region, so that the check may use
 * facilities of the caller that only its main thread may touch.
 */
inline void check_stop(const std::function<bool()>* should_stop) {
    if (should_stop != nullptr && *should_stop && (*should_stop)()) {
        throw Interrupted();
    }
}

} // namespace internal

} // namespace mnncorrect

#endif
