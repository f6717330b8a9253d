#include "run_mnn.hpp"

#include "mnn_io.hpp"
#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "plugin_framework/csv.hpp"

#include <omp.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace QN {

namespace {

// Corrects `input` into `output`, every engine option taken from the job. A batch that
// cannot be corrected is reported with the label the user gave it.
mnncorrect::MnnCorrect<int, double>::Details run_engine(const MnnSettings& settings, const MnnInput& input,
                                                        std::vector<double>& output) {
    mnncorrect::MnnCorrect<int, double> engine;
    engine.num_neighbors = settings.num_neighbors;
    engine.num_mads = settings.num_mads;
    engine.approximate = settings.approximate;
    engine.automatic_order = settings.automatic_order;
    engine.reference_policy = settings.reference_policy;
    engine.robust_iterations = settings.robust_iterations;
    engine.robust_trim = settings.robust_trim;
    engine.observation_cap = settings.observation_cap;
    engine.num_threads = engine_thread_count(omp_get_max_threads());
    try {
        return engine.run(input.ndim, static_cast<std::size_t>(input.nobs), input.data.data(),
                          input.batches.data(), output.data(), static_cast<const int*>(nullptr));
    } catch (const mnncorrect::NoMutualPairsError& error) {
        std::ostringstream text;
        text << "The batch labelled " << input.batchLabels.at(static_cast<std::size_t>(error.batch()))
             << " shares no mutual nearest neighbours with the batches merged before it, so it cannot be "
                "corrected. Its events may not overlap any cell population of the other batches; check "
                "that the batch holds the same kind of sample, or leave it out of the job.";
        throw std::runtime_error(text.str());
    }
}

} // namespace

int engine_thread_count(int maxThreads) {
    return std::max(1, maxThreads / 2);
}

Summary run_mnn(const MnnSettings& settings) {
    const MnnInput input = read_mnn_input(settings.inputFile(0, true).name);
    std::vector<double> output(static_cast<std::size_t>(input.nobs) * static_cast<std::size_t>(input.ndim), 0.0);
    run_engine(settings, input, output);
    save_mnn_output(settings, output, input.nobs, input.ndim);
    return Summary(true, input.nobs, {}, "");
}

} // namespace QN
