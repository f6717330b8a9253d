#ifndef PAIRMEND_FCS_STUDY_STUDY_HPP
#define PAIRMEND_FCS_STUDY_STUDY_HPP

// An FCS study as a first pass over its files finds it: the files' descriptions, their batches,
// the channels to correct and the arcsinh cofactor; and what every operation on a study reads
// from its files: the chosen channels' values on the arcsinh scale, all or an evenly spread
// subsample of each batch. The functions keep no state and may be called from any thread.

#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs_study/batch_plan.hpp"
#include "pairmend/fcs_study/channel_map.hpp"
#include "pairmend/fcs_study/compensation.hpp"
#include "pairmend/fcs_study/progress.hpp"
#include "pairmend/fcs_study/study_options.hpp"
#include "pairmend/model/Model.hpp"
#include "pairmend/model/transform.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pairmend::fcs_study {

/** The channels to correct in every file, and how they are shown. */
struct ChannelChoice {
    std::vector<std::vector<std::size_t>> chosen; ///< per file, the positions of the chosen channels.
    std::vector<std::string> channel_names;       ///< the chosen channels as shown ("CD19 (Nd142Di)").
    /// per file, the channels of the default choice that it writes unchanged because not every
    /// file holds them (as shown); empty lists when the channels were named.
    std::vector<std::vector<std::string>> kept_unchanged;
};

/** The arcsinh cofactor and why it was chosen; 0 when every channel's transform was given and no
 *  --cofactor was. */
struct CofactorChoice {
    double cofactor = 0;
    std::string origin; ///< "given with --cofactor" or "default for mass cytometry (Helios)".
};

/** The files of a study, read once and checked. */
struct Study {
    std::vector<fcs::FcsFile> files; ///< the files' descriptions; their values are released.
    BatchPlan batches;               ///< the batch of every file.
    ChannelChoice channels;          ///< the channels to correct.
    CofactorChoice cofactor;         ///< the arcsinh cofactor of the channels without a transform given.
    /// every chosen channel's transform: the one the transforms file gives, else arcsinh with the cofactor.
    std::vector<model::ChannelTransform> transforms;
    std::string transforms_source;         ///< the transforms file; empty when none was given.
    CompensationChoice compensation;       ///< how every file's linear values are compensated.
    std::vector<std::size_t> batch_events; ///< the events of every batch, by batch number - 1.

    /** The number of chosen channels. */
    std::size_t ndim() const { return channels.channel_names.size(); }
};

/** What a study is read for, which decides what the batch sheet may name and what is checked. */
enum class StudyUse {
    correct, ///< corrected as a whole: the sheet names exactly the files, at least two batches.
    learn,   ///< a model learnt from the files (fit): the sheet may be a larger study's.
    model,   ///< files corrected by or added to a model: the model's channels and cofactor.
};

/**
 * Reads every file once, checks it and prints one line per file (and its set-aside notes), then
 * chooses the files' compensation (see choose_compensation) and prints it.
 * @param model for StudyUse::model, the model whose channels and cofactor the study takes.
 * @param model_path how messages name that model.
 * @param[out] linear when not null, receives every file's values on the linear scale.
 * @throws std::runtime_error naming the file and the problem: a sheet that does not fit the
 *         files, fewer than two batches (correct, learn), a file without events, a missing channel,
 *         a cofactor that cannot be chosen.
 */
Study read_study(const StudyFiles& request, StudyUse use, Progress& progress,
                 const model::Model* model = nullptr, const std::string& model_path = {},
                 std::vector<std::vector<double>>* linear = nullptr);

/**
 * The batches of the files: each its own, or as the sheet says (see batches_from_sheet); a study
 * corrected as a whole must name exactly its files, a model's may be a larger study's.
 * @throws std::runtime_error when the sheet cannot be read or does not fit the files.
 */
BatchPlan plan_batches(const StudyFiles& request, StudyUse use);

/** Prints the chosen channels with their transform and the batches with their files. */
void announce_study(const Study& study, const StudyFiles& request, Progress& progress);

/** Reads one file with its values on the linear scale; the stored values are released. */
std::pair<fcs::FcsFile, std::vector<double>> read_linear(const std::string& path);

/**
 * Refuses outputs that would collide with each other or replace an input, before any file is read:
 * two inputs of the same base name, an output folder that is a file, a corrected file or report
 * that would replace an input, a report that would replace a corrected file.
 * @throws std::runtime_error saying which files collide and what to do.
 */
void check_output_names(const std::vector<std::string>& files, const CorrectedOutput& output);

/**
 * The channels named by `requested` ($PnN, $PnS or a common name of `map`), or when it is empty the
 * markers of every file's default choice that all files hold under their common names, in the
 * first file's order.
 * @throws std::runtime_error naming the file when a named channel is missing or named twice, the
 *         first file has no channel of the default choice, or the files share none.
 */
ChannelChoice choose_channels(const std::vector<std::string>& requested,
                              const std::vector<fcs::FcsFile>& files, const ChannelMap& map = {});

/**
 * The cofactor given, or 5 when every file comes from a mass cytometer.
 * @throws std::runtime_error naming a file that does not when no cofactor is given.
 */
CofactorChoice choose_cofactor(std::optional<double> given, const std::vector<fcs::FcsFile>& files);

/** The model's channels, by the names that find them in a file ($PnN, or the parameter names of a
 *  model learnt without FCS channels). */
std::vector<std::string> model_channel_names(const model::Model& model);

/**
 * The arcsinh cofactor for applying `model`: its own, or for a model learnt without FCS channels the
 * one `given`.
 * @throws std::runtime_error naming the model when `given` differs from the model's own (or the model
 *         keeps a transform per channel), or is missing for a model without one.
 */
double model_cofactor(const model::Model& model, std::optional<double> given, const std::string& model_path);

/**
 * The transformed values of the chosen channels of events first .. first + count - 1 of a file,
 * event after event, into `out`.
 * @param linear those events' values on the linear scale, event after event.
 * @param transforms the transform of every chosen channel.
 * @throws std::runtime_error naming the event, file and channel of a value that is not finite.
 */
void transform_events(const fcs::FcsFile& file, const double* linear, const std::vector<std::size_t>& chosen,
                      const std::vector<model::Transform>& transforms, std::size_t first, std::size_t count,
                      double* out);

/** Events a file is read, corrected and written in at a time: about 8 MiB of its linear values,
 *  a whole number of event blocks (kEventBlock). */
std::size_t events_per_file_block(std::size_t channels);

/** One block of a file's events, as a correction reads them. */
struct EventBlock {
    std::size_t first = 0;      ///< the block's first event in the file
    std::size_t count = 0;      ///< its events
    std::vector<double> linear; ///< count x channels values on the linear scale, as measured
    std::vector<double> events; ///< count x chosen channels, compensated as the study says and transformed
};

/**
 * Reads file `f` of the study a block of events at a time (events_per_file_block) into `block`
 * and passes each block, in event order, to `use` with the file's description; memory stays that
 * of one block however large the file. Pass the same `block` for every file of a study, so that
 * the files reuse its memory instead of each faulting in fresh pages. `threads` compensate and
 * transform each block; the values do not depend on them.
 * @throws std::runtime_error as read_fcs, and naming the event of a value that is not finite
 *         where compensation or the transform needs it.
 */
void for_each_file_block(const Study& study, std::size_t f, int threads,
                         const std::function<void(const fcs::FcsFile&, const EventBlock&)>& use,
                         EventBlock& block);

/**
 * The transforms of a model's channels: its own, or arcsinh with `cofactor` for every channel of a
 * model that keeps one cofactor (see model_cofactor).
 */
std::vector<model::ChannelTransform> model_transforms(const model::Model& model, double cofactor);

/**
 * The transformed values of every batch's events (compensated as the study says), or of an evenly
 * spread subsample of at most `fit_events` of them (0: all), read file by file; by batch number - 1.
 * Of a subsample only its events are read, unless the study compensates: then every event is,
 * so that a value compensation cannot use is refused here as the correction would refuse it.
 */
std::vector<std::vector<double>> gather_events(const Study& study, std::uint64_t fit_events);

/** The base names of the files of batch `number` (from 1), in input order. */
std::vector<std::string> batch_members(const Study& study, std::size_t number);

} // namespace pairmend::fcs_study

#endif
