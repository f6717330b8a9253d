#ifndef MNNCORRECT_AUTOMATIC_ORDER_HPP
#define MNNCORRECT_AUTOMATIC_ORDER_HPP

#include "knncolle/Annoy.hpp"
#include "mnncorrect/MergeDriver.hpp"
#include "mnncorrect/PhaseTimes.hpp"
#include "mnncorrect/ReferencePolicy.hpp"
#include "mnncorrect/blocked_nearer.hpp"
#include "mnncorrect/bounded_updates.hpp"
#include "mnncorrect/compute_total_variance.hpp"
#include "mnncorrect/find_mutual_nns.hpp"
#include "mnncorrect/fuse_nn_results.hpp"
#include "mnncorrect/merge_steps.hpp"
#include "mnncorrect/packed_lists.hpp"
#include "mnncorrect/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace mnncorrect {

/**
 * Merge-order driver that decides by itself in which order the batches join the reference.
 *
 * The first batch is picked by a reference policy and copied unchanged into the output; then,
 * repeatedly, the waiting batch that shares the most mutual nearest-neighbour pairs with the
 * reference (the lowest id on ties) is corrected onto it and appended after it. The neighbour
 * tables of the waiting batches are updated incrementally after every merge.
 *
 * The output ends up in merge order: the first batch, then every merged batch in the order of
 * `merge_order()`, each batch's events in their input order. A batch without events joins the
 * order with 0 pairs and contributes no rows.
 *
 * The run loop and its bookkeeping (`run`, `merge_order`, `num_pairs`, `stop_when`,
 * `keep_target_states`) are those of internal::MergeDriver; this class chooses the batches.
 *
 * The input blocks and the output buffer must outlive the object. Not thread-safe: one object
 * serves one run on one calling thread, which drives the internal OpenMP loops.
 *
 * @tparam Index Integer type of the neighbour indices.
 * @tparam Float Type of the event values.
 * @tparam Builder Callable (ndim, nobs, data) returning a shared pointer to a neighbour index.
 */
template <typename Index, typename Float, class Builder>
class AutomaticOrder
    : public internal::MergeDriver<Index, Float, Builder, AutomaticOrder<Index, Float, Builder>> {
    using Driver = internal::MergeDriver<Index, Float, Builder, AutomaticOrder>;
    friend Driver;

public:
    /**
     * Builds one index per batch, copies the first batch into the output and finds the
     * neighbours between it and every other batch.
     *
     * @param ndim Number of values per event.
     * @param sizes Number of events of every batch, indexed by batch id.
     * @param batches Events of every batch, one pointer per batch.
     * @param output Buffer for the sum of `sizes` events of `ndim` values.
     * @param builder Makes every neighbour index.
     * @param num_neighbors Neighbours per query.
     * @param policy How the first batch is chosen.
     * @param observation_cap Largest number of observations sampled by the target correction.
     * @param num_threads Threads requested for every parallel loop; values below 1 mean 1.
     * @param phase_times When not null, receives the seconds spent in each phase.
     * @throws std::runtime_error if `sizes` and `batches` differ in length.
     * @throws Whatever the builder or a neighbour search throws, including std::bad_alloc.
     */
    AutomaticOrder(int ndim, std::vector<size_t> sizes, std::vector<const Float*> batches, Float* output,
                   Builder builder, int num_neighbors, ReferencePolicy policy, size_t observation_cap,
                   int num_threads, PhaseTimes* phase_times = nullptr)
        : Driver(ndim, std::move(sizes), std::move(batches), output, builder, num_neighbors, observation_cap,
                 num_threads, phase_times) {
        const size_t nbatches = this->sizes_.size();
        neighbors_ref_.resize(nbatches);
        neighbors_target_.resize(nbatches);
        if (nbatches == 0) {
            return;
        }

        const internal::PhaseTimer timing(this->phase_times_, &PhaseTimes::build);
        this->orders_ = internal::batch_orders(this->ndim_, this->sizes_, this->batches_, this->num_threads_);
        const size_t first = first_batch(policy);
        this->start_reference(first);
        this->merge_order_.push_back(static_cast<int>(first));
        for (size_t b = 0; b < nbatches; ++b) {
            if (b != first) {
                remaining_.insert(b);
            }
        }

        // The first batch's index only serves the waiting events' first lists. Building it in
        // the first round, with as many other indices as there are spare threads, lets it go
        // before the remaining indices are built: one index fewer alive at the peak of memory.
        std::vector<size_t> first_round{first};
        std::vector<size_t> second_round;
        for (const size_t b : remaining_) {
            (first_round.size() < static_cast<size_t>(this->num_threads_) ? first_round : second_round)
                .push_back(b);
        }
        this->indices_.resize(nbatches);
        build_indices(first_round);
        for (const size_t b : remaining_) {
            neighbors_target_[b] = first_lists(b, first);
            neighbors_ref_[b].resize(this->sizes_[first]);
        }
        this->indices_[first].reset();
        build_indices(second_round);

        const std::vector<size_t> waiting(remaining_.begin(), remaining_.end());
        list_reference_rows(waiting, 0, this->sizes_[first], this->batches_[first], this->orders_[first]);
    }

private:
    using Table = internal::NeighborTable<Index, Float>;
    using Lists = internal::PackedLists<Index, Float>;

    bool more_to_merge() const { return !remaining_.empty(); }

    /// The chosen batch's own index and lists served only to choose it; the correction builds what
    /// it needs, so they go before it starts.
    void release(size_t batch) {
        this->indices_[batch].reset();
        Table().swap(neighbors_ref_[batch]);
        neighbors_target_[batch] = Lists();
    }

    /// Index of the largest value; only a strictly greater value replaces, so ties (and NaN) keep the lowest
    /// id.
    template <typename Value>
    static size_t arg_max(const std::vector<Value>& values) {
        size_t best = 0;
        for (size_t b = 1; b < values.size(); ++b) {
            if (values[b] > values[best]) {
                best = b;
            }
        }
        return best;
    }

    /// Builds the indices of the given batches (those with events), one batch per thread at a time.
    void build_indices(const std::vector<size_t>& ids) {
        internal::parallel_for(ids.size(), this->num_threads_, [&](size_t i) {
            const size_t b = ids[i];
            if (this->sizes_[b] > 0) {
                this->indices_[b] = this->builder_(this->ndim_, this->sizes_[b], this->batches_[b]);
            }
        });
    }

    size_t first_batch(ReferencePolicy policy) const {
        switch (policy) {
        case MaxSize:
            return arg_max(this->sizes_);
        case MaxVariance:
            return arg_max(compute_total_variance(this->ndim_, this->sizes_, this->batches_, false));
        case MaxRSS:
            return arg_max(compute_total_variance(this->ndim_, this->sizes_, this->batches_, true));
        default:
            return 0;
        }
    }

    /**
     * Finds the waiting batch with the most mutual pairs (lowest id on ties) and its pairs.
     * Waiting batches are cut into one run of consecutive ids per thread; each thread finds
     * the pairs of its own batches and prunes their reference lists.
     */
    std::pair<size_t, MnnPairs<Index>> choose() {
        const size_t nremaining = remaining_.size();
        const size_t nthreads = static_cast<size_t>(this->num_threads_);
        const size_t chunk_length =
            static_cast<size_t>(std::ceil(static_cast<double>(nremaining) / static_cast<double>(nthreads)));

        std::vector<std::set<size_t>::const_iterator> chunk_starts;
        size_t counter = 0;
        for (auto it = remaining_.begin(); it != remaining_.end() && chunk_starts.size() < nthreads;
             ++it, ++counter) {
            if (counter % chunk_length == 0) {
                chunk_starts.push_back(it);
            }
        }
        const size_t nchunks = chunk_starts.size();
        chunk_starts.push_back(remaining_.end());

        std::vector<MnnPairs<Index>> best_pairs(nchunks, MnnPairs<Index>(0));
        std::vector<size_t> best_ids(nchunks);
        internal::parallel_for(nchunks, static_cast<int>(nchunks), [&](size_t c) {
            best_ids[c] = *chunk_starts[c];
            for (auto it = chunk_starts[c]; it != chunk_starts[c + 1]; ++it) {
                const size_t b = *it;
                MnnPairs<Index> pairs = find_mutual_nns(neighbors_ref_[b], neighbors_target_[b]);
                prune(neighbors_ref_[b], pairs);
                if (pairs.num_pairs > best_pairs[c].num_pairs) {
                    best_pairs[c] = std::move(pairs);
                    best_ids[c] = b;
                }
            }
        });

        size_t best = 0;
        for (size_t c = 1; c < nchunks; ++c) {
            if (best_pairs[c].num_pairs > best_pairs[best].num_pairs) {
                best = c;
            }
        }
        return std::make_pair(best_ids[best], std::move(best_pairs[best]));
    }

    /**
     * Empties the lists of reference rows that have no partner in the batch. Such a row can
     * never gain one: its own list never changes, and updates only replace entries of the
     * batch's lists by nearer new reference rows.
     */
    static void prune(Table& ref_table, const MnnPairs<Index>& pairs) {
        std::vector<unsigned char> paired(ref_table.size(), 0);
        for (const auto& match : pairs.matches) {
            for (const auto r : match.second) {
                paired[static_cast<size_t>(r)] = 1;
            }
        }
        for (size_t r = 0; r < ref_table.size(); ++r) {
            if (!paired[r] && !ref_table[r].empty()) {
                knncolle::NeighborList<Index, Float>().swap(ref_table[r]);
            }
        }
    }

    /**
     * The lists of batch `b`'s events among the first batch's rows, searched in the batch's
     * locality order. A list holds at most k entries and never more than the events of the
     * other batches, which bounds the room of every list.
     */
    Lists first_lists(size_t b, size_t first) const {
        size_t others = 0;
        for (size_t c = 0; c < this->sizes_.size(); ++c) {
            others += c == b ? 0 : this->sizes_[c];
        }
        const internal::IndexPointer<Index, Float>& index = this->indices_[first];
        Lists lists(this->sizes_[b], std::min(static_cast<size_t>(std::max(this->num_neighbors_, 0)), others),
                    single_precision_distances(index.get()));
        if (!index) {
            return lists;
        }
        const size_t stride = static_cast<size_t>(this->ndim_);
        const std::vector<size_t>& order = this->orders_[b];
        const Float* events = this->batches_[b];
        // Chunks of consecutive queries keep the locality of the order (as quick_find_nns does).
        ParallelErrors errors;
#pragma omp parallel for schedule(dynamic, 64) num_threads(this->num_threads_)
        for (size_t p = 0; p < this->sizes_[b]; ++p) {
            errors.run([&] {
                const size_t i = order[p];
                lists.set(i, index->find_nearest_neighbors(events + i * stride, this->num_neighbors_));
            });
        }
        errors.rethrow();
        return lists;
    }

    /**
     * Whether every distance `index` and its kind of index give is a single-precision value: the
     * approximate forest computes in single precision, so the waiting events' lists can keep its
     * distances in half the room, unchanged. Every index of a run is of one kind.
     */
    static bool single_precision_distances(const knncolle::Base<Index, Float, Float>* index) {
        using Forest = knncolle::Annoy<Annoy::Euclidean, Index, Float, Float, int, float>;
        return dynamic_cast<const Forest*>(index) != nullptr;
    }

    /// Whether some event of `list` lists reference row `row` in turn, that is, forms a pair with it.
    static bool listed_back(const Lists& target_table, const knncolle::NeighborList<Index, Float>& list,
                            Index row) {
        return std::any_of(list.begin(), list.end(), [&](const auto& entry) {
            const auto& back = target_table[static_cast<size_t>(entry.first)];
            return std::any_of(back.begin(), back.end(), [row](const auto& e) { return e.first == row; });
        });
    }

    /// Appends the just-written batch to the reference and refreshes the tables of the waiting batches.
    void update(size_t merged) {
        const size_t nnew = this->sizes_[merged];
        const size_t old = this->ncorrected_;
        const Float* new_rows = this->row(old);
        this->merge_order_.push_back(static_cast<int>(merged));
        this->ncorrected_ = old + nnew;

        Table().swap(neighbors_ref_[merged]);
        neighbors_target_[merged] = Lists();
        this->indices_[merged].reset();
        std::vector<size_t>().swap(this->orders_[merged]);
        remaining_.erase(merged);
        if (remaining_.empty() || nnew == 0) {
            return;
        }

        const std::vector<size_t> new_order = locality_order(this->ndim_, nnew, new_rows);
        const std::vector<size_t> waiting(remaining_.begin(), remaining_.end());
        fuse_new_rows(waiting, old, nnew, new_rows, new_order);
        for (const size_t b : waiting) {
            neighbors_ref_[b].resize(this->ncorrected_);
        }
        list_reference_rows(waiting, old, nnew, new_rows, new_order);
    }

    /**
     * Folds the new reference rows [old, old + nnew) (values at `new_rows`) into the lists of the
     * waiting batches' events. The index over the new rows lives only for this.
     */
    void fuse_new_rows(const std::vector<size_t>& waiting, size_t old, size_t nnew, const Float* new_rows,
                       const std::vector<size_t>& new_order) {
        const internal::IndexPointer<Index, Float> new_index = this->builder_(this->ndim_, nnew, new_rows);
        const internal::ExactTree<Index, Float>* new_tree = internal::as_exact_tree(new_index.get());

        const size_t stride = static_cast<size_t>(this->ndim_);
        const size_t k = static_cast<size_t>(std::max(this->num_neighbors_, 0));
        // Scanning the new rows for groups of events beats the tree's searches once the rows are
        // many and wide enough that the tree visits a large share of them (see RESULTS.md).
        std::unique_ptr<internal::RowBlocks<Index, Float>> blocks;
        if (new_tree != nullptr && nnew >= internal::scan_min_rows &&
            this->ndim_ >= internal::scan_min_dims) {
            blocks =
                std::make_unique<internal::RowBlocks<Index, Float>>(this->ndim_, nnew, new_rows, new_order);
            if (!blocks->moderate()) {
                blocks.reset();
            }
        }
        for (const size_t b : waiting) {
            Lists& target_table = neighbors_target_[b];
            const Float* events = this->batches_[b];
            const std::vector<size_t>& order = this->orders_[b];
            if (blocks) {
                // Each group is a run of events in locality order, and writes only their lists.
                const size_t ngroups = (this->sizes_[b] + internal::scan_group - 1) / internal::scan_group;
                internal::parallel_for(ngroups, this->num_threads_, [&](size_t g) {
                    const size_t start = g * internal::scan_group;
                    const size_t count = std::min(internal::scan_group, this->sizes_[b] - start);
                    internal::fuse_nearer_scanned(target_table, events, order.data() + start, count, *blocks,
                                                  *new_tree, k, static_cast<Index>(old));
                });
                continue;
            }
            internal::parallel_for(this->sizes_[b], this->num_threads_, [&](size_t p) {
                const size_t i = order[p];
                const Float* query = events + i * stride;
                internal::change_list(target_table, i, [&](knncolle::NeighborList<Index, Float>& list) {
                    if (new_tree != nullptr) {
                        internal::fuse_nearer(list, *new_tree, query, k, static_cast<Index>(old));
                    } else {
                        fuse_nn_results(list, new_index->find_nearest_neighbors(query, this->num_neighbors_),
                                        k, static_cast<Index>(old));
                    }
                });
            });
        }
    }

    /**
     * Fills the lists of reference rows [first, first + count) (values at `rows`) in the tables
     * of the given batches, whose lists of events among the reference rows must already hold
     * these rows. A row's list is read only for the events that list it, so a row that no
     * event lists keeps an empty list, which never forms a pair; see bounded_updates.hpp. A
     * list is kept only when it forms a pair at once, which is what `prune` would leave of it:
     * the tables then never hold all lists of a batch at the same time. The rows are searched
     * in `order`, every batch in one loop whose iterations each write their own list, so the
     * dynamic schedule changes no result.
     */
    void list_reference_rows(const std::vector<size_t>& waiting, size_t first, size_t count,
                             const Float* rows, const std::vector<size_t>& order) {
        if (waiting.empty() || count == 0) {
            return;
        }
        std::vector<std::vector<Float>> radii(waiting.size());
        internal::parallel_for(waiting.size(), this->num_threads_, [&](size_t w) {
            radii[w] = internal::farthest_listing(neighbors_target_[waiting[w]], first, count);
        });

        const size_t stride = static_cast<size_t>(this->ndim_);
        const size_t k = static_cast<size_t>(std::max(this->num_neighbors_, 0));
        const size_t nqueries = waiting.size() * count;
        ParallelErrors errors;
#pragma omp parallel for schedule(dynamic, 256) num_threads(this->num_threads_)
        for (size_t q = 0; q < nqueries; ++q) {
            errors.run([&] {
                const size_t w = q / count;
                const size_t i = order[q % count];
                const Float radius = radii[w][i];
                if (radius < 0) {
                    return;
                }
                const size_t b = waiting[w];
                const Float* query = rows + i * stride;
                const internal::ExactTree<Index, Float>* tree =
                    internal::as_exact_tree(this->indices_[b].get());
                knncolle::NeighborList<Index, Float> list =
                    tree != nullptr
                        ? internal::list_within(*tree, query, k, radius)
                        : internal::nearest_or_none(this->indices_[b], query, this->num_neighbors_);
                // Only a row that forms a pair now keeps its list (see prune).
                if (listed_back(neighbors_target_[b], list, static_cast<Index>(first + i))) {
                    neighbors_ref_[b][first + i] = std::move(list);
                }
            });
        }
        errors.rethrow();
    }

    std::vector<Table> neighbors_ref_;
    // Per waiting batch, every event's list among the reference rows, in one block.
    std::vector<Lists> neighbors_target_;
    std::set<size_t> remaining_;
};

} // namespace mnncorrect

#endif
