#ifndef PAIRMEND_FCS_TOOL_CORRECT_FILES_HPP
#define PAIRMEND_FCS_TOOL_CORRECT_FILES_HPP

// `pairmend-fcs correct`: reads FCS files, corrects the chosen channels with the MNN engine on the
// arcsinh scale and writes every file again with the corrected channels added.

#include "batch_plan.hpp"
#include "mnncorrect/MnnCorrect.hpp"
#include "output_transaction.hpp"
#include "pairmend/fcs/fcs_file.hpp"
#include "progress.hpp"
#include "tool_options.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace fcs_tool {

/** The input files, read and checked, and their events in the engine's form. */
struct CorrectionInput {
    std::vector<pairmend::fcs::FcsFile> files; ///< the files' descriptions; their raw values are released.
    std::vector<std::vector<double>>
        linear; ///< per file, every value on the linear scale, event after event.
    std::vector<std::vector<std::size_t>> chosen; ///< per file, the positions of the chosen channels.
    std::vector<std::string> channel_names;       ///< the chosen channels as shown ("CD19 (Nd142Di)").
    double cofactor = 0;                          ///< the arcsinh cofactor.
    std::string cofactor_origin;                  ///< why this cofactor ("given", "mass cytometry ...").
    BatchPlan batches;                            ///< the batch of every file.
    int ndim = 0;                                 ///< the number of chosen channels.
    std::size_t nobs = 0;                         ///< all events of all files.
    std::vector<double> data;                     ///< arcsinh(value / cofactor) of the chosen channels,
                                                  ///< event after event, files in input order.
    std::vector<int> batch_ids;                   ///< the engine's batch id of every event: batch number - 1.
    double seconds = 0;                           ///< the time it took to read and prepare all this.
};

/**
 * Checks the command line against the files and reads them: distinct base names, outputs that do
 * not replace an input, the batch sheet, the chosen channels in every file, the cofactor and
 * finite values in the chosen channels. Prints the chosen channels, the batches and one line per
 * file read.
 * @throws std::runtime_error with a message naming the file and the problem.
 */
CorrectionInput prepare_correction(const CorrectOptions& options, Progress& progress);

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

/**
 * What is written for input file `file`: its channels with their values on the linear scale as
 * float32, then the corrected channels (sinh(y) * cofactor), its descriptive keywords and the
 * program's own.
 * @throws std::runtime_error when a value does not fit in float32, or a corrected channel's name
 *         is already taken.
 */
pairmend::fcs::FcsOutput corrected_file(const CorrectionInput& input, const CorrectionResult& result,
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

/** The engine configured as pairmend configures it for the same options. */
mnncorrect::MnnCorrect<int, double> configure_engine(const CorrectOptions& options);

} // namespace fcs_tool

#endif
