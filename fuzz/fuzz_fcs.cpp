// Fuzz target: the FCS reader on arbitrary bytes, then, for what it reads, the writer and the
// reader again. A refusal must be a std::runtime_error whose message names the file; a crash, a
// sanitizer report, a leak, another exception, a read data set whose sizes disagree, or a round
// trip that does not give back the same values bit for bit is a fault.

#include "pairmend/fcs/fcs_file.hpp"

#include "scratch_file.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::uint32_t bits_of(float value) {
    std::uint32_t u;
    std::memcpy(&u, &value, sizeof u);
    return u;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name = "fuzz.fcs";
    pairmend::fcs::FcsFile file;
    try {
        file = pairmend::fcs::parse_fcs(std::string_view(reinterpret_cast<const char*>(data), size), name);
    } catch (const std::runtime_error& error) {
        if (std::string(error.what()).rfind("The file " + name + " ", 0) != 0) {
            std::abort();
        }
        return 0;
    }
    if (file.channels.empty() || file.raw.size() != file.num_events * file.channels.size() ||
        file.path != name || size < 58 || file.num_events > size) {
        std::abort();
    }
    const std::vector<double> linear = file.linear_values();
    if (linear.size() != file.raw.size()) {
        std::abort();
    }

    // Write what was read, read it back.
    pairmend::fcs::FcsOutput output;
    output.channels = file.linear_channels();
    output.keywords = pairmend::fcs::descriptive_keywords(file);
    output.num_events = file.num_events;
    output.values.assign(linear.begin(), linear.end());
    static const pairmend_fuzz::ScratchFile scratch(".fcs");
    try {
        pairmend::fcs::write_fcs(scratch.path(), output);
    } catch (const std::invalid_argument&) {
        return 0; // channels FCS 3.1 cannot hold (commas in names, the same name twice, ...)
    }
    const pairmend::fcs::FcsFile copy = pairmend::fcs::read_fcs(scratch.path());
    if (copy.num_events != output.num_events || copy.channels.size() != output.channels.size() ||
        copy.raw.size() != output.values.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < output.values.size(); ++i) {
        if (bits_of(static_cast<float>(copy.raw[i])) != bits_of(output.values[i])) {
            std::abort();
        }
    }
    for (std::size_t c = 0; c < copy.channels.size(); ++c) {
        if (copy.channels[c].name != output.channels[c].name ||
            copy.channels[c].label != output.channels[c].label) {
            std::abort();
        }
    }
    return 0;
}
