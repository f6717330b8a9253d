#include "pairmend/model/transform.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace pairmend::model {

namespace {

const double ln10 = std::log(10.0);

// Whole numbers as integers ("100000", not "1e+05"), others as the shortest text that reads back.
std::string number_text(double value) {
    if (std::fabs(value) < 1e15 && value == std::floor(value)) {
        return std::to_string(static_cast<long long>(value));
    }
    char buffer[32];
    const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}

// Every kind of transform with its name.
struct KindName {
    TransformKind kind;
    const char* name;
};
constexpr KindName kKindNames[] = {
    {TransformKind::arcsinh, "arcsinh"},
    {TransformKind::logicle, "logicle"},
    {TransformKind::linear, "linear"},
};

} // namespace

ChannelTransform arcsinh_transform(double cofactor) {
    return {TransformKind::arcsinh, {cofactor}};
}

std::string transform_name(TransformKind kind) {
    for (const KindName& entry : kKindNames) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "unknown";
}

std::optional<TransformKind> transform_kind(const std::string& name) {
    for (const KindName& entry : kKindNames) {
        if (name == entry.name) {
            return entry.kind;
        }
    }
    return std::nullopt;
}

std::string transform_text(const ChannelTransform& transform) {
    std::string text = transform_name(transform.kind);
    for (const double value : transform.parameters) {
        text += " " + number_text(value);
    }
    return text;
}

std::string transform_fault(const ChannelTransform& transform) {
    const std::vector<double>& p = transform.parameters;
    for (const double value : p) {
        if (!std::isfinite(value)) {
            return "its parameters must be finite numbers, not " + number_text(value);
        }
    }
    switch (transform.kind) {
    case TransformKind::arcsinh:
        if (p.size() != 1) {
            return "arcsinh takes one parameter, the cofactor, not " + std::to_string(p.size());
        }
        return p[0] > 0 ? std::string() : "the cofactor must be a positive number, not " + number_text(p[0]);
    case TransformKind::linear:
        return p.empty() ? std::string() : "linear takes no parameters";
    case TransformKind::logicle: {
        if (p.size() != 4) {
            return "logicle takes four parameters, T, W, M and A, not " + std::to_string(p.size());
        }
        const double t = p[0], w = p[1], m = p[2], a = p[3];
        if (!(t > 0)) {
            return "logicle's T (the top of the scale) must be a positive number, not " + number_text(t);
        }
        if (!(m > 0)) {
            return "logicle's M (the decades of the scale) must be a positive number, not " + number_text(m);
        }
        if (!(w >= 0 && w <= m / 2)) {
            return "logicle's W must lie between 0 and M / 2 = " + number_text(m / 2) + ", not " +
                   number_text(w);
        }
        if (!(a >= -w && a <= m - 2 * w)) {
            return "logicle's A must lie between -W = " + number_text(-w) +
                   " and M - 2W = " + number_text(m - 2 * w) + ", not " + number_text(a);
        }
        return {};
    }
    }
    return "the transform is of an unknown kind";
}

double logicle_p(double w) {
    // 2 p ln(p) / (p + 1) grows from 0 at p = 1 without bound: bisect, then polish with Newton.
    const double target = w * ln10;
    if (target <= 0) {
        return 1;
    }
    const auto width = [](double p) { return 2 * p * std::log(p) / (p + 1); };
    double low = 1;
    double high = 2;
    while (width(high) < target) {
        high *= 2;
    }
    for (int i = 0; i < 200 && high - low > 1e-15 * high; ++i) {
        const double middle = 0.5 * (low + high);
        (width(middle) < target ? low : high) = middle;
    }
    return 0.5 * (low + high);
}

Transform::Transform(const ChannelTransform& transform) : spec_(transform) {
    const std::string fault = transform_fault(transform);
    if (!fault.empty()) {
        throw std::invalid_argument(fault);
    }
    if (transform.kind == TransformKind::arcsinh) {
        cofactor_ = transform.parameters[0];
    } else if (transform.kind == TransformKind::logicle) {
        const double t = transform.parameters[0], w = transform.parameters[1], m = transform.parameters[2],
                     a = transform.parameters[3];
        p_ = logicle_p(w);
        zero_ = (w + a) * ln10;
        k_ = 1;
        k_ = t / logicle_s((m - w) * ln10);
    }
}

double Transform::logicle_s(double x) const {
    // e^x - p^2 e^(-x/p) + p^2 - 1 = expm1(x) - p^2 expm1(-x/p): two positive terms for x > 0.
    return k_ * (std::expm1(x) - p_ * p_ * std::expm1(-x / p_));
}

double Transform::logicle_x(double value) const {
    // S is increasing and convex for x >= 0, and S(log1p(value / K)) >= value: Newton's steps from
    // there approach the root from above without overshooting it.
    double x = std::log1p(value / k_);
    for (int i = 0; i < 200; ++i) {
        const double slope = k_ * (std::exp(x) + p_ * std::exp(-x / p_));
        const double step = (logicle_s(x) - value) / slope;
        if (!(step > 0)) {
            break;
        }
        const double next = x - step;
        if (next >= x) {
            break;
        }
        x = next;
        if (step <= 1e-16 * x) {
            break;
        }
    }
    return x;
}

double Transform::forward(double linear) const {
    switch (spec_.kind) {
    case TransformKind::arcsinh:
        return std::asinh(linear / cofactor_);
    case TransformKind::logicle:
        return linear >= 0 ? zero_ + logicle_x(linear) : zero_ - logicle_x(-linear);
    case TransformKind::linear:
        break;
    }
    return linear;
}

double Transform::inverse(double transformed) const {
    switch (spec_.kind) {
    case TransformKind::arcsinh:
        return std::sinh(transformed) * cofactor_;
    case TransformKind::logicle: {
        const double x = transformed - zero_;
        return x >= 0 ? logicle_s(x) : -logicle_s(-x);
    }
    case TransformKind::linear:
        break;
    }
    return transformed;
}

} // namespace pairmend::model
