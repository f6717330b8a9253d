#ifndef PAIRMEND_MODEL_MODEL_HPP
#define PAIRMEND_MODEL_MODEL_HPP

#include "pairmend/engine_options.hpp"
#include "pairmend/model/method.hpp"
#include "pairmend/model/transform.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

namespace pairmend::model {

/// The engine settings a model was fitted with, with their defaults from the shared
/// EngineOptions, and what the model library adds to them; apply and extend use them unchanged.
struct Settings : EngineOptions {
    /// Largest number of observations the target correction samples to find centres.
    std::uint64_t observation_cap = std::numeric_limits<std::uint64_t>::max();
    /// Largest number of corrected reference rows the model keeps for adding batches later.
    std::uint64_t reference_events = 200000;
};

/// One batch of a model, as it joined the reference.
struct BatchModel {
    /// The batch's name, as the user gave it.
    std::string name;
    /// The batch's number: its position among the batches of the fit (or of the extend call that
    /// added it, counted on from the batches already in the model).
    std::int64_t number = 0;
    /// Events the batch was fitted on.
    std::uint64_t fitted_events = 0;
    /// Rows of this batch in the model's stored reference.
    std::uint64_t reference_rows = 0;
    /// What the model's method learnt about the batch; null for the first reference, which does
    /// not move. Shared by copies of the model, never changed.
    std::shared_ptr<const BatchCorrection> correction;
    /// For a model learnt with conditions: the conditions the batch holds, and those its
    /// correction was learnt from (held by both the batch and the batches before it), as
    /// positions in `Model::conditions`, in increasing order. Empty without conditions.
    std::vector<std::uint32_t> conditions_held;
    std::vector<std::uint32_t> conditions_learnt;

    /// The correction as the method's own type, e.g. `as<MnnCorrection>()`.
    /// @throws std::bad_cast for a batch of another method or the first reference.
    template <class Correction>
    const Correction& as() const {
        const auto* typed = dynamic_cast<const Correction*>(correction.get());
        if (typed == nullptr) {
            throw std::bad_cast();
        }
        return *typed;
    }
};

/// An FCS channel a parameter was read from.
struct FcsChannel {
    /// The channel's short name ($PnN).
    std::string name;
    /// The channel's marker or long name ($PnS); empty where the file gave none.
    std::string label;
};

/// Whether and how the linear values of FCS files were compensated for spillover.
enum class CompensationKind {
    none,         ///< not compensated.
    own_matrices, ///< every file with the spillover matrix it carries.
    matrix_file,  ///< every file with one matrix, given as a CSV file.
};

/// The compensation of a model fitted on FCS files.
struct FcsCompensation {
    CompensationKind kind = CompensationKind::own_matrices; ///< never none: then there is no FcsCompensation.
    std::string source;                                     ///< matrix_file: the CSV file's name, as given.
    std::vector<std::string> channels;                      ///< matrix_file: the matrix's channels ($PnN).
    std::vector<double> spillover; ///< matrix_file: the spillover matrix, row after row.
};

/// How the parameters of a model fitted on FCS files were read from them.
struct FcsInfo {
    /// The channel of every parameter, in parameter order.
    std::vector<FcsChannel> channels;
    /// The arcsinh cofactor the values were transformed with; when `transforms` is not empty, the
    /// default cofactor of the run that learnt the model (or 1), which no channel need use.
    double cofactor = 0;
    /// How the values were compensated before the transform; none when they were not.
    std::optional<FcsCompensation> compensation;
    /// Every channel's transform, in parameter order; empty when every channel is
    /// arcsinh(value / cofactor), as in every model before transforms per channel.
    std::vector<ChannelTransform> transforms;
};

/**
 * A learnt correction: corrects events of every batch it knows (apply) and can take new batches
 * (extend) without changing what it holds about the old ones.
 *
 * Thread safety: a plain value type; concurrent reads are safe.
 */
struct Model {
    /// Number of values per event.
    int ndim = 0;
    /// Parameter names, one per value of an event.
    std::vector<std::string> parameters;
    /// The engine settings of the fit.
    Settings settings;
    /// How the batches are corrected.
    Method method;
    /// The batches in merge order: the first reference first.
    std::vector<BatchModel> batches;
    /// Mutual pairs of every merge step after the first batch, in merge order.
    std::vector<std::int64_t> num_pairs;
    /// Corrected reference rows, `ndim` values each, grouped by batch in merge order
    /// (`batches[b].reference_rows` rows each).
    std::vector<double> reference;
    /// The FCS channels and cofactor, for models fitted on FCS files.
    std::optional<FcsInfo> fcs;
    /// The names of the conditions the model was learnt with; empty when learnt without.
    std::vector<std::string> conditions;
    /// With conditions: the condition of every stored reference row, a position in `conditions`.
    std::vector<std::uint32_t> reference_conditions;
};

/** The engine's settings of a model's settings, as every front end describes them. */
EngineOptions engine_options(const Settings& settings);

/** A model's settings with the engine's settings `options` and the other fields at their defaults. */
Settings model_settings(const EngineOptions& options);

/**
 * The position in `model.batches` of the batch named `name`.
 *
 * @throws std::runtime_error naming the batch and listing the model's batches if there is none.
 */
std::size_t find_batch(const Model& model, const std::string& name);

/// The names of the model's batches in merge order, for messages: "A", "B" and "C".
std::string batch_list(const Model& model);

/**
 * Refuses a model whose parts do not fit together: the settings, parameter and FCS channel
 * counts, batch names (each at most once), reference row counts, and every batch state's sizes
 * and partner positions. A loaded model passes this before use, so
 * that apply and extend never read outside what the model holds.
 *
 * @param model The model to check.
 * @param source How to name the model in messages ("The model file x.pmm", "The model").
 * @throws std::runtime_error with a sentence naming `source` and the fault.
 */
void check_model(const Model& model, const std::string& source);

/**
 * Refuses settings the engine cannot run with.
 *
 * @throws std::runtime_error with the engine's message.
 */
void check_settings(const Settings& settings);

} // namespace pairmend::model

#endif
