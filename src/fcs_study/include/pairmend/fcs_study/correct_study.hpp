#ifndef PAIRMEND_FCS_STUDY_CORRECT_STUDY_HPP
#define PAIRMEND_FCS_STUDY_CORRECT_STUDY_HPP

// Correcting an FCS study: reads the files, corrects the chosen channels on the arcsinh scale and
// writes every file again with the corrected channels added, and the report. The default method
// on every event runs the engine on the whole study in memory; another method, or a subsample,
// learns a model and applies it file by file. Both end in the same writing and the same report.

#include "pairmend/fcs_study/progress.hpp"
#include "pairmend/fcs_study/study_options.hpp"

namespace pairmend::fcs_study {

/**
 * The whole correction: every output file and the report under temporary names, renamed into
 * place at the end. After a failure no new file is left.
 * @param threads the threads of the engine and of the report; results do not depend on them.
 * @throws std::runtime_error with a message naming the file and the problem.
 */
void correct_study(const StudyFiles& files, const LearnSettings& learning, const CorrectedOutput& output,
                   int threads, Progress& progress);

} // namespace pairmend::fcs_study

#endif
