#include "study.hpp"

#include "mass_panel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace pairmend::tools {

namespace {

// Patients differ a little in their composition: each population's share varies by this factor.
constexpr Interval kShareFactor{0.75, 1.25};
// A mass cytometer acquires a few hundred cells a second; event lengths (in pushes of the
// time-of-flight analyser) cluster around 20 within the instrument's usual gate of 10 to 75.
constexpr double kMeanGapMs = 2.0;
constexpr double kMeanEventLength = 22.0;
constexpr double kEventLengthSpread = 6.0;
constexpr Interval kEventLengthGate{10.0, 75.0};
// The study's own draws use a sequence apart from the model's, which is seeded with the seed itself.
constexpr std::uint64_t kStudySequence = 0x9E3779B97F4A7C15ULL;

SimulationOptions model_options(const StudyOptions& options) {
    SimulationOptions model;
    static_cast<DrawOptions&>(model) = options;
    model.events_per_batch = options.events_per_file;
    return model;
}

// The number of files of the study: per batch its samples and anchor, or its conditions.
std::int64_t file_count(const StudyOptions& options) {
    if (options.conditions == 0) {
        return static_cast<std::int64_t>(options.batches) * (options.files_per_batch + 1);
    }
    std::int64_t files = 0;
    for (int b = 1; b <= options.batches; ++b) {
        const auto listed = options.design.find(b);
        if (listed == options.design.end()) {
            files += options.conditions;
        } else {
            std::vector<int> held = listed->second;
            std::sort(held.begin(), held.end());
            files += std::unique(held.begin(), held.end()) - held.begin();
        }
    }
    return files;
}

// `total` events split in proportion to `weights`, rounded down, the remainder going one by one to
// the first populations (as the table simulation splits a batch).
std::vector<std::int64_t> split_events(std::int64_t total, const std::vector<double>& weights) {
    double sum = 0.0;
    for (const double weight : weights) {
        sum += weight;
    }
    std::vector<std::int64_t> counts(weights.size());
    std::int64_t assigned = 0;
    for (std::size_t p = 0; p < weights.size(); ++p) {
        counts[p] = static_cast<std::int64_t>(std::floor(static_cast<double>(total) * weights[p] / sum));
        assigned += counts[p];
    }
    for (std::size_t p = 0; assigned < total; p = (p + 1) % counts.size()) {
        ++counts[p];
        ++assigned;
    }
    return counts;
}

void check_centres(const StudyOptions& options, const SimulationModel& model) {
    double largest = 0.0;
    for (const Population& population : model.populations) {
        for (const double value : population.centre) {
            largest = std::max(largest, std::fabs(value));
        }
    }
    if (largest > kMaxStudyCentre) {
        std::ostringstream message;
        message << "With " << options.populations << " populations in " << options.dims
                << " dimensions the population centres spread up to " << largest
                << " on the arcsinh scale, too far for their linear values to fit in 32-bit FCS values; "
                   "use fewer populations (--populations) or more dimensions (--dims).";
        throw std::invalid_argument(message.str());
    }
}

} // namespace

void validate(const StudyOptions& options) {
    auto fail = [](const std::string& message) { throw std::invalid_argument(message); };
    if (options.events_per_file < 1) {
        fail("The number of events per file (--events) must be at least 1.");
    }
    if (options.dims < 1 || options.dims > panel_size()) {
        fail("The number of markers (--dims) of an FCS study must lie between 1 and " +
             std::to_string(panel_size()) + ", the size of the simulated antibody panel.");
    }
    if (options.batches < 1) {
        fail("The number of batches (--batches) must be at least 1.");
    }
    if (options.files_per_batch < 1) {
        fail("The number of sample files per batch (--files-per-batch) must be at least 1.");
    }
    if (options.populations < 1 || options.populations > kMaxPopulations) {
        fail("The number of populations (--populations) must lie between 1 and " +
             std::to_string(kMaxPopulations) + ".");
    }
    // The conditions and the design are checked as the table simulation checks them.
    if (options.conditions != 0 || !options.design.empty()) {
        validate(model_options(options));
    }
    constexpr std::int64_t max_events = std::numeric_limits<std::int32_t>::max();
    const std::int64_t files = file_count(options);
    if (options.events_per_file > max_events / files) {
        std::ostringstream message;
        message << "The study's " << files << " files would hold more than " << max_events
                << " events together, beyond what pairmend can correct in one run; reduce --events, "
                   "--batches, --files-per-batch or the conditions.";
        fail(message.str());
    }
}

Study make_study(const StudyOptions& options) {
    validate(options);
    Study study;
    study.options = options;
    study.model = make_model(model_options(options));
    check_centres(options, study.model);

    std::vector<double> anchor_shares;
    std::vector<std::int64_t> anchor_events;
    for (const Population& population : study.model.populations) {
        anchor_shares.push_back(static_cast<double>(population.events_per_batch));
        anchor_events.push_back(population.events_per_batch);
    }
    Random rng(options.seed ^ kStudySequence);
    if (options.conditions > 0) {
        study.conditions = make_conditions(model_options(options), study.model);
        for (int b = 1; b <= options.batches; ++b) {
            for (const int c : study.conditions.held[static_cast<std::size_t>(b - 1)]) {
                StudyFile file;
                file.batch = b;
                file.condition = c + 1;
                file.name = study_batch_name(b) + "_condition" + std::to_string(c + 1) + ".fcs";
                file.population_events =
                    split_events(options.events_per_file,
                                 study.conditions.conditions[static_cast<std::size_t>(c)].weights);
                file.seed = rng.bits();
                study.files.push_back(std::move(file));
            }
        }
        return study;
    }
    std::vector<double> shares(anchor_shares.size());
    for (int b = 1; b <= options.batches; ++b) {
        for (int f = 1; f <= options.files_per_batch + 1; ++f) {
            StudyFile file;
            file.batch = b;
            const bool anchor = f > options.files_per_batch;
            file.sample = anchor ? 0 : f;
            file.name =
                study_batch_name(b) + (anchor ? "_anchor.fcs" : "_sample" + std::to_string(f) + ".fcs");
            if (anchor) {
                file.population_events = anchor_events;
            } else {
                for (std::size_t p = 0; p < shares.size(); ++p) {
                    shares[p] = anchor_shares[p] * rng.uniform(kShareFactor);
                }
                file.population_events = split_events(options.events_per_file, shares);
            }
            file.seed = rng.bits();
            study.files.push_back(std::move(file));
        }
    }
    return study;
}

std::string study_batch_name(int batch) {
    return "batch" + std::to_string(batch);
}

StudyEventStream::StudyEventStream(const Study& study, std::size_t file_index)
    : study_(study), batch_index_(study.files.at(file_index).batch - 1), rng_(study.files[file_index].seed) {
    const StudyFile& file = study.files[file_index];
    if (file.condition > 0) {
        const Condition& condition =
            study.conditions.conditions[static_cast<std::size_t>(file.condition - 1)];
        moved_population_ = condition.moved_population;
        shift_ = condition.shift;
    }
    for (std::size_t p = 0; p < file.population_events.size(); ++p) {
        order_.insert(order_.end(), static_cast<std::size_t>(file.population_events[p]),
                      static_cast<std::uint16_t>(p));
    }
    for (std::size_t i = order_.size(); i > 1; --i) { // Fisher-Yates
        std::swap(order_[i - 1], order_[rng_.below(i)]);
    }
}

bool StudyEventStream::next(StudyEvent& event) {
    if (position_ == order_.size()) {
        return false;
    }
    const SimulationModel& model = study_.model;
    const int population = order_[position_++];
    const Population& cells = model.populations[static_cast<std::size_t>(population)];
    const auto dims = static_cast<std::size_t>(model.dims);
    event.population = population;
    event.truth.resize(dims);
    event.observed.resize(dims);
    if (population == moved_population_) {
        // The condition moves the population; the batch effect acts about where it now is.
        centre_.resize(dims);
        for (std::size_t j = 0; j < dims; ++j) {
            centre_[j] = cells.centre[j] + shift_[j];
            event.truth[j] = centre_[j] + cells.spread[j] * rng_.normal();
        }
        distort_about(model, batch_index_, centre_, event.truth.data(), event.observed.data());
    } else {
        for (std::size_t j = 0; j < dims; ++j) {
            event.truth[j] = cells.centre[j] + cells.spread[j] * rng_.normal();
        }
        distort(model, batch_index_, population, event.truth.data(), event.observed.data());
    }

    // Exponential gaps: cells arrive independently of each other. 1 - uniform() lies in (0, 1].
    time_ms_ += -kMeanGapMs * std::log(1.0 - rng_.uniform());
    event.time_ms = time_ms_;
    const double length = std::round(kMeanEventLength + kEventLengthSpread * rng_.normal());
    event.event_length = std::clamp(length, kEventLengthGate.lower, kEventLengthGate.upper);
    return true;
}

} // namespace pairmend::tools
