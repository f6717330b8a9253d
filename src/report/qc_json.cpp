#include "pairmend/report/qc_json.hpp"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <vector>

namespace pairmend::report {

namespace {

/// Writes indented JSON: objects one member per line, arrays of numbers on one line.
class JsonText {
public:
    void open(char bracket) {
        out_ << bracket;
        first_.push_back(true);
    }
    void close(char bracket, bool multiline) {
        const bool empty = first_.back();
        first_.pop_back();
        if (multiline && !empty) {
            newline();
        }
        out_ << bracket;
    }
    /// Starts a member of the current object on its own line.
    void key(std::string_view name) {
        separate(true);
        out_ << json_string(name) << ": ";
    }
    /// Starts an element of the current array, on its own line or inline.
    void element(bool own_line) { separate(own_line); }
    void raw(const std::string& text) { out_ << text; }
    std::string text() const { return out_.str() + "\n"; }

private:
    void separate(bool own_line) {
        if (!first_.back()) {
            out_ << (own_line ? "," : ", ");
        }
        first_.back() = false;
        if (own_line) {
            newline();
        }
    }
    void newline() { out_ << '\n' << std::string(2 * first_.size(), ' '); }

    std::ostringstream out_;
    std::vector<bool> first_;
};

void number_array(JsonText& json, const std::vector<double>& values) {
    json.open('[');
    for (const double v : values) {
        json.element(false);
        json.raw(json_number(v));
    }
    json.close(']', false);
}

std::string count(std::size_t value) {
    return std::to_string(value);
}

} // namespace

std::string json_number(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char buffer[64];
    const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof(buffer), value + 0.0);
    return std::string(buffer, result.ptr);
}

std::string json_string(std::string_view text) {
    static const char* const hex = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string qc_json_path(const std::string& report_path) {
    std::filesystem::path path(report_path);
    if (path.extension() == ".json") {
        return report_path + ".json";
    }
    path.replace_extension(".json");
    return path.string();
}

std::string render_qc_json(const QcReportInput& input, const QcSummary& summary) {
    JsonText json;
    json.open('{');
    json.key("run_id");
    json.raw(json_string(input.run_id));
    json.key("input_file");
    json.raw(json_string(input.input_file));
    json.key("events");
    json.raw(count(input.nobs));
    json.key("sampled_events");
    json.raw(count(summary.sampled_events));
    json.key("neighbour_events");
    json.raw(count(summary.neighbour_events));

    json.key("parameters");
    json.open('[');
    for (const ParameterSummary& parameter : summary.parameters) {
        json.element(false);
        json.raw(json_string(parameter.name));
    }
    json.close(']', false);

    json.key("settings");
    json.open('{');
    for (const auto& setting : input.settings) {
        json.key(setting.first);
        json.raw(json_string(setting.second));
    }
    json.close('}', true);

    json.key("merge_order");
    json.open('[');
    for (const MergeStepSummary& step : summary.merge_steps) {
        json.element(true);
        json.raw("{\"label\": " + std::to_string(step.label) +
                 ", \"pairs\": " + (step.is_reference ? std::string("null") : std::to_string(step.pairs)) +
                 ", \"events\": " + count(step.events) +
                 ", \"few_pairs\": " + (step.few_pairs ? "true" : "false") + "}");
    }
    json.close(']', true);

    json.key("mixing");
    json.open('{');
    json.key("neighbours");
    json.raw(std::to_string(summary.mixing_neighbours));
    json.key("before");
    json.raw(json_number(summary.mixing_before));
    json.key("after");
    json.raw(json_number(summary.mixing_after));
    json.close('}', true);

    json.key("structure_neighbours");
    json.raw(std::to_string(summary.structure_neighbours));
    json.key("displacement_unit");
    json.raw(json_number(summary.displacement_unit));
    json.key("floor_warning_ratio");
    json.raw(json_number(summary.floor_warning_ratio));

    const NoiseFloorSummary& floor = summary.noise_floor;
    json.key("noise_floor");
    json.open('{');
    json.key("label");
    json.raw(summary.has_reference ? std::to_string(floor.label) : "null");
    json.key("displacement");
    json.raw(floor.computed ? json_number(floor.displacement) : "null");
    json.key("reference_events");
    json.raw(count(floor.reference));
    json.key("moved_events");
    json.raw(count(floor.moved));
    json.key("note");
    json.raw(floor.computed ? "null" : json_string(floor.reason));
    json.close('}', true);

    json.key("distance_overview");
    json.open('[');
    for (const ParameterSummary& parameter : summary.parameters) {
        double before = 0;
        double after = 0;
        std::size_t count_before = 0;
        std::size_t count_after = 0;
        for (std::size_t b = 0; b < parameter.distance_before.size(); ++b) {
            if (std::isfinite(parameter.distance_before[b])) {
                before += parameter.distance_before[b];
                ++count_before;
            }
            if (std::isfinite(parameter.distance_after[b])) {
                after += parameter.distance_after[b];
                ++count_after;
            }
        }
        json.element(true);
        json.raw("{\"parameter\": " + json_string(parameter.name) + ", \"emd_before\": " +
                 json_number(count_before > 0 ? before / static_cast<double>(count_before) : std::nan("")) +
                 ", \"emd_after\": " +
                 json_number(count_after > 0 ? after / static_cast<double>(count_after) : std::nan("")) +
                 ", \"non_finite\": " + count(parameter.non_finite) + "}");
    }
    json.close(']', true);

    json.key("principal_components");
    json.open('{');
    json.key("variance_share");
    number_array(json, summary.view.variance_share);
    json.key("loadings");
    json.open('[');
    const std::size_t width = summary.parameters.size();
    for (std::size_t c = 0; width > 0 && c < summary.view.loadings.size() / width; ++c) {
        json.element(true);
        number_array(json, std::vector<double>(
                               summary.view.loadings.begin() + static_cast<std::ptrdiff_t>(c * width),
                               summary.view.loadings.begin() + static_cast<std::ptrdiff_t>((c + 1) * width)));
    }
    json.close(']', true);
    json.close('}', true);

    json.key("batches");
    json.open('[');
    for (std::size_t b = 0; b < summary.batches.size(); ++b) {
        const BatchSummary& batch = summary.batches[b];
        json.element(true);
        json.open('{');
        json.key("label");
        json.raw(std::to_string(batch.label));
        json.key("events");
        json.raw(count(batch.events));
        json.key("sampled");
        json.raw(count(batch.sampled));
        json.key("first_reference");
        json.raw(batch.is_reference ? "true" : "false");
        json.key("mixing_before");
        json.raw(json_number(batch.mixing_before));
        json.key("mixing_after");
        json.raw(json_number(batch.mixing_after));
        json.key("structure_kept");
        json.raw(json_number(batch.structure_kept));
        json.key("displacement");
        json.raw(json_number(batch.displacement));
        json.key("displacement_to_floor");
        json.raw(json_number(batch.displacement_to_floor));
        json.key("near_noise_floor");
        json.raw(batch.near_floor ? "true" : "false");
        std::vector<double> before;
        std::vector<double> after;
        for (const ParameterSummary& parameter : summary.parameters) {
            before.push_back(parameter.distance_before[b]);
            after.push_back(parameter.distance_after[b]);
        }
        json.key("emd_before");
        number_array(json, before);
        json.key("emd_after");
        number_array(json, after);
        json.close('}', true);
    }
    json.close(']', true);
    json.close('}', true);
    return json.text();
}

} // namespace pairmend::report
