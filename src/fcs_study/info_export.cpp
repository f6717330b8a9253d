#include "pairmend/fcs_study/info_export.hpp"

#include "pairmend/fcs_study/channel_choice.hpp"
#include "pairmend/fcs_study/compensation.hpp"
#include "pairmend/fcs_study/listing.hpp"
#include "pairmend/fcs_study/number_text.hpp"
#include "pairmend/output_transaction.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace pairmend::fcs_study {

namespace {

std::string data_type_text(const pairmend::fcs::FcsFile& file) {
    switch (file.data_type) {
    case 'F':
        return "32-bit floating-point values";
    case 'D':
        return "64-bit floating-point values";
    default:
        break;
    }
    int low = 0;
    int high = 0;
    for (const pairmend::fcs::Channel& channel : file.channels) {
        low = low == 0 ? channel.bits : std::min(low, channel.bits);
        high = std::max(high, channel.bits);
    }
    if (low == high) {
        return std::to_string(low) + "-bit integers";
    }
    return "integers of " + std::to_string(low) + " to " + std::to_string(high) + " bits";
}

std::string scale_text(const pairmend::fcs::Channel& channel) {
    if (channel.log_decades > 0) {
        return "log, " + shortest_text(channel.log_decades) + " decades from " +
               shortest_text(channel.log_offset);
    }
    return "linear";
}

// A CSV cell: quoted, with quotes doubled, when it holds a comma, a quote or a line break.
std::string csv_cell(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

} // namespace

void describe_file(const pairmend::fcs::FcsFile& file, std::ostream& out, const TransformSheet* transforms) {
    const bool mass = is_mass_cytometry(file);
    const std::string instrument = file.instrument();
    out << file.path << "\n  " << file.version << ", " << file.num_events << " events, "
        << file.channels.size() << " channels, " << data_type_text(file) << ", instrument "
        << (instrument.empty() ? std::string("not named") : instrument) << (mass ? " (mass cytometry)" : "")
        << "\n";
    if (file.more_data_sets) {
        out << "  The file holds further data sets; only the first is read.\n";
    }
    for (const std::string& note : file.set_aside_notes) {
        out << "  " << note << "\n";
    }
    for (const std::string& keyword : file.disagreeing_keywords) {
        out << "  The primary and the supplemental TEXT give different values for " << keyword
            << "; the primary TEXT's value is used.\n";
    }
    for (const std::string& line : compensation_lines(file)) {
        out << "  " << line << "\n";
    }

    // The transforms file's transform of every channel; a fault of the file is one line.
    std::vector<std::optional<model::ChannelTransform>> given;
    if (transforms != nullptr) {
        std::vector<std::size_t> every(file.channels.size());
        for (std::size_t i = 0; i < every.size(); ++i) {
            every[i] = i;
        }
        try {
            given = given_transforms(*transforms, {file}, {every});
        } catch (const std::runtime_error& error) {
            out << "  " << error.what() << "\n";
        }
    }
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"#", "$PnN", "$PnS", "$PnR", "scale", "corrected by default"});
    if (!given.empty()) {
        rows.front().insert(rows.front().end() - 1, "transform");
    }
    for (std::size_t i = 0; i < file.channels.size(); ++i) {
        const pairmend::fcs::Channel& channel = file.channels[i];
        const std::string reason = default_exclusion_reason(channel, mass);
        rows.push_back({std::to_string(i + 1), channel.name, channel.label, channel.range_text,
                        scale_text(channel), reason.empty() ? "yes" : "no (" + reason + ")"});
        if (!given.empty()) {
            rows.back().insert(rows.back().end() - 1, given[i] ? model::transform_text(*given[i]) : "-");
        }
    }
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    for (const auto& row : rows) {
        std::string line = "  ";
        for (std::size_t c = 0; c < row.size(); ++c) {
            const bool last = c + 1 == row.size();
            // The channel number is right-aligned, the texts left-aligned.
            const std::string pad(widths[c] - row[c].size(), ' ');
            line += c == 0 ? pad + row[c] : row[c] + (last ? "" : pad);
            if (!last) {
                line += "  ";
            }
        }
        out << line << "\n";
    }
}

bool print_info(const InfoOptions& options, std::ostream& out, std::ostream& err) {
    bool all_read = true;
    bool first = true;
    const TransformSheet sheet =
        options.transforms.empty() ? TransformSheet() : read_transform_sheet(options.transforms);
    for (const std::string& path : options.files) {
        try {
            const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
            out << (first ? "" : "\n");
            describe_file(file, out, sheet.empty() ? nullptr : &sheet);
            first = false;
        } catch (const std::exception& error) {
            out.flush();
            err << "Error: " << error.what() << std::endl;
            all_read = false;
        }
    }
    out.flush();
    return all_read;
}

void export_csv(const ExportOptions& options) {
    std::error_code error;
    if (std::filesystem::equivalent(options.input, options.output, error)) {
        throw std::runtime_error("The table " + options.output + " would replace the FCS file " +
                                 options.input + ". Choose another name for the table.");
    }
    const pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(options.input);
    std::vector<double> linear = options.raw ? std::vector<double>() : file.linear_values();
    if (options.compensated) {
        // Asked for by name, the file's own matrix applies whatever the instrument.
        const pairmend::fcs::FileSpillover spillover = pairmend::fcs::file_spillover(file);
        if (!spillover.matrix) {
            throw std::runtime_error(
                "The file " + options.input +
                " carries no usable spillover matrix, so it cannot be exported " + "compensated" +
                (spillover.notes.empty()
                     ? std::string(": it has no $SPILLOVER, SPILL, $SPILL or $DFCiTOj keyword.")
                     : ". " + joined(spillover.notes, " ")) +
                " Export it without --compensated.");
        }
        pairmend::fcs::Compensator(*spillover.matrix, file).apply(file, linear);
    }
    const std::vector<double>& values = options.raw ? file.raw : linear;
    const std::size_t width = file.channels.size();

    OutputTransaction output;
    const std::string temporary = output.add(options.output);
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    std::string text;
    for (std::size_t c = 0; c < width; ++c) {
        text += (c > 0 ? "," : "") + csv_cell(file.channels[c].name);
    }
    text += '\n';
    // Written in blocks of rows, so that the text never holds the whole table.
    constexpr std::size_t block = 1 << 16;
    char number[32];
    for (std::size_t e = 0; e < file.num_events && stream; ++e) {
        const double* row = values.data() + e * width;
        for (std::size_t c = 0; c < width; ++c) {
            if (c > 0) {
                text += ',';
            }
            const std::to_chars_result result = std::to_chars(number, number + sizeof(number), row[c]);
            text.append(number, result.ptr);
        }
        text += '\n';
        if (text.size() >= block) {
            stream.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
        }
    }
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
    stream.close();
    if (!stream) {
        throw std::runtime_error("Could not write the table " + options.output +
                                 " (is the folder writable and the disk not full?).");
    }
    output.commit();
}

} // namespace pairmend::fcs_study
