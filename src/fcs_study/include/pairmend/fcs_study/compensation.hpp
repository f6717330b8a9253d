#ifndef PAIRMEND_FCS_STUDY_COMPENSATION_HPP
#define PAIRMEND_FCS_STUDY_COMPENSATION_HPP

// Whether and how the files of a study are compensated, chosen once for all of them: `auto` takes
// every file's own spillover matrix (none for mass cytometry, whose channels do not spill as
// fluorescence does), `none` none, and a CSV file one matrix for every file. Compensation applies
// to the linear values right after a file is read, before any transform. The functions keep no
// state and may be called from any thread; a CompensationChoice is immutable once made.

#include "pairmend/fcs/fcs_file.hpp"
#include "pairmend/fcs/spillover.hpp"
#include "pairmend/model/Model.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace pairmend::fcs_study {

/** The value of --compensation that takes every file's own matrix. */
inline const std::string compensation_auto = "auto";
/** The value of --compensation that compensates no file. */
inline const std::string compensation_none = "none";

/** What a file's own keywords give under `auto`. */
struct OwnMatrix {
    std::optional<fcs::SpilloverMatrix> matrix; ///< none for mass cytometry or without a usable keyword.
    std::vector<std::string> notes;             ///< a sentence per spillover keyword set aside.
    std::string absence; ///< why there is no matrix ("it carries no spillover keyword").
};

/** The matrix a file's own keywords give under `auto`, and the sentences on those set aside. */
OwnMatrix own_matrix(const fcs::FcsFile& file);

/** How every file of a study is compensated. */
struct CompensationChoice {
    model::CompensationKind kind = model::CompensationKind::none;
    std::string matrix_file;                    ///< the CSV file of the matrix (kind matrix_file).
    std::vector<fcs::SpilloverMatrix> matrices; ///< per file the matrix used; empty for none.
    std::vector<fcs::Compensator> compensators; ///< per file the compensation; empty for none.
    std::string summary; ///< the progress line that says so; empty when there is nothing to say.

    bool compensates() const { return kind != model::CompensationKind::none; }
};

/**
 * Chooses the compensation of the files for `request` (compensation_auto, compensation_none or
 * the name of a CSV file of a spillover matrix).
 * @throws std::runtime_error before any work: under auto when only some files have a usable
 *         matrix (naming the files on each side and what resolves it); for a matrix file that
 *         cannot be read or used, or that names a channel one of the files lacks.
 */
CompensationChoice choose_compensation(const std::string& request, const std::vector<fcs::FcsFile>& files);

/** Compensates file `f`'s linear values in place when the choice compensates. */
void compensate(const CompensationChoice& choice, std::size_t f, const fcs::FcsFile& file,
                std::vector<double>& linear);

/** As compensate, on events first .. first + count - 1 of file `f`, whose linear values `linear`
 *  holds (count * channels). */
void compensate(const CompensationChoice& choice, std::size_t f, const fcs::FcsFile& file, std::size_t first,
                std::size_t count, double* linear);

/** The PAIRMEND_COMPENSATION keyword of file `f`: "$SPILLOVER of the file (4 channels: ...)", or
 *  an empty text when the file is not compensated. */
std::string compensation_keyword(const CompensationChoice& choice, std::size_t f);

/** What a model records of the choice (none when nothing was compensated). */
std::optional<model::FcsCompensation> model_compensation(const CompensationChoice& choice);

/**
 * Refuses files that would be compensated otherwise than the data `model` was learnt from: not at
 * all, each with its own matrix, or all with one matrix (the same channels and values).
 * @throws std::runtime_error naming the model, both ways and the option that makes them agree.
 */
void check_model_compensation(const model::Model& model, const CompensationChoice& choice,
                              const std::string& model_path);

/**
 * The compensation of one file as the data of `model` were compensated: none, the file's own
 * matrix, or the model's matrix.
 * @throws std::runtime_error naming the model and the file when the model's data were compensated
 *         with their own matrices and the file has no usable one, or it lacks a matrix's channel.
 */
CompensationChoice model_file_compensation(const model::Model& model, const fcs::FcsFile& file,
                                           const std::string& model_path);

/**
 * The lines of `info` on compensation: a sentence per spillover keyword set aside, then which
 * matrix `auto` applies to the file or, unless it comes from a mass cytometer, why none does.
 */
std::vector<std::string> compensation_lines(const fcs::FcsFile& file);

} // namespace pairmend::fcs_study

#endif
