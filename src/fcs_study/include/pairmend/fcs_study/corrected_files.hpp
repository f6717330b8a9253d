#ifndef PAIRMEND_FCS_STUDY_CORRECTED_FILES_HPP
#define PAIRMEND_FCS_STUDY_CORRECTED_FILES_HPP

// Writing the corrected file of every file of a study, one file at a time, whichever way its
// events were corrected: the loop that every correction of FCS files ends in.

#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs_study/compose_output.hpp"
#include "pairmend/fcs_study/progress.hpp"
#include "pairmend/fcs_study/study.hpp"
#include "pairmend/fcs_study/study_report.hpp"
#include "pairmend/output_transaction.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pairmend::fcs_study {

/** A block of one file's events before and after correction, and what its corrected file records. */
struct FileCorrection {
    const fcs::FcsFile& file;     ///< the file's description, as read.
    std::size_t first = 0;        ///< the block's first event in the file.
    std::size_t count = 0;        ///< the block's events.
    const double* linear;         ///< their values on the linear scale as measured (count x channels).
    const double* events;         ///< the chosen channels' transformed values, event after event.
    const double* corrected;      ///< the same corrected.
    const CorrectionStamp& stamp; ///< what the corrected file records about the correction.
    int threads = 1;              ///< threads that may compose the corrected file.
};

/** Where the files of a study get their corrected values. */
class StudyCorrection {
public:
    virtual ~StudyCorrection() = default;

    /** Corrects file `f` of the study (reading it if need be) and passes its events to `use` in
     *  blocks, in event order, every event once; `use` must not keep them. Called for the files in
     *  their order, from one thread, and may be called twice for a file. */
    virtual void correct_file(std::size_t f, const std::function<void(const FileCorrection&)>& use) = 0;
};

/**
 * Writes the corrected file of file `f` of the study a block of events at a time, to the path
 * `destination` gives when the first block is ready; keeps the events `sample` plans when it is
 * given. A file with a channel whose range only its values give is corrected twice: once for the
 * range, which comes before the values, once to be written. Returns the corrected file's layout.
 * @param name how messages name the corrected file.
 * @param values room for a block of the corrected file's values; pass the same vector for every
 *         file, so that the files reuse its memory.
 * @throws std::runtime_error naming the file that could not be corrected or written; the unfinished
 *         file is removed.
 */
fcs::FcsOutput write_corrected_file(const Study& study, StudyCorrection& correction, std::size_t f,
                                    const std::string& name, const std::function<std::string()>& destination,
                                    ReportSample* sample, std::vector<float>& values);

/**
 * Writes the corrected file of every file of the study into `out_dir` under a temporary name
 * registered with `outputs` (write_corrected_file), printing a line per file.
 * @throws std::runtime_error naming the file that could not be corrected or written.
 */
void write_corrected_files(const Study& study, StudyCorrection& correction, const std::string& out_dir,
                           Progress& progress, OutputTransaction& outputs, ReportSample* sample);

/** How a correction of a study ends: its written files, its report and its last line. */
struct CorrectionEnding {
    /// The report's evidence; its events are the sample taken as the files stream past when
    /// `sample_for_report` is set, else those it already shows (a correction in memory).
    ReportEvidence evidence;
    bool sample_for_report = false;
    std::string write_phase;              ///< the phase's name in the report's time table.
    std::optional<double> engine_seconds; ///< the engine's share of the run, for the last line.
};

/**
 * Writes the corrected files (write_corrected_files), then the report when `output.report` is
 * set, commits them all together and prints the run's last line.
 * @param phases the run's phases so far with their seconds.
 * @throws std::runtime_error naming the file that could not be corrected or written; nothing new
 *         is left then.
 */
void write_corrected_study(const Study& study, StudyCorrection& correction, const CorrectedOutput& output,
                           CorrectionEnding ending, std::vector<std::pair<std::string, double>> phases,
                           Progress& progress, OutputTransaction& outputs);

} // namespace pairmend::fcs_study

#endif
