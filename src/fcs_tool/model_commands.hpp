#ifndef PAIRMEND_FCS_TOOL_MODEL_COMMANDS_HPP
#define PAIRMEND_FCS_TOOL_MODEL_COMMANDS_HPP

// The correction-model commands of pairmend-fcs: `fit` learns a model from FCS files, `apply`
// corrects files with it one at a time, `extend` adds batches, and `correct --fit-events` learns
// from a subsample and then applies to every file. Files are read one at a time, so memory grows
// with the events learnt from, not with the number of files.

#include "pairmend/model/Model.hpp"
#include "progress.hpp"
#include "tool_options.hpp"

namespace pairmend::fcs_tool {

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
