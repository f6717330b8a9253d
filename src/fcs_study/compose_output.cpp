#include "pairmend/fcs_study/compose_output.hpp"

#include "pairmend/fcs_study/event_blocks.hpp"
#include "pairmend/fcs_study/listing.hpp"
#include "pairmend/fcs_study/number_text.hpp"
#include "pairmend/fcs_study/transforms.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#ifndef PAIRMEND_VERSION
#define PAIRMEND_VERSION "unknown"
#endif

namespace pairmend::fcs_study {

namespace {

float to_float(double value, const fcs::FcsFile& file, std::size_t event, const std::string& channel) {
    if (std::isfinite(value) && std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max())) {
        std::ostringstream text;
        text << "Event " << event + 1 << " of " << file.path << " has the value " << value
             << " in the channel " << channel
             << ", beyond the range of the 32-bit numbers of the corrected file.";
        throw std::runtime_error(text.str());
    }
    return static_cast<float>(value);
}

// The program's own keywords of a file corrected before are replaced by this run's.
bool is_replaced_keyword(const std::string& name) {
    std::string upper(name);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper.rfind("PAIRMEND_", 0) == 0;
}

} // namespace

// The file's channels followed by one corrected channel per chosen one.
std::vector<fcs::Channel> corrected_channels(const fcs::FcsFile& file,
                                             const std::vector<std::size_t>& chosen) {
    std::vector<fcs::Channel> channels = file.linear_channels();
    std::set<std::string> names;
    for (const fcs::Channel& channel : file.channels) {
        names.insert(channel.name);
    }
    for (const std::size_t position : chosen) {
        const fcs::Channel& source = channels[position];
        fcs::Channel channel = source;
        // Of the detector's own keywords only the display scale ($PnD) holds for a corrected channel.
        channel.keywords.erase(std::remove_if(channel.keywords.begin(), channel.keywords.end(),
                                              [](const auto& keyword) { return keyword.first != "D"; }),
                               channel.keywords.end());
        channel.name = source.name + "_mnn";
        channel.label = (source.label.empty() ? source.name : source.label) + " (MNN)";
        if (!names.insert(channel.name).second) {
            throw std::runtime_error(
                file.path + " already has a channel named " + channel.name +
                ", the name its corrected channel " + source.name +
                " would get. Was it corrected before? Correct the original file instead.");
        }
        channels.push_back(std::move(channel));
    }
    return channels;
}

std::string settings_keyword(const EngineOptions& options) {
    std::vector<std::string> items;
    for (const auto& [name, value] : settings_text(options)) {
        items.push_back(name + "=" + value);
    }
    return joined(items, ", ");
}

fcs::FcsOutput corrected_file_layout(const fcs::FcsFile& file, const std::vector<std::size_t>& chosen,
                                     const CorrectionStamp& stamp) {
    fcs::FcsOutput output;
    output.channels = corrected_channels(file, chosen);
    output.num_events = file.num_events;
    for (const auto& keyword : fcs::descriptive_keywords(file)) {
        if (!is_replaced_keyword(keyword.first)) {
            output.keywords.push_back(keyword);
        }
    }
    std::vector<std::string> sources;
    for (const std::size_t position : chosen) {
        sources.push_back(file.channels[position].name);
    }
    output.keywords.emplace_back("PAIRMEND_PROGRAM", std::string("pairmend-fcs ") + PAIRMEND_VERSION);
    output.keywords.emplace_back("PAIRMEND_CORRECTED", joined(sources, ","));
    const std::optional<double> cofactor =
        stamp.transforms.empty() ? std::optional<double>(stamp.cofactor) : uniform_cofactor(stamp.transforms);
    if (cofactor) {
        output.keywords.emplace_back("PAIRMEND_COFACTOR", shortest_text(*cofactor));
    } else {
        output.keywords.emplace_back("PAIRMEND_TRANSFORMS", transforms_text(stamp.transforms));
    }
    if (!stamp.compensation.empty()) {
        output.keywords.emplace_back("PAIRMEND_COMPENSATION", stamp.compensation);
    }
    output.keywords.emplace_back("PAIRMEND_BATCH",
                                 std::to_string(stamp.batch_number) + " (" + stamp.batch_name + ")");
    output.keywords.emplace_back("PAIRMEND_SETTINGS", stamp.settings);
    return output;
}

void compose_corrected_events(const fcs::FcsFile& file, const fcs::FcsOutput& layout,
                              const CorrectionStamp& stamp, std::size_t first, std::size_t count,
                              const double* linear, const double* corrected, float* out, int num_threads) {
    const std::size_t width = file.channels.size();
    const std::size_t ndim = layout.channels.size() - width;
    const std::vector<model::Transform> transforms =
        prepared(stamp.transforms.empty()
                     ? std::vector<model::ChannelTransform>(ndim, model::arcsinh_transform(stamp.cofactor))
                     : stamp.transforms);
    for_each_event_block(count, num_threads, [&](std::size_t block_first, std::size_t block_count) {
        float* values = out + block_first * (width + ndim);
        for (std::size_t i = block_first; i < block_first + block_count; ++i) {
            const std::size_t e = first + i;
            const double* measured = linear + i * width;
            for (std::size_t c = 0; c < width; ++c) {
                *values++ = to_float(measured[c], file, e, file.channels[c].name);
            }
            const double* event = corrected + i * ndim;
            for (std::size_t j = 0; j < ndim; ++j) {
                const double value = transforms[j].inverse(event[j]);
                if (!std::isfinite(value)) {
                    std::ostringstream text;
                    text << "The corrected value of event " << e + 1 << " of " << file.path
                         << " in the channel " << layout.channels[width + j].name << " is " << value
                         << ", not a finite number.";
                    throw std::runtime_error(text.str());
                }
                *values++ = to_float(value, file, e, layout.channels[width + j].name);
            }
        }
    });
}

fcs::FcsOutput compose_corrected_file(const fcs::FcsFile& file, const std::vector<double>& linear,
                                      const std::vector<std::size_t>& chosen, const double* corrected,
                                      const CorrectionStamp& stamp, int num_threads) {
    fcs::FcsOutput output = corrected_file_layout(file, chosen, stamp);
    output.values.resize(file.num_events * output.channels.size());
    compose_corrected_events(file, output, stamp, 0, file.num_events, linear.data(), corrected,
                             output.values.data(), num_threads);
    return output;
}

} // namespace pairmend::fcs_study
