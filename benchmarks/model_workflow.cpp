// Figures of the correction models on one input table: the exactness of fit-then-apply against
// the engine's own correction, the time of a fit (on every event or on a subsample), apply's
// throughput, and the peak memory of the process.
//
// Usage: model_workflow TABLE.csv [--approximate] [--fit-events N] [--threads T] [--exactness]
//                      [--model OUT.pmm]
//        model_workflow --simulate EVENTS_PER_BATCH DIMS BATCHES [--fit-events N] [--threads T] ...
//
//   --simulate     draw the events in memory instead (the simulator's populations and batch effects,
//                  seed 1), batch by batch, and correct every batch in place after the fit: memory
//                  holds the events once
//   --exactness    also run the engine's correction alone and compare it bit for bit with a fit on
//                  every event followed by apply (both timed); with --fit-events, give instead the
//                  RMS distance per event between the subsample fit's values and the full correction
//   --fit-events N fit on at most N events per batch, then apply to every event (default: all)
//   --threads T    engine threads (default 1); apply's throughput is given per thread
//   --model FILE   write the fitted model there (and report its size and the time to load it)
//
// The table is read as the program reads it; batch labels are numbered in ascending order.

#include "mnn_io.hpp"
#include "simulation.hpp"

#include "mnncorrect/MnnCorrect.hpp"
#include "pairmend/model/apply.hpp"
#include "pairmend/model/fit.hpp"
#include "pairmend/model/model_file.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor seconds of all the process's threads: on a machine shared with other work, events per
// processor second is the throughput of one thread that had a core to itself.
double cpu_seconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// The process's peak resident memory in MiB (VmHWM).
double peak_mib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

struct Arguments {
    std::string table;
    bool approximate = false;
    bool exactness = false;
    std::uint64_t fit_events = 0;
    int threads = 1;
    std::string model_path;
    std::int64_t simulate_events = 0;
    int simulate_dims = 0;
    int simulate_batches = 0;
};

Arguments parse(int argc, char** argv) {
    Arguments arguments;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--approximate") {
            arguments.approximate = true;
        } else if (arg == "--exactness") {
            arguments.exactness = true;
        } else if (arg == "--fit-events" && a + 1 < argc) {
            arguments.fit_events = std::stoull(argv[++a]);
        } else if (arg == "--threads" && a + 1 < argc) {
            arguments.threads = std::stoi(argv[++a]);
        } else if (arg == "--model" && a + 1 < argc) {
            arguments.model_path = argv[++a];
        } else if (arg == "--simulate" && a + 3 < argc) {
            arguments.simulate_events = std::stoll(argv[++a]);
            arguments.simulate_dims = std::stoi(argv[++a]);
            arguments.simulate_batches = std::stoi(argv[++a]);
            arguments.table = "(simulated)";
        } else if (arguments.table.empty() && arg.rfind("--", 0) != 0) {
            arguments.table = arg;
        } else {
            throw std::runtime_error("Unknown argument " + arg);
        }
    }
    if (arguments.table.empty()) {
        throw std::runtime_error(
            "Usage: model_workflow TABLE.csv [--approximate] [--fit-events N] [--threads T] "
            "[--exactness] [--model OUT.pmm]");
    }
    return arguments;
}

// Events of every batch drawn from the simulator's populations and batch effects, shuffled.
std::vector<std::vector<double>> simulate(const Arguments& arguments) {
    pairmend::tools::SimulationOptions options;
    options.events_per_batch = arguments.simulate_events;
    options.dims = arguments.simulate_dims;
    options.batches = arguments.simulate_batches;
    options.populations = 8;
    const pairmend::tools::SimulationModel model = pairmend::tools::make_model(options);
    const auto width = static_cast<std::size_t>(options.dims);
    std::vector<std::vector<double>> batches(static_cast<std::size_t>(options.batches));
    std::mt19937_64 random(1);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> truth(width);
    for (int b = 0; b < options.batches; ++b) {
        auto& events = batches[static_cast<std::size_t>(b)];
        events.resize(static_cast<std::size_t>(options.events_per_batch) * width);
        std::size_t row = 0;
        for (std::size_t p = 0; p < model.populations.size(); ++p) {
            const auto& population = model.populations[p];
            for (std::int64_t i = 0; i < population.events_per_batch; ++i, ++row) {
                for (std::size_t d = 0; d < width; ++d) {
                    truth[d] = population.centre[d] + population.spread[d] * normal(random);
                }
                pairmend::tools::distort(model, b, static_cast<int>(p), truth.data(),
                                         events.data() + row * width);
            }
        }
        events.resize(row * width);
        // Events in random order within the batch, as the simulator and instruments write them.
        for (std::size_t i = row; i > 1; --i) {
            const std::size_t j = std::uniform_int_distribution<std::size_t>(0, i - 1)(random);
            std::swap_ranges(events.begin() + static_cast<std::ptrdiff_t>((i - 1) * width),
                             events.begin() + static_cast<std::ptrdiff_t>(i * width),
                             events.begin() + static_cast<std::ptrdiff_t>(j * width));
        }
    }
    return batches;
}

int run_simulated(const Arguments& arguments) {
    Clock::time_point start = Clock::now();
    std::vector<std::vector<double>> events = simulate(arguments);
    std::vector<pairmend::model::BatchEvents> batches;
    std::size_t total = 0;
    for (std::size_t b = 0; b < events.size(); ++b) {
        const std::size_t n = events[b].size() / static_cast<std::size_t>(arguments.simulate_dims);
        batches.push_back({"batch " + std::to_string(b + 1), n, events[b].data()});
        total += n;
    }
    std::printf("simulated %zu events x %d parameters x %d batches in %.2f s\n", total,
                arguments.simulate_dims, arguments.simulate_batches, seconds_since(start));

    pairmend::model::FitOptions options;
    options.settings.approximate = arguments.approximate;
    options.fit_events = arguments.fit_events;
    options.num_threads = arguments.threads;
    start = Clock::now();
    const pairmend::model::Model model = pairmend::model::fit(arguments.simulate_dims, batches, options);
    const double fit_seconds = seconds_since(start);
    std::printf("fit (fit_events %llu):    %8.2f s\n", static_cast<unsigned long long>(arguments.fit_events),
                fit_seconds);

    start = Clock::now();
    const double cpu_start = cpu_seconds();
    for (const auto& batch : batches) {
        const pairmend::model::BatchCorrector corrector(model, batch.name);
        double* rows = const_cast<double*>(batch.events);
        corrector.apply(arguments.simulate_dims, batch.size, rows, rows, arguments.threads);
    }
    const double apply_seconds = seconds_since(start);
    const double apply_cpu = cpu_seconds() - cpu_start;
    std::printf("apply to every event:     %8.2f s (%.0f events/s/thread, %d threads; %.0f events per "
                "processor second)\n",
                apply_seconds, static_cast<double>(total) / apply_seconds / arguments.threads,
                arguments.threads, static_cast<double>(total) / apply_cpu);
    std::printf("fit and apply:            %8.2f s\n", fit_seconds + apply_seconds);
    std::printf("peak memory:              %8.0f MiB\n", peak_mib());
    return 0;
}

int run(const Arguments& arguments) {
    if (arguments.simulate_events > 0) {
        return run_simulated(arguments);
    }
    Clock::time_point start = Clock::now();
    const pairmend::MnnInput input = pairmend::read_mnn_input(arguments.table);
    const auto n = static_cast<std::size_t>(input.nobs);
    std::vector<std::string> names;
    for (const int label : input.batchLabels) {
        names.push_back(std::to_string(label));
    }
    std::printf("table %s: %zu events x %d parameters x %zu batches, read in %.2f s\n",
                arguments.table.c_str(), n, input.ndim, names.size(), seconds_since(start));

    pairmend::model::FitOptions options;
    options.settings.approximate = arguments.approximate;
    options.fit_events = arguments.fit_events;
    options.num_threads = arguments.threads;

    std::vector<double> engine_output(arguments.exactness ? input.data.size() : 0);
    if (arguments.exactness) {
        mnncorrect::Options engine_options;
        engine_options.approximate = arguments.approximate;
        engine_options.num_threads = arguments.threads;
        const mnncorrect::MnnCorrect<int, double> engine(engine_options);
        start = Clock::now();
        engine.run(input.ndim, n, input.data.data(), input.batches.data(), engine_output.data(),
                   static_cast<const int*>(nullptr));
        std::printf("engine correction:        %8.2f s\n", seconds_since(start));
    }

    start = Clock::now();
    const pairmend::model::Model model = pairmend::model::fit_labelled(
        input.ndim, n, input.data.data(), input.batches.data(), names, options, nullptr);
    std::printf("fit (fit_events %llu):    %8.2f s\n", static_cast<unsigned long long>(arguments.fit_events),
                seconds_since(start));

    std::vector<double> applied(input.data.size());
    start = Clock::now();
    pairmend::model::apply_labelled(model, input.ndim, n, input.data.data(), input.batches.data(), names,
                                    applied.data(), arguments.threads);
    const double apply_seconds = seconds_since(start);
    std::printf("apply to every event:     %8.2f s (%.0f events/s/thread, %d threads)\n", apply_seconds,
                static_cast<double>(n) / apply_seconds / arguments.threads, arguments.threads);

    if (arguments.exactness) {
        const bool same =
            std::memcmp(applied.data(), engine_output.data(), applied.size() * sizeof(double)) == 0;
        std::size_t differing = 0;
        for (std::size_t i = 0; i < applied.size(); ++i) {
            differing += std::memcmp(&applied[i], &engine_output[i], sizeof(double)) != 0 ? 1 : 0;
        }
        std::printf("fit-then-apply vs engine: %s (%zu of %zu values differ)\n",
                    same ? "bit-identical" : "DIFFERENT", differing, applied.size());
        if (arguments.fit_events > 0) {
            // A subsample fit is not meant to be identical: how far is it from the full correction,
            // per event (Euclidean), and how far did the full correction move the events?
            const auto width = static_cast<std::size_t>(input.ndim);
            double squared = 0;
            double moved = 0;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t d = 0; d < width; ++d) {
                    const double gap = applied[i * width + d] - engine_output[i * width + d];
                    const double shift = engine_output[i * width + d] - input.data[i * width + d];
                    squared += gap * gap;
                    moved += shift * shift;
                }
            }
            std::printf("RMS per event from the full correction: %.4f (the full correction moved events by "
                        "%.4f RMS)\n",
                        std::sqrt(squared / static_cast<double>(n)),
                        std::sqrt(moved / static_cast<double>(n)));
        } else if (!same) {
            return 1;
        }
    }

    if (!arguments.model_path.empty()) {
        start = Clock::now();
        pairmend::model::save_model(model, arguments.model_path);
        const double save_seconds = seconds_since(start);
        start = Clock::now();
        const pairmend::model::Model loaded = pairmend::model::load_model(arguments.model_path);
        std::printf("model file: %.1f MiB, saved in %.2f s, loaded in %.2f s\n",
                    static_cast<double>(std::filesystem::file_size(arguments.model_path)) / 1048576.0,
                    save_seconds, seconds_since(start));
    }
    std::printf("peak memory:              %8.0f MiB\n", peak_mib());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(parse(argc, argv));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
}
