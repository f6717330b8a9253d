#ifndef PAIRMEND_MODEL_METHOD_HPP
#define PAIRMEND_MODEL_METHOD_HPP

// A correction method: what it learns about a batch as the batch joins the reference, how it
// corrects events with that, how it keeps it in a model file, and the table of every method.
// A new method is one file pair (a BatchCorrection, a MethodLearner and a MethodInfo) and one
// entry of the table in methods.cpp.

#include "mnncorrect/TargetState.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pairmend::model {

struct Model;
struct Settings;

namespace internal {
class ByteWriter;
class ByteReader;
} // namespace internal

/**
 * A batch correction made ready for events: built once (for example a neighbour index over the
 * batch's paired events), then used for any number of blocks of events.
 *
 * Thread safety: `apply` is const and may be called from several threads at once.
 */
class PreparedCorrection {
public:
    virtual ~PreparedCorrection() = default;

    /**
     * Corrects `n` events of `ndim` values each (`ndim` already checked against the model's).
     *
     * @param[out] output Receives the `n` corrected events; may be `events` itself.
     * @param num_threads Threads of the loop over the events; the result does not depend on it.
     */
    virtual void apply(int ndim, std::size_t n, const double* events, double* output,
                       int num_threads) const = 0;
};

/**
 * What a method learnt about one batch that moves onto the reference. Immutable once learnt or
 * read, so that models share it when copied; concurrent reads are safe.
 */
class BatchCorrection {
public:
    virtual ~BatchCorrection() = default;

    /**
     * Readies the correction of events of this batch of `model`, which must outlive the result.
     *
     * @throws std::bad_alloc.
     */
    virtual std::unique_ptr<const PreparedCorrection> prepare(const Model& model) const = 0;

    /// Writes the body of the batch's model-file section, after the batch position.
    virtual void encode(internal::ByteWriter& out) const = 0;

    /// The name of the method that learnt it.
    virtual const std::string& method() const = 0;

    /**
     * Refuses a correction whose parts do not fit the model (sizes, positions).
     *
     * @param source How messages name the model ("The model file x.pmm").
     * @param batch The batch's name.
     * @throws std::runtime_error naming `source`, the batch and the fault.
     */
    virtual void check(const Model& model, const std::string& source, const std::string& batch) const = 0;

    /**
     * Refuses stored numbers that are not finite, checked after `check` when a model file is read.
     *
     * @throws std::runtime_error naming `source`.
     */
    virtual void check_values(const std::string& source) const = 0;
};

/// One batch joining the reference while a method learns.
struct JoiningBatch {
    /// Values per event.
    int ndim = 0;
    /// Events the batch is fitted on.
    std::size_t size = 0;
    /// The batch's fitted events, as given.
    const double* events = nullptr;
    /// The engine's corrected values of the batch's events; the learner leaves the method's own
    /// corrected values here (the rows the model keeps and later batches are learnt against).
    double* corrected = nullptr;
    /// The engine's state of the batch (empty unless the method's `keeps_engine_states`).
    mnncorrect::TargetState<int, double>* engine_state = nullptr;
    /// Whether the batch is the first reference, which does not move: the fit's first batch, or
    /// the stored reference rows of a model that batches are added to.
    bool first_reference = false;
    /// With conditions: the batch's events to learn from (those of the conditions the reference
    /// also holds), in increasing order; null: every event. Every event is corrected either way.
    const std::vector<std::size_t>* learn_rows = nullptr;
    /// With conditions: the rows of the reference so far (the batches before, in merge order) to
    /// learn against, in increasing order; null: every row.
    const std::vector<std::size_t>* reference_rows = nullptr;
};

/**
 * Learns the corrections of the batches of one fit or extend call, one batch after another in
 * merge order, the first reference first; it may keep what the batches before taught it (for
 * example the reference as corrected so far).
 */
class MethodLearner {
public:
    virtual ~MethodLearner() = default;

    /**
     * Learns how `batch` moves onto the batches before it.
     *
     * @return The batch's correction; null for the first reference.
     */
    virtual std::shared_ptr<const BatchCorrection> learn(const JoiningBatch& batch) = 0;
};

/// Where a learner starts.
struct LearnStart {
    /// Values per event.
    int ndim = 0;
    /// Threads of the loops; the result does not depend on them.
    int num_threads = 1;
    /// The engine settings of the model.
    const Settings* settings = nullptr;
};

/// How messages name what a method learns and corrects with.
struct MethodWords {
    /// One model-file section of its batch corrections ("a batch correction").
    std::string section;
    /// One batch's correction ("a mutual nearest-neighbour correction").
    std::string correction;
    /// What the method corrects with ("mutual nearest neighbours").
    std::string corrects_with;
};

/// A correction method: one entry of `methods()`.
struct MethodInfo {
    /// The name users give ("mnn").
    std::string name;
    /// What the method does, in a few words, for usage texts and documentation.
    std::string description;
    /// The model-file section type of its batch corrections (docs/model_format.md).
    std::uint32_t section = 0;
    /// Starts learning the batches of one call.
    std::unique_ptr<MethodLearner> (*learn)(const LearnStart& start) = nullptr;
    /// Reads a section body after the batch position, for a model of `model.ndim` parameters.
    std::shared_ptr<const BatchCorrection> (*decode)(internal::ByteReader& in, const Model& model) = nullptr;
    /// Whether the engine run keeps every batch's state for the learner.
    bool keeps_engine_states = false;
    /// How messages name its corrections.
    MethodWords words = {};
};

/// Every correction method, the default first: "mnn", then "curves".
const std::vector<MethodInfo>& methods();

/// A correction method: a position in `methods()`; the default is the first.
class Method {
public:
    Method() = default;

    /// The method's entry of the table.
    const MethodInfo& info() const { return methods()[index_]; }
    /// The method's name.
    const std::string& name() const { return info().name; }
    /// Whether it is the default method, the engine's own correction.
    bool is_default() const { return index_ == 0; }
    /// The position in `methods()`.
    std::size_t index() const { return index_; }

    friend bool operator==(Method a, Method b) { return a.index_ == b.index_; }
    friend bool operator!=(Method a, Method b) { return a.index_ != b.index_; }

    /// The method at position `index` of `methods()`.
    static Method at(std::size_t index);

private:
    std::size_t index_ = 0;
};

/// The method names, the default first: "mnn", "curves".
const std::vector<std::string>& method_names();

/// The name of `method`.
const std::string& method_name(Method method);

/// The methods as usage texts list them: `mnn (default, mutual nearest neighbours) or curves (...)`.
std::string method_choices();

/**
 * The method named `name`.
 *
 * @throws std::runtime_error naming the methods there are, for any other name.
 */
Method parse_method(const std::string& name);

} // namespace pairmend::model

#endif
