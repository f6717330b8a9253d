#ifndef PAIRMEND_FCS_TOOL_RUN_CORRECTION_HPP
#define PAIRMEND_FCS_TOOL_RUN_CORRECTION_HPP

// The engine's part of `pairmend-fcs correct`.

#include "mnncorrect/MnnCorrect.hpp"
#include "prepare_correction.hpp"
#include "progress.hpp"
#include "tool_options.hpp"

#include <vector>

namespace pairmend::fcs_tool {

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
CorrectionResult run_correction(const CorrectionInput& input, const CorrectOptions& options,
                                Progress& progress);

/** The engine's options as pairmend sets them for the same options, with --threads applied. */
mnncorrect::Options configure_engine(const CorrectOptions& options);

/** "batch <number> (<name>)", as progress lines and messages name a batch. */
std::string batch_text(const CorrectionInput& input, int number);

} // namespace pairmend::fcs_tool

#endif
