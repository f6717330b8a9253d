// Fuzz target: loading a job file and validating its MNN settings, as the program does at
// start-up. Any std::exception is an accepted answer to a bad job file; a crash, a sanitizer
// report, a leak or a successful load that breaks the loader's promises is a fault.

#include "MnnSettings.hpp"

#include "scratch_file.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const pairmend_fuzz::ScratchFile job(".json");
    job.write(data, size);

    QN::MnnSettings settings;
    try {
        settings.loadJSONSetup(job.path());
    } catch (const std::exception&) {
        // The driver still asks for the summary-file name to record the failure.
        static_cast<void>(settings.summaryFile(true));
        return 0;
    }

    // A job that loads must be one the driver can run: one input, one output, a summary.
    if (settings.numInputFiles() != 1 || settings.numOutputFiles() != 1 ||
        settings.summaryFile(false).empty()) {
        std::abort();
    }
    static_cast<void>(settings.inputFile(0, true));
    static_cast<void>(settings.outputFile(0, true));
    static_cast<void>(settings.summaryFile(true));
    return 0;
}
