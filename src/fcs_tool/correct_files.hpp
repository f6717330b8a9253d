#ifndef PAIRMEND_FCS_TOOL_CORRECT_FILES_HPP
#define PAIRMEND_FCS_TOOL_CORRECT_FILES_HPP

// `pairmend-fcs correct`: reads FCS files, corrects the chosen channels with the MNN engine on the
// arcsinh scale and writes every file again with the corrected channels added. The steps live in
// prepare_correction (inputs), run_correction (the engine), compose_output (the files) and
// correction_report (the report); this unit runs them and writes the results.

#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/output_transaction.hpp"
#include "prepare_correction.hpp"
#include "progress.hpp"
#include "run_correction.hpp"
#include "tool_options.hpp"

#include <cstddef>

namespace pairmend::fcs_tool {

/**
 * What is written for input file `file` of the run (see compose_corrected_file).
 * @throws std::runtime_error when a value does not fit in float32, or a corrected channel's name
 *         is already taken.
 */
fcs::FcsOutput corrected_file(const CorrectionInput& input, const CorrectionResult& result,
                              const CorrectOptions& options, std::size_t file);

/**
 * Writes the corrected file of every input file into options.out_dir and, when asked for, the
 * report, all under temporary names registered with `outputs`, and commits them. Prints one line
 * per file written.
 * @param outputs a transaction whose folder (options.out_dir) exists; on failure it is left to
 *        remove what was written.
 * @throws std::runtime_error naming the file that could not be written.
 */
void write_results(const CorrectionInput& input, const CorrectionResult& result,
                   const CorrectOptions& options, Progress& progress, OutputTransaction& outputs);

/**
 * The whole command: prepare_correction, run_correction, then every output file and the report
 * under temporary names, renamed into place at the end. After a failure no new file is left.
 * @param progress receives the progress lines.
 * @throws std::runtime_error with a message naming the file and the problem.
 */
void correct_files(const CorrectOptions& options, Progress& progress);

} // namespace pairmend::fcs_tool

#endif
