// pairmend._core: the correction engine for Python, with the program's own checks, batch-label
// numbering and messages. The package pairmend (python/pairmend) turns the caller's array-likes
// into what these functions take and wraps their results; call them through it.

#include "pairmend/batch_labels.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/messages.hpp"
#include "pairmend/model/apply.hpp"
#include "pairmend/model/correct.hpp"
#include "pairmend/model/extend.hpp"
#include "pairmend/model/fit.hpp"
#include "pairmend/model/model_file.hpp"
#include "pairmend/output_transaction.hpp"

#include "python_interrupt.hpp"
#include "study_binding.hpp"

#ifdef PAIRMEND_PYTHON_FCS
#include "fcs_apply_binding.hpp"
#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs_study/compensation.hpp"
#include "pairmend/fcs_study/transforms.hpp"
#endif

#include <omp.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace py = pybind11;

namespace {

// The engine's settings by their keywords (the job file's keys).
py::dict settings_dict(const pairmend::EngineOptions& options) {
    py::dict values;
    for (const pairmend::SettingInfo& setting : pairmend::engine_settings()) {
        std::visit([&](const auto& value) { values[setting.key] = value; },
                   pairmend::setting_value(setting, options));
    }
    return values;
}

// The engine's settings from a dict by keyword, each a Python value of its setting's kind (the
// package has checked the kinds).
pairmend::EngineOptions engine_options(const py::dict& settings) {
    return pairmend::engine_options_of([&](const pairmend::SettingInfo& setting) -> pairmend::SettingValue {
        const py::object value = settings[setting.key];
        switch (setting.kind) {
        case pairmend::SettingKind::whole_number:
            return value.cast<int>();
        case pairmend::SettingKind::number:
            return value.cast<double>();
        case pairmend::SettingKind::flag:
            return value.cast<bool>();
        case pairmend::SettingKind::policy:
            break;
        }
        return value.cast<std::string>();
    });
}

// Where a value sits, for the non-finite message: counted from 1 as the program counts, and
// the NumPy index beside it.
std::string value_place(std::size_t row, std::size_t column) {
    std::ostringstream text;
    text << "in row " << row + 1 << ", column " << column + 1 << " of the data (data[" << row << ", "
         << column << "])";
    return text.str();
}

// Copies the values into the engine's layout, event after event, whatever the array's strides,
// and refuses a value that is infinite or not a number as the program refuses it in a table.
template <typename T>
std::vector<double> event_matrix(const py::array& data) {
    const auto values = data.unchecked<T, 2>();
    const auto nobs = static_cast<std::size_t>(values.shape(0));
    const auto ndim = static_cast<std::size_t>(values.shape(1));
    std::vector<double> matrix(nobs * ndim);
    for (std::size_t i = 0; i < nobs; ++i) {
        for (std::size_t j = 0; j < ndim; ++j) {
            const auto value =
                static_cast<double>(values(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(j)));
            if (!std::isfinite(value)) {
                std::ostringstream text;
                text << value;
                throw std::runtime_error(pairmend::non_finite_value_message(text.str(), value_place(i, j)));
            }
            matrix[i * ndim + j] = value;
        }
    }
    return matrix;
}

// As number_batch_labels, which a correction needs; with `at_least_two` false one label is enough,
// as the events to correct with a model or to add to it may all be of one batch.
template <typename Label>
std::vector<Label> number_labels(const Label* labels, std::size_t count, int* batches, bool at_least_two) {
    const bool one_label = count > 0 && std::all_of(labels, labels + count,
                                                    [&](const Label& label) { return label == labels[0]; });
    if (!at_least_two && (count == 0 || one_label)) {
        std::fill(batches, batches + count, 0);
        return count == 0 ? std::vector<Label>() : std::vector<Label>{labels[0]};
    }
    return pairmend::number_batch_labels(labels, count, batches);
}

// The batch labels of the events, integers or texts, numbered as the program numbers its labels.
class BatchLabels {
public:
    // `labels` is a one-dimensional int64 array or a list of str, one per event. Fewer than two
    // distinct labels are refused unless `at_least_two` is false.
    BatchLabels(const py::object& labels, std::size_t nobs, bool at_least_two = true,
                const std::string& what = "batch") {
        if (py::isinstance<py::array_t<std::int64_t>>(labels)) {
            const auto array = labels.cast<py::array_t<std::int64_t, py::array::c_style>>();
            check_count(static_cast<std::size_t>(array.size()), nobs, what);
            batches_.resize(nobs);
            integers_ = number_labels(array.data(), nobs, batches_.data(), at_least_two);
        } else {
            const auto texts = labels.cast<std::vector<std::string>>();
            check_count(texts.size(), nobs, what);
            batches_.resize(nobs);
            texts_ = number_labels(texts.data(), nobs, batches_.data(), at_least_two);
        }
    }

    // The batch number (0 to k-1) of every event.
    const std::vector<int>& batches() const { return batches_; }

    // The label of batch number `batch` as Python gave it.
    py::object label(int batch) const {
        const auto b = static_cast<std::size_t>(batch);
        if (texts_.empty()) {
            return py::int_(integers_.at(b));
        }
        return py::str(texts_.at(b));
    }

    // The label of batch number `batch` as messages write it.
    std::string label_text(int batch) const {
        const auto b = static_cast<std::size_t>(batch);
        return texts_.empty() ? std::to_string(integers_.at(b)) : texts_.at(b);
    }

    // The label of every batch number as text, in number order: the batch names of a model.
    std::vector<std::string> names() const {
        std::vector<std::string> all;
        for (std::size_t b = 0; b < std::max(texts_.size(), integers_.size()); ++b) {
            all.push_back(label_text(static_cast<int>(b)));
        }
        return all;
    }

private:
    static void check_count(std::size_t count, std::size_t nobs, const std::string& what) {
        if (count != nobs) {
            std::ostringstream text;
            text << what << " holds " << count << " labels, but the data has " << nobs
                 << " events (rows); give one " << what << " label per event.";
            throw std::runtime_error(text.str());
        }
    }

    std::vector<int> batches_;
    std::vector<std::int64_t> integers_;
    std::vector<std::string> texts_;
};

// The conditions of the events, when given (`condition` is not None): numbered as batch labels are,
// one label per event, a single condition allowed.
struct EventConditions {
    std::vector<std::string> names;
    std::vector<int> ids;

    EventConditions(const py::object& condition, std::size_t nobs) {
        if (condition.is_none()) {
            return;
        }
        const BatchLabels labels(condition, nobs, false, "condition");
        names = labels.names();
        ids = labels.batches();
    }

    template <class Options>
    void give_to(Options& options) const {
        options.condition_names = names;
        options.condition_ids = ids.empty() ? nullptr : ids.data();
    }
};

// The correction (pairmend::model::correct) under the caller's thread count, or the program's when
// none is given.
py::tuple correct(const py::array& data, const py::object& labels, const py::dict& settings,
                  std::optional<int> num_threads, const std::string& method, const py::object& condition) {
    // The same steps, in the same order, as a job: options, shape, labels, values, engine.
    pairmend::model::CorrectOptions options;
    options.settings = pairmend::model::model_settings(engine_options(settings));
    options.method = pairmend::model::parse_method(method);
    options.num_threads = num_threads;
    options.should_stop = pairmend_python::python_should_stop;

    if (data.ndim() != 2) {
        std::ostringstream text;
        text << "data must be a two-dimensional array of events (rows) by parameters (columns), not "
             << data.ndim() << "-dimensional.";
        throw std::runtime_error(text.str());
    }
    const auto nobs = static_cast<std::size_t>(data.shape(0));
    const auto ndim = static_cast<std::size_t>(data.shape(1));
    if (ndim == 0) {
        throw std::runtime_error("data has no columns: it needs one column per measured parameter.");
    }
    pairmend::check_table_size(nobs, ndim);

    const BatchLabels batches(labels, nobs);
    const EventConditions conditions(condition, nobs);
    conditions.give_to(options);

    std::vector<double> input;
    if (py::isinstance<py::array_t<double>>(data)) {
        input = event_matrix<double>(data);
    } else if (py::isinstance<py::array_t<float>>(data)) {
        input = event_matrix<float>(data);
    } else {
        throw py::type_error("data must hold float32 or float64 values.");
    }

    py::array_t<double> corrected({nobs, ndim});
    double* output = corrected.mutable_data();
    const pairmend::model::CorrectResult result = pairmend_python::run_without_lock([&] {
        return pairmend::model::correct(static_cast<int>(ndim), nobs, input.data(), batches.batches().data(),
                                        batches.names(), options, output);
    });

    py::list mergeOrder;
    for (const int batch : result.merge_order) {
        mergeOrder.append(batches.label(batch));
    }
    return py::make_tuple(std::move(corrected), std::move(mergeOrder), py::cast(result.num_pairs));
}

// ---- correction models -------------------------------------------------------------------

// Models are never changed once made; pybind11 holders must point to non-const objects.
using ModelPointer = std::shared_ptr<pairmend::model::Model>;

// The events of `data` in the engine's layout, refused as `correct` refuses them.
std::vector<double> model_events(const py::array& data, std::size_t& nobs, std::size_t& ndim) {
    if (data.ndim() != 2) {
        std::ostringstream text;
        text << "data must be a two-dimensional array of events (rows) by parameters (columns), not "
             << data.ndim() << "-dimensional.";
        throw std::runtime_error(text.str());
    }
    nobs = static_cast<std::size_t>(data.shape(0));
    ndim = static_cast<std::size_t>(data.shape(1));
    if (ndim == 0) {
        throw std::runtime_error("data has no columns: it needs one column per measured parameter.");
    }
    pairmend::check_table_size(nobs, ndim);
    if (py::isinstance<py::array_t<double>>(data)) {
        return event_matrix<double>(data);
    }
    if (py::isinstance<py::array_t<float>>(data)) {
        return event_matrix<float>(data);
    }
    throw py::type_error("data must hold float32 or float64 values.");
}

// Learns a model from labelled events; batches are named by their labels as text and numbered
// as `correct` numbers them, so that a model fitted on every event repeats `correct` exactly.
ModelPointer fit_model(const py::array& data, const py::object& labels, const py::dict& settings,
                       int num_threads, std::uint64_t reference_events, std::uint64_t fit_events,
                       const std::vector<std::string>& parameters, const std::string& method,
                       const py::object& corrected, const py::object& condition) {
    pairmend::model::FitOptions options;
    options.method = pairmend::model::parse_method(method);
    options.settings = pairmend::model::model_settings(engine_options(settings));
    options.settings.reference_events = reference_events;
    options.fit_events = fit_events;
    options.num_threads = num_threads;
    options.parameters = parameters;
    pairmend::model::check_settings(options.settings);

    std::size_t nobs = 0;
    std::size_t ndim = 0;
    const std::vector<double> input = model_events(data, nobs, ndim);
    const BatchLabels batches(labels, nobs);
    const EventConditions conditions(condition, nobs);
    conditions.give_to(options);
    // `corrected`, when not None, is a float64 array of data's shape that receives every event's
    // corrected values.
    double* output = nullptr;
    if (!corrected.is_none()) {
        auto target = corrected.cast<py::array_t<double, py::array::c_style>>();
        if (target.ndim() != 2 || static_cast<std::size_t>(target.shape(0)) != nobs ||
            static_cast<std::size_t>(target.shape(1)) != ndim) {
            throw py::value_error("The array for the corrected events must have the shape of the data.");
        }
        output = target.mutable_data();
    }
    options.should_stop = pairmend_python::python_should_stop;
    return pairmend_python::run_without_lock([&] {
        return std::make_shared<pairmend::model::Model>(
            pairmend::model::fit_labelled(static_cast<int>(ndim), nobs, input.data(),
                                          batches.batches().data(), batches.names(), options, output));
    });
}

// Corrects labelled events of batches the model knows; returns them in input order.
py::array_t<double> apply_model(const ModelPointer& model, const py::array& data, const py::object& labels,
                                int num_threads) {
    std::size_t nobs = 0;
    std::size_t ndim = 0;
    const std::vector<double> input = model_events(data, nobs, ndim);
    const BatchLabels batches(labels, nobs, false);
    py::array_t<double> corrected({nobs, ndim});
    double* output = corrected.mutable_data();
    pairmend_python::run_without_lock([&] {
        pairmend::model::apply_labelled(*model, static_cast<int>(ndim), nobs, input.data(),
                                        batches.batches().data(), batches.names(), output, num_threads,
                                        pairmend_python::python_should_stop);
    });
    return corrected;
}

// A new model: the old one's batches unchanged plus the labelled new batches.
ModelPointer extend_model(const ModelPointer& model, const py::array& data, const py::object& labels,
                          int num_threads, std::uint64_t fit_events, const py::object& condition) {
    std::size_t nobs = 0;
    std::size_t ndim = 0;
    const std::vector<double> input = model_events(data, nobs, ndim);
    const BatchLabels batches(labels, nobs, false);
    pairmend::model::ExtendOptions options;
    options.fit_events = fit_events;
    options.num_threads = num_threads;
    options.should_stop = pairmend_python::python_should_stop;
    const EventConditions conditions(condition, nobs);
    conditions.give_to(options);
    return pairmend_python::run_without_lock([&] {
        return std::make_shared<pairmend::model::Model>(
            pairmend::model::extend_labelled(*model, static_cast<int>(ndim), nobs, input.data(),
                                             batches.batches().data(), batches.names(), options, nullptr));
    });
}

// One value per batch of `model`, in merge order, as `value_of(batch)` gives it.
template <typename ValueOf>
auto per_batch(const pairmend::model::Model& model, ValueOf value_of) {
    std::vector<std::decay_t<decltype(value_of(model.batches.front()))>> values;
    for (const auto& batch : model.batches) {
        values.push_back(value_of(batch));
    }
    return values;
}

py::dict model_settings(const ModelPointer& model) {
    py::dict used = settings_dict(pairmend::model::engine_options(model->settings));
    used["reference_events"] = model->settings.reference_events;
    return used;
}

void bind_models(py::module_& module) {
    py::class_<pairmend::model::Model, ModelPointer>(module, "Model",
                                                     "A learnt correction; see pairmend.Model.")
        .def_property_readonly("batches",
                               [](const ModelPointer& model) {
                                   return per_batch(*model, [](const auto& batch) { return batch.name; });
                               })
        .def_property_readonly("parameters", [](const ModelPointer& model) { return model->parameters; })
        .def_property_readonly("num_pairs", [](const ModelPointer& model) { return model->num_pairs; })
        .def_property_readonly("fitted_events",
                               [](const ModelPointer& model) {
                                   return per_batch(*model,
                                                    [](const auto& batch) { return batch.fitted_events; });
                               })
        .def_property_readonly("settings", &model_settings)
        .def_property_readonly(
            "method", [](const ModelPointer& model) { return pairmend::model::method_name(model->method); })
        .def_property_readonly("conditions", [](const ModelPointer& model) { return model->conditions; });
    module.def(
        "fit", &fit_model, py::arg("data"), py::arg("labels"), py::arg("settings"), py::arg("num_threads"),
        py::arg("reference_events"), py::arg("fit_events"), py::arg("parameters"), py::arg("method"),
        py::arg("corrected"), py::arg("condition") = py::none(),
        "Fits a model on data (events by parameters) with one label per event; fit_events 0 fits on all. "
        "corrected: None, or a C-contiguous float64 array of data's shape receiving the corrected events.");
    module.attr("METHODS") = py::tuple(py::cast(pairmend::model::method_names()));
    module.def(
        "check_batches_known",
        [](const ModelPointer& model, const std::vector<std::string>& names, const std::string& model_name) {
            pairmend::model::check_batches_known(*model, names, model_name, " (--batches)",
                                                 "pairmend-fcs extend");
        },
        py::arg("model"), py::arg("names"), py::arg("model_name"),
        "Refuses batch names the model does not know, with pairmend-fcs apply's message.");
    module.def("apply", &apply_model, py::arg("model"), py::arg("data"), py::arg("labels"),
               py::arg("num_threads"),
               "Corrects data of batches the model knows; returns float64 events in input order.");
    module.def("extend", &extend_model, py::arg("model"), py::arg("data"), py::arg("labels"),
               py::arg("num_threads"), py::arg("fit_events"), py::arg("condition") = py::none(),
               "Returns a new model with the labelled batches added.");
    module.def(
        "save_model",
        [](const ModelPointer& model, const std::string& path) {
            const py::gil_scoped_release unlocked;
            pairmend::model::save_model(*model, path);
        },
        py::arg("model"), py::arg("path"), "Writes the model file atomically.");
    module.def(
        "load_model",
        [](const std::string& path) {
            const py::gil_scoped_release unlocked;
            return std::make_shared<pairmend::model::Model>(pairmend::model::load_model(path));
        },
        py::arg("path"), "Reads a model file, refusing a damaged or newer one.");
}

#ifdef PAIRMEND_PYTHON_FCS

// FCS texts are UTF-8 from version 3.0 on, but older files carry Latin-1 (µ, °); such a text is
// read as Latin-1 rather than refused, so that no keyword is lost.
py::str fcs_text(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "strict");
    if (decoded == nullptr) {
        PyErr_Clear();
        decoded = PyUnicode_DecodeLatin1(text.data(), static_cast<py::ssize_t>(text.size()), "strict");
        if (decoded == nullptr) {
            throw py::error_already_set();
        }
    }
    return py::reinterpret_steal<py::str>(decoded);
}

// The first data set of an FCS file: linear values (events by channels), compensated as
// pairmend-fcs --compensation `compensation` would compensate the file alone ("auto", "none" or a
// CSV file of a spillover matrix), $PnN, $PnS, the TEXT keywords (the first of a repeated keyword
// counts) and the matrix it was compensated with, as PAIRMEND_COMPENSATION names it ("" for none).
py::tuple read_fcs(const std::string& path, const std::string& compensation,
                   const std::string& transforms_file,
                   const std::vector<std::pair<std::string, std::string>>& transforms) {
    pairmend::fcs::FcsFile file;
    std::vector<double> linear;
    std::string summary;
    {
        const py::gil_scoped_release unlocked;
        file = pairmend::fcs::read_fcs(path);
        linear = file.linear_values();
        const pairmend::fcs_study::CompensationChoice choice =
            pairmend::fcs_study::choose_compensation(compensation, {file});
        pairmend::fcs_study::compensate(choice, 0, file, linear);
        summary = pairmend::fcs_study::compensation_keyword(choice, 0);
        pairmend::fcs_study::transform_file_values(
            !transforms_file.empty() ? pairmend::fcs_study::read_transform_sheet(transforms_file)
            : transforms.empty()
                ? pairmend::fcs_study::TransformSheet()
                : pairmend::fcs_study::transform_pairs(transforms, "the transforms given to read_fcs"),
            file, linear);
    }
    const std::size_t nchannels = file.channels.size();
    py::array_t<double> values({file.num_events, nchannels});
    std::copy(linear.begin(), linear.end(), values.mutable_data());

    py::list names;
    py::list labels;
    for (const pairmend::fcs::Channel& channel : file.channels) {
        names.append(fcs_text(channel.name));
        labels.append(fcs_text(channel.label));
    }
    py::dict keywords;
    for (const auto& [name, value] : file.keywords) {
        const py::str key = fcs_text(name);
        if (!keywords.contains(key)) {
            keywords[key] = fcs_text(value);
        }
    }
    return py::make_tuple(std::move(values), std::move(names), std::move(labels), std::move(keywords),
                          summary);
}

#endif

// Every engine setting's default by its keyword, so that the package's signatures take them from
// the one place that defines them.
py::dict engine_defaults() {
    return settings_dict(pairmend::EngineOptions{});
}

// Every engine setting's kind by its keyword, in the order of engine_settings().
py::dict setting_kinds() {
    py::dict kinds;
    for (const pairmend::SettingInfo& setting : pairmend::engine_settings()) {
        kinds[setting.key] = pairmend::setting_kind_name(setting.kind);
    }
    return kinds;
}

} // namespace

PYBIND11_MODULE(_core, module) {
    module.doc() = "The pairmend correction engine; use it through the package pairmend.";
    // Ctrl-C in a session is Python's KeyboardInterrupt, not the end of the process: the files of
    // an interrupted call (Model.save, pairmend.dask) go as those of any failed call do.
    pairmend::leave_signals_to_host();
    // The program's errors are runtime errors with complete messages; Python callers get them as
    // ValueError. pybind11's own exceptions (TypeError) are runtime errors too and keep their type.
    py::register_local_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const py::builtin_exception&) {
            throw;
        } catch (const std::runtime_error& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        }
    });
    module.def("correct", &correct, py::arg("data"), py::arg("labels"), py::arg("settings"),
               py::arg("num_threads"), py::arg("method"), py::arg("condition") = py::none(),
               "Corrects data (events by parameters, float32 or float64) with one label per event "
               "(an int64 array or a list of str), the engine settings by keyword, by the method named "
               "method. Returns (corrected, "
               "merge_order labels, num_pairs).");
    module.def(
        "default_num_threads", [] { return pairmend::default_engine_threads(); },
        "The engine threads the program would use: half of OpenMP's maximum, at least one.");
    module.def(
        "max_num_threads", [] { return std::max(omp_get_max_threads(), omp_get_num_procs()); },
        "The most engine threads worth starting: the processors or OpenMP's maximum, whichever is larger.");
    module.def("engine_defaults", &engine_defaults,
               "Every engine setting's default, by its keyword (the job file's key).");
    module.attr("SETTING_KINDS") = setting_kinds();
    module.attr("REFERENCE_POLICIES") = py::tuple(py::cast(pairmend::reference_policy_names()));
    bind_models(module);
    bind_study(module);
#ifdef PAIRMEND_PYTHON_FCS
    module.def(
        "read_fcs", &read_fcs, py::arg("path"), py::arg("compensation") = "auto",
        py::arg("transforms_file") = "",
        py::arg("transforms") = std::vector<std::pair<std::string, std::string>>(),
        "Reads the first data set of an FCS file, compensated and with the channels a transforms file "
        "or (channel, \"transform parameters\") pairs name transformed as pairmend-fcs would: (values, "
        "names, labels, keywords, the matrix used or \"\").");
    bind_fcs_apply(module);
#endif
}
