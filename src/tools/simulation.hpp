#ifndef PAIRMEND_TOOLS_SIMULATION_HPP
#define PAIRMEND_TOOLS_SIMULATION_HPP

// Synthetic cytometry-like data: Gaussian cell populations measured in several batches, every batch
// but the first distorted by a known smooth batch effect.

#include <cstdint>
#include <iosfwd>
#include <map>
#include <vector>

namespace pairmend::tools {

/// What decides the populations, batch effects and conditions of a simulation, of a table
/// (`SimulationOptions`) or of an FCS study (`StudyOptions`) alike.
struct DrawOptions {
    /// Measured parameters (markers) per event.
    int dims = 5;
    /// Batches, labelled 1 to `batches`.
    int batches = 3;
    /// Cell populations, shared by every batch in the same proportions unless given otherwise.
    int populations = 4;
    /// Seed of the random sequences; the same seed gives the same outputs.
    std::uint64_t seed = 1;
    /// Conditions (biological groups), numbered from 1; 0: none. Each condition has population
    /// shares of its own, and every condition but the first (the control) moves one population in
    /// two parameters: the biology a correction must keep.
    int conditions = 0;
    /// The conditions (numbered from 1) that some batches hold, by batch label; batches not listed
    /// hold every condition.
    std::map<int, std::vector<int>> design;
};

/// Size and seed of a simulated table. With conditions, a batch's events are split evenly between
/// the conditions it holds.
struct SimulationOptions : DrawOptions {
    /// Events in every batch.
    std::int64_t events_per_batch = 10000;
    /// Relative population weights of some batches, by batch label (1..batches): one weight of at
    /// least 0 per population. Batches not listed keep the shared proportions.
    std::map<int, std::vector<double>> batch_weights;
    /// Populations (numbered from 1) missing from a batch, by batch label: their events go to the
    /// batch's other populations in proportion.
    std::map<int, std::vector<int>> absent;
    /// Strength A of a monotone non-linear gain curve per parameter of every batch but the first,
    /// applied on top of the other distortions (0: none). See `BatchEffect::gain`.
    double gain = 0.0;
};

/// The largest gain curve strength (`SimulationOptions::gain`).
constexpr double kMaxGain = 10.0;

/// The largest number of populations; population numbers are stored in 16 bits.
constexpr int kMaxPopulations = 1000;

/// One cell population: an axis-aligned Gaussian cluster.
struct Population {
    /// Mean, one value per parameter.
    std::vector<double> centre;
    /// Standard deviation, one value per parameter.
    std::vector<double> spread;
    /// Events of this population in every batch that keeps the shared proportions.
    std::int64_t events_per_batch = 0;
    /// The population's relative weight in the shared proportions (above 0).
    double weight = 0.0;
};

/**
 * The batch effect of one batch. An event x of a population with centre c is observed at
 *   c + scale * (x - c) + offset + amplitude * sin(2 pi x[next] / period + phase)
 * where next is the following parameter (cyclically): a shift, a change of spread about every
 * population's centre, and a gentle smooth non-linear term. Batch 1 has scale 1 and no shift.
 * With a gain curve (gain > 0), every such value v of parameter j is then mapped to
 *   v + gain * tanh((v - gain_centre[j]) / gain_width[j]),
 * strictly increasing in v (slope from 1 to 1 + gain / gain_width[j]), as a detector's non-linear
 * response bends each channel on its own.
 */
struct BatchEffect {
    /// Constant shift, one value per parameter.
    std::vector<double> offset;
    /// Spread factor about the population centre.
    double scale = 1.0;
    /// Amplitude of the sinusoidal term.
    double amplitude = 0.0;
    /// Phase of the sinusoidal term, one value per parameter.
    std::vector<double> phase;
    /// Strength of the gain curve; 0 (no curve) unless asked for.
    double gain = 0.0;
    /// Where each parameter's gain curve is steepest, and how wide its bend is; empty without a curve.
    std::vector<double> gain_centre;
    std::vector<double> gain_width;
};

/// Everything that decides the simulated distributions.
struct SimulationModel {
    int dims = 0;
    std::vector<Population> populations;
    /// One entry per batch; entry 0 is batch label 1, the undistorted ground-truth frame.
    std::vector<BatchEffect> batches;
    /// Events of every population in every batch: batch_counts[batch index][population].
    std::vector<std::vector<std::int64_t>> batch_counts;
    /// Period of the sinusoidal term, in the units of the data.
    double period = 15.0;
    /// Smallest distance between two population centres.
    double min_separation = 0.0;
};

/// The biology of one condition.
struct Condition {
    /// Relative population weights, one per population (above 0).
    std::vector<double> weights;
    /// The population the condition moves (from 0), or -1 for none.
    int moved_population = -1;
    /// How far it moves, one value per parameter (zero but in two parameters).
    std::vector<double> shift;
};

/// The conditions of a simulation with conditions: per condition its biology, per batch the
/// conditions it holds (from 0).
struct ConditionModel {
    std::vector<Condition> conditions;
    std::vector<std::vector<int>> held;
};

/// The conditions of `options` (which has `conditions` > 0) for the populations of `model`, drawn
/// from a random stream of their own.
ConditionModel make_conditions(const SimulationOptions& options, const SimulationModel& model);

/**
 * Checks the options: every count at least 1, at most `kMaxPopulations` populations, at most
 * 2,147,483,647 events in all (the correction program numbers events with 32-bit integers), batch
 * weights and absent populations that name existing batches and populations and leave every batch
 * some population, and a gain from 0 to `kMaxGain`.
 * @throws std::invalid_argument with a message naming the offending option.
 */
void validate(const SimulationOptions& options);

/**
 * Draws the populations and batch effects for `options` (the model that `write_simulation` uses).
 * @throws std::invalid_argument if the options are invalid.
 */
SimulationModel make_model(const SimulationOptions& options);

/**
 * Applies the batch effect of batch `batch_index` (0-based) to the true position `truth` of an event of
 * population `population`, writing `model.dims` values to `observed`.
 */
void distort(const SimulationModel& model, int batch_index, int population, const double* truth,
             double* observed);

/// As `distort`, about `centre` (one value per parameter) instead of a population's centre: the
/// batch effect of a population that a condition has moved.
void distort_about(const SimulationModel& model, int batch_index, const std::vector<double>& centre,
                   const double* truth, double* observed);

/**
 * Simulates the data set and streams it out, batch after batch, each batch's events in random order.
 * `input` receives the correction program's input table: a header of the parameter names P1..Pd,
 * "batch" and "event", then per event its observed values, its batch label (1..B) and its event number
 * (1..n in row order). `truth`, when not null, receives the same rows' undistorted values under the
 * header P1..Pd. Numbers are written with 7 significant digits. Memory use is one population number per
 * event of a batch.
 * @throws std::invalid_argument if the options are invalid.
 */
void write_simulation(const SimulationOptions& options, std::ostream& input, std::ostream* truth);

} // namespace pairmend::tools

#endif
