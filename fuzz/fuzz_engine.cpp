// Fuzz target: one small correction run on fuzzed numbers and options. A handful of events
// with 1 to 3 values each in 2 or 3 batches, exact or approximate search, any k and any
// option values, in the automatic order, the id order or a fuzzed merge order. Any
// std::exception is an accepted answer; a crash, a hang, a sanitizer report or a leak is a fault.

#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/ReferencePolicy.hpp"

#include "byte_reader.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <vector>

namespace {

// Values as a table can hold them: finite, sometimes tied on a coarse grid, sometimes of any
// magnitude (a table may hold 1e308, and differences of such values overflow).
double fuzzed_value(pairmend_fuzz::ByteReader& bytes, int style) {
    switch (style) {
    case 0:
        return bytes.small(0, 7) * 0.5;
    case 1: {
        const double value = bytes.any_double();
        return std::isfinite(value) ? value : 0.0;
    }
    default:
        return static_cast<double>(static_cast<std::int16_t>(bytes.bits(2))) / 64.0;
    }
}

// Options anywhere in their type's range, but mostly where runs do real work.
int fuzzed_count(pairmend_fuzz::ByteReader& bytes, int low, int high) {
    return bytes.small(0, 7) == 0 ? bytes.any_int() : bytes.small(low, high);
}

double fuzzed_real(pairmend_fuzz::ByteReader& bytes, double typical) {
    return bytes.small(0, 3) == 0 ? bytes.any_double() : typical * bytes.small(0, 8) * 0.25;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pairmend_fuzz::ByteReader bytes(data, size);

    mnncorrect::Options options;
    options.approximate = bytes.flag();
    options.automatic_order = bytes.flag();
    options.reference_policy = static_cast<mnncorrect::ReferencePolicy>(bytes.small(0, 3));
    options.num_neighbors = fuzzed_count(bytes, -1, 12);
    options.num_mads = fuzzed_real(bytes, 3.0);
    options.robust_iterations = fuzzed_count(bytes, -1, 4);
    options.robust_trim = fuzzed_real(bytes, 0.25);
    options.observation_cap =
        bytes.flag() ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(bytes.bits(1));
    options.num_threads = bytes.small(0, 3);
    const mnncorrect::MnnCorrect<int, double> engine(options);

    const int ndim = bytes.small(1, 3);
    const int nbatches = bytes.small(2, 3);
    const std::size_t nobs = static_cast<std::size_t>(bytes.small(0, 24));
    const int style = bytes.small(0, 2);
    const int order_kind = bytes.small(0, 2);

    // Batch ids come first so that every input decides the layout before the values.
    std::vector<int> batches(nobs);
    for (int& batch : batches) {
        batch = bytes.small(0, nbatches - 1);
    }
    std::vector<int> order(static_cast<std::size_t>(nbatches));
    for (int& id : order) {
        id = bytes.small(-1, nbatches);
    }
    std::vector<double> values(nobs * static_cast<std::size_t>(ndim));
    for (double& value : values) {
        value = fuzzed_value(bytes, style);
    }
    std::vector<double> output(values.size());

    // The merge order must name every batch id in use; the largest id in use decides how many.
    int used_batches = 0;
    for (const int batch : batches) {
        used_batches = std::max(used_batches, batch + 1);
    }
    order.resize(static_cast<std::size_t>(std::max(used_batches, 0)));
    const int* merge_order = order_kind == 0 ? order.data() : nullptr;

    try {
        engine.run(ndim, nobs, values.data(), batches.data(), output.data(), merge_order);
    } catch (const std::exception&) {
        return 0;
    }
    return 0;
}
