#include "simulation.hpp"

#include "random.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace pairmend::tools {

namespace {

constexpr double kTwoPi = 6.28318530717958647692;

// Population shapes: spreads well below the centre separation so that populations do not touch.
constexpr Interval kSpread{0.2, 0.4};
constexpr double kMinSeparation = 6.0;
// Batch effects: shifts of every parameter larger than the populations' spread (the setting in which
// mutual nearest neighbours find the shift) but much smaller than the gaps between populations, so
// that a batch's nearest neighbours in another batch still lie in the same population.
constexpr Interval kOffset{0.5, 1.5};
constexpr double kMaxScaleChange = 0.1;
constexpr double kAmplitude = 0.2;
// Gain curves bend over a width of 1 to 3 units, comparable to the gaps between populations.
constexpr Interval kGainWidth{1.0, 3.0};
// The gain curves' random numbers come from a stream of their own, so that asking for them leaves
// every other draw (populations, shifts, events) as it is without them.
constexpr std::uint64_t kGainStream = 0x6a09e667f3bcc909ULL;
// The conditions' draws come from a stream of their own as well.
constexpr std::uint64_t kConditionStream = 0xbb67ae8584caa73bULL;
// A condition moves its population by 2 to 3 units in two parameters: well beyond the spread of a
// population and the batch shifts, well within the gaps between populations.
constexpr Interval kConditionShift{2.0, 3.0};

double squared_distance(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (size_t j = 0; j < a.size(); ++j) {
        const double diff = a[j] - b[j];
        sum += diff * diff;
    }
    return sum;
}

// Population centres uniform in a cube, at least kMinSeparation apart; the cube grows whenever
// placing the next centre keeps failing, so that any number of populations fits in any dimension.
std::vector<std::vector<double>> draw_centres(int count, int dims, Random& rng) {
    std::vector<std::vector<double>> centres;
    double side = 10.0;
    std::vector<double> candidate(static_cast<size_t>(dims));
    while (static_cast<int>(centres.size()) < count) {
        bool placed = false;
        for (int attempt = 0; attempt < 200 && !placed; ++attempt) {
            for (auto& value : candidate) {
                value = rng.uniform(0.0, side);
            }
            placed = true;
            for (const auto& centre : centres) {
                if (squared_distance(centre, candidate) < kMinSeparation * kMinSeparation) {
                    placed = false;
                    break;
                }
            }
        }
        if (placed) {
            centres.push_back(candidate);
        } else {
            side *= 1.25;
        }
    }
    return centres;
}

// Every batch holds exactly the same number of events of each population; the remainder of the
// rounding goes to the first populations.
void assign_counts(std::vector<Population>& populations, std::int64_t events_per_batch, Random& rng) {
    std::vector<double> weights(populations.size());
    double total = 0.0;
    for (size_t p = 0; p < populations.size(); ++p) {
        weights[p] = rng.uniform(1.0, 3.0);
        populations[p].weight = weights[p];
        total += weights[p];
    }
    std::int64_t assigned = 0;
    for (size_t p = 0; p < populations.size(); ++p) {
        populations[p].events_per_batch =
            static_cast<std::int64_t>(std::floor(static_cast<double>(events_per_batch) * weights[p] / total));
        assigned += populations[p].events_per_batch;
    }
    for (size_t p = 0; assigned < events_per_batch; p = (p + 1) % populations.size()) {
        ++populations[p].events_per_batch;
        ++assigned;
    }
}

// Splits `events` among populations in proportion to `weights`: the floors, then the remainder one
// by one to the populations of positive weight in order.
std::vector<std::int64_t> counts_from_weights(const std::vector<double>& weights, std::int64_t events) {
    double total = 0.0;
    for (const double weight : weights) {
        total += weight;
    }
    std::vector<std::int64_t> counts(weights.size(), 0);
    std::int64_t assigned = 0;
    for (size_t p = 0; p < weights.size(); ++p) {
        counts[p] = static_cast<std::int64_t>(std::floor(static_cast<double>(events) * weights[p] / total));
        assigned += counts[p];
    }
    for (size_t p = 0; assigned < events; p = (p + 1) % weights.size()) {
        if (weights[p] > 0.0) {
            ++counts[p];
            ++assigned;
        }
    }
    return counts;
}

// Events per population and batch: the shared counts, except for batches with weights of their own
// or with absent populations.
void assign_batch_counts(SimulationModel& model, const SimulationOptions& options) {
    std::vector<std::int64_t> shared;
    for (const auto& population : model.populations) {
        shared.push_back(population.events_per_batch);
    }
    model.batch_counts.assign(model.batches.size(), shared);
    for (int label = 1; label <= options.batches; ++label) {
        const auto weights_given = options.batch_weights.find(label);
        const auto absent = options.absent.find(label);
        if (weights_given == options.batch_weights.end() && absent == options.absent.end()) {
            continue;
        }
        std::vector<double> weights;
        for (const auto& population : model.populations) {
            weights.push_back(population.weight);
        }
        if (weights_given != options.batch_weights.end()) {
            weights = weights_given->second;
        }
        if (absent != options.absent.end()) {
            for (const int population : absent->second) {
                weights[static_cast<size_t>(population - 1)] = 0.0;
            }
        }
        model.batch_counts[static_cast<size_t>(label - 1)] =
            counts_from_weights(weights, options.events_per_batch);
    }
}

void draw_gain_curves(SimulationModel& model, const SimulationOptions& options) {
    Random rng(options.seed ^ kGainStream);
    const auto dims = static_cast<size_t>(model.dims);
    std::vector<double> low(dims, std::numeric_limits<double>::infinity());
    std::vector<double> high(dims, -std::numeric_limits<double>::infinity());
    for (const auto& population : model.populations) {
        for (size_t j = 0; j < dims; ++j) {
            low[j] = std::min(low[j], population.centre[j]);
            high[j] = std::max(high[j], population.centre[j]);
        }
    }
    for (size_t b = 1; b < model.batches.size(); ++b) {
        auto& effect = model.batches[b];
        effect.gain = options.gain;
        effect.gain_centre.resize(dims);
        effect.gain_width.resize(dims);
        for (size_t j = 0; j < dims; ++j) {
            effect.gain_centre[j] = rng.uniform(low[j], high[j]);
            effect.gain_width[j] = rng.uniform(kGainWidth);
        }
    }
}

SimulationModel make_model(const SimulationOptions& options, Random& rng) {
    validate(options);
    SimulationModel model;
    model.dims = options.dims;
    model.min_separation = kMinSeparation;
    const auto dims = static_cast<size_t>(options.dims);

    const auto centres = draw_centres(options.populations, options.dims, rng);
    model.populations.resize(static_cast<size_t>(options.populations));
    for (size_t p = 0; p < model.populations.size(); ++p) {
        auto& population = model.populations[p];
        population.centre = centres[p];
        population.spread.resize(dims);
        for (auto& spread : population.spread) {
            spread = rng.uniform(kSpread);
        }
    }
    assign_counts(model.populations, options.events_per_batch, rng);

    model.batches.resize(static_cast<size_t>(options.batches));
    for (size_t b = 0; b < model.batches.size(); ++b) {
        auto& effect = model.batches[b];
        effect.offset.assign(dims, 0.0);
        effect.phase.assign(dims, 0.0);
        if (b == 0) {
            continue; // the reference frame stays undistorted
        }
        for (auto& offset : effect.offset) {
            const double size = rng.uniform(kOffset);
            offset = rng.uniform() < 0.5 ? -size : size;
        }
        effect.scale = rng.uniform(1.0 - kMaxScaleChange, 1.0 + kMaxScaleChange);
        effect.amplitude = kAmplitude;
        for (auto& phase : effect.phase) {
            phase = rng.uniform(0.0, kTwoPi);
        }
    }
    assign_batch_counts(model, options);
    if (options.gain > 0.0) {
        draw_gain_curves(model, options);
    }
    return model;
}

// Appends `value` with 7 significant digits (the %.7g format) and `separator`.
void append_number(std::string& line, double value, char separator) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::general, 7);
    line.append(buffer, result.ptr);
    line.push_back(separator);
}

void append_integer(std::string& line, std::int64_t value, char separator) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    line.append(buffer, result.ptr);
    line.push_back(separator);
}

// Writes one event's line of the input table: its observed values, batch number and event number.
void write_input_line(std::string& line, const std::vector<double>& observed, int batch_number,
                      std::int64_t event_number, std::ostream& input) {
    line.clear();
    for (const double value : observed) {
        append_number(line, value, ',');
    }
    append_integer(line, batch_number, ',');
    append_integer(line, event_number, '\n');
    input.write(line.data(), static_cast<std::streamsize>(line.size()));
}

// Writes one line of the truth table: the true values, then the row's condition (from 1) in a
// study with conditions (0: none).
void write_truth_line(std::string& line, const std::vector<double>& true_values, int condition,
                      std::ostream& truth) {
    line.clear();
    for (const double value : true_values) {
        append_number(line, value, ',');
    }
    if (condition > 0) {
        append_integer(line, condition, '\n');
    } else {
        line.back() = '\n';
    }
    truth.write(line.data(), static_cast<std::streamsize>(line.size()));
}

} // namespace

void validate(const SimulationOptions& options) {
    auto fail = [](const std::string& message) { throw std::invalid_argument(message); };
    if (options.events_per_batch < 1) {
        fail("The number of events per batch (--events) must be at least 1.");
    }
    if (options.dims < 1) {
        fail("The number of parameters (--dims) must be at least 1.");
    }
    if (options.batches < 1) {
        fail("The number of batches (--batches) must be at least 1.");
    }
    if (options.populations < 1 || options.populations > kMaxPopulations) {
        std::ostringstream message;
        message << "The number of populations (--populations) must lie between 1 and " << kMaxPopulations
                << ".";
        fail(message.str());
    }
    constexpr std::int64_t max_events = std::numeric_limits<std::int32_t>::max();
    if (options.events_per_batch > max_events / options.batches) {
        std::ostringstream message;
        message << "The data set would hold more than " << max_events
                << " events in all, beyond what pairmend can read; reduce --events or --batches.";
        fail(message.str());
    }
    auto check_batch = [&](int label, const char* option) {
        if (label < 1 || label > options.batches) {
            fail(std::string("The option ") + option + " names batch " + std::to_string(label) +
                 ", but the batches are numbered 1 to " + std::to_string(options.batches) + ".");
        }
    };
    for (const auto& [label, weights] : options.batch_weights) {
        check_batch(label, "--proportions");
        if (weights.size() != static_cast<size_t>(options.populations)) {
            fail("The option --proportions gives batch " + std::to_string(label) + " " +
                 std::to_string(weights.size()) + " weights, but there are " +
                 std::to_string(options.populations) + " populations: give one weight per population.");
        }
        double total = 0.0;
        for (const double weight : weights) {
            if (!std::isfinite(weight) || weight < 0.0) {
                fail("The option --proportions takes weights of at least 0 (batch " + std::to_string(label) +
                     ").");
            }
            total += weight;
        }
        if (!(total > 0.0)) {
            fail("The option --proportions gives batch " + std::to_string(label) +
                 " no population: at least one weight must be above 0.");
        }
    }
    for (const auto& [label, populations] : options.absent) {
        check_batch(label, "--absent");
        std::vector<double> weights(static_cast<size_t>(options.populations), 1.0);
        const auto given = options.batch_weights.find(label);
        if (given != options.batch_weights.end()) {
            weights = given->second;
        }
        for (const int population : populations) {
            if (population < 1 || population > options.populations) {
                fail("The option --absent names population " + std::to_string(population) +
                     ", but the populations are numbered 1 to " + std::to_string(options.populations) + ".");
            }
            weights[static_cast<size_t>(population - 1)] = 0.0;
        }
        if (std::all_of(weights.begin(), weights.end(), [](double weight) { return weight == 0.0; })) {
            fail("The option --absent leaves batch " + std::to_string(label) +
                 " without any population: keep at least one.");
        }
    }
    if (options.conditions < 0) {
        fail("The number of conditions (--conditions) must be at least 1.");
    }
    if (options.conditions > 0 && (!options.batch_weights.empty() || !options.absent.empty())) {
        fail("The options --proportions and --absent cannot be combined with --conditions, whose "
             "conditions give the population shares.");
    }
    if (!options.design.empty() && options.conditions == 0) {
        fail("The option --design lists conditions, so it needs --conditions N.");
    }
    for (const auto& [label, held] : options.design) {
        check_batch(label, "--design");
        for (const int condition : held) {
            if (condition < 1 || condition > options.conditions) {
                fail("The option --design names condition " + std::to_string(condition) +
                     ", but the conditions are numbered 1 to " + std::to_string(options.conditions) + ".");
            }
        }
        if (static_cast<std::int64_t>(held.size()) > options.events_per_batch) {
            fail("The option --design gives batch " + std::to_string(label) +
                 " more conditions than it has events.");
        }
    }
    if (!std::isfinite(options.gain) || options.gain < 0.0 || options.gain > kMaxGain) {
        std::ostringstream message;
        message << "The gain curve strength (--gain) must lie between 0 and " << kMaxGain << ".";
        fail(message.str());
    }
}

SimulationModel make_model(const SimulationOptions& options) {
    Random rng(options.seed);
    return make_model(options, rng);
}

void distort(const SimulationModel& model, int batch_index, int population, const double* truth,
             double* observed) {
    distort_about(model, batch_index, model.populations[static_cast<size_t>(population)].centre, truth,
                  observed);
}

void distort_about(const SimulationModel& model, int batch_index, const std::vector<double>& centre,
                   const double* truth, double* observed) {
    const int dims = model.dims;
    if (batch_index == 0) {
        // Copied, not computed, so that batch 1 equals the ground truth to the last bit.
        std::copy(truth, truth + dims, observed);
        return;
    }
    const auto& effect = model.batches[static_cast<size_t>(batch_index)];
    for (int j = 0; j < dims; ++j) {
        const auto uj = static_cast<size_t>(j);
        const double next = truth[(j + 1) % dims];
        observed[j] = centre[uj] + effect.scale * (truth[j] - centre[uj]) + effect.offset[uj] +
                      effect.amplitude * std::sin(kTwoPi * next / model.period + effect.phase[uj]);
        if (effect.gain > 0.0) {
            observed[j] +=
                effect.gain * std::tanh((observed[j] - effect.gain_centre[uj]) / effect.gain_width[uj]);
        }
    }
}

ConditionModel make_conditions(const SimulationOptions& options, const SimulationModel& model) {
    Random rng(options.seed ^ kConditionStream);
    const auto dims = static_cast<size_t>(model.dims);
    ConditionModel conditions;
    for (int c = 0; c < options.conditions; ++c) {
        Condition condition;
        for (size_t p = 0; p < model.populations.size(); ++p) {
            condition.weights.push_back(rng.uniform(1.0, 3.0));
        }
        condition.shift.assign(dims, 0.0);
        if (c > 0) {
            condition.moved_population = (c - 1) % static_cast<int>(model.populations.size());
            const auto first = static_cast<size_t>(c - 1) % dims;
            const auto second = static_cast<size_t>(c) % dims;
            for (const size_t j : {first, second}) {
                const double size = rng.uniform(kConditionShift);
                condition.shift[j] = rng.uniform() < 0.5 ? -size : size;
            }
        }
        conditions.conditions.push_back(std::move(condition));
    }
    for (int label = 1; label <= options.batches; ++label) {
        std::vector<int> held;
        const auto listed = options.design.find(label);
        if (listed == options.design.end()) {
            for (int c = 0; c < options.conditions; ++c) {
                held.push_back(c);
            }
        } else {
            for (const int c : listed->second) {
                if (std::find(held.begin(), held.end(), c - 1) == held.end()) {
                    held.push_back(c - 1);
                }
            }
            std::sort(held.begin(), held.end());
        }
        conditions.held.push_back(std::move(held));
    }
    return conditions;
}

namespace {

// The table with conditions: every batch's events split evenly between the conditions it holds,
// each condition with its own population shares and moved population; the truth table ends with
// the condition of every row.
void write_with_conditions(const SimulationOptions& options, const SimulationModel& model, Random& rng,
                           std::ostream& input, std::ostream* truth) {
    const ConditionModel conditions = make_conditions(options, model);
    const auto dims = static_cast<size_t>(model.dims);
    std::string input_line;
    std::string truth_line;
    for (size_t j = 0; j < dims; ++j) {
        truth_line += "P" + std::to_string(j + 1) + ",";
    }
    input << truth_line << "batch,event\n";
    if (truth != nullptr) {
        *truth << truth_line << "condition\n";
    }
    std::vector<double> true_values(dims);
    std::vector<double> observed(dims);
    std::vector<double> centre(dims);
    std::int64_t event_number = 0;
    for (int b = 0; b < options.batches; ++b) {
        const std::vector<int>& held = conditions.held[static_cast<size_t>(b)];
        const auto nheld = static_cast<std::int64_t>(held.size());
        for (std::int64_t h = 0; h < nheld; ++h) {
            const Condition& condition =
                conditions.conditions[static_cast<size_t>(held[static_cast<size_t>(h)])];
            const std::int64_t events =
                options.events_per_batch / nheld + (h < options.events_per_batch % nheld);
            const std::vector<std::int64_t> counts = counts_from_weights(condition.weights, events);
            std::vector<std::uint16_t> order;
            for (size_t p = 0; p < counts.size(); ++p) {
                order.insert(order.end(), static_cast<size_t>(counts[p]), static_cast<std::uint16_t>(p));
            }
            for (size_t i = order.size(); i > 1; --i) { // Fisher-Yates
                std::swap(order[i - 1], order[rng.below(i)]);
            }
            for (const auto p : order) {
                const auto& population = model.populations[p];
                const bool moved = condition.moved_population == static_cast<int>(p);
                // The biology moves the population; the batch effect acts about where it now is.
                for (size_t j = 0; j < dims; ++j) {
                    centre[j] = population.centre[j] + (moved ? condition.shift[j] : 0.0);
                    true_values[j] = centre[j] + population.spread[j] * rng.normal();
                }
                distort_about(model, b, centre, true_values.data(), observed.data());
                write_input_line(input_line, observed, b + 1, ++event_number, input);
                if (truth != nullptr) {
                    write_truth_line(truth_line, true_values, held[static_cast<size_t>(h)] + 1, *truth);
                }
            }
        }
    }
}

} // namespace

void write_simulation(const SimulationOptions& options, std::ostream& input, std::ostream* truth) {
    Random rng(options.seed);
    const SimulationModel model = make_model(options, rng);
    if (options.conditions > 0) {
        write_with_conditions(options, model, rng, input, truth);
        return;
    }
    const auto dims = static_cast<size_t>(model.dims);

    std::string input_line;
    std::string truth_line;
    for (size_t j = 0; j < dims; ++j) {
        truth_line += "P" + std::to_string(j + 1) + ",";
    }
    input_line = truth_line + "batch,event\n";
    truth_line.back() = '\n';
    input << input_line;
    if (truth != nullptr) {
        *truth << truth_line;
    }

    // Population of every event of one batch, shuffled so that populations are interleaved.
    std::vector<std::uint16_t> order(static_cast<size_t>(options.events_per_batch));
    std::vector<double> true_values(dims);
    std::vector<double> observed(dims);
    std::int64_t event_number = 0;
    for (int b = 0; b < options.batches; ++b) {
        size_t filled = 0;
        const auto& counts = model.batch_counts[static_cast<size_t>(b)];
        for (size_t p = 0; p < model.populations.size(); ++p) {
            for (std::int64_t i = 0; i < counts[p]; ++i) {
                order[filled++] = static_cast<std::uint16_t>(p);
            }
        }
        for (size_t i = order.size(); i > 1; --i) { // Fisher-Yates
            std::swap(order[i - 1], order[rng.below(i)]);
        }

        for (const auto p : order) {
            const auto& population = model.populations[p];
            for (size_t j = 0; j < dims; ++j) {
                true_values[j] = population.centre[j] + population.spread[j] * rng.normal();
            }
            distort(model, b, p, true_values.data(), observed.data());

            write_input_line(input_line, observed, b + 1, ++event_number, input);

            if (truth != nullptr) {
                write_truth_line(truth_line, true_values, 0, *truth);
            }
        }
    }
}

} // namespace pairmend::tools
