#ifndef PAIRMEND_FCS_STUDY_STUDY_OPTIONS_HPP
#define PAIRMEND_FCS_STUDY_STUDY_OPTIONS_HPP

// What a caller says about an FCS study and its correction, in three parts that the study's
// operations take as they need them: the files and how to read them, how a correction is
// learnt, and where the corrected files and the report go.

#include "pairmend/engine_options.hpp"
#include "pairmend/model/method.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pairmend::fcs_study {

/** The files of a study and how their events are read. */
struct StudyFiles {
    std::vector<std::string> files;    ///< the FCS files, in the caller's order.
    std::vector<std::string> channels; ///< channels by $PnN or $PnS; empty for the default choice.
    std::string batch_sheet;           ///< a batch sheet; empty when every file is its own batch.
    std::string channel_map;           ///< a sheet of common channel names; empty for none.
    std::optional<double> cofactor;    ///< the arcsinh cofactor; unset for the instrument's default.
    /// "auto" (every file's own spillover matrix), "none", or a CSV file of one matrix for all.
    std::string compensation = "auto";
    std::string transforms; ///< a transforms file (a transform per channel); empty for none.
};

/** How a correction is learnt. */
struct LearnSettings {
    EngineOptions engine;         ///< the engine's settings.
    model::Method method;         ///< the correction method.
    std::uint64_t fit_events = 0; ///< learn from at most this many events per batch; 0 for all.
};

/** Where the corrected files and the report are written. */
struct CorrectedOutput {
    std::string out_dir; ///< the folder that receives the corrected files.
    std::string report;  ///< the quality-control report; empty for none.
};

} // namespace pairmend::fcs_study

#endif
