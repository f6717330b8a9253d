#ifndef PAIRMEND_FCS_TOOL_MODEL_COMMANDS_HPP
#define PAIRMEND_FCS_TOOL_MODEL_COMMANDS_HPP

// The correction-model commands of pairmend-fcs: `fit` learns a model from FCS files, `apply`
// corrects files with it one at a time, `extend` adds batches, and `correct --fit-events` learns
// from a subsample and then applies to every file. Files are read one at a time, so memory grows
// with the events learnt from, not with the number of files.

#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/model/Model.hpp"
#include "pairmend/model/apply.hpp"
#include "progress.hpp"
#include "tool_options.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace pairmend::fcs_tool {

/** The model's channels, by the names that find them in a file ($PnN, or the parameter names of a
 *  model learnt without FCS channels). */
std::vector<std::string> model_channel_names(const model::Model& model);

/**
 * The arcsinh cofactor for applying `model`: its own, or for a model learnt without FCS channels the
 * one `given`.
 * @throws std::runtime_error naming the model when `given` differs from the model's own, or is
 *         missing for a model without one.
 */
double model_cofactor(const model::Model& model, std::optional<double> given, const std::string& model_path);

/** One file corrected with a model. */
struct AppliedFile {
    std::vector<double> events;    ///< the arcsinh values of the model's channels, event after event.
    std::vector<double> corrected; ///< the corrected arcsinh values, in the same layout.
    fcs::FcsOutput output;         ///< the corrected file, as `apply` writes it.
};

/**
 * Corrects one file's events with a batch's corrector and composes its corrected file exactly as
 * `apply` does, for every front end that applies models to FCS files.
 * @param linear the file's values on the linear scale; `chosen` the positions of the model's channels.
 * @param batch_number the batch's number in the run (recorded in PAIRMEND_BATCH).
 * @throws std::runtime_error for a value that is not finite or does not fit the corrected file.
 */
AppliedFile correct_with_model(const model::Model& model, const model::BatchCorrector& corrector,
                               const fcs::FcsFile& file, const std::vector<double>& linear,
                               const std::vector<std::size_t>& chosen, double cofactor, int batch_number,
                               int threads);

/**
 * `fit`: learns a model from the files (with --fit-events from an evenly spread subsample of each
 * batch) and writes it to options.model.
 * @throws std::runtime_error naming the file and the problem; nothing is written then.
 */
void fit_files(const CorrectOptions& options, Progress& progress);

/**
 * `apply`: corrects every file with the model at options.model and writes the corrected files
 * (and the report) into options.out_dir as `correct` does. Every file's batch and channels are
 * checked before anything is written; all files appear together, or none.
 * @throws std::runtime_error naming the file and the problem.
 */
void apply_files(const CorrectOptions& options, Progress& progress);

/**
 * `extend`: adds the files' batches to the model at options.model and writes the extended model
 * to options.new_model; the model's batches stay as they were.
 * @throws std::runtime_error naming the file and the problem; nothing is written then.
 */
void extend_files(const CorrectOptions& options, Progress& progress);

/**
 * `correct --fit-events N`: learns from at most N events per batch, then corrects every event of
 * every file with what was learnt, writing as `correct` does.
 * @throws std::runtime_error naming the file and the problem.
 */
void fit_and_apply_files(const CorrectOptions& options, Progress& progress);

} // namespace pairmend::fcs_tool

#endif
