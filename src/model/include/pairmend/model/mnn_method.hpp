#ifndef PAIRMEND_MODEL_MNN_METHOD_HPP
#define PAIRMEND_MODEL_MNN_METHOD_HPP

// The "mnn" method: the engine's mutual nearest-neighbour correction, kept as each batch's engine
// state and applied as the engine corrected the batch's own events.

#include "mnncorrect/TargetState.hpp"
#include "pairmend/model/method.hpp"

namespace pairmend::model {

/// What the engine's correction learnt about one batch: its paired events, their centres and
/// their partners among the reference's centres.
class MnnCorrection : public BatchCorrection {
public:
    explicit MnnCorrection(mnncorrect::TargetState<int, double> learnt) : state(std::move(learnt)) {}

    std::unique_ptr<const PreparedCorrection> prepare(const Model& model) const override;
    void encode(internal::ByteWriter& out) const override;
    const std::string& method() const override;
    void check(const Model& model, const std::string& source, const std::string& batch) const override;
    void check_values(const std::string& source) const override;

    /// The engine's state of the batch.
    mnncorrect::TargetState<int, double> state;
};

/// The table entry of the "mnn" method.
MethodInfo mnn_method();

} // namespace pairmend::model

#endif
