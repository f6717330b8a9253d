#include "pairmend/fcs_study/compensation.hpp"

#include "pairmend/fcs_study/channel_choice.hpp"
#include "pairmend/fcs_study/listing.hpp"

#include <stdexcept>
#include <utility>

namespace pairmend::fcs_study {

namespace {

// "$SPILLOVER (4 channels: FITC-A, PE-A, ...)"
std::string matrix_text(const fcs::SpilloverMatrix& matrix) {
    return matrix.source + " (" + std::to_string(matrix.channels.size()) +
           (matrix.channels.size() == 1 ? " channel: " : " channels: ") + joined(matrix.channels, ", ") + ")";
}

// The files' base names, at most six of them and how many more.
std::string some_files(const std::vector<std::string>& names) {
    std::vector<std::string> shown(
        names.begin(), names.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(names.size(), 6)));
    std::string text = joined(shown, ", ");
    if (names.size() > shown.size()) {
        text += " and " + std::to_string(names.size() - shown.size()) + " more";
    }
    return text;
}

std::string kind_text(const model::CompensationKind kind, const std::string& source) {
    switch (kind) {
    case model::CompensationKind::none:
        break;
    case model::CompensationKind::own_matrices:
        return "compensated with every file's own spillover matrix";
    case model::CompensationKind::matrix_file:
        return "compensated with the spillover matrix of " + source;
    }
    return "not compensated";
}

} // namespace

OwnMatrix own_matrix(const fcs::FcsFile& file) {
    OwnMatrix own;
    if (is_mass_cytometry(file)) {
        own.absence = "it comes from a mass cytometer, whose files are compensated only with a matrix file";
        return own;
    }
    fcs::FileSpillover spillover = fcs::file_spillover(file);
    own.matrix = std::move(spillover.matrix);
    own.notes = std::move(spillover.notes);
    if (!own.matrix) {
        own.absence =
            own.notes.empty() ? "it carries no spillover keyword" : "its spillover keyword cannot be used";
    }
    return own;
}

CompensationChoice choose_compensation(const std::string& request, const std::vector<fcs::FcsFile>& files) {
    CompensationChoice choice;
    if (request == compensation_none) {
        return choice;
    }
    if (request != compensation_auto) {
        choice.kind = model::CompensationKind::matrix_file;
        choice.matrix_file = request;
        const fcs::SpilloverMatrix matrix = fcs::read_spillover_csv(request);
        for (const fcs::FcsFile& file : files) {
            choice.compensators.emplace_back(matrix, file);
            choice.matrices.push_back(matrix);
        }
        choice.summary = "Compensating every file with the spillover matrix of " + matrix_text(matrix);
        return choice;
    }
    std::vector<std::string> with;
    std::vector<std::string> without;
    std::vector<fcs::SpilloverMatrix> matrices;
    bool any_fluorescence = false;
    for (const fcs::FcsFile& file : files) {
        any_fluorescence = any_fluorescence || !is_mass_cytometry(file);
        OwnMatrix own = own_matrix(file);
        if (own.matrix) {
            with.push_back(base_name(file.path));
            matrices.push_back(std::move(*own.matrix));
        } else {
            without.push_back(base_name(file.path));
        }
    }
    if (!with.empty() && !without.empty()) {
        throw std::runtime_error(
            "Only some of the files carry a usable spillover matrix, and files compensated and not "
            "compensated cannot be corrected together. With a matrix: " +
            some_files(with) + "; without one: " + some_files(without) +
            " (pairmend-fcs info says why). Give --compensation none to correct the values as "
            "measured, or --compensation MATRIX.csv to compensate every file with one matrix.");
    }
    if (with.empty()) {
        if (any_fluorescence) {
            choice.summary = "Not compensating: no file carries a usable spillover matrix";
        }
        return choice;
    }
    choice.kind = model::CompensationKind::own_matrices;
    for (std::size_t f = 0; f < files.size(); ++f) {
        choice.compensators.emplace_back(matrices[f], files[f]);
    }
    choice.matrices = std::move(matrices);
    choice.summary = "Compensating every file with its own spillover matrix, such as " +
                     matrix_text(choice.matrices.front()) + " of " + base_name(files.front().path);
    return choice;
}

void compensate(const CompensationChoice& choice, std::size_t f, const fcs::FcsFile& file,
                std::vector<double>& linear) {
    compensate(choice, f, file, 0, file.num_events, linear.data());
}

void compensate(const CompensationChoice& choice, std::size_t f, const fcs::FcsFile& file, std::size_t first,
                std::size_t count, double* linear) {
    if (choice.compensates()) {
        choice.compensators.at(f).apply(file, first, count, linear);
    }
}

std::string compensation_keyword(const CompensationChoice& choice, std::size_t f) {
    if (!choice.compensates()) {
        return {};
    }
    const fcs::SpilloverMatrix& matrix = choice.matrices.at(f);
    return (choice.kind == model::CompensationKind::matrix_file ? "matrix file " : "the file's ") +
           matrix_text(matrix);
}

std::optional<model::FcsCompensation> model_compensation(const CompensationChoice& choice) {
    if (!choice.compensates()) {
        return std::nullopt;
    }
    model::FcsCompensation compensation;
    compensation.kind = choice.kind;
    if (choice.kind == model::CompensationKind::matrix_file) {
        const fcs::SpilloverMatrix& matrix = choice.matrices.front();
        compensation.source = choice.matrix_file;
        compensation.channels = matrix.channels;
        compensation.spillover = matrix.values;
    }
    return compensation;
}

void check_model_compensation(const model::Model& model, const CompensationChoice& choice,
                              const std::string& model_path) {
    const std::optional<model::FcsCompensation> learnt =
        model.fcs ? model.fcs->compensation : std::optional<model::FcsCompensation>();
    const model::CompensationKind learnt_kind = learnt ? learnt->kind : model::CompensationKind::none;
    bool same = learnt_kind == choice.kind;
    if (same && choice.kind == model::CompensationKind::matrix_file) {
        const fcs::SpilloverMatrix& matrix = choice.matrices.front();
        same = matrix.channels == learnt->channels && matrix.values == learnt->spillover;
    }
    if (same) {
        return;
    }
    std::string advice;
    switch (learnt_kind) {
    case model::CompensationKind::none:
        advice = "Give --compensation none to correct these files as the model was learnt.";
        break;
    case model::CompensationKind::own_matrices:
        advice = "Correct files that carry their spillover matrices, with --compensation auto.";
        break;
    case model::CompensationKind::matrix_file:
        advice = "Give --compensation with the matrix file " + learnt->source + " it was learnt with.";
        break;
    }
    const std::string source = learnt ? learnt->source : std::string();
    throw std::runtime_error("The model " + model_path + " was learnt from values " +
                             kind_text(learnt_kind, source) + ", but these files would be " +
                             kind_text(choice.kind, choice.matrix_file) +
                             (same || learnt_kind != choice.kind ? "" : " (another matrix)") + ". " + advice);
}

CompensationChoice model_file_compensation(const model::Model& model, const fcs::FcsFile& file,
                                           const std::string& model_path) {
    CompensationChoice choice;
    if (!model.fcs || !model.fcs->compensation) {
        return choice;
    }
    const model::FcsCompensation& learnt = *model.fcs->compensation;
    choice.kind = learnt.kind;
    if (learnt.kind == model::CompensationKind::matrix_file) {
        choice.matrix_file = learnt.source;
        choice.matrices.push_back({learnt.source, learnt.channels, learnt.spillover});
    } else {
        OwnMatrix own = own_matrix(file);
        if (!own.matrix) {
            throw std::runtime_error("The model " + model_path +
                                     " was learnt from values compensated with every file's own spillover "
                                     "matrix, but " +
                                     file.path + " has none: " + own.absence +
                                     ". Correct files that carry their spillover matrices.");
        }
        choice.matrices.push_back(std::move(*own.matrix));
    }
    choice.compensators.emplace_back(choice.matrices.front(), file);
    return choice;
}

std::vector<std::string> compensation_lines(const fcs::FcsFile& file) {
    OwnMatrix own = own_matrix(file);
    std::vector<std::string> lines = std::move(own.notes);
    if (own.matrix) {
        lines.push_back("Compensated by default with its spillover matrix " + matrix_text(*own.matrix) + ".");
    } else if (!is_mass_cytometry(file)) {
        lines.push_back("Not compensated by default: " + own.absence + ".");
    }
    return lines;
}

} // namespace pairmend::fcs_study
