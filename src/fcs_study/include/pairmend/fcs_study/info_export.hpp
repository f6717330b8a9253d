#ifndef PAIRMEND_FCS_STUDY_INFO_EXPORT_HPP
#define PAIRMEND_FCS_STUDY_INFO_EXPORT_HPP

// `pairmend-fcs info` and `pairmend-fcs export`.

#include "pairmend/fcs/fcs_file.hpp"

#include "pairmend/fcs_study/transforms.hpp"
#include <ostream>

#include <string>
#include <vector>

namespace pairmend::fcs_study {

/** What `info` describes. */
struct InfoOptions {
    std::vector<std::string> files; ///< the FCS files to describe.
    std::string transforms; ///< a transforms file whose transform of each channel is shown; empty for none.
};

/** What `export` writes. */
struct ExportOptions {
    bool raw = false;   ///< values as stored instead of on the linear scale.
    std::string input;  ///< the FCS file.
    std::string output; ///< the CSV file to write.
    /// Linear values compensated with the file's own spillover matrix.
    bool compensated = false;
};

/**
 * Describes one file: version, event count, data type, instrument, a line for each optional
 * segment the reader set aside and for each keyword on which the primary and the supplemental
 * TEXT disagree, the lines on its compensation (see compensation_lines), and a table of its channels ($PnN,
 * $PnS, $PnR) with whether `correct` chooses each by default, and why not; with `transforms`, also
 * the transform it gives each channel.
 */
void describe_file(const pairmend::fcs::FcsFile& file, std::ostream& out,
                   const TransformSheet* transforms = nullptr);

/**
 * The info command: reads every file and describes it on `out`. A file that cannot be read is
 * reported on `err` as "Error: " and the reader's message, and the other files are still described.
 * @return true when every file could be read.
 */
bool print_info(const InfoOptions& options, std::ostream& out, std::ostream& err);

/**
 * The export command: writes the CSV table of one file, a header of the $PnN names (quoted when
 * they hold a comma or a quote) and one line per event. Every value is written as the shortest
 * decimal text that reads back as the same double. The table appears only when complete.
 * @throws std::runtime_error naming the file when it cannot be read or the table cannot be written,
 *         and, for `compensated`, when the file carries no usable spillover matrix (saying why).
 */
void export_csv(const ExportOptions& options);

} // namespace pairmend::fcs_study

#endif
