// Fuzz target: reading an input table and turning it into the engine's input, as run_mnn
// does before the engine starts. Any std::exception is an accepted answer to a bad table; a
// crash, a sanitizer report, a leak or a prepared input that breaks the engine's
// expectations is a fault.

#include "mnn_io.hpp"

#include "scratch_file.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <vector>

namespace {

// The promises the engine relies on: matching sizes, finite values, at least two batches
// numbered densely from 0, each with its label, labels ascending.
void check_prepared(const pairmend::MnnInput& input) {
    const std::size_t nobs = static_cast<std::size_t>(input.nobs);
    const std::size_t ndim = static_cast<std::size_t>(input.ndim);
    if (input.nobs < 1 || input.ndim < 1 || input.data.size() != nobs * ndim ||
        input.eventNumbers.size() != nobs || input.batches.size() != nobs) {
        std::abort();
    }
    if (!std::all_of(input.data.begin(), input.data.end(),
                     [](double value) { return std::isfinite(value); })) {
        std::abort();
    }
    const std::size_t nbatches = input.batchLabels.size();
    if (nbatches < 2 || !std::is_sorted(input.batchLabels.begin(), input.batchLabels.end()) ||
        std::adjacent_find(input.batchLabels.begin(), input.batchLabels.end()) != input.batchLabels.end()) {
        std::abort();
    }
    std::vector<bool> used(nbatches, false);
    for (const int batch : input.batches) {
        if (batch < 0 || static_cast<std::size_t>(batch) >= nbatches) {
            std::abort();
        }
        used[static_cast<std::size_t>(batch)] = true;
    }
    if (!std::all_of(used.begin(), used.end(), [](bool value) { return value; })) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const pairmend_fuzz::ScratchFile table(".csv");
    table.write(data, size);
    try {
        check_prepared(pairmend::read_mnn_input(table.path()));
    } catch (const std::exception&) {
        // Every refusal of a bad table is an exception; that is the accepted outcome.
    }
    return 0;
}
