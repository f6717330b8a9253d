// The pieces that pairmend.dask needs to apply a model on a cluster: a batch's corrector that is
// built once and reused for every block of events, the model as bytes (for shipping it to worker
// processes), and the correction of one FCS file exactly as `pairmend-fcs apply` writes it.

#include "fcs_apply_binding.hpp"

#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs_study/batch_plan.hpp"
#include "pairmend/fcs_study/study.hpp"
#include "pairmend/fcs_study/study_models.hpp"
#include "pairmend/model/Model.hpp"
#include "pairmend/model/apply.hpp"
#include "pairmend/model/model_file.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

using ModelPointer = std::shared_ptr<pairmend::model::Model>;

// A batch's corrector with the model it points into, so that the model lives as long as it does.
// Its search index is built once, in the constructor; `apply` is const and may run in any thread.
struct HeldCorrector {
    HeldCorrector(ModelPointer held_model, const std::string& batch)
        : model(std::move(held_model)), corrector(*model, batch) {}

    ModelPointer model;
    pairmend::model::BatchCorrector corrector;
};

using CorrectorPointer = std::shared_ptr<HeldCorrector>;

// Corrects events (rows) of the corrector's batch; the engine runs without the GIL.
py::array_t<double>
correct_events(const CorrectorPointer& held,
               const py::array_t<double, py::array::c_style | py::array::forcecast>& events) {
    if (events.ndim() != 2) {
        throw std::runtime_error(
            "The events to correct must be a two-dimensional array of events by parameters.");
    }
    const auto n = static_cast<std::size_t>(events.shape(0));
    const auto ndim = static_cast<int>(events.shape(1));
    py::array_t<double> corrected({n, static_cast<std::size_t>(ndim)});
    const double* input = events.data();
    double* output = corrected.mutable_data();
    {
        const py::gil_scoped_release unlocked;
        held->corrector.apply(ndim, n, input, output, 1);
    }
    return corrected;
}

// Corrects one FCS file with a batch's corrector and writes the corrected file to `out_path`,
// byte for byte as `pairmend-fcs apply` writes it. Returns the file's number of events.
std::size_t correct_fcs_file(const CorrectorPointer& held, const std::string& path, int batch_number,
                             const std::string& out_path, const std::string& model_source) {
    const py::gil_scoped_release unlocked;
    return pairmend::fcs_study::correct_file_with_model(*held->model, held->corrector, path, batch_number,
                                                        out_path, 1, model_source);
}

// The batches of a run as `pairmend-fcs apply` plans them: every file its own batch (no sheet),
// or as the sheet says (which may name further files). Returns (names by number, number per file).
std::pair<std::vector<std::string>, std::vector<int>> fcs_batch_plan(const std::vector<std::string>& files,
                                                                     const std::string& sheet) {
    pairmend::fcs_study::StudyFiles study;
    study.files = files;
    study.batch_sheet = sheet;
    const pairmend::fcs_study::BatchPlan plan =
        pairmend::fcs_study::plan_batches(study, pairmend::fcs_study::StudyUse::model);
    return {plan.names, plan.file_batch};
}

} // namespace

void bind_fcs_apply(py::module_& module) {
    py::class_<HeldCorrector, CorrectorPointer>(module, "BatchCorrector",
                                                "One batch's correction with its search index built once.")
        .def(py::init([](const ModelPointer& model, const std::string& batch) {
                 const py::gil_scoped_release unlocked;
                 return std::make_shared<HeldCorrector>(model, batch);
             }),
             py::arg("model"), py::arg("batch"))
        .def_property_readonly("name", [](const CorrectorPointer& held) { return held->corrector.name(); })
        .def("apply", &correct_events, py::arg("events"),
             "Corrects float64 events (rows) of this batch; returns them in input order.")
        .def("correct_fcs_file", &correct_fcs_file, py::arg("path"), py::arg("batch_number"),
             py::arg("out_path"), py::arg("model_source"),
             "Corrects an FCS file of this batch and writes it as pairmend-fcs apply does; returns its "
             "events.");
    module.def(
        "model_bytes",
        [](const ModelPointer& model) {
            const std::vector<unsigned char> bytes = pairmend::model::encode_model(*model);
            return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        },
        py::arg("model"), "The model file's bytes.");
    module.def(
        "model_from_bytes",
        [](const py::bytes& bytes, const std::string& source) {
            const std::string_view view = bytes;
            const py::gil_scoped_release unlocked;
            return std::make_shared<pairmend::model::Model>(pairmend::model::decode_model(
                reinterpret_cast<const unsigned char*>(view.data()), view.size(), source));
        },
        py::arg("bytes"), py::arg("source"), "Reads a model from a model file's bytes.");
    module.def(
        "fcs_model_channels",
        [](const ModelPointer& model, const std::string& source) {
            return std::make_pair(pairmend::fcs_study::model_channel_names(*model),
                                  pairmend::fcs_study::model_cofactor(*model, std::nullopt, source));
        },
        py::arg("model"), py::arg("source"),
        "The model's FCS channels and cofactor; refuses a model learnt without them.");
    module.def("fcs_batch_plan", &fcs_batch_plan, py::arg("files"), py::arg("sheet"),
               "(batch names by number, batch number of every file) as pairmend-fcs plans them.");
    module.def(
        "fcs_number_batches",
        [](const std::vector<std::string>& file_batches) {
            const pairmend::fcs_study::BatchPlan plan = pairmend::fcs_study::numbered_batches(file_batches);
            return std::make_pair(plan.names, plan.file_batch);
        },
        py::arg("file_batches"),
        "(batch names by number, batch number of every file) for the batch name of every file, "
        "numbered as pairmend-fcs numbers a batch sheet's.");
}
