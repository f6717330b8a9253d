#include "pairmend/fcs_study/prepare_correction.hpp"

#include "pairmend/fcs_study/transforms.hpp"

#include <algorithm>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace pairmend::fcs_study {

namespace {

// The engine indexes events and values with int.
constexpr std::size_t int_limit = static_cast<std::size_t>(std::numeric_limits<int>::max());

// arcsinh(value / cofactor) of the chosen channels (compensated as the study says), every file's
// events after the previous file's.
void transform_events(CorrectionInput& input) {
    const Study& study = input.study;
    std::size_t nobs = 0;
    for (const fcs::FcsFile& file : study.files) {
        nobs += file.num_events;
    }
    const std::size_t ndim = study.ndim();
    if (nobs > int_limit || nobs * ndim > int_limit) {
        std::ostringstream text;
        text << "The files hold " << nobs << " events of " << ndim << " chosen channels, more than the "
             << int_limit
             << " values pairmend-fcs can correct in one run. Correct fewer files or channels at once.";
        throw std::runtime_error(text.str());
    }
    input.ndim = static_cast<int>(ndim);
    input.nobs = nobs;
    input.data.resize(nobs * ndim);
    input.batch_ids.resize(nobs);
    const std::vector<model::Transform> transforms = prepared(study.transforms);
    std::size_t row = 0;
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        const fcs::FcsFile& file = study.files[f];
        // The linear values stay as measured for the written file; the transform reads them
        // compensated, one file at a time.
        std::vector<double> compensated;
        if (study.compensation.compensates()) {
            compensated = input.linear[f];
            compensate(study.compensation, f, file, compensated);
        }
        pairmend::fcs_study::transform_events(
            file, (study.compensation.compensates() ? compensated : input.linear[f]).data(),
            study.channels.chosen[f], transforms, 0, file.num_events, input.data.data() + row * ndim);
        std::fill(input.batch_ids.begin() + static_cast<std::ptrdiff_t>(row),
                  input.batch_ids.begin() + static_cast<std::ptrdiff_t>(row + file.num_events),
                  study.batches.file_batch[f] - 1);
        row += file.num_events;
    }
}

} // namespace

CorrectionInput prepare_correction(const StudyFiles& request, Progress& progress) {
    const double began = progress.seconds();
    CorrectionInput input;
    input.study = read_study(request, StudyUse::correct, progress, nullptr, {}, &input.linear);
    announce_study(input.study, request, progress);
    transform_events(input);
    input.seconds = progress.seconds() - began;
    return input;
}

} // namespace pairmend::fcs_study
