#include "driver.hpp"

#include "MnnSettings.hpp"
#include "plugin_framework/Summary.hpp"
#include "plugin_framework/utilities.hpp"
#include "run_mnn.hpp"

#include <omp.h>

#include <chrono>
#include <locale>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace QN {

namespace {

const char* const unfinished_message =
    "The job did not finish: pairmend was stopped before it could report a result, for example by "
    "the system when memory or threads ran out. Try again with a smaller table or fewer neighbors.";

// Until the job reports, its summary says that it has not finished, so that a run the system
// ends abruptly (out of threads, out of memory, killed) never leaves an earlier run's "success"
// behind. A summary that cannot be written is reported by the final write.
void write_unfinished_summary(const MnnSettings& settings) {
    try {
        Summary(false, 0, {}, unfinished_message).saveAsINI(settings.summaryFile(true));
    } catch (const std::exception&) {
    }
}

// Starts the engine's OpenMP threads now, while memory is plentiful; the runtime keeps them for
// every later parallel loop of the same size. A thread that cannot be started ends the program
// inside the runtime, without a chance to report, so that should happen before any work.
// Returns the number of threads that ran (the compiler drops a region that does nothing).
int start_engine_threads() {
    int started = 0;
#pragma omp parallel num_threads(engine_thread_count(omp_get_max_threads())) reduction(+ : started)
    started += 1;
    return started;
}

const char* const out_of_memory_message =
    "The computer ran out of memory while running the job. Close other programs, or split the "
    "table into smaller jobs (fewer events), or ask for fewer neighbors.";

// Every console line is flushed at once, so the host sees progress as it happens.
void print_line(std::ostream& console, const std::string& line) {
    console << line << std::endl;
}

void print_timing_line(std::ostream& console, const std::string& line) {
#if defined(__APPLE__)
    console << line;
#elif defined(_WIN32)
    console << (line + "\n");
#else
    console << line << std::endl;
#endif
}

} // namespace

std::string timing_line(int numEvents, std::chrono::steady_clock::duration elapsed) {
    const double seconds =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1e9;
    std::ostringstream line;
    line.imbue(std::locale::classic());
    line << "MNN batch correction on " << numEvents << " events took " << seconds << " seconds";
    return line.str();
}

int run_pairmend(int argc, const char* const* argv, std::ostream& console) {
    std::optional<MnnSettings> settings;
    try {
        settings.emplace();
    } catch (const std::exception& error) {
        print_line(console, std::string("Error: ") + error.what());
        return 1;
    }

    Summary summary;
    try {
        if (argc != 2) {
            throw std::runtime_error("The C++ program must be called with exactly one command-line argument");
        }
        const std::string jobFile = add_file_path(argv[1]);

        print_line(console, "Before loading setting");
        settings->loadJSONSetup(jobFile);
        write_unfinished_summary(*settings);
        static_cast<void>(start_engine_threads());
        print_line(console, "After loading settings");
        print_line(console, "Input file is " + settings->inputFile(0, true).name);
        print_line(console, "Number of neighbors is " + std::to_string(settings->num_neighbors));
        print_line(console, "Before running MNN");

        const auto start = std::chrono::steady_clock::now();
        summary = run_mnn(*settings);
        const auto end = std::chrono::steady_clock::now();

        print_line(console, "After running MNN");
        print_timing_line(console, timing_line(summary.numEvents(), end - start));
    } catch (const std::bad_alloc&) {
        // The library's own text ("std::bad_alloc") tells the user nothing they can act on.
        print_line(console, std::string("Error: ") + out_of_memory_message);
        summary.is_success(false);
        summary.information(out_of_memory_message);
    } catch (const std::exception& error) {
        print_line(console, std::string("Error: ") + error.what());
        summary.is_success(false);
        summary.information(error.what());
    } catch (...) {
        print_line(console, "Unknown error");
        summary.is_success(false);
        summary.information("Unknown error");
    }

    // Without a summary-file name the failure has nowhere to go but the exit status.
    if (settings->summaryFile(false).empty()) {
        return 1;
    }
    try {
        summary.saveAsINI(settings->summaryFile(true));
    } catch (const std::exception& error) {
        print_line(console, std::string("Error: ") + error.what());
        return 1;
    }
    return 0;
}

} // namespace QN
