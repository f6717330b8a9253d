#include "driver.hpp"

#include "MnnSettings.hpp"
#include "pairmend/engine_options.hpp"
#include "plugin_framework/Summary.hpp"
#include "plugin_framework/utilities.hpp"
#include "run_mnn.hpp"

#include <omp.h>

#include <chrono>
#include <filesystem>
#include <locale>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace QN {

namespace {

// Removes the summary an earlier run of the same job may have left, so that a run the system
// ends abruptly (out of threads or memory, killed) leaves no summary rather than an old
// "success". The new summary is still written once, last, when the job reports.
void remove_earlier_summary(const MnnSettings& settings) {
    std::error_code ignored;
    const std::filesystem::path path(settings.summaryFile(true));
    if (std::filesystem::is_regular_file(path, ignored)) {
        std::filesystem::remove(path, ignored);
    }
}

// Starts the engine's OpenMP threads now, while memory is plentiful; the runtime keeps them for
// every later parallel loop of the same size. A thread that cannot be started ends the program
// inside the runtime, without a chance to report, so that should happen before any work.
// Returns the number of threads that ran (the compiler drops a region that does nothing).
int start_engine_threads() {
    int started = 0;
#pragma omp parallel num_threads(pairmend::default_engine_threads()) reduction(+ : started)
    started += 1;
    return started;
}

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
        remove_earlier_summary(*settings);
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
