#include "run_mnn.hpp"

#include "mnn_io.hpp"
#include "mnncorrect/MnnCorrect.hpp"
#include "mnncorrect/NoMutualPairsError.hpp"
#include "plugin_framework/csv.hpp"
#include "plugin_framework/utilities.hpp"
#include "report/qc_report.hpp"

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
EngineDetails run_engine(const MnnSettings& settings, const MnnInput& input, double* output) {
    const mnncorrect::MnnCorrect<int, double> engine = configure_engine(settings);
    try {
        return engine.run(input.ndim, static_cast<std::size_t>(input.nobs), input.data.data(),
                          input.batches.data(), output, static_cast<const int*>(nullptr));
    } catch (const mnncorrect::NoMutualPairsError& error) {
        std::ostringstream label;
        label << input.batchLabels.at(static_cast<std::size_t>(error.batch()));
        throw std::runtime_error(no_mutual_pairs_message(label.str()));
    }
}

// A whole number or true/false as the job file writes it, whatever the global locale.
template <typename T>
std::string setting_text(T value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::boolalpha << value;
    return text.str();
}

// A floating-point option as the job file must write it: the shortest text that reads back as
// the same value, with a decimal point even for whole values (3.0, never 3, which the job file
// would reject as a whole number).
std::string setting_text(double value) {
    std::string text;
    for (int precision = 1; precision <= std::numeric_limits<double>::max_digits10; ++precision) {
        std::ostringstream out;
        out.imbue(std::locale::classic());
        out.precision(precision);
        out << value;
        text = out.str();
        std::istringstream in(text);
        in.imbue(std::locale::classic());
        double parsed = 0;
        if (in >> parsed && parsed == value) {
            break;
        }
    }
    if (text.find_first_of(".eEn") == std::string::npos) {
        text += ".0";
    }
    return text;
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
                  const MnnInput& input, const double* output, const EngineDetails& details,
                  std::vector<std::pair<std::string, double>> phaseSeconds) {
    std::vector<int> eventLabels(input.batches.size());
    std::transform(input.batches.begin(), input.batches.end(), eventLabels.begin(),
                   [&input](int batch) { return input.batchLabels[static_cast<std::size_t>(batch)]; });

    report::QcReportInput run;
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
    run.engine = configure_engine(settings);
    report::write_qc_report(path, run);
}

} // namespace

mnncorrect::MnnCorrect<int, double> configure_engine(const MnnSettings& settings) {
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
    return engine;
}

const char* reference_policy_text(mnncorrect::ReferencePolicy policy) {
    switch (policy) {
    case mnncorrect::Input:
        return MnnSettings::input_Val;
    case mnncorrect::MaxSize:
        return MnnSettings::max_size_Val;
    case mnncorrect::MaxVariance:
        return MnnSettings::max_variance_Val;
    case mnncorrect::MaxRSS:
        return MnnSettings::max_Rss_Val;
    }
    return "unknown";
}

std::vector<std::pair<std::string, std::string>> settings_used(const MnnSettings& settings) {
    return {{MnnSettings::run_ID_Att, settings.run_ID},
            {MnnSettings::num_neighbors_Att, setting_text(settings.num_neighbors)},
            {MnnSettings::num_mads_Att, setting_text(settings.num_mads)},
            {MnnSettings::robust_iterations_Att, setting_text(settings.robust_iterations)},
            {MnnSettings::robust_trim_Att, setting_text(settings.robust_trim)},
            {MnnSettings::approximate_Att, setting_text(settings.approximate)},
            {MnnSettings::automatic_order_Att, setting_text(settings.automatic_order)},
            {MnnSettings::reference_policy_Att, reference_policy_text(settings.reference_policy)}};
}

std::string no_mutual_pairs_message(const std::string& label) {
    return "The batch labelled " + label +
           " shares no mutual nearest neighbours with the batches merged before it, so it cannot be "
           "corrected. Its events may not overlap any cell population of the other batches; check "
           "that the batch holds the same kind of sample, or leave it out of the job.";
}

int engine_thread_count(int maxThreads) {
    return std::max(1, maxThreads / 2);
}

Summary run_mnn(const MnnSettings& settings) {
    const std::string inputPath = settings.inputFile(0, true).name;
    std::vector<std::pair<std::string, double>> phaseSeconds;

    Clock::time_point start = Clock::now();
    const MnnInput input = read_mnn_input(inputPath);
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
