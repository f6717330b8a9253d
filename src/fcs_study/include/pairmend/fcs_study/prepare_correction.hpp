#ifndef PAIRMEND_FCS_STUDY_PREPARE_CORRECTION_HPP
#define PAIRMEND_FCS_STUDY_PREPARE_CORRECTION_HPP

// A study held in memory for the engine's own correction of every event: the files read once,
// their values kept, and the chosen channels' arcsinh values of every event in one table.

#include "pairmend/fcs_study/progress.hpp"
#include "pairmend/fcs_study/study.hpp"
#include "pairmend/fcs_study/study_options.hpp"

#include <cstddef>
#include <vector>

namespace pairmend::fcs_study {

/** The input files, read and checked, and their events in the engine's form. */
struct CorrectionInput {
    Study study; ///< the files, batches, channels and cofactor.
    std::vector<std::vector<double>>
        linear;                 ///< per file, every value on the linear scale, event after event.
    int ndim = 0;               ///< the number of chosen channels.
    std::size_t nobs = 0;       ///< all events of all files.
    std::vector<double> data;   ///< arcsinh(value / cofactor) of the chosen channels,
                                ///< event after event, files in input order.
    std::vector<int> batch_ids; ///< the engine's batch id of every event: batch number - 1.
    double seconds = 0;         ///< the time it took to read and prepare all this.
};

/**
 * Reads the study into memory (see read_study), prints its channels and batches, and transforms
 * the chosen values for the engine.
 * @throws std::runtime_error with a message naming the file and the problem, or when the study
 *         holds more values than the engine can index.
 */
CorrectionInput prepare_correction(const StudyFiles& request, Progress& progress);

} // namespace pairmend::fcs_study

#endif
