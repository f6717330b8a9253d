#include "pairmend/model/curves_method.hpp"

#include "byte_codec.hpp"
#include "learn_alignment.hpp"
#include "pairmend/model/Model.hpp"

#include <algorithm>

namespace pairmend::model {

namespace {

const std::string& name_of_method() {
    static const std::string name = "curves";
    return name;
}

class PreparedCurves : public PreparedCorrection {
public:
    explicit PreparedCurves(const Alignment& alignment) : alignment_(&alignment) {}

    void apply(int ndim, std::size_t n, const double* events, double* output,
               int num_threads) const override {
        apply_alignment(*alignment_, ndim, n, events, output, num_threads);
    }

private:
    const Alignment* alignment_;
};

// The engine's correction only tells where each event belongs; every batch's own values are
// aligned onto the batches aligned before it, which the learner keeps.
class CurvesLearner : public MethodLearner {
public:
    explicit CurvesLearner(const LearnStart& start) : ndim_(start.ndim), num_threads_(start.num_threads) {}

    std::shared_ptr<const BatchCorrection> learn(const JoiningBatch& batch) override {
        const std::size_t width = static_cast<std::size_t>(ndim_);
        Alignment alignment;
        if (!batch.first_reference && !aligned_.empty()) {
            if (batch.learn_rows != nullptr) {
                // Learnt from the events of the conditions both sides hold only.
                const std::vector<double> events = gathered(batch.events, *batch.learn_rows);
                const std::vector<double> matched = gathered(batch.corrected, *batch.learn_rows);
                const std::vector<double> reference = gathered(aligned_.data(), *batch.reference_rows);
                alignment =
                    internal::learn_alignment(ndim_, batch.learn_rows->size(), events.data(), matched.data(),
                                              batch.reference_rows->size(), reference.data(), num_threads_);
            } else {
                alignment = internal::learn_alignment(ndim_, batch.size, batch.events, batch.corrected,
                                                      aligned_.size() / width, aligned_.data(), num_threads_);
            }
        }
        apply_alignment(alignment, ndim_, batch.size, batch.events, batch.corrected, num_threads_);
        aligned_.insert(aligned_.end(), batch.corrected, batch.corrected + batch.size * width);
        if (batch.first_reference) {
            return nullptr;
        }
        return std::make_shared<const CurvesCorrection>(std::move(alignment));
    }

private:
    std::vector<double> gathered(const double* rows, const std::vector<std::size_t>& which) const {
        const std::size_t width = static_cast<std::size_t>(ndim_);
        std::vector<double> out(which.size() * width);
        for (std::size_t i = 0; i < which.size(); ++i) {
            std::copy_n(rows + which[i] * width, width, out.data() + i * width);
        }
        return out;
    }

    int ndim_;
    int num_threads_;
    std::vector<double> aligned_;
};

std::unique_ptr<MethodLearner> start_learning(const LearnStart& start) {
    return std::make_unique<CurvesLearner>(start);
}

std::shared_ptr<const BatchCorrection> decode(internal::ByteReader& in, const Model& model) {
    const auto width = static_cast<std::uint64_t>(model.ndim);
    Alignment alignment;
    const std::uint32_t ncurves = in.u32();
    in.room(ncurves, 4, "curves");
    for (std::uint32_t c = 0; c < ncurves; ++c) {
        const std::uint32_t knots = in.u32();
        in.room(knots, 16, "curve knots");
        ChannelCurve curve;
        curve.from = in.f64s(knots, "curve knots");
        curve.to = in.f64s(knots, "curve knots");
        alignment.curves.push_back(std::move(curve));
    }
    const std::uint32_t nsteps = in.u32();
    in.room(nsteps, 12, "field steps");
    for (std::uint32_t f = 0; f < nsteps; ++f) {
        const std::uint32_t ncentres = in.u32();
        FieldStep step;
        step.bandwidth = in.f64();
        // Centres and offsets take 16 bytes per value; checked before ncentres * width is formed.
        in.room(ncentres, 16 * width + 8, "field centres");
        step.centres = in.f64s(ncentres * width, "field centres");
        step.offsets = in.f64s(ncentres * width, "field offsets");
        step.weights = in.f64s(ncentres, "field weights");
        alignment.field.push_back(std::move(step));
    }
    return std::make_shared<const CurvesCorrection>(std::move(alignment));
}

} // namespace

std::unique_ptr<const PreparedCorrection> CurvesCorrection::prepare(const Model&) const {
    return std::make_unique<const PreparedCurves>(alignment);
}

void CurvesCorrection::encode(internal::ByteWriter& out) const {
    out.u32(static_cast<std::uint32_t>(alignment.curves.size()));
    for (const ChannelCurve& curve : alignment.curves) {
        out.u32(static_cast<std::uint32_t>(curve.from.size()));
        out.f64s(curve.from);
        out.f64s(curve.to);
    }
    out.u32(static_cast<std::uint32_t>(alignment.field.size()));
    for (const FieldStep& step : alignment.field) {
        out.u32(static_cast<std::uint32_t>(step.weights.size()));
        out.f64(step.bandwidth);
        out.f64s(step.centres);
        out.f64s(step.offsets);
        out.f64s(step.weights);
    }
}

const std::string& CurvesCorrection::method() const {
    return name_of_method();
}

void CurvesCorrection::check(const Model& model, const std::string& source, const std::string& batch) const {
    check_alignment(alignment, model.ndim, source + " holds an alignment for batch \"" + batch + "\" that ");
}

void CurvesCorrection::check_values(const std::string&) const {
    // check_alignment has refused every number that is not finite.
}

MethodInfo curves_method() {
    MethodInfo info{name_of_method(),
                    "per-channel curves matched population by population, then a smooth local field", 8,
                    &start_learning, &decode};
    info.words = {"an alignment", "curves", "curves"};
    return info;
}

} // namespace pairmend::model
