#include "pairmend/report/qc_json.hpp"

#include "pairmend/report/condition_figures.hpp"

#include "pairmend/report/qc_statistics.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <optional>
#include <type_traits>
#include <vector>

namespace pairmend::report {

namespace {

/**
 * RapidJSON's writer with the report's layout: a container either puts every element (or member)
 * on its own line, indented two spaces per level, or keeps them on one line, ", " apart. Texts
 * and doubles are written as json_string and json_number write them, which RapidJSON would write
 * differently (it escapes "\n" rather than "\u000a", and prints 1 as "1.0" and 1e-07 as "1e-7");
 * integers, booleans, null and the brackets are RapidJSON's own.
 */
class ReportJsonWriter : private rapidjson::Writer<rapidjson::StringBuffer> {
    using Base = rapidjson::Writer<rapidjson::StringBuffer>;

public:
    enum class Layout { lines, one_line };

    explicit ReportJsonWriter(rapidjson::StringBuffer& out) : Base(out) {}

    void start_object(Layout layout = Layout::lines) {
        prefix();
        open(false, layout);
        Base::WriteStartObject();
    }
    void end_object() {
        close();
        Base::EndValue(Base::WriteEndObject());
    }
    void start_array(Layout layout) {
        prefix();
        open(true, layout);
        Base::WriteStartArray();
    }
    void end_array() {
        close();
        Base::EndValue(Base::WriteEndArray());
    }

    void key(std::string_view name) { value(name); }
    void value(std::string_view text) { raw(json_string(text)); }
    void value(double number) { raw(json_number(number)); }
    void value(int number) {
        prefix();
        Base::WriteInt(number);
    }
    template <typename T, std::enable_if_t<std::is_unsigned_v<T> && !std::is_same_v<T, bool>, int> = 0>
    void value(T count) {
        prefix();
        Base::WriteUint64(count);
    }
    void value(bool flag) {
        prefix();
        Base::WriteBool(flag);
    }
    template <typename T>
    void value(const std::optional<T>& present) {
        if (present) {
            value(*present);
        } else {
            prefix();
            Base::WriteNull();
        }
    }
    void value(const char*) = delete; // would be taken as a bool

    template <typename T>
    void member(std::string_view name, const T& content) {
        key(name);
        value(content);
    }

    /// The values as one array on one line.
    template <typename Values>
    void array(const Values& values) {
        start_array(Layout::one_line);
        for (const auto& v : values) {
            value(v);
        }
        end_array();
    }

    /// A member `name` holding an array of one-line objects, one per item, whose members
    /// `write_members(item)` writes.
    template <typename Items, typename WriteMembers>
    void table(std::string_view name, const Items& items, WriteMembers write_members) {
        key(name);
        start_array(Layout::lines);
        for (const auto& item : items) {
            start_object(Layout::one_line);
            write_members(item);
            end_object();
        }
        end_array();
    }

private:
    void raw(const std::string& json) {
        prefix();
        Base::WriteRawValue(json.data(), json.size());
    }

    std::size_t depth() const { return Base::level_stack_.GetSize() / sizeof(Base::Level); }

    void newline() {
        Base::os_->Put('\n');
        rapidjson::PutN(*Base::os_, ' ', 2 * depth());
    }

    /// Separates a value from the one before it: ",", a line break, or ": " after a member's name.
    void prefix() {
        if (Base::level_stack_.Empty()) {
            Base::hasRoot_ = true;
            return;
        }
        Base::Level& level = *Base::level_stack_.template Top<Base::Level>();
        const bool after_key = !level.inArray && level.valueCount % 2 == 1;
        if (after_key) {
            Base::os_->Put(':');
            Base::os_->Put(' ');
        } else {
            if (level.valueCount > 0) {
                Base::os_->Put(',');
            }
            if (!one_line_.back()) {
                newline();
            } else if (level.valueCount > 0) {
                Base::os_->Put(' ');
            }
        }
        ++level.valueCount;
    }

    void open(bool in_array, Layout layout) {
        new (Base::level_stack_.template Push<Base::Level>()) Base::Level(in_array);
        one_line_.push_back(layout == Layout::one_line);
    }

    /// Ends the innermost container; a non-empty one of lines ends on a line of its own.
    void close() {
        const bool empty = Base::level_stack_.template Pop<Base::Level>(1)->valueCount == 0;
        const bool lines = !one_line_.back();
        one_line_.pop_back();
        if (lines && !empty) {
            newline();
        }
    }

    std::vector<bool> one_line_; ///< per open container, whether it keeps its elements on one line.
};

using Layout = ReportJsonWriter::Layout;

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
    rapidjson::StringBuffer out;
    ReportJsonWriter json(out);
    json.start_object();
    json.member("run_id", input.run_id);
    json.member("input_file", input.input_file);
    json.member("events", input.nobs);
    json.member("sampled_events", summary.sampled_events);
    json.member("neighbour_events", summary.neighbour_events);

    std::vector<std::string> names;
    for (const ParameterSummary& parameter : summary.parameters) {
        names.push_back(parameter.name);
    }
    json.key("parameters");
    json.array(names);

    json.key("settings");
    json.start_object();
    for (const auto& setting : input.settings) {
        json.member(setting.first, setting.second);
    }
    json.end_object();

    json.table("merge_order", summary.merge_steps, [&](const MergeStepSummary& step) {
        json.member("label", step.label);
        json.member("pairs", step.is_reference ? std::nullopt : std::optional<int>(step.pairs));
        json.member("events", step.events);
        json.member("few_pairs", step.few_pairs);
    });

    json.key("mixing");
    json.start_object();
    json.member("neighbours", summary.mixing_neighbours);
    json.member("before", summary.mixing_before);
    json.member("after", summary.mixing_after);
    json.end_object();

    json.member("structure_neighbours", summary.structure_neighbours);
    json.member("displacement_unit", summary.displacement_unit);
    json.member("floor_warning_ratio", summary.floor_warning_ratio);

    const NoiseFloorSummary& floor = summary.noise_floor;
    json.key("noise_floor");
    json.start_object();
    json.member("label", summary.has_reference ? std::optional<int>(floor.label) : std::nullopt);
    json.member("displacement", floor.computed ? std::optional<double>(floor.displacement) : std::nullopt);
    json.member("reference_events", floor.reference);
    json.member("moved_events", floor.moved);
    json.member("note", floor.computed ? std::nullopt : std::optional<std::string>(floor.reason));
    json.end_object();

    json.table("distance_overview", summary.parameters, [&](const ParameterSummary& parameter) {
        json.member("parameter", parameter.name);
        json.member("emd_before", finite_mean(parameter.distance_before));
        json.member("emd_after", finite_mean(parameter.distance_after));
        json.member("non_finite", parameter.non_finite);
        json.member("further_apart", parameter.further_apart);
    });

    const MarkerPairSummary& pair = summary.marker_pair;
    json.key("marker_pair");
    if (!pair.shown) {
        json.value(std::optional<double>());
    } else {
        json.start_object();
        json.key("parameters");
        json.array(std::vector<std::string>{summary.parameters[static_cast<std::size_t>(pair.first)].name,
                                            summary.parameters[static_cast<std::size_t>(pair.second)].name});
        json.member("bins", pair.bins);
        json.key("x_range");
        json.array(std::vector<double>{pair.x_min, pair.x_max});
        json.key("y_range");
        json.array(std::vector<double>{pair.y_min, pair.y_max});
        json.key("batches");
        json.start_array(Layout::lines);
        for (std::size_t b = 0; b < summary.batches.size(); ++b) {
            json.start_object(Layout::one_line);
            json.member("label", summary.batches[b].label);
            json.key("before");
            json.array(pair.before[b]);
            json.key("after");
            json.array(pair.after[b]);
            json.end_object();
        }
        json.end_array();
        json.end_object();
    }

    json.key("principal_components");
    json.start_object();
    json.key("variance_share");
    json.array(summary.view.variance_share);
    json.key("loadings");
    json.start_array(Layout::lines);
    const std::size_t width = summary.parameters.size();
    for (std::size_t c = 0; width > 0 && c < summary.view.loadings.size() / width; ++c) {
        const auto first = summary.view.loadings.begin() + static_cast<std::ptrdiff_t>(c * width);
        json.array(std::vector<double>(first, first + static_cast<std::ptrdiff_t>(width)));
    }
    json.end_array();
    json.end_object();

    json.key("batches");
    json.start_array(Layout::lines);
    for (std::size_t b = 0; b < summary.batches.size(); ++b) {
        const BatchSummary& batch = summary.batches[b];
        json.start_object();
        json.member("label", batch.label);
        json.member("events", batch.events);
        json.member("sampled", batch.sampled);
        json.member("first_reference", batch.is_reference);
        json.member("mixing_before", batch.mixing_before);
        json.member("mixing_after", batch.mixing_after);
        json.member("structure_kept", batch.structure_kept);
        json.member("displacement", batch.displacement);
        json.member("displacement_to_floor", batch.displacement_to_floor);
        json.member("near_noise_floor", batch.near_floor);
        std::vector<double> before;
        std::vector<double> after;
        for (const ParameterSummary& parameter : summary.parameters) {
            before.push_back(parameter.distance_before[b]);
            after.push_back(parameter.distance_after[b]);
        }
        json.key("emd_before");
        json.array(before);
        json.key("emd_after");
        json.array(after);
        json.end_object();
    }
    json.end_array();
    if (input.conditions != nullptr && !input.condition_names.empty()) {
        const ConditionFigures figures = condition_figures(input);
        json.key("design");
        json.start_object();
        json.key("conditions");
        json.array(figures.conditions);
        json.key("events");
        json.start_array(Layout::lines);
        for (std::size_t b = 0; b < figures.batches.size(); ++b) {
            json.start_object(Layout::one_line);
            json.member("label", figures.batches[b]);
            json.key("events");
            json.array(figures.events[b]);
            json.end_object();
        }
        json.end_array();
        json.end_object();
        json.table("conditions", figures.shared, [&](const ConditionDistance& condition) {
            json.member("name", condition.name);
            json.key("batches");
            json.array(condition.batches);
            json.member("emd_before", condition.emd_before);
            json.member("emd_after", condition.emd_after);
            json.member("moved_apart", condition.moved_apart);
        });
        json.table("biology_kept", figures.biology, [&](const BiologyKept& batch) {
            json.member("label", batch.batch);
            json.member("kept", batch.kept);
        });
    }
    json.end_object();
    return std::string(out.GetString(), out.GetSize()) + "\n";
}

} // namespace pairmend::report
