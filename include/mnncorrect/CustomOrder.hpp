#ifndef MNNCORRECT_CUSTOM_ORDER_HPP
#define MNNCORRECT_CUSTOM_ORDER_HPP

#include "mnncorrect/MergeDriver.hpp"
#include "mnncorrect/PhaseTimes.hpp"
#include "mnncorrect/find_mutual_nns.hpp"
#include "mnncorrect/fuse_nn_results.hpp"
#include "mnncorrect/merge_steps.hpp"

#include <algorithm>
#include <cstddef>
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
 * The run loop and its bookkeeping (`run`, `merge_order`, `num_pairs`, `stop_when`,
 * `keep_target_states`) are those of internal::MergeDriver; this class follows the order.
 *
 * The input blocks and the output buffer must outlive the object. Not thread-safe: one object
 * serves one run on one calling thread, which drives the internal OpenMP loops.
 *
 * @tparam Index Integer type of the neighbour indices.
 * @tparam Float Type of the event values.
 * @tparam Builder Callable (ndim, nobs, data) returning a shared pointer to a neighbour index.
 */
template <typename Index, typename Float, class Builder>
class CustomOrder : public internal::MergeDriver<Index, Float, Builder, CustomOrder<Index, Float, Builder>> {
    using Driver = internal::MergeDriver<Index, Float, Builder, CustomOrder>;
    friend Driver;

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
        : Driver(ndim, std::move(sizes), std::move(batches), output, builder, num_neighbors, observation_cap,
                 num_threads, phase_times) {
        prepare(std::move(order));
    }

    /**
     * As the vector form, with the order read from `order`: one id per batch pointer. A null
     * `order` is accepted only when there are no batches.
     */
    CustomOrder(int ndim, std::vector<size_t> sizes, std::vector<const Float*> batches, Float* output,
                Builder builder, int num_neighbors, const int* order, size_t observation_cap, int num_threads,
                PhaseTimes* phase_times = nullptr)
        : Driver(ndim, std::move(sizes), std::move(batches), output, builder, num_neighbors, observation_cap,
                 num_threads, phase_times) {
        std::vector<int> copied;
        if (order != nullptr) {
            copied.assign(order, order + this->batches_.size());
        }
        prepare(std::move(copied));
    }

private:
    using Table = internal::NeighborTable<Index, Float>;

    bool more_to_merge() const { return step_ < this->merge_order_.size(); }

    /// The batch at the current position of the order, and its pairs with the reference.
    std::pair<size_t, MnnPairs<Index>> choose() const {
        return {static_cast<size_t>(this->merge_order_[step_]),
                find_mutual_nns(neighbors_ref_, neighbors_target_)};
    }

    /// The neighbour tables are refreshed in place by the update; nothing is released early.
    void release(size_t) {}

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
        check_order(order, this->batches_.size());
        this->merge_order_ = std::move(order);
        if (this->merge_order_.empty()) {
            return;
        }

        const internal::PhaseTimer timing(this->phase_times_, &PhaseTimes::build);
        this->indices_ = internal::build_batch_indices<Index>(this->ndim_, this->sizes_, this->batches_,
                                                              this->builder_, this->num_threads_);
        this->orders_ = internal::batch_orders(this->ndim_, this->sizes_, this->batches_, this->num_threads_);

        const size_t first = static_cast<size_t>(this->merge_order_[0]);
        this->start_reference(first);

        if (this->merge_order_.size() >= 2) {
            const size_t next = static_cast<size_t>(this->merge_order_[1]);
            neighbors_target_ =
                internal::find_all_or_none(this->sizes_[next], this->batches_[next], this->indices_[first],
                                           this->num_neighbors_, this->num_threads_, this->orders_[next]);
            neighbors_ref_ =
                internal::find_all_or_none(this->sizes_[first], this->batches_[first], this->indices_[next],
                                           this->num_neighbors_, this->num_threads_, this->orders_[first]);
        }
    }

    /// Adds the batch just merged (the one at the current position of the order) to the reference
    /// and finds the neighbours for the next step.
    void update(size_t target) {
        const size_t step = step_++;
        const size_t old = this->ncorrected_;
        this->ncorrected_ += this->sizes_[target];
        if (step + 1 == this->merge_order_.size()) {
            return;
        }

        // From now on the merged batch is searched on its corrected values.
        this->indices_[target].reset();
        if (this->sizes_[target] > 0) {
            this->indices_[target] = this->builder_(this->ndim_, this->sizes_[target], this->row(old));
            // Its rows are queried from now on, in an order of the corrected values.
            this->orders_[target] = locality_order(this->ndim_, this->sizes_[target], this->row(old));
        }

        const size_t next = static_cast<size_t>(this->merge_order_[step + 1]);
        const Float* next_events = this->batches_[next];
        neighbors_ref_.resize(this->ncorrected_);
        neighbors_target_.resize(this->sizes_[next]);

        const size_t stride = static_cast<size_t>(this->ndim_);
        const size_t k = static_cast<size_t>(std::max(this->num_neighbors_, 0));
        size_t offset = 0;
        for (size_t position = 0; position <= step; ++position) {
            const size_t merged = static_cast<size_t>(this->merge_order_[position]);
            const auto& merged_index = this->indices_[merged];
            internal::parallel_for(this->sizes_[next], this->num_threads_, [&](size_t p) {
                const size_t j = this->orders_[next][p];
                auto found =
                    internal::nearest_or_none(merged_index, next_events + j * stride, this->num_neighbors_);
                if (position == 0) {
                    neighbors_target_[j] = std::move(found);
                } else {
                    fuse_nn_results(neighbors_target_[j], found, k, static_cast<Index>(offset));
                }
            });
            internal::parallel_for(this->sizes_[merged], this->num_threads_, [&](size_t p) {
                const size_t m = this->orders_[merged][p];
                neighbors_ref_[offset + m] = internal::nearest_or_none(
                    this->indices_[next], this->row(offset + m), this->num_neighbors_);
            });
            offset += this->sizes_[merged];
        }
    }

    Table neighbors_ref_;
    Table neighbors_target_;
    // Position in the order of the batch merged next.
    size_t step_ = 1;
};

} // namespace mnncorrect

#endif
