#ifndef PAIRMEND_TOOLS_STUDY_HPP
#define PAIRMEND_TOOLS_STUDY_HPP

// A simulated multi-file cytometry study: in every batch a few patients' samples and one anchor
// (the same donor's cells measured in every batch), drawn from the populations and distorted by
// the batch effects of the table simulation (simulation.hpp). Values are on the arcsinh scale;
// writing them as an instrument would is fcs_study_writer.hpp's job.

#include "random.hpp"
#include "simulation.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pairmend::tools {

/// Size and seed of a simulated study; its batches are named batch1 to batch<batches>. With
/// conditions every batch has one file per condition it holds instead of samples and an anchor,
/// and the conditions' biology is the table simulation's (`make_conditions`).
struct StudyOptions : DrawOptions {
    /// Events in every file, samples and anchors alike.
    std::int64_t events_per_file = 10000;
    /// Patients' sample files per batch; every batch has one anchor file in addition.
    int files_per_batch = 2;
    /// Write the study as a fluorescence cytometer records it, with a known spillover between
    /// neighbouring detectors applied to the values and recorded in $SPILLOVER.
    bool spillover = false;
    /// A channel that one batch names otherwise: its $PnN or $PnS `from` is `to` in batch `batch`.
    struct Rename {
        int batch = 0;
        std::string from;
        std::string to;
    };
    /// Channels named otherwise in some batches (a panel that differs), in the order given.
    std::vector<Rename> renames;
};

/// One file of a study.
struct StudyFile {
    /// The file name: "batch<b>_sample<f>.fcs", "batch<b>_anchor.fcs" or "batch<b>_condition<c>.fcs".
    std::string name;
    /// The batch, from 1.
    int batch = 0;
    /// The sample, from 1; 0 for the batch's anchor and for a condition's file.
    int sample = 0;
    /// The condition, from 1, of a study with conditions; 0 otherwise.
    int condition = 0;
    /// Events of every population in the file; they add up to the events per file.
    std::vector<std::int64_t> population_events;
    /// Seed of the file's own event sequence, so that every file can be simulated alone.
    std::uint64_t seed = 0;

    /// Whether this is the batch's anchor file.
    bool is_anchor() const { return sample == 0 && condition == 0; }
};

/// Everything that decides a study's files.
struct Study {
    StudyOptions options;
    /// Populations and batch effects: exactly those of the table simulation with the same seed,
    /// dimensions, batches and populations. A population's share of the events per batch is the
    /// anchor's composition.
    SimulationModel model;
    /// The conditions' biology and design; empty without conditions.
    ConditionModel conditions;
    /// Batch after batch: its samples 1..F, then its anchor; with conditions, its conditions in order.
    std::vector<StudyFile> files;
};

/// The largest value on the arcsinh scale that a population centre may reach: 5 sinh(x) of the
/// events around it must stay well inside the range of 32-bit floating-point values.
constexpr double kMaxStudyCentre = 80.0;

/**
 * Checks the options: every count at least 1, conditions and design as the table simulation
 * checks them, at most panel_size() markers, at most
 * `kMaxPopulations` populations, and at most 2,147,483,647 events in all files together (pairmend
 * numbers events with 32-bit integers).
 * @throws std::invalid_argument with a message naming the offending option.
 */
void validate(const StudyOptions& options);

/**
 * Draws the study: the model, every sample's population shares (the anchor's shares, each varied
 * by a factor from 0.75 to 1.25 and scaled back to the events per file) and every file's seed.
 * Anchors share one composition. With conditions, a condition's file has the condition's shares.
 * @throws std::invalid_argument if the options are invalid, or if the population centres spread
 *         beyond kMaxStudyCentre (many populations in few dimensions).
 */
Study make_study(const StudyOptions& options);

/// The batch's name in the batch sheet: "batch<b>".
std::string study_batch_name(int batch);

/// One simulated event of a study file.
struct StudyEvent {
    /// The population it belongs to (0-based).
    int population = 0;
    /// Its true position on the arcsinh scale, one value per marker.
    std::vector<double> truth;
    /// Its position as the batch measured it: truth with the batch's effect applied.
    std::vector<double> observed;
    /// Acquisition time in milliseconds since the file's first event: gaps as of 500 events a second.
    double time_ms = 0.0;
    /// The ion cloud's length in pushes, a whole number from 10 to 75.
    double event_length = 0.0;
};

/**
 * The events of one study file, one after another, populations interleaved at random. Memory is
 * one population number per event of the file.
 *
 * Keeps a reference to the study, which must outlive it. Not thread-safe; streams of different
 * files are independent and may run on different threads.
 */
class StudyEventStream {
public:
    /// Starts the events of `study.files[file_index]`.
    StudyEventStream(const Study& study, std::size_t file_index);

    /// Writes the next event to `event`; returns false, leaving `event` unchanged, after the last one.
    bool next(StudyEvent& event);

private:
    const Study& study_;
    int batch_index_;
    /// The population that the file's condition moves (-1: none) and how far.
    int moved_population_ = -1;
    std::vector<double> shift_;
    std::vector<double> centre_;
    Random rng_;
    std::vector<std::uint16_t> order_;
    std::size_t position_ = 0;
    double time_ms_ = 0.0;
};

} // namespace pairmend::tools

#endif
