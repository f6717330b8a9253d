#ifndef MNNCORRECT_CUSTOM_ORDER_HPP
#define MNNCORRECT_CUSTOM_ORDER_HPP

#include "mnncorrect/Interrupted.hpp"
#include "mnncorrect/PhaseTimes.hpp"
#include "mnncorrect/find_mutual_nns.hpp"
#include "mnncorrect/fuse_nn_results.hpp"
#include "mnncorrect/merge_steps.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace mnncorrect {

/**
 * Merge-order driver that merges the batches in an order fixed in advance.
 *
 * The first batch of the order is copied unchanged into the output; every following batch is
 * corrected onto all batches before it and written right after them. The reference is never
 * indexed as a whole: each merged batch keeps its own index (on its corrected values once it
 * has been corrected), and a target event's reference neighbours are the best of the per-batch
 * results. A batch without events joins the order with 0 pairs and contributes no rows.
 *
 * The input blocks and the output buffer must outlive the object. Not thread-safe: one object
 * serves one run on one calling thread, which drives the internal OpenMP loops.
 *
 * @tparam Index Integer type of the neighbour indices.
 * @tparam Float Type of the event values.
 * @tparam Builder Callable (ndim, nobs, data) returning a shared pointer to a neighbour index.
 */
template <typename Index, typename Float, class Builder>
class CustomOrder {
public:
    /**
     * Checks the order, builds one index per batch, copies the first batch of the order into
     * the output and prepares the first merge step.
     *
     * @param ndim Number of values per event.
     * @param sizes Number of events of every batch, indexed by batch id.
     * @param batches Events of every batch, one pointer per batch.
     * @param output Buffer for the sum of `sizes` events of `ndim` values.
     * @param builder Makes every neighbour index.
     * @param num_neighbors Neighbours per query.
     * @param order The merge order: every batch id exactly once.
     * @param observation_cap Largest number of observations sampled by the target correction.
     * @param num_threads Threads requested for every parallel loop; values below 1 mean 1.
     * @param phase_times When not null, receives the seconds spent in each phase.
     * @throws std::runtime_error if `sizes` and `batches` differ in length, or if `order` is not
     * a permutation of the batch ids; both before any index is built.
     * @throws Whatever the builder or a neighbour search throws, including std::bad_alloc.
     */
    CustomOrder(int ndim, std::vector<size_t> sizes, std::vector<const Float*> batches, Float* output,
                Builder builder, int num_neighbors, std::vector<int> order, size_t observation_cap,
                int num_threads, PhaseTimes* phase_times = nullptr)
        : ndim_(ndim), sizes_(std::move(sizes)), batches_(std::move(batches)), builder_(builder),
          num_neighbors_(num_neighbors), output_(output), observation_cap_(observation_cap),
          num_threads_(internal::at_least_one_thread(num_threads)), phase_times_(phase_times) {
        prepare(std::move(order));
    }

    /**
     * As the vector form, with the order read from `order`: one id per batch pointer. A null
     * `order` is accepted only when there are no batches.
     */
    CustomOrder(int ndim, std::vector<size_t> sizes, std::vector<const Float*> batches, Float* output,
                Builder builder, int num_neighbors, const int* order, size_t observation_cap, int num_threads,
                PhaseTimes* phase_times = nullptr)
        : ndim_(ndim), sizes_(std::move(sizes)), batches_(std::move(batches)), builder_(builder),
          num_neighbors_(num_neighbors), output_(output), observation_cap_(observation_cap),
          num_threads_(internal::at_least_one_thread(num_threads)), phase_times_(phase_times) {
        std::vector<int> copied;
        if (order != nullptr) {
            copied.assign(order, order + batches_.size());
        }
        prepare(std::move(copied));
    }

    /**
     * Merges every batch after the first, in the given order.
     *
     * @param num_mads Median absolute deviations allowed when limiting distances.
     * @param robust_iterations Iterations of the robust average of correction vectors.
     * @param robust_trim Trimming proportion of the robust average.
     * @throws NoMutualPairsError if a batch with events shares no pair with the reference.
     * @throws Whatever the target correction, the builder or a search throws.
     */
    void run(double num_mads, int robust_iterations, double robust_trim) {
        for (size_t step = 1; step < merge_order_.size(); ++step) {
            internal::check_stop(should_stop_);
            size_t pair_count = 0;
            {
                // The pairs are only needed for the correction; release them before the update.
                std::optional<internal::PhaseTimer> choosing(std::in_place, phase_times_,
                                                             &PhaseTimes::choose);
                const MnnPairs<Index> pairs = find_mutual_nns(neighbors_ref_, neighbors_target_);
                choosing.reset();
                pair_count = pairs.num_pairs;
                const internal::PhaseTimer correcting(phase_times_, &PhaseTimes::correct);
                const size_t target = static_cast<size_t>(merge_order_[step]);
                internal::merge_batch(merge_order_[step], ndim_, ncorrected_, output_, sizes_[target],
                                      batches_[target], pairs, builder_, num_neighbors_, num_mads,
                                      robust_iterations, robust_trim, row(ncorrected_), observation_cap_,
                                      num_threads_, phase_times_, state_of(target));
            }
            internal::check_stop(should_stop_);
            const internal::PhaseTimer updating(phase_times_, &PhaseTimes::update);
            update(step);
            num_pairs_.push_back(static_cast<int>(pair_count));
        }
    }

    /// The merge order: every batch id once, the first batch first.
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

private:
    using Table = internal::NeighborTable<Index, Float>;

    Float* row(size_t r) const { return output_ + r * static_cast<size_t>(ndim_); }

    /// Refuses an order that does not name every batch id exactly once.
    static void check_order(const std::vector<int>& order, size_t nbatches) {
        if (order.size() != nbatches) {
            std::ostringstream message;
            message << "The merge order names " << order.size() << " batches, but there are " << nbatches
                    << "; it must name every batch exactly once.";
            throw std::runtime_error(message.str());
        }
        std::vector<unsigned char> seen(nbatches, 0);
        for (const int id : order) {
            if (id < 0 || static_cast<size_t>(id) >= nbatches) {
                std::ostringstream message;
                message << "The merge order names batch " << id << ", but the batch ids run from 0 to "
                        << nbatches - 1 << ".";
                throw std::runtime_error(message.str());
            }
            if (seen[static_cast<size_t>(id)]) {
                std::ostringstream message;
                message << "The merge order names batch " << id
                        << " more than once; it must name every batch exactly once.";
                throw std::runtime_error(message.str());
            }
            seen[static_cast<size_t>(id)] = 1;
        }
    }

    void prepare(std::vector<int> order) {
        internal::check_batch_counts(sizes_.size(), batches_.size());
        check_order(order, batches_.size());
        merge_order_ = std::move(order);
        if (merge_order_.empty()) {
            return;
        }

        const internal::PhaseTimer timing(phase_times_, &PhaseTimes::build);
        indices_ = internal::build_batch_indices<Index>(ndim_, sizes_, batches_, builder_, num_threads_);
        orders_ = internal::batch_orders(ndim_, sizes_, batches_, num_threads_);

        const size_t first = static_cast<size_t>(merge_order_[0]);
        internal::copy_events(ndim_, sizes_[first], batches_[first], output_);
        ncorrected_ = sizes_[first];

        if (merge_order_.size() >= 2) {
            const size_t next = static_cast<size_t>(merge_order_[1]);
            neighbors_target_ = internal::find_all_or_none(sizes_[next], batches_[next], indices_[first],
                                                           num_neighbors_, num_threads_, orders_[next]);
            neighbors_ref_ = internal::find_all_or_none(sizes_[first], batches_[first], indices_[next],
                                                        num_neighbors_, num_threads_, orders_[first]);
        }
    }

    /// Adds the batch merged at `step` to the reference and finds the neighbours for the next step.
    void update(size_t step) {
        const size_t target = static_cast<size_t>(merge_order_[step]);
        const size_t old = ncorrected_;
        ncorrected_ += sizes_[target];
        if (step + 1 == merge_order_.size()) {
            return;
        }

        // From now on the merged batch is searched on its corrected values.
        indices_[target].reset();
        if (sizes_[target] > 0) {
            indices_[target] = builder_(ndim_, sizes_[target], row(old));
            // Its rows are queried from now on, in an order of the corrected values.
            orders_[target] = locality_order(ndim_, sizes_[target], row(old));
        }

        const size_t next = static_cast<size_t>(merge_order_[step + 1]);
        const Float* next_events = batches_[next];
        neighbors_ref_.resize(ncorrected_);
        neighbors_target_.resize(sizes_[next]);

        const size_t stride = static_cast<size_t>(ndim_);
        const size_t k = static_cast<size_t>(std::max(num_neighbors_, 0));
        size_t offset = 0;
        for (size_t position = 0; position <= step; ++position) {
            const size_t merged = static_cast<size_t>(merge_order_[position]);
            const auto& merged_index = indices_[merged];
            internal::parallel_for(sizes_[next], num_threads_, [&](size_t p) {
                const size_t j = orders_[next][p];
                auto found =
                    internal::nearest_or_none(merged_index, next_events + j * stride, num_neighbors_);
                if (position == 0) {
                    neighbors_target_[j] = std::move(found);
                } else {
                    fuse_nn_results(neighbors_target_[j], found, k, static_cast<Index>(offset));
                }
            });
            internal::parallel_for(sizes_[merged], num_threads_, [&](size_t p) {
                const size_t m = orders_[merged][p];
                neighbors_ref_[offset + m] =
                    internal::nearest_or_none(indices_[next], row(offset + m), num_neighbors_);
            });
            offset += sizes_[merged];
        }
    }

    int ndim_;
    std::vector<size_t> sizes_;
    std::vector<const Float*> batches_;
    std::vector<internal::IndexPointer<Index, Float>> indices_;
    // Per batch, the order in which its events (once merged: its corrected rows) are queried.
    std::vector<std::vector<size_t>> orders_;
    Builder builder_;
    int num_neighbors_;
    Table neighbors_ref_;
    Table neighbors_target_;
    Float* output_;
    size_t ncorrected_ = 0;
    std::vector<int> merge_order_;
    std::vector<int> num_pairs_;
    size_t observation_cap_;
    int num_threads_;
    PhaseTimes* phase_times_;
    std::vector<TargetState<Index, Float>>* states_ = nullptr;
    const std::function<bool()>* should_stop_ = nullptr;

    /// Where the correction of batch `b` keeps its state, or null when nothing is kept.
    TargetState<Index, Float>* state_of(size_t b) const {
        return states_ == nullptr ? nullptr : &(*states_)[b];
    }
};

} // namespace mnncorrect

#endif
