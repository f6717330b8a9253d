#include "run_mnn.hpp"

#include "mnn_io.hpp"
#include "mnncorrect/MnnCorrect.hpp"
#include "plugin_framework/csv.hpp"

#include <omp.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace QN {

namespace {

// Corrects `data` (ndim values per event) into `output`, every engine option taken from the job.
void run_engine(const MnnSettings& settings, int ndim, std::size_t nobs, const std::vector<double>& data,
                const std::vector<int>& batches, std::vector<double>& output) {
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
    engine.run(ndim, nobs, data.data(), batches.data(), output.data(), static_cast<const int*>(nullptr));
}

} // namespace

int engine_thread_count(int maxThreads) {
    return std::max(1, maxThreads / 2);
}

Summary run_mnn(const MnnSettings& settings) {
    const std::string input = settings.inputFile(0, true).name;
    std::vector<std::vector<std::string>> rows;
    if (!read_csv(input, rows, true)) {
        throw std::runtime_error("Couldn't open or read " + input);
    }

    std::vector<double> data;
    std::vector<int> eventNumbers;
    std::vector<int> batches;
    // Checks the table's shape (at least one row, three columns, 32-bit range) before the
    // counts below are taken from it.
    prepare_mnn_input(rows, data, eventNumbers, batches);
    const int nobs = static_cast<int>(rows.size());
    const int ndim = static_cast<int>(rows.front().size()) - 2;
    // The text cells are no longer needed; give their memory back before the engine runs.
    std::vector<std::vector<std::string>>().swap(rows);

    std::vector<double> output(static_cast<std::size_t>(nobs) * static_cast<std::size_t>(ndim), 0.0);
    run_engine(settings, ndim, static_cast<std::size_t>(nobs), data, batches, output);
    save_mnn_output(settings, output, nobs, ndim);
    return Summary(true, nobs, {}, "");
}

} // namespace QN
