#ifndef PAIRMEND_FCS_STUDY_COMPOSE_OUTPUT_HPP
#define PAIRMEND_FCS_STUDY_COMPOSE_OUTPUT_HPP

// The corrected FCS file of one input file: its channels, its corrected channels added after them,
// its descriptive keywords and the program's own. Every front end that writes corrected FCS files
// composes them here, so that they are the same byte for byte.

#include "pairmend/engine_options.hpp"
#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/model/transform.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace pairmend::fcs_study {

/** What a corrected file records about its correction, in its PAIRMEND_ keywords. */
struct CorrectionStamp {
    double cofactor = 0;      ///< the arcsinh cofactor (PAIRMEND_COFACTOR).
    int batch_number = 0;     ///< the batch's number, from 1 (PAIRMEND_BATCH).
    std::string batch_name;   ///< the batch's name (PAIRMEND_BATCH).
    std::string settings;     ///< the engine's settings as settings_keyword writes them (PAIRMEND_SETTINGS).
    std::string compensation; ///< the matrix the values were compensated with (PAIRMEND_COMPENSATION); empty
                              ///< for none.
    /// every corrected channel's transform; empty when every one is arcsinh with `cofactor`. One
    /// arcsinh cofactor for all is written as PAIRMEND_COFACTOR, other transforms as PAIRMEND_TRANSFORMS.
    std::vector<model::ChannelTransform> transforms;
};

/** Every engine setting as the job file writes it: "num_neighbors=15, num_mads=3.0, ...". */
std::string settings_keyword(const EngineOptions& options);

/**
 * The corrected file of `file`: its channels with their values on the linear scale (as measured,
 * not compensated) as float32,
 * then one corrected channel per chosen channel (<$PnN>_mnn, labelled "<$PnS> (MNN)", values
 * brought back through the inverse of the channel's transform, sinh(y) * cofactor for arcsinh), its
 * descriptive keywords without any earlier PAIRMEND_ keywords, and this correction's PAIRMEND_ keywords.
 *
 * @param file      the input file, as read.
 * @param linear    its values on the linear scale as measured, event after event (file.num_events x
 * channels).
 * @param chosen    the positions of the corrected channels in the file.
 * @param corrected the corrected transformed values of the file's events (compensated when the stamp
 *                  names a matrix), event after event
 *                  (file.num_events x chosen.size()).
 * @param stamp     what the file records about the correction.
 * @param num_threads threads converting the values; the output and any error do not depend on it.
 * @throws std::runtime_error when a value does not fit in float32, a corrected value is not finite
 *         (naming the first such event), or a corrected channel's name is already taken.
 */
fcs::FcsOutput compose_corrected_file(const fcs::FcsFile& file, const std::vector<double>& linear,
                                      const std::vector<std::size_t>& chosen, const double* corrected,
                                      const CorrectionStamp& stamp, int num_threads = 1);

/** The channels of the corrected file of `file`, as compose_corrected_file gives them.
 *  @throws std::runtime_error when a corrected channel's name is already taken. */
std::vector<fcs::Channel> corrected_channels(const fcs::FcsFile& file,
                                             const std::vector<std::size_t>& chosen);

/** The corrected file of `file` as compose_corrected_file gives it, without its values: for a file
 *  written a block of events at a time (compose_corrected_events, fcs::FcsWriter). */
fcs::FcsOutput corrected_file_layout(const fcs::FcsFile& file, const std::vector<std::size_t>& chosen,
                                     const CorrectionStamp& stamp);

/**
 * The values of events first .. first + count - 1 of the corrected file laid out as `layout`
 * (corrected_file_layout) into `out`, count * layout.channels.size() float32 values, exactly as
 * compose_corrected_file gives them; `linear` and `corrected` hold those events' values.
 * @throws std::runtime_error as compose_corrected_file, naming the event of the file.
 */
void compose_corrected_events(const fcs::FcsFile& file, const fcs::FcsOutput& layout,
                              const CorrectionStamp& stamp, std::size_t first, std::size_t count,
                              const double* linear, const double* corrected, float* out, int num_threads);

} // namespace pairmend::fcs_study

#endif
