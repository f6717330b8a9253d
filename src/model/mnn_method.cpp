#include "pairmend/model/mnn_method.hpp"

#include "byte_codec.hpp"
#include "mnncorrect/MnnCorrect.hpp"
#include "pairmend/model/Model.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace pairmend::model {

namespace {

using Engine = mnncorrect::MnnCorrect<int, double>;

const std::string& name_of_method() {
    static const std::string name = "mnn";
    return name;
}

// An event is corrected exactly as the engine corrected the batch's own events: the same kind of
// index over the same rows, the same k and robust average.
class PreparedMnn : public PreparedCorrection {
public:
    PreparedMnn(const Model& model, const mnncorrect::TargetState<int, double>& state)
        : settings_(&model.settings), state_(&state),
          // The same builder as the engine's, over the same rows in the same order, gives the same index.
          index_(model.settings.approximate
                     ? Engine::approximate_builder(model.ndim, state.num_paired(), state.paired_events.data())
                     : Engine::exact_builder(model.ndim, state.num_paired(), state.paired_events.data())),
          vectors_(model.ndim, state) {}

    void apply(int ndim, std::size_t n, const double* events, double* output,
               int num_threads) const override {
        mnncorrect::apply_target_state(ndim, *state_, vectors_, *index_, settings_->num_neighbors,
                                       settings_->robust_iterations, settings_->robust_trim, n, events,
                                       output, num_threads);
    }

private:
    const Settings* settings_;
    const mnncorrect::TargetState<int, double>* state_;
    std::shared_ptr<knncolle::Base<int, double, double>> index_;
    // The pairs' correction vectors, computed once for all the batch's events.
    mnncorrect::TargetVectors<double> vectors_;
};

// Keeps every batch's engine state; the engine's corrected values are the method's own.
class MnnLearner : public MethodLearner {
public:
    std::shared_ptr<const BatchCorrection> learn(const JoiningBatch& batch) override {
        if (batch.first_reference) {
            return nullptr;
        }
        return std::make_shared<const MnnCorrection>(std::move(*batch.engine_state));
    }
};

std::unique_ptr<MethodLearner> start_learning(const LearnStart&) {
    return std::make_unique<MnnLearner>();
}

void check_finite(const std::vector<double>& values, const std::string& source, const std::string& what) {
    for (const double value : values) {
        if (!std::isfinite(value)) {
            throw std::runtime_error(source + " is corrupt: its " + what +
                                     " hold a value that is not a finite number.");
        }
    }
}

std::shared_ptr<const BatchCorrection> decode(internal::ByteReader& in, const Model& model) {
    const auto width = static_cast<std::uint64_t>(model.ndim);
    const std::uint64_t npaired = in.u64();
    const std::uint64_t ncentre_values = in.u64();
    const std::uint64_t npartners = in.u64();
    mnncorrect::TargetState<int, double> state;

    state.partner_offsets.resize(in.room(npaired, 4, "partner counts") + 1);
    state.partner_offsets[0] = 0;
    for (std::size_t p = 0; p < npaired; ++p) {
        state.partner_offsets[p + 1] = state.partner_offsets[p] + in.u32();
    }
    state.partners.resize(in.room(npartners, 4, "partners"));
    for (int& partner : state.partners) {
        const std::uint32_t value = in.u32();
        partner = value > static_cast<std::uint32_t>(std::numeric_limits<int>::max())
                      ? -1
                      : static_cast<int>(value);
    }
    // Paired events and their centres take 16 bytes per value; checked before npaired * width is formed.
    in.room(npaired, 16 * width, "paired events");
    state.paired_events = in.f64s(npaired * width, "paired event values");
    state.target_centres = in.f64s(npaired * width, "target centre values");
    state.reference_centres = in.f64s(ncentre_values, "reference centre values");
    return std::make_shared<const MnnCorrection>(std::move(state));
}

} // namespace

std::unique_ptr<const PreparedCorrection> MnnCorrection::prepare(const Model& model) const {
    return std::make_unique<const PreparedMnn>(model, state);
}

void MnnCorrection::encode(internal::ByteWriter& out) const {
    const std::size_t npaired = state.num_paired();
    out.u64(npaired);
    out.u64(state.reference_centres.size());
    out.u64(state.partners.size());
    for (std::size_t p = 0; p < npaired; ++p) {
        out.u32(static_cast<std::uint32_t>(state.partner_offsets[p + 1] - state.partner_offsets[p]));
    }
    for (const int partner : state.partners) {
        out.u32(static_cast<std::uint32_t>(partner));
    }
    out.f64s(state.paired_events);
    out.f64s(state.target_centres);
    out.f64s(state.reference_centres);
}

const std::string& MnnCorrection::method() const {
    return name_of_method();
}

void MnnCorrection::check(const Model& model, const std::string& source, const std::string& batch) const {
    const std::string where = source + " holds a correction for batch \"" + batch + "\" that ";
    const std::size_t width = static_cast<std::size_t>(model.ndim);
    const std::size_t npaired = state.num_paired();
    if (npaired == 0 || state.partner_offsets.front() != 0) {
        throw std::runtime_error(where + "lists no paired events.");
    }
    if (state.paired_events.size() != npaired * width || state.target_centres.size() != npaired * width) {
        throw std::runtime_error(where + "has paired events and centres of different counts.");
    }
    if (state.reference_centres.empty() || state.reference_centres.size() % width != 0) {
        throw std::runtime_error(where + "has no whole reference centres.");
    }
    const std::size_t ncentres = state.reference_centres.size() / width;
    for (std::size_t p = 0; p < npaired; ++p) {
        if (state.partner_offsets[p + 1] <= state.partner_offsets[p]) {
            throw std::runtime_error(where + "leaves a paired event without partners.");
        }
    }
    if (state.partner_offsets.back() != state.partners.size()) {
        throw std::runtime_error(where + "counts its partners wrongly.");
    }
    for (const int partner : state.partners) {
        if (partner < 0 || static_cast<std::size_t>(partner) >= ncentres) {
            throw std::runtime_error(where + "names a reference centre it does not hold.");
        }
    }
    // The neighbour indices number their points with int.
    if (npaired > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw std::runtime_error(where + "holds more paired events than an index can number.");
    }
}

void MnnCorrection::check_values(const std::string& source) const {
    check_finite(state.paired_events, source, "paired events");
    check_finite(state.target_centres, source, "centres");
    check_finite(state.reference_centres, source, "centres");
}

MethodInfo mnn_method() {
    MethodInfo info{name_of_method(), "mutual nearest neighbours", 4, &start_learning, &decode};
    info.keeps_engine_states = true; // the learner reads the engine's state of every merged batch
    info.words = {"a batch correction", "a mutual nearest-neighbour correction", "mutual nearest neighbours"};
    return info;
}

} // namespace pairmend::model
