#ifndef MNNCORRECT_PARALLEL_HPP
#define MNNCORRECT_PARALLEL_HPP

#include <exception>
#include <mutex>

namespace mnncorrect {

/**
 * Carries the first exception thrown inside an OpenMP parallel region out of it.
 *
 * No exception may leave a parallel region (the runtime would terminate the process), so
 * every loop body runs through `run()`, which catches and keeps the first failure; after
 * the region, `rethrow()` raises it on the calling thread. Later iterations still run but
 * their results are discarded with the exception, so the outcome does not depend on the
 * thread count.
 */
class ParallelErrors {
public:
    template <class Function>
    void run(Function&& fun) noexcept {
        try {
            fun();
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!error_) {
                error_ = std::current_exception();
            }
        }
    }

    /// Rethrows the captured exception, if any, on the calling thread.
    void rethrow() {
        if (error_) {
            std::exception_ptr error = error_;
            error_ = nullptr;
            std::rethrow_exception(error);
        }
    }

private:
    std::mutex mutex_;
    std::exception_ptr error_;
};

} // namespace mnncorrect

#endif
