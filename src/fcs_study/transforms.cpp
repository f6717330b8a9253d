#include "pairmend/fcs_study/transforms.hpp"

#include "pairmend/fcs_study/sheet_file.hpp"

#include <charconv>
#include <cmath>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace pairmend::fcs_study {

namespace {

// The defaults of logicle's W, M and A, those of Parks, Roederer and Moore.
constexpr double logicle_defaults[] = {0.5, 4.5, 0};

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        out.push_back(word);
    }
    return out;
}

TransformLine parse_line(const std::string& where, const std::string& brief, const std::string& channel,
                         const std::string& name, const std::string& parameters) {
    TransformLine line{where, brief, channel, {}};
    if (channel.empty()) {
        throw std::runtime_error(where +
                                 " names no channel. Give each line as channel,transform,parameters.");
    }
    const std::optional<model::TransformKind> kind = model::transform_kind(name);
    if (!kind) {
        throw std::runtime_error(where + " gives the channel " + channel + " the transform \"" + name +
                                 "\", which pairmend-fcs does not know. Use arcsinh, logicle or linear.");
    }
    line.transform.kind = *kind;
    for (const std::string& word : words(parameters)) {
        double value = 0;
        const char* end = word.data() + word.size();
        const std::from_chars_result read = std::from_chars(word.data(), end, value);
        if (read.ec != std::errc() || read.ptr != end || !std::isfinite(value)) {
            throw std::runtime_error(where + " gives the parameter \"" + word + "\" for the channel " +
                                     channel + ", which is not a number.");
        }
        line.transform.parameters.push_back(value);
    }
    std::vector<double>& p = line.transform.parameters;
    if (line.transform.kind == model::TransformKind::logicle) {
        if (p.size() > 4) {
            throw std::runtime_error(where + " gives logicle " + std::to_string(p.size()) +
                                     " parameters for the channel " + channel +
                                     ", but it takes at most four: T W M A.");
        }
        const bool top_given = !p.empty();
        for (std::size_t k = p.size(); k < 4; ++k) {
            p.push_back(k == 0 ? 1 : logicle_defaults[k - 1]);
        }
        // With T left out the other bounds are checked now and T once the channel's $PnR is known.
        const std::string fault = model::transform_fault(line.transform);
        if (!top_given) {
            p[0] = 0;
        }
        if (!fault.empty()) {
            throw std::runtime_error(where + " gives the channel " + channel +
                                     " parameters that cannot be used: " + fault + ".");
        }
        return line;
    }
    if (line.transform.kind == model::TransformKind::arcsinh && p.empty()) {
        throw std::runtime_error(
            where + " gives the channel " + channel +
            " arcsinh without its cofactor. Give the cofactor, for example arcsinh 150.");
    }
    const std::string fault = model::transform_fault(line.transform);
    if (!fault.empty()) {
        throw std::runtime_error(where + " gives the channel " + channel +
                                 " parameters that cannot be used: " + fault + ".");
    }
    return line;
}

void add_line(TransformSheet& sheet, TransformLine line) {
    for (const TransformLine& earlier : sheet.lines) {
        if (earlier.channel == line.channel) {
            throw std::runtime_error(line.where + " names the channel " + line.channel + " again (" +
                                     earlier.brief + " names it already). Give each channel one transform.");
        }
    }
    sheet.lines.push_back(std::move(line));
}

bool names_channel(const fcs::Channel& channel, const std::string& name, const ChannelMap& map) {
    return channel.name == name || (!channel.label.empty() && channel.label == name) ||
           (!map.empty() && map.common_name(channel) == map.canonical(name));
}

} // namespace

TransformSheet read_transform_sheet(const std::string& path) {
    const SheetFile file = read_sheet_file(path, "transforms file");
    TransformSheet sheet;
    sheet.source = path;
    for (const SheetLine& line : file.lines) {
        const std::string where = "Line " + std::to_string(line.number) + " of the transforms file " + path;
        if (line.cells.size() < 2 || line.cells.size() > 3) {
            throw std::runtime_error(
                where + " reads \"" + line.text +
                "\", but every line after the header must be channel,transform,parameters.");
        }
        add_line(sheet, parse_line(where, "line " + std::to_string(line.number), line.cells[0], line.cells[1],
                                   line.cells.size() == 3 ? line.cells[2] : ""));
    }
    if (sheet.lines.empty()) {
        throw std::runtime_error("The transforms file " + path +
                                 " names no channels: it must hold a header line, then one line "
                                 "\"channel,transform,parameters\" per channel.");
    }
    return sheet;
}

TransformSheet transform_pairs(const std::vector<std::pair<std::string, std::string>>& pairs,
                               const std::string& source) {
    TransformSheet sheet;
    sheet.source = source;
    for (const auto& [channel, text] : pairs) {
        const std::vector<std::string> parts = words(text);
        const std::string rest =
            parts.empty() ? std::string() : text.substr(text.find(parts[0]) + parts[0].size());
        add_line(sheet,
                 parse_line("The transform of " + channel + " in " + source, "the transform of " + channel,
                            channel, parts.empty() ? std::string() : parts[0], rest));
    }
    return sheet;
}

std::vector<std::optional<model::ChannelTransform>>
given_transforms(const TransformSheet& sheet, const std::vector<fcs::FcsFile>& files,
                 const std::vector<std::vector<std::size_t>>& chosen, const ChannelMap& map) {
    const std::size_t ndim = chosen.empty() ? 0 : chosen.front().size();
    std::vector<std::optional<model::ChannelTransform>> given(ndim);
    std::vector<const TransformLine*> given_by(ndim, nullptr);
    for (const TransformLine& line : sheet.lines) {
        bool found = false;
        for (std::size_t f = 0; f < files.size(); ++f) {
            const fcs::FcsFile& file = files[f];
            std::optional<std::size_t> applies;
            for (std::size_t i = 0; i < file.channels.size(); ++i) {
                if (!names_channel(file.channels[i], line.channel, map)) {
                    continue;
                }
                found = true;
                for (std::size_t j = 0; j < ndim; ++j) {
                    if (chosen[f][j] != i || applies == j) {
                        continue;
                    }
                    if (applies) {
                        throw std::runtime_error(
                            line.where + " names " + line.channel + ", which is the name of " +
                            file.channels[chosen[f][*applies]].name + " and of " + file.channels[i].name +
                            " in " + file.path + ". Name each channel by its $PnN.");
                    }
                    applies = j;
                }
            }
            if (!applies) {
                continue;
            }
            const std::size_t j = *applies;
            if (given_by[j] != nullptr && given_by[j] != &line) {
                throw std::runtime_error(line.where + " and " + given_by[j]->brief +
                                         " both give a transform for the channel " +
                                         file.channels[chosen[f][j]].name + " of " + file.path +
                                         ". Give each channel one transform.");
            }
            if (given_by[j] == nullptr) {
                given_by[j] = &line;
                model::ChannelTransform transform = line.transform;
                if (transform.kind == model::TransformKind::logicle && transform.parameters[0] == 0) {
                    const fcs::Channel& channel = files.front().channels[chosen.front()[j]];
                    if (!(channel.range > 0) || !std::isfinite(channel.range)) {
                        throw std::runtime_error(
                            line.where + " leaves out logicle's T for the channel " + channel.name +
                            ", but " + files.front().path +
                            " gives it no positive range ($PnR). Give T, the largest value of "
                            "the scale.");
                    }
                    transform.parameters[0] = channel.range;
                    const std::string fault = model::transform_fault(transform);
                    if (!fault.empty()) {
                        throw std::runtime_error(
                            line.where + " gives the channel " + channel.name +
                            " parameters that cannot be used with its $PnR as T: " + fault + ".");
                    }
                }
                given[j] = std::move(transform);
            }
        }
        if (!found) {
            throw std::runtime_error(
                line.where + " names the channel " + line.channel +
                ", which none of the files has (as $PnN, $PnS" +
                (map.empty() ? std::string() : " or a common name of the channel-name sheet") +
                "). Correct the name or remove the line.");
        }
    }
    return given;
}

void transform_file_values(const TransformSheet& sheet, const fcs::FcsFile& file,
                           std::vector<double>& values) {
    if (sheet.empty()) {
        return;
    }
    const std::size_t width = file.channels.size();
    std::vector<std::size_t> every(width);
    for (std::size_t c = 0; c < width; ++c) {
        every[c] = c;
    }
    const std::vector<std::optional<model::ChannelTransform>> given =
        given_transforms(sheet, {file}, {every});
    for (std::size_t c = 0; c < width; ++c) {
        if (!given[c]) {
            continue;
        }
        const model::Transform transform(*given[c]);
        for (std::size_t e = 0; e < file.num_events; ++e) {
            values[e * width + c] = transform.forward(values[e * width + c]);
        }
    }
}

std::optional<double> uniform_cofactor(const std::vector<model::ChannelTransform>& transforms) {
    if (transforms.empty()) {
        return std::nullopt;
    }
    for (const model::ChannelTransform& transform : transforms) {
        if (transform.kind != model::TransformKind::arcsinh ||
            transform.parameters != transforms.front().parameters) {
            return std::nullopt;
        }
    }
    return transforms.front().parameters.front();
}

std::vector<model::Transform> prepared(const std::vector<model::ChannelTransform>& transforms) {
    std::vector<model::Transform> out;
    out.reserve(transforms.size());
    for (const model::ChannelTransform& transform : transforms) {
        out.emplace_back(transform);
    }
    return out;
}

std::string transforms_text(const std::vector<model::ChannelTransform>& transforms) {
    std::string text;
    for (const model::ChannelTransform& transform : transforms) {
        text += (text.empty() ? "" : "; ") + model::transform_text(transform);
    }
    return text;
}

} // namespace pairmend::fcs_study
