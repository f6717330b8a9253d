#ifndef PAIRMEND_FCS_TOOL_PREPARE_CORRECTION_HPP
#define PAIRMEND_FCS_TOOL_PREPARE_CORRECTION_HPP

// The first step of `pairmend-fcs correct`: checks the command line against the files, reads them,
// chooses the channels and the cofactor, and transforms the chosen values for the engine.

#include "batch_plan.hpp"
#include "pairmend/fcs/fcs_file.hpp"
#include "progress.hpp"
#include "tool_options.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace pairmend::fcs_tool {

/** The input files, read and checked, and their events in the engine's form. */
struct CorrectionInput {
    std::vector<fcs::FcsFile> files; ///< the files' descriptions; their raw values are released.
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

/**
 * Refuses a command line whose outputs would collide with each other or replace an input, before
 * any file is read: two inputs of the same base name, an output folder that is a file, a corrected
 * file or report that would replace an input, a report that would replace a corrected file.
 * @throws std::runtime_error saying which files collide and what to do.
 */
void check_output_names(const CorrectOptions& options);

/** The channels to correct in every file, and how they are shown. */
struct ChannelChoice {
    std::vector<std::vector<std::size_t>> chosen; ///< per file, the positions of the chosen channels.
    std::vector<std::string> channel_names;       ///< the chosen channels as shown ("CD19 (Nd142Di)").
};

/**
 * The channels named by `requested` ($PnN or $PnS), or when it is empty the default choice of the
 * first file, found by $PnN in every file.
 * @throws std::runtime_error naming the file when a channel is missing, named twice, or the first
 *         file has no channel of the default choice.
 */
ChannelChoice choose_channels(const std::vector<std::string>& requested,
                              const std::vector<fcs::FcsFile>& files);

/** The arcsinh cofactor and why it was chosen. */
struct CofactorChoice {
    double cofactor = 0;
    std::string origin; ///< "given with --cofactor" or "default for mass cytometry (Helios)".
};

/**
 * The cofactor given, or 5 when every file comes from a mass cytometer.
 * @throws std::runtime_error naming a file that does not when no cofactor is given.
 */
CofactorChoice choose_cofactor(std::optional<double> given, const std::vector<fcs::FcsFile>& files);

/**
 * arcsinh(value / cofactor) of the chosen channels of events first .. first + count - 1 of a file,
 * event after event, into `out`.
 * @param linear the file's values on the linear scale, event after event.
 * @throws std::runtime_error naming the event, file and channel of a value that is not finite.
 */
void arcsinh_events(const fcs::FcsFile& file, const std::vector<double>& linear,
                    const std::vector<std::size_t>& chosen, double cofactor, std::size_t first,
                    std::size_t count, double* out);

/** The base names of the files of batch `number` (from 1), in input order. */
std::vector<std::string> batch_members(const CorrectionInput& input, std::size_t number);

} // namespace pairmend::fcs_tool

#endif
