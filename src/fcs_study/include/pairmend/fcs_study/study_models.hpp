#ifndef PAIRMEND_FCS_STUDY_STUDY_MODELS_HPP
#define PAIRMEND_FCS_STUDY_STUDY_MODELS_HPP

// Correction models and FCS studies: a model learnt from a study's files (all their events or an
// evenly spread subsample of each batch), applied to files one at a time, or extended by new
// batches. Files are read, corrected and written a block of events at a time, so memory grows with
// the events learnt from, not with the size or the number of the files.

#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs_study/compose_output.hpp"
#include "pairmend/fcs_study/corrected_files.hpp"
#include "pairmend/fcs_study/progress.hpp"
#include "pairmend/fcs_study/study.hpp"
#include "pairmend/fcs_study/study_options.hpp"
#include "pairmend/model/Model.hpp"
#include "pairmend/model/apply.hpp"

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pairmend::fcs_study {

/**
 * Corrects one FCS file with a batch's corrector and writes its corrected file to `out_path` a
 * block of events at a time, byte for byte as `apply` writes it: for every front end that applies
 * a model to files one at a time. The file is compensated as the model's data were (see
 * model_file_compensation). Returns the file's number of events.
 * @param batch_number the batch's number in the run (recorded in PAIRMEND_BATCH).
 * @param model_source how messages name the model.
 * @throws std::runtime_error for a file without events, a value that is not finite or does not
 *         fit the corrected file, a file that cannot be compensated as the model's data were, and
 *         a file that cannot be written; nothing is left at `out_path` then.
 */
std::size_t correct_file_with_model(const model::Model& model, const model::BatchCorrector& corrector,
                                    const std::string& path, int batch_number, const std::string& out_path,
                                    int threads, const std::string& model_source);

/** A study's files corrected by a model, read one at a time; each batch's corrector is built
 *  when its first file comes. */
class ModelCorrection : public StudyCorrection {
public:
    /** @param model and `study` must outlive this object. */
    ModelCorrection(const model::Model& model, const Study& study, int threads);
    /** The same, with the corrector of one batch already built; it must outlive this object. */
    ModelCorrection(const model::Model& model, const Study& study, int threads,
                    const model::BatchCorrector& corrector);
    void correct_file(std::size_t f, const std::function<void(const FileCorrection&)>& use) override;

private:
    const model::Model& model_;
    const Study& study_;
    int threads_;
    std::string settings_; ///< the PAIRMEND_SETTINGS keyword of every file it corrects.
    std::map<std::string, std::unique_ptr<model::BatchCorrector>> correctors_;
    const model::BatchCorrector* given_ = nullptr; ///< a batch's corrector built by the caller.
    EventBlock block_;              ///< a block of the file being corrected, its room kept for the next.
    std::vector<double> corrected_; ///< the block corrected, likewise.
};

/**
 * Learns a model from the study's events (with learning.fit_events, from an evenly spread
 * subsample of each batch), printing what it learns from and the fit's progress.
 * @throws std::runtime_error naming the batch and the problem.
 */
model::Model learn_model(const Study& study, const LearnSettings& learning, int threads, Progress& progress);

/** "4 batches (A, B, C, D), 10 channels, learnt from 80000 events, method mnn". */
std::string model_summary(const model::Model& model);

/**
 * `fit`: learns a model from the files and writes it to `model_path`.
 * @throws std::runtime_error naming the file and the problem; nothing is written then.
 */
void fit_study(const StudyFiles& files, const LearnSettings& learning, const std::string& model_path,
               int threads, Progress& progress);

/**
 * `apply`: corrects every file with the model at `model_path` and writes the corrected files (and
 * the report) as a correction does. Every file's batch and channels are checked before anything is
 * written; all files appear together, or none.
 * @throws std::runtime_error naming the file and the problem.
 */
void apply_study(const StudyFiles& files, const std::string& model_path, const CorrectedOutput& output,
                 int threads, Progress& progress);

/**
 * `extend`: adds the files' batches to the model at `model_path` and writes the extended model to
 * `new_model_path`; the model's batches stay as they were.
 * @throws std::runtime_error naming the file and the problem; nothing is written then.
 */
void extend_study(const StudyFiles& files, const std::string& model_path, const std::string& new_model_path,
                  int threads, Progress& progress);

} // namespace pairmend::fcs_study

#endif
