#ifndef PAIRMEND_FCS_STUDY_RUN_CORRECTION_HPP
#define PAIRMEND_FCS_STUDY_RUN_CORRECTION_HPP

// The engine's own correction of a study held in memory (the default method on every event).

#include "mnncorrect/MnnCorrect.hpp"
#include "pairmend/fcs_study/prepare_correction.hpp"
#include "pairmend/fcs_study/progress.hpp"
#include "pairmend/fcs_study/study_options.hpp"

#include <vector>

namespace pairmend::fcs_study {

/** What the engine made of the input. */
struct CorrectionResult {
    std::vector<double> corrected; ///< the corrected arcsinh values, in the layout of CorrectionInput::data.
    mnncorrect::MnnCorrect<int, double>::Details details; ///< merge order (batch ids) and pairs per step.
    double engine_seconds = 0;                            ///< the engine's wall-clock time.
};

/**
 * Runs the engine exactly as pairmend does for the same values, batch ids and options, and prints
 * one line per merge step.
 * @throws std::runtime_error naming the batch when it shares no mutual pairs with the others, and
 *         whatever the engine throws.
 */
CorrectionResult run_correction(const CorrectionInput& input, const LearnSettings& learning, int threads,
                                Progress& progress);

/** The engine's options as pairmend sets them for the same settings, with `threads` applied. */
mnncorrect::Options configure_engine(const EngineOptions& engine, int threads);

/** "batch <number> (<name>)", as progress lines and messages name a batch. */
std::string batch_text(const BatchPlan& batches, int number);

} // namespace pairmend::fcs_study

#endif
