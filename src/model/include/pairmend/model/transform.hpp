#ifndef PAIRMEND_MODEL_TRANSFORM_HPP
#define PAIRMEND_MODEL_TRANSFORM_HPP

// The transform that brings an FCS channel's linear values to the scale the correction works on,
// and back: arcsinh(value / cofactor), logicle, or none (values already transformed). A model
// fitted on FCS files keeps the transform of each of its channels.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pairmend::model {

/// The kinds of transform, with the numbers the model file stores.
enum class TransformKind : std::uint8_t {
    arcsinh = 1, ///< arcsinh(value / cofactor).
    logicle = 2, ///< the logicle transform of Parks, Roederer and Moore (2006).
    linear = 3,  ///< the values as they are.
};

/// A channel's transform and its parameters.
struct ChannelTransform {
    TransformKind kind = TransformKind::arcsinh;
    /// arcsinh: the cofactor; logicle: T, W, M and A; linear: none.
    std::vector<double> parameters;

    bool operator==(const ChannelTransform& other) const {
        return kind == other.kind && parameters == other.parameters;
    }
    bool operator!=(const ChannelTransform& other) const { return !(*this == other); }
};

/** arcsinh(value / cofactor). */
ChannelTransform arcsinh_transform(double cofactor);

/** The transform's name as the transforms file writes it: "arcsinh", "logicle" or "linear". */
std::string transform_name(TransformKind kind);

/** The transform of the given name (as `transform_name` gives it); none for a name it does not know. */
std::optional<TransformKind> transform_kind(const std::string& name);

/** The transform as the transforms file writes it: "arcsinh 150", "logicle 262144 0.5 4.5 0", "linear". */
std::string transform_text(const ChannelTransform& transform);

/**
 * Why the transform's parameters cannot be used, as the end of a sentence ("the cofactor must be a
 * positive number, not -1"), or an empty text when they can: arcsinh takes one positive cofactor,
 * linear none, and logicle T > 0, M > 0, 0 <= W <= M / 2 and -W <= A <= M - 2W, the bounds of
 * Parks, Roederer and Moore.
 */
std::string transform_fault(const ChannelTransform& transform);

/**
 * A channel's transform, ready to use on values.
 *
 * Logicle values are on the scale of natural logarithms that arcsinh values are on, so that a
 * decade spans the same distance in a logicle and an arcsinh channel: the display's bottom is 0, the
 * top (the linear value T) is (M + A) ln 10, and the linear value 0 is at (W + A) ln 10. About that
 * point the linear value is S(x) = K (e^x - p^2 e^(-x/p) + p^2 - 1) for x >= 0 and -S(-x) below,
 * with x the distance from it, W ln 10 = 2 p ln(p) / (p + 1), and K such that the top is T exactly.
 *
 * Thread safety: immutable after construction; any number of threads may use one.
 */
class Transform {
public:
    /** @throws std::invalid_argument with transform_fault's text when the parameters are unusable. */
    explicit Transform(const ChannelTransform& transform);

    /** The transformed value of a linear value. */
    double forward(double linear) const;

    /** The linear value of a transformed value: forward's exact inverse. */
    double inverse(double transformed) const;

    /** The transform this was made from. */
    const ChannelTransform& spec() const { return spec_; }

private:
    // S(x) for x >= 0, without the cancellation of its terms near 0.
    double logicle_s(double x) const;
    // The x >= 0 with S(x) = value, for value >= 0.
    double logicle_x(double value) const;

    ChannelTransform spec_;
    double cofactor_ = 1; // arcsinh
    double p_ = 1;        // logicle: the shape that W gives
    double k_ = 1;        // logicle: the scale that puts T at the top
    double zero_ = 0;     // logicle: where the linear value 0 lies
};

/** The p of the logicle transform with width W (in decades): W ln 10 = 2 p ln(p) / (p + 1), p >= 1. */
double logicle_p(double w);

} // namespace pairmend::model

#endif
