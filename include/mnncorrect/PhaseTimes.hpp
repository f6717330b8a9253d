#ifndef MNNCORRECT_PHASE_TIMES_HPP
#define MNNCORRECT_PHASE_TIMES_HPP

#include <chrono>

namespace mnncorrect {

/**
 * Where the engine's time goes: wall-clock seconds spent in each phase of a run, added up over
 * all merge steps. Hand a pointer to one of these to `MnnCorrect::Hooks::phase_times` to have a run
 * fill it in; the engine never reads it, so timing cannot change any result.
 *
 * Thread safety: a plain value type; the engine writes it only from the calling thread,
 * between its parallel regions.
 */
struct PhaseTimes {
    /// Grouping unsorted input by batch before the merge and restoring the input order after it.
    double arrange = 0;
    /// Building one index per batch and the first neighbour tables between the first batch and the others.
    double build = 0;
    /// Finding the mutual pairs of the waiting batches and picking the next batch to merge.
    double choose = 0;
    /// Correcting the merged batches (the sum of the four parts below).
    double correct = 0;
    /// Part of `correct`: the temporary indices over the paired events of both sides.
    double correct_index = 0;
    /// Part of `correct`: every event's closest paired events of its own side.
    double correct_closest = 0;
    /// Part of `correct`: distance limits and centres of mass of the paired events.
    double correct_centres = 0;
    /// Part of `correct`: the robust average of the correction vectors of every target event.
    double correct_vectors = 0;
    /// Adding a corrected batch to the reference and refreshing the neighbour tables.
    double update = 0;

    /// Sum of all top-level phases (the parts of `correct` are counted once, in `correct`).
    double total() const { return arrange + build + choose + correct + update; }
};

namespace internal {

/**
 * Adds the lifetime of the object, in seconds of the steady clock, to one member of a
 * `PhaseTimes`. With a null target it reads no clock at all.
 *
 * Not thread-safe; create it on the thread that owns the target.
 */
class PhaseTimer {
public:
    /**
     * @param times Where to add the time, or null to time nothing.
     * @param phase The member of `PhaseTimes` that receives the time.
     */
    PhaseTimer(PhaseTimes* times, double PhaseTimes::*phase) : times_(times), phase_(phase) {
        if (times_ != nullptr) {
            start_ = std::chrono::steady_clock::now();
        }
    }

    ~PhaseTimer() {
        if (times_ != nullptr) {
            times_->*phase_ +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        }
    }

    PhaseTimer(const PhaseTimer&) = delete;
    PhaseTimer& operator=(const PhaseTimer&) = delete;

private:
    PhaseTimes* times_;
    double PhaseTimes::*phase_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace internal

} // namespace mnncorrect

#endif
