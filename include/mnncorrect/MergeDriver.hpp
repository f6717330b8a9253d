#ifndef MNNCORRECT_MERGE_DRIVER_HPP
#define MNNCORRECT_MERGE_DRIVER_HPP

#include "mnncorrect/Interrupted.hpp"
#include "mnncorrect/PhaseTimes.hpp"
#include "mnncorrect/TargetState.hpp"
#include "mnncorrect/find_mutual_nns.hpp"
#include "mnncorrect/merge_steps.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace mnncorrect {

namespace internal {

/**
 * What every merge-order driver shares: the batches and their indices, the output buffer in which
 * the reference grows, the bookkeeping of the merge steps, and the loop that runs them. The order
 * policy `Order` (the derived class, AutomaticOrder or CustomOrder) decides which batch comes next
 * and keeps the neighbour tables between the steps. It provides, for this class only:
 * - `bool more_to_merge() const`: whether a batch is still to be merged;
 * - `std::pair<size_t, MnnPairs<Index>> choose()`: the next batch and its pairs with the reference;
 * - `void release(size_t batch)`: drops what served only to choose `batch`, before it is corrected;
 * - `void update(size_t batch)`: adds the corrected `batch` to the reference and prepares the next
 *   step; the pair count of the step is recorded after it.
 *
 * The input blocks and the output buffer must outlive the object. Not thread-safe: one object
 * serves one run on one calling thread, which drives the internal OpenMP loops.
 *
 * @tparam Index Integer type of the neighbour indices.
 * @tparam Float Type of the event values.
 * @tparam Builder Callable (ndim, nobs, data) returning a shared pointer to a neighbour index.
 * @tparam Order The order policy deriving from this class.
 */
template <typename Index, typename Float, class Builder, class Order>
class MergeDriver {
public:
    /**
     * Merges every batch still waiting onto the reference, in the order the policy chooses.
     *
     * @param num_mads Median absolute deviations allowed when limiting distances.
     * @param robust_iterations Iterations of the robust average of correction vectors.
     * @param robust_trim Trimming proportion of the robust average.
     * @throws NoMutualPairsError if a batch with events shares no pair with the reference.
     * @throws Interrupted when the stop check set by `stop_when` asks the run to end.
     * @throws Whatever the target correction, the builder or a search throws.
     */
    void run(double num_mads, int robust_iterations, double robust_trim) {
        while (order().more_to_merge()) {
            check_stop(should_stop_);
            size_t batch = 0;
            size_t pair_count = 0;
            {
                // The pairs are only needed for the correction; release them before the update.
                std::optional<PhaseTimer> choosing(std::in_place, phase_times_, &PhaseTimes::choose);
                const std::pair<size_t, MnnPairs<Index>> chosen = order().choose();
                choosing.reset();
                batch = chosen.first;
                pair_count = chosen.second.num_pairs;
                order().release(batch);
                const PhaseTimer correcting(phase_times_, &PhaseTimes::correct);
                merge_batch(static_cast<int>(batch), ndim_, ncorrected_, output_, sizes_[batch],
                            batches_[batch], chosen.second, builder_, num_neighbors_, num_mads,
                            robust_iterations, robust_trim, row(ncorrected_), observation_cap_, num_threads_,
                            phase_times_, state_of(batch));
            }
            check_stop(should_stop_);
            const PhaseTimer updating(phase_times_, &PhaseTimes::update);
            order().update(batch);
            num_pairs_.push_back(static_cast<int>(pair_count));
        }
    }

    /// Batch ids in the order in which they join the reference, the first batch first.
    const std::vector<int>& merge_order() const { return merge_order_; }

    /// Number of mutual pairs of every merge step after the first batch.
    const std::vector<int>& num_pairs() const { return num_pairs_; }

    /**
     * Has the run call `should_stop` (when set) before and after every batch's correction, and end
     * with Interrupted when it returns true. `should_stop` must outlive `run`.
     */
    void stop_when(const std::function<bool()>* should_stop) { should_stop_ = should_stop; }

    /**
     * Asks the run to keep what every target correction learnt, in `states` (indexed by batch id,
     * resized to the number of batches; the first batch and batches without events keep an empty
     * state). Without this call nothing is kept. `states` must outlive `run`.
     */
    void keep_target_states(std::vector<TargetState<Index, Float>>* states) {
        states_ = states;
        if (states_ != nullptr) {
            states_->assign(sizes_.size(), TargetState<Index, Float>());
        }
    }

protected:
    /**
     * Takes over the batches and the settings of the run; the policy then builds the indices and
     * the first reference.
     *
     * @throws std::runtime_error if `sizes` and `batches` differ in length.
     */
    MergeDriver(int ndim, std::vector<size_t> sizes, std::vector<const Float*> batches, Float* output,
                Builder builder, int num_neighbors, size_t observation_cap, int num_threads,
                PhaseTimes* phase_times)
        : ndim_(ndim), sizes_(std::move(sizes)), batches_(std::move(batches)), builder_(builder),
          num_neighbors_(num_neighbors), output_(output), observation_cap_(observation_cap),
          num_threads_(at_least_one_thread(num_threads)), phase_times_(phase_times) {
        check_batch_counts(sizes_.size(), batches_.size());
    }

    ~MergeDriver() = default;
    MergeDriver(const MergeDriver&) = delete;
    MergeDriver& operator=(const MergeDriver&) = delete;

    Float* row(size_t r) const { return output_ + r * static_cast<size_t>(ndim_); }

    /// Copies batch `first`, unchanged, into the first rows of the output as the initial reference.
    void start_reference(size_t first) {
        copy_events(ndim_, sizes_[first], batches_[first], output_);
        ncorrected_ = sizes_[first];
    }

    int ndim_;
    std::vector<size_t> sizes_;
    std::vector<const Float*> batches_;
    std::vector<IndexPointer<Index, Float>> indices_;
    // Per batch, the order in which its events are queried (see locality_order); once a batch is
    // merged, CustomOrder queries its corrected rows in an order of their own.
    std::vector<std::vector<size_t>> orders_;
    Builder builder_;
    int num_neighbors_;
    Float* output_;
    // Output rows written so far: the reference, in merge order.
    size_t ncorrected_ = 0;
    std::vector<int> merge_order_;
    std::vector<int> num_pairs_;
    size_t observation_cap_;
    int num_threads_;
    PhaseTimes* phase_times_;

private:
    Order& order() { return static_cast<Order&>(*this); }
    const Order& order() const { return static_cast<const Order&>(*this); }

    /// Where the correction of batch `b` keeps its state, or null when nothing is kept.
    TargetState<Index, Float>* state_of(size_t b) const {
        return states_ == nullptr ? nullptr : &(*states_)[b];
    }

    std::vector<TargetState<Index, Float>>* states_ = nullptr;
    const std::function<bool()>* should_stop_ = nullptr;
};

} // namespace internal

} // namespace mnncorrect

#endif
