// What pairmend.dask takes from the programs instead of writing it again: the positions of the
// evenly spread subsample that fit learns from, and the output transaction under which a run's
// files appear together or not at all.

#include "study_binding.hpp"

#include "pairmend/model/subsample.hpp"
#include "pairmend/output_transaction.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// A transaction that Python ends at a moment of its choosing (discard) rather than when the object
// is collected. The module leaves signals to the session (leave_signals_to_host), so Ctrl-C is a
// KeyboardInterrupt, after which the caller discards the transaction.
class PythonTransaction {
public:
    PythonTransaction() : files_(std::in_place), token_(files_->token()) {}

    std::string add(const std::string& final_path) { return open().add(final_path); }
    void commit() { open().commit(); }
    /// Removes every file not yet moved into place; does nothing after commit().
    void discard() { files_.reset(); }
    const std::string& token() const { return token_; }

private:
    pairmend::OutputTransaction& open() {
        if (!files_) {
            throw std::runtime_error("The output transaction has already been discarded.");
        }
        return *files_;
    }

    std::optional<pairmend::OutputTransaction> files_;
    std::string token_;
};

} // namespace

void bind_study(py::module_& module) {
    module.def(
        "even_positions",
        [](std::size_t n, std::size_t count) {
            const std::vector<std::size_t> positions = pairmend::model::even_positions(n, count);
            py::array_t<std::int64_t> out(static_cast<py::ssize_t>(positions.size()));
            std::int64_t* values = out.mutable_data();
            for (std::size_t i = 0; i < positions.size(); ++i) {
                values[i] = static_cast<std::int64_t>(positions[i]);
            }
            return out;
        },
        py::arg("n"), py::arg("count"),
        "The positions floor(i * n / count) of fit's evenly spread subsample (all n when count >= n), "
        "as an int64 array.");
    py::class_<PythonTransaction>(module, "OutputTransaction",
                                  "Files written under temporary names and moved into place together.")
        .def(py::init<>())
        .def("add", &PythonTransaction::add, py::arg("final_path"),
             "Registers a file; returns the temporary name to write it under, beside its final place.")
        .def("commit", &PythonTransaction::commit,
             "Moves every registered file into place; on a failure removes those it moved.")
        .def("discard", &PythonTransaction::discard,
             "Removes the registered files not moved into place; does nothing after commit().")
        .def_property_readonly("token", &PythonTransaction::token, "The random part of the temporary names.");
}
