// Decoding the DATA segment: every channel's kind gets a function specialised for its width, type
// and byte order, and events are decoded in blocks that stay in the cache.

#include "internal/data_decoding.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace pairmend::fcs::detail {

namespace {

inline std::uint16_t bswap(std::uint16_t v) {
    return __builtin_bswap16(v);
}
inline std::uint32_t bswap(std::uint32_t v) {
    return __builtin_bswap32(v);
}
inline std::uint64_t bswap(std::uint64_t v) {
    return __builtin_bswap64(v);
}
inline std::uint8_t bswap(std::uint8_t v) {
    return v;
}

template <typename U, bool Swap, bool Float>
inline double load(const unsigned char* p, std::uint64_t mask) {
    U u;
    std::memcpy(&u, p, sizeof(U));
    if constexpr (Swap) {
        u = bswap(u);
    }
    if constexpr (Float) {
        if constexpr (sizeof(U) == 4) {
            float f;
            std::memcpy(&f, &u, sizeof f);
            return static_cast<double>(f);
        } else {
            double d;
            std::memcpy(&d, &u, sizeof d);
            return d;
        }
    } else {
        return static_cast<double>(static_cast<std::uint64_t>(u) & mask);
    }
}

/// Values stored one after another without gaps (every channel of the same kind and mask).
template <typename U, bool Swap, bool Float>
void decode_flat(const unsigned char* data, std::size_t count, std::uint64_t mask, double* out) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = load<U, Swap, Float>(data + i * sizeof(U), mask);
    }
}

/// One channel of `count` events: input every `stride` bytes, output every `out_stride` values.
template <typename U, bool Swap, bool Float>
void decode_strided(const unsigned char* data, std::size_t count, std::size_t stride, std::uint64_t mask,
                    double* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i * out_stride] = load<U, Swap, Float>(data + i * stride, mask);
    }
}

/// Integers of W bytes in little- or big-endian order, whatever the host's order.
template <std::size_t W, bool Big>
void decode_uint_n(const unsigned char* data, std::size_t count, std::size_t stride, std::uint64_t mask,
                   double* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* p = data + i * stride;
        std::uint64_t v = 0;
        for (std::size_t b = 0; b < W; ++b) {
            if constexpr (Big) {
                v = (v << 8) | p[b];
            } else {
                v |= static_cast<std::uint64_t>(p[b]) << (8 * b);
            }
        }
        out[i * out_stride] = static_cast<double>(v & mask);
    }
}

void decode_generic(const Column& column, const unsigned char* data, std::size_t count, std::size_t stride,
                    double* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* p = data + i * stride;
        std::uint64_t v = 0;
        for (std::size_t b = 0; b < column.width; ++b) {
            v |= static_cast<std::uint64_t>(p[b]) << column.shift[b];
        }
        double value;
        if (column.is_float && column.width == 4) {
            const auto u = static_cast<std::uint32_t>(v);
            float f;
            std::memcpy(&f, &u, sizeof f);
            value = static_cast<double>(f);
        } else if (column.is_float) {
            std::memcpy(&value, &v, sizeof value);
        } else {
            value = static_cast<double>(v & column.mask);
        }
        out[i * out_stride] = value;
    }
}

using StridedFn = void (*)(const unsigned char*, std::size_t, std::size_t, std::uint64_t, double*,
                           std::size_t);
using FlatFn = void (*)(const unsigned char*, std::size_t, std::uint64_t, double*);

template <bool Flat>
auto pick(const Column& column) {
    using Fn = std::conditional_t<Flat, FlatFn, StridedFn>;
    auto choose = [&](auto unsigned_type, auto as_float) -> Fn {
        using U = decltype(unsigned_type);
        constexpr bool F = decltype(as_float)::value;
        if constexpr (Flat) {
            return column.swap ? &decode_flat<U, true, F> : &decode_flat<U, false, F>;
        } else {
            return column.swap ? &decode_strided<U, true, F> : &decode_strided<U, false, F>;
        }
    };
    switch (column.kind) {
    case Kind::f32:
        return choose(std::uint32_t{}, std::true_type{});
    case Kind::f64:
        return choose(std::uint64_t{}, std::true_type{});
    case Kind::u8:
        return choose(std::uint8_t{}, std::false_type{});
    case Kind::u16:
        return choose(std::uint16_t{}, std::false_type{});
    case Kind::u32:
        return choose(std::uint32_t{}, std::false_type{});
    case Kind::u64:
        return choose(std::uint64_t{}, std::false_type{});
    case Kind::uint_n:
        if constexpr (!Flat) {
            switch (column.width) {
            case 3:
                return column.swap ? &decode_uint_n<3, true> : &decode_uint_n<3, false>;
            case 5:
                return column.swap ? &decode_uint_n<5, true> : &decode_uint_n<5, false>;
            case 6:
                return column.swap ? &decode_uint_n<6, true> : &decode_uint_n<6, false>;
            case 7:
                return column.swap ? &decode_uint_n<7, true> : &decode_uint_n<7, false>;
            default:
                break;
            }
        }
        break;
    case Kind::generic:
        break;
    }
    return Fn{nullptr};
}

} // namespace

void decode(const unsigned char* data, std::size_t num_events, std::size_t event_bytes,
            const std::vector<Column>& columns, double* out) {
    const std::size_t npar = columns.size();
    if (num_events == 0 || npar == 0) {
        return;
    }
    const Column& first = columns.front();
    const bool uniform = first.kind != Kind::generic && first.kind != Kind::uint_n &&
                         event_bytes == npar * first.width &&
                         std::all_of(columns.begin(), columns.end(), [&](const Column& c) {
                             return c.kind == first.kind && c.swap == first.swap && c.mask == first.mask;
                         });
    if (uniform) {
        pick<true>(first)(data, num_events * npar, first.mask, out);
        return;
    }
    std::vector<StridedFn> functions(npar);
    for (std::size_t c = 0; c < npar; ++c) {
        functions[c] = pick<false>(columns[c]);
    }
    // Blocks of events small enough to stay in the cache while every channel is decoded.
    const std::size_t block = std::max<std::size_t>(1, (64 * 1024) / event_bytes);
    for (std::size_t start = 0; start < num_events; start += block) {
        const std::size_t count = std::min(block, num_events - start);
        const unsigned char* events = data + start * event_bytes;
        double* rows = out + start * npar;
        for (std::size_t c = 0; c < npar; ++c) {
            if (functions[c] != nullptr) {
                functions[c](events + columns[c].offset, count, event_bytes, columns[c].mask, rows + c, npar);
            } else {
                decode_generic(columns[c], events + columns[c].offset, count, event_bytes, rows + c, npar);
            }
        }
    }
}

} // namespace pairmend::fcs::detail
