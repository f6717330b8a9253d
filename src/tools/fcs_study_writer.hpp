#ifndef PAIRMEND_TOOLS_FCS_STUDY_WRITER_HPP
#define PAIRMEND_TOOLS_FCS_STUDY_WRITER_HPP

// Writes a simulated study (study.hpp) as a mass cytometer would: one FCS 3.1 file of 32-bit
// floating-point values per sample and anchor, and the batch sheet that pairmend-fcs reads.

#include "study.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace pairmend::tools {

/// The arcsinh cofactor of the study's values: a marker's value x is written as sinh(x) * 5.
constexpr double kStudyCofactor = 5.0;
/// The arcsinh cofactor of a fluorescence study (StudyOptions::spillover): sinh(x) * 150.
constexpr double kFluorescenceCofactor = 150.0;

/**
 * The spillover matrix of a fluorescence study of `dims` markers, row after row: each dye spills
 * 12 % of its signal into the next detector, 3 % into the one after and 5 % into the one before.
 */
std::vector<double> study_spillover(int dims);

/// The detector name of marker channel `k` (from 0) of a fluorescence study: "FL1-A", "FL2-A", ...
std::string fluorescence_channel(std::size_t k);

/// What write_fcs_study wrote.
struct WrittenStudy {
    /// The paths of the FCS files, batch after batch (samples, then the anchor).
    std::vector<std::string> files;
    /// The path of the batch sheet.
    std::string batch_sheet;
};

/**
 * Simulates the study for `options` and writes it to `folder` (created when missing):
 * batch<b>_sample<f>.fcs and batch<b>_anchor.fcs for every batch b and sample f, and batches.csv,
 * the batch sheet ("file,batch", then one line per file naming it and its batch batch<b>).
 *
 * Every FCS file has the channels Time (milliseconds; no label), Event_length (no label), then one
 * channel per marker in ascending mass, named by its isotope ($PnN "Nd142Di") and labelled with its
 * marker ($PnS "CD3"), holding sinh(x) * kStudyCofactor of the simulated arcsinh values x as float.
 * $CYT is "Helios", $FIL the file's name, $SRC its batch and sample, and PAIRMEND_SIMULATION the
 * options of pairmend-simulate --fcs that write it again (study_arguments). The same options give
 * byte-identical files.
 *
 * With options.spillover the files are those of a fluorescence cytometer ($CYT "LSRFortessa"):
 * Time, then the markers in panel order as detectors FL1-A, FL2-A, ... labelled with the marker,
 * holding the float values of m = t * S, where t = sinh(x) * kFluorescenceCofactor and S is
 * study_spillover(dims), which $SPILLOVER records.
 *
 * Files are simulated one at a time (memory: one file's values) and written under hidden temporary
 * names; they replace files of the same names only when all are complete. After a failure the
 * temporary files are removed, a folder this call created is removed again, and the folder holds
 * no new file.
 *
 * @throws std::invalid_argument if the options are invalid (see make_study).
 * @throws std::runtime_error when the folder cannot be created or written, or when it already holds
 *         FCS files that are not part of this study (a later pairmend-fcs correct of every FCS file
 *         in the folder would read them too).
 */
WrittenStudy write_fcs_study(const StudyOptions& options, const std::string& folder);

/// The options of pairmend-simulate that simulate this study: "--events N --dims D ... --seed S".
std::string study_arguments(const StudyOptions& options);

} // namespace pairmend::tools

#endif
