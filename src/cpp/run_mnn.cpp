#include "run_mnn.hpp"

#include "mnn_io.hpp"
#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "pairmend/engine_options.hpp"
#include "pairmend/messages.hpp"
#include "pairmend/report/qc_report.hpp"
#include "plugin_framework/csv.hpp"
#include "plugin_framework/utilities.hpp"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <limits>
#include <locale>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace QN {

namespace {

using Clock = std::chrono::steady_clock;
using EngineDetails = mnncorrect::MnnCorrect<int, double>::Details;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Corrects `input` into `output`, every engine option taken from the job. A batch that
// cannot be corrected is reported with the label the user gave it.
EngineDetails run_engine(const MnnSettings& settings, const pairmend::MnnInput& input, double* output) {
    const mnncorrect::MnnCorrect<int, double> engine(configure_engine(settings));
    try {
        return engine.run(input.ndim, static_cast<std::size_t>(input.nobs), input.data.data(),
                          input.batches.data(), output, static_cast<const int*>(nullptr));
    } catch (const mnncorrect::NoMutualPairsError& error) {
        std::ostringstream label;
        label << input.batchLabels.at(static_cast<std::size_t>(error.batch()));
        throw std::runtime_error(pairmend::no_mutual_pairs_message(label.str()));
    }
}

// The names of the measured parameters from the input table's header line, split as the data
// lines are. The header plays no part in the correction, so when it is missing or does not
// fit the table (a different cell count) the report simply numbers the parameters.
std::vector<std::string> parameter_names(const std::string& inputPath, int ndim) {
    std::ifstream file(inputPath);
    std::string header;
    if (!file || !std::getline(file, header)) {
        return {};
    }
    std::vector<std::string> cells = tokenize(header, ",", false);
    if (cells.size() != static_cast<std::size_t>(ndim) + 2) {
        return {};
    }
    cells.resize(static_cast<std::size_t>(ndim));
    for (std::string& cell : cells) {
        cell = trim(cell);
    }
    return cells;
}

// Writes the quality-control report of a finished run and its JSON figures. The report refers to
// the input and output matrices in place; only the per-event batch labels are built for it. It
// repeats the correction on a split batch with the same engine options, and times its own figures.
void write_report(const std::string& path, const std::string& inputPath, const MnnSettings& settings,
                  const pairmend::MnnInput& input, const double* output, const EngineDetails& details,
                  std::vector<std::pair<std::string, double>> phaseSeconds) {
    std::vector<int> eventLabels(input.batches.size());
    std::transform(input.batches.begin(), input.batches.end(), eventLabels.begin(),
                   [&input](int batch) { return input.batchLabels[static_cast<std::size_t>(batch)]; });

    pairmend::report::QcReportInput run;
    run.input_file = inputPath;
    run.run_id = settings.run_ID;
    run.parameter_names = parameter_names(inputPath, input.ndim);
    run.settings = settings_used(settings);
    run.phase_seconds = std::move(phaseSeconds);
    run.ndim = input.ndim;
    run.nobs = static_cast<std::size_t>(input.nobs);
    run.uncorrected = input.data.data();
    run.corrected = output;
    run.batch_labels = eventLabels.data();
    for (const int batch : details.merge_order) {
        run.merge_order.push_back(input.batchLabels.at(static_cast<std::size_t>(batch)));
    }
    run.num_pairs = details.num_pairs;
    run.engine.emplace(configure_engine(settings));
    pairmend::report::write_qc_report(path, run);
}

} // namespace

mnncorrect::Options configure_engine(const MnnSettings& settings) {
    mnncorrect::Options options = pairmend::configure_engine(settings.engineOptions());
    options.observation_cap = settings.observation_cap;
    return options;
}

std::vector<std::pair<std::string, std::string>> settings_used(const MnnSettings& settings) {
    std::vector<std::pair<std::string, std::string>> used{{MnnSettings::run_ID_Att, settings.run_ID}};
    for (auto& setting : pairmend::settings_text(settings.engineOptions())) {
        used.push_back(std::move(setting));
    }
    return used;
}

Summary run_mnn(const MnnSettings& settings) {
    const std::string inputPath = settings.inputFile(0, true).name;
    std::vector<std::pair<std::string, double>> phaseSeconds;

    Clock::time_point start = Clock::now();
    const pairmend::MnnInput input = pairmend::read_mnn_input(inputPath);
    phaseSeconds.emplace_back("Read and prepare the input table", seconds_since(start));

    start = Clock::now();
    // The engine writes every value, batch after batch. Leaving the buffer uninitialised until
    // then keeps the pages of batches not yet merged out of memory while the neighbour indices,
    // the largest structures of a run, are alive.
    const std::unique_ptr<double[]> output(
        new double[static_cast<std::size_t>(input.nobs) * static_cast<std::size_t>(input.ndim)]);
    const EngineDetails details = run_engine(settings, input, output.get());
    phaseSeconds.emplace_back("Correct the batches", seconds_since(start));

    start = Clock::now();
    save_mnn_output(settings, output.get(), input.nobs, input.ndim);
    phaseSeconds.emplace_back("Write the output table", seconds_since(start));

    // The report comes after the output table, so that a failure here leaves the table written.
    const std::string reportPath = settings.reportFile(true);
    if (!reportPath.empty()) {
        write_report(reportPath, inputPath, settings, input, output.get(), details, std::move(phaseSeconds));
    }
    return Summary(true, input.nobs, {}, "");
}

} // namespace QN
