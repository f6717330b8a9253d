#ifndef PAIRMEND_FCS_STUDY_EVENT_BLOCKS_HPP
#define PAIRMEND_FCS_STUDY_EVENT_BLOCKS_HPP

// A file's events worked on in blocks on several threads, failing as one thread would: with the
// error of the first block, in event order, that fails.

#include <algorithm>
#include <cstddef>
#include <exception>
#include <vector>

namespace pairmend::fcs_study {

/// Events per block: large enough to keep the threads' overhead small, small enough to balance.
constexpr std::size_t kEventBlock = 4096;

/**
 * Calls `work(first, count)` for consecutive blocks of the events 0 .. num_events - 1 on up to
 * `threads` threads. `work` must write only the slots of its own events. Rethrows the exception of
 * the earliest failing block, so that an error names the same event whatever the thread count.
 */
template <class Work>
void for_each_event_block(std::size_t num_events, int threads, const Work& work) {
    const std::size_t nblocks = (num_events + kEventBlock - 1) / kEventBlock;
    std::vector<std::exception_ptr> failures(nblocks);
    const auto count = static_cast<std::ptrdiff_t>(nblocks);
#pragma omp parallel for schedule(dynamic, 1) num_threads(std::max(threads, 1))
    for (std::ptrdiff_t b = 0; b < count; ++b) {
        const std::size_t first = static_cast<std::size_t>(b) * kEventBlock;
        try {
            work(first, std::min(kEventBlock, num_events - first));
        } catch (...) {
            failures[static_cast<std::size_t>(b)] = std::current_exception();
        }
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

} // namespace pairmend::fcs_study

#endif
