#ifndef MNNCORRECT_MNN_CORRECT_HPP
#define MNNCORRECT_MNN_CORRECT_HPP

#include "knncolle/Annoy.hpp"
#include "knncolle/Base.hpp"
#include "knncolle/VpTree.hpp"
#include "mnncorrect/AutomaticOrder.hpp"
#include "mnncorrect/CustomOrder.hpp"
#include "mnncorrect/IndexBuilder.hpp"
#include "mnncorrect/Interrupted.hpp"
#include "mnncorrect/Options.hpp"
#include "mnncorrect/PhaseTimes.hpp"
#include "mnncorrect/ReferencePolicy.hpp"
#include "mnncorrect/RobustAverage.hpp"
#include "mnncorrect/TargetState.hpp"
#include "mnncorrect/restore_order.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace mnncorrect {

/**
 * Batch correction by mutual nearest neighbours: merges the batches one after another into a
 * growing reference, moving each batch onto it, and returns every event in its input row.
 *
 * Construct it with its options (and, when wanted, hooks), then call one of the `run` forms. A
 * run changes neither. Concurrent runs on one object are safe as long as nobody replaces the
 * options or hooks meanwhile and the hooks' targets are not shared (leave them unset).
 *
 * @tparam Index Integer type of the neighbour indices.
 * @tparam Float Type of the event values.
 */
template <typename Index = int, typename Float = double>
class MnnCorrect {
public:
    /// The options that decide a result (see mnncorrect::Options).
    using Options = mnncorrect::Options;

    /**
     * What a caller may watch or stop in a run; none of these changes a result. The targets of the
     * pointers must outlive every run that uses them, and concurrent runs must not share one.
     */
    struct Hooks {
        /// When not null, a run adds the seconds spent in each of its phases here.
        PhaseTimes* phase_times = nullptr;
        /// When not null, a run keeps what it learnt about every batch here, indexed by batch id (see
        /// `TargetState`).
        std::vector<TargetState<Index, Float>>* target_states = nullptr;
        /// When set, called on the calling thread between the run's phases (after the first indices
        /// are built, and before and after every batch's correction); when it returns true the run
        /// ends with Interrupted.
        std::function<bool()> should_stop;
    };

    /// An engine with the default options and no hooks.
    MnnCorrect() = default;

    /// An engine with `options` and `hooks`; the options are checked when a run starts.
    explicit MnnCorrect(const Options& options, Hooks hooks = Hooks())
        : options_(options), hooks_(std::move(hooks)) {}

    /// The options every run uses.
    const Options& options() const { return options_; }

    /// Replaces the options of later runs.
    void set_options(const Options& options) { options_ = options; }

    /// The hooks every run uses.
    const Hooks& hooks() const { return hooks_; }

    /// Replaces the hooks of later runs.
    void set_hooks(Hooks hooks) { hooks_ = std::move(hooks); }

    /// What a run did: the merge order and the number of mutual pairs of every merge step.
    struct Details {
        /// Batch ids in the order in which they entered the reference, the first batch first.
        std::vector<int> merge_order;
        /// Mutual pairs found at every merge step after the first batch.
        std::vector<int> num_pairs;
    };

    /**
     * Corrects events given in any order, each with its batch id.
     *
     * @param ndim Number of values per event.
     * @param nobs Number of events.
     * @param input The events, `ndim` values each, one after another; only read.
     * @param batch Batch id of every event, from 0; the number of batches is the largest id plus one.
     * @param output Buffer of `ndim` times `nobs` values; receives the corrected events in input order.
     * @param order Merge order (one id per batch, every id once), or null to let the options decide.
     * @return The merge order and the pair counts.
     * @throws std::runtime_error for invalid options or a bad merge order (before any work),
     * NoMutualPairsError if a batch shares no pair with the batches before it, and whatever
     * the neighbour indices throw (std::bad_alloc).
     */
    template <typename Batch>
    Details run(int ndim, size_t nobs, const Float* input, const Batch* batch, Float* output,
                const int* order) const {
        check_options();
        if (nobs == 0) {
            return run(ndim, std::vector<size_t>(), input, output, order);
        }

        check_batch_ids(nobs, batch);
        const size_t nbatches = static_cast<size_t>(*std::max_element(batch, batch + nobs)) + 1;
        std::vector<size_t> sizes(nbatches);
        bool sorted = true;
        for (size_t i = 0; i < nobs; ++i) {
            ++sizes[static_cast<size_t>(batch[i])];
            if (i > 0 && batch[i] < batch[i - 1]) {
                sorted = false;
            }
        }
        if (sorted) {
            return run(ndim, sizes, input, output, order);
        }

        // One stable counting pass groups the events by batch in id order.
        std::optional<internal::PhaseTimer> arranging(std::in_place, hooks_.phase_times,
                                                      &PhaseTimes::arrange);
        const size_t stride = static_cast<size_t>(ndim);
        std::vector<size_t> next_row(nbatches);
        std::partial_sum(sizes.begin(), sizes.end() - 1, next_row.begin() + 1);
        std::vector<Float> grouped(stride * nobs);
        for (size_t i = 0; i < nobs; ++i) {
            size_t& row = next_row[static_cast<size_t>(batch[i])];
            std::copy_n(input + i * stride, stride, grouped.data() + row * stride);
            ++row;
        }

        std::vector<const Float*> pointers(nbatches);
        size_t start = 0;
        for (size_t b = 0; b < nbatches; ++b) {
            pointers[b] = grouped.data() + start * stride;
            start += sizes[b];
        }
        arranging.reset();

        Details details = run_internal(ndim, sizes, pointers, output, order);
        const internal::PhaseTimer restoring(hooks_.phase_times, &PhaseTimes::arrange);
        restore_order(ndim, details.merge_order, sizes, batch, output);
        return details;
    }

    /**
     * Corrects events grouped by batch: all events of batch 0, then batch 1, and so on.
     *
     * @param ndim Number of values per event.
     * @param sizes Number of events of every batch, indexed by batch id.
     * @param input The grouped events; only read.
     * @param output Buffer of as many values as the input; receives the corrected events in input order.
     * @param order Merge order (one id per batch, every id once), or null to let the options decide.
     * @return The merge order and the pair counts.
     * @throws As the batch-id form.
     */
    Details run(int ndim, const std::vector<size_t>& sizes, const Float* input, Float* output,
                const int* order) const {
        std::vector<const Float*> pointers(sizes.size());
        const Float* current = input;
        for (size_t b = 0; b < sizes.size(); ++b) {
            pointers[b] = current;
            current += static_cast<size_t>(ndim) * sizes[b];
        }
        return run(ndim, sizes, pointers, output, order);
    }

    /**
     * Corrects batches held in separate blocks.
     *
     * @param ndim Number of values per event.
     * @param sizes Number of events of every batch, indexed by batch id.
     * @param batches Events of every batch, one block per batch; only read.
     * @param output Buffer for all events; receives them grouped by batch in id order, each
     * batch's events in their order within its block.
     * @param order Merge order (one id per batch, every id once), or null to let the options decide.
     * @return The merge order and the pair counts.
     * @throws std::runtime_error "length of 'no' and 'b' must be equal" if `sizes` and `batches`
     * differ in length; otherwise as the batch-id form.
     */
    Details run(int ndim, const std::vector<size_t>& sizes, const std::vector<const Float*>& batches,
                Float* output, const int* order) const {
        Details details = run_internal(ndim, sizes, batches, output, order);
        const internal::PhaseTimer restoring(hooks_.phase_times, &PhaseTimes::arrange);
        restore_order(ndim, details.merge_order, sizes, output);
        return details;
    }

    /// Builds an approximate forest index (50 trees, the default search effort) over `n` events.
    static std::shared_ptr<knncolle::Base<Index, Float, Float>> approximate_builder(int ndim, size_t n,
                                                                                    const Float* data) {
        return std::make_shared<knncolle::Annoy<Annoy::Euclidean, Index, Float, Float, int, float>>(
            ndim, static_cast<int>(n), data, 50, -1.0);
    }

    /// Builds an exact vantage-point tree over `n` events.
    static std::shared_ptr<knncolle::Base<Index, Float, Float>> exact_builder(int ndim, size_t n,
                                                                              const Float* data) {
        return std::make_shared<knncolle::VpTree<knncolle::distances::Euclidean, Index, Float, Float, Float>>(
            ndim, static_cast<int>(n), data);
    }

private:
    /// Refuses options that would fail or mean nothing, before any work is done.
    void check_options() const {
        if (options_.num_neighbors < 1) {
            std::ostringstream message;
            message << "The number of neighbors must be at least 1, not " << options_.num_neighbors;
            throw std::runtime_error(message.str());
        }
        // Checks the trimming proportion and the iteration count with their own messages.
        const RobustAverage<Index, Float> robust_settings(options_.robust_iterations, options_.robust_trim);
        static_cast<void>(robust_settings);
    }

    /// A negative id would index outside the per-batch tables; refuse it before any work.
    template <typename Batch>
    static void check_batch_ids(size_t nobs, const Batch* batch) {
        if constexpr (std::is_signed<Batch>::value) {
            for (size_t i = 0; i < nobs; ++i) {
                if (batch[i] < 0) {
                    std::ostringstream message;
                    message << "Batch ids must not be negative, but event " << i + 1 << " has batch id "
                            << batch[i] << ".";
                    throw std::runtime_error(message.str());
                }
            }
        }
    }

    /// Runs the merge; the output is left in merge order.
    Details run_internal(int ndim, const std::vector<size_t>& sizes, const std::vector<const Float*>& batches,
                         Float* output, const int* order) const {
        check_options();
        using Builder = IndexBuilder<Index, Float>;
        const Options& o = options_;
        const Builder builder = o.approximate ? approximate_builder : exact_builder;
        const int nthreads = std::max(o.num_threads, 1);

        if (order == nullptr && o.automatic_order) {
            AutomaticOrder<Index, Float, Builder> driver(ndim, sizes, batches, output, builder,
                                                         o.num_neighbors, o.reference_policy,
                                                         o.observation_cap, nthreads, hooks_.phase_times);
            return run_driver(driver);
        }

        std::vector<int> merge_order;
        if (order != nullptr) {
            merge_order.assign(order, order + batches.size());
        } else {
            merge_order.resize(batches.size());
            std::iota(merge_order.begin(), merge_order.end(), 0);
        }
        CustomOrder<Index, Float, Builder> driver(ndim, sizes, batches, output, builder, o.num_neighbors,
                                                  std::move(merge_order), o.observation_cap, nthreads,
                                                  hooks_.phase_times);
        return run_driver(driver);
    }

    /// Runs a driver with the hooks and the options of the correction.
    template <class Driver>
    Details run_driver(Driver& driver) const {
        driver.keep_target_states(hooks_.target_states);
        driver.stop_when(&hooks_.should_stop);
        internal::check_stop(&hooks_.should_stop);
        driver.run(options_.num_mads, options_.robust_iterations, options_.robust_trim);
        return Details{driver.merge_order(), driver.num_pairs()};
    }

    Options options_;
    Hooks hooks_;
};

} // namespace mnncorrect

#endif
