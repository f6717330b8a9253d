// pairmend._core: the correction engine for Python, with the program's own checks, batch-label
// numbering and messages. The package pairmend (python/pairmend) turns the caller's array-likes
// into what these functions take and wraps their results; call them through it.

#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "pairmend/batch_labels.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/messages.hpp"

#ifdef PAIRMEND_PYTHON_FCS
#include "pairmend/fcs/fcs_file.hpp"
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
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

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

// The batch labels of the events, integers or texts, numbered as the program numbers its labels.
class BatchLabels {
public:
    // `labels` is a one-dimensional int64 array or a list of str, one per event.
    BatchLabels(const py::object& labels, std::size_t nobs) {
        if (py::isinstance<py::array_t<std::int64_t>>(labels)) {
            const auto array = labels.cast<py::array_t<std::int64_t, py::array::c_style>>();
            check_count(static_cast<std::size_t>(array.size()), nobs);
            batches_.resize(nobs);
            integers_ = pairmend::number_batch_labels(array.data(), nobs, batches_.data());
        } else {
            const auto texts = labels.cast<std::vector<std::string>>();
            check_count(texts.size(), nobs);
            batches_.resize(nobs);
            texts_ = pairmend::number_batch_labels(texts.data(), nobs, batches_.data());
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

private:
    static void check_count(std::size_t count, std::size_t nobs) {
        if (count != nobs) {
            std::ostringstream text;
            text << "batch holds " << count << " labels, but the data has " << nobs
                 << " events (rows); give one batch label per event.";
            throw std::runtime_error(text.str());
        }
    }

    std::vector<int> batches_;
    std::vector<std::int64_t> integers_;
    std::vector<std::string> texts_;
};

// The engine's work under the caller's thread count, or the program's when none is given.
py::tuple correct(const py::array& data, const py::object& labels, int num_neighbors, double num_mads,
                  int robust_iterations, double robust_trim, bool approximate, bool automatic_order,
                  const std::string& reference_policy, std::optional<int> num_threads) {
    // The same steps, in the same order, as a job: options, shape, labels, values, engine.
    pairmend::EngineOptions options;
    options.reference_policy = pairmend::parse_reference_policy(reference_policy);
    options.num_neighbors = num_neighbors;
    options.num_mads = num_mads;
    options.robust_iterations = robust_iterations;
    options.robust_trim = robust_trim;
    options.approximate = approximate;
    options.automatic_order = automatic_order;
    mnncorrect::MnnCorrect<int, double> engine = pairmend::configure_engine(options);
    if (num_threads) {
        engine.num_threads = *num_threads;
    }

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
    mnncorrect::MnnCorrect<int, double>::Details details;
    try {
        const py::gil_scoped_release unlocked;
        details = engine.run(static_cast<int>(ndim), nobs, input.data(), batches.batches().data(), output,
                             static_cast<const int*>(nullptr));
    } catch (const mnncorrect::NoMutualPairsError& error) {
        throw std::runtime_error(pairmend::no_mutual_pairs_message(batches.label_text(error.batch())));
    }

    py::list mergeOrder;
    for (const int batch : details.merge_order) {
        mergeOrder.append(batches.label(batch));
    }
    return py::make_tuple(std::move(corrected), std::move(mergeOrder), py::cast(details.num_pairs));
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

// The first data set of an FCS file: linear values (events by channels), $PnN, $PnS and the
// TEXT keywords (the first of a repeated keyword counts).
py::tuple read_fcs(const std::string& path) {
    pairmend::fcs::FcsFile file;
    std::vector<double> linear;
    {
        const py::gil_scoped_release unlocked;
        file = pairmend::fcs::read_fcs(path);
        linear = file.linear_values();
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
    return py::make_tuple(std::move(values), std::move(names), std::move(labels), std::move(keywords));
}

#endif

// Every engine setting's default by its keyword, so that the package's signatures take them from
// the one place that defines them.
py::dict engine_defaults() {
    const pairmend::EngineOptions defaults;
    py::dict values;
    values["num_neighbors"] = defaults.num_neighbors;
    values["num_mads"] = defaults.num_mads;
    values["robust_iterations"] = defaults.robust_iterations;
    values["robust_trim"] = defaults.robust_trim;
    values["approximate"] = defaults.approximate;
    values["automatic_order"] = defaults.automatic_order;
    values["reference_policy"] = pairmend::reference_policy_name(defaults.reference_policy);
    return values;
}

} // namespace

PYBIND11_MODULE(_core, module) {
    module.doc() = "The pairmend correction engine; use it through the package pairmend.";
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
    module.def("correct", &correct, py::arg("data"), py::arg("labels"), py::arg("num_neighbors"),
               py::arg("num_mads"), py::arg("robust_iterations"), py::arg("robust_trim"),
               py::arg("approximate"), py::arg("automatic_order"), py::arg("reference_policy"),
               py::arg("num_threads"),
               "Corrects data (events by parameters, float32 or float64) with one label per event "
               "(an int64 array or a list of str). Returns (corrected, merge_order labels, num_pairs).");
    module.def(
        "default_num_threads", [] { return pairmend::default_engine_threads(); },
        "The engine threads the program would use: half of OpenMP's maximum, at least one.");
    module.def(
        "max_num_threads", [] { return std::max(omp_get_max_threads(), omp_get_num_procs()); },
        "The most engine threads worth starting: the processors or OpenMP's maximum, whichever is larger.");
    module.def("engine_defaults", &engine_defaults,
               "Every engine setting's default, by its keyword (the job file's key).");
    module.attr("REFERENCE_POLICIES") = py::tuple(py::cast(pairmend::reference_policy_names()));
#ifdef PAIRMEND_PYTHON_FCS
    module.def("read_fcs", &read_fcs, py::arg("path"),
               "Reads the first data set of an FCS file: (values, names, labels, keywords).");
#endif
}
