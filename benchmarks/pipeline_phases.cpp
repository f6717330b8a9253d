// Where the time of one job goes: reads the job's input table, runs the correction engine with
// its phase timer, writes the output table, and prints one line per phase.
//
// Usage: pipeline_phases JOB.json
//
// The engine runs with the options of the job and with as many threads as pairmend would give
// it (half of OMP_NUM_THREADS, at least one), so OMP_NUM_THREADS=2 times one engine thread and
// OMP_NUM_THREADS=4 two. Use absolute paths in the job file: relative ones resolve against the
// folder of this program. The output table is written exactly as pairmend writes it.

#include "MnnSettings.hpp"
#include "mnn_io.hpp"
#include "run_mnn.hpp"

#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/PhaseTimes.hpp"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void print_phase(const char* name, double seconds) {
    std::printf("  %-38s %10.3f s\n", name, seconds);
}

int run(const std::string& job) {
    const QN::MnnSettings settings(job);
    const Clock::time_point all = Clock::now();

    Clock::time_point start = Clock::now();
    const pairmend::MnnInput input = pairmend::read_mnn_input(settings.inputFile(0, true).name);
    const double read_seconds = seconds_since(start);

    mnncorrect::PhaseTimes times;
    mnncorrect::MnnCorrect<int, double>::Hooks hooks;
    hooks.phase_times = &times;
    const mnncorrect::MnnCorrect<int, double> engine(QN::configure_engine(settings), hooks);

    start = Clock::now();
    // Left uninitialised until the engine writes it, as pairmend does.
    const std::unique_ptr<double[]> output(
        new double[static_cast<std::size_t>(input.nobs) * static_cast<std::size_t>(input.ndim)]);
    engine.run(input.ndim, static_cast<std::size_t>(input.nobs), input.data.data(), input.batches.data(),
               output.get(), static_cast<const int*>(nullptr));
    const double engine_seconds = seconds_since(start);

    start = Clock::now();
    save_mnn_output(settings, output.get(), input.nobs, input.ndim);
    const double write_seconds = seconds_since(start);
    const double total_seconds = seconds_since(all);

    std::printf("%d events x %d parameters, %zu batches, %s search, %d engine thread(s)\n", input.nobs,
                input.ndim, input.batchLabels.size(), settings.approximate ? "approximate" : "exact",
                engine.options().num_threads);
    print_phase("read and prepare the table", read_seconds);
    print_phase("engine: group / restore order", times.arrange);
    print_phase("engine: build indices + first tables", times.build);
    print_phase("engine: choose (mutual pairs)", times.choose);
    print_phase("engine: correct", times.correct);
    print_phase("  correct: temporary indices", times.correct_index);
    print_phase("  correct: closest paired events", times.correct_closest);
    print_phase("  correct: limits and centres", times.correct_centres);
    print_phase("  correct: correction vectors", times.correct_vectors);
    print_phase("engine: update tables", times.update);
    print_phase("engine: untimed remainder", engine_seconds - times.total());
    print_phase("write the table", write_seconds);
    print_phase("total", total_seconds);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: pipeline_phases JOB.json\n");
        return 2;
    }
    try {
        return run(argv[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return 1;
    }
}
