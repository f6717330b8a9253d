#ifndef PAIRMEND_MODEL_CURVES_METHOD_HPP
#define PAIRMEND_MODEL_CURVES_METHOD_HPP

// The "curves" method: per-channel monotone curves matched population by population, then a
// smooth local field (pairmend/model/alignment.hpp), learnt onto the batches aligned before.

#include "pairmend/model/alignment.hpp"
#include "pairmend/model/method.hpp"

namespace pairmend::model {

/// What the "curves" method learnt about one batch.
class CurvesCorrection : public BatchCorrection {
public:
    explicit CurvesCorrection(Alignment learnt) : alignment(std::move(learnt)) {}

    std::unique_ptr<const PreparedCorrection> prepare(const Model& model) const override;
    void encode(internal::ByteWriter& out) const override;
    const std::string& method() const override;
    void check(const Model& model, const std::string& source, const std::string& batch) const override;
    void check_values(const std::string& source) const override;

    /// The batch's curves and field.
    Alignment alignment;
};

/// The table entry of the "curves" method.
MethodInfo curves_method();

} // namespace pairmend::model

#endif
