#include "correct_files.hpp"

#include "compose_output.hpp"
#include "correction_report.hpp"
#include "listing.hpp"
#include "number_text.hpp"

#include <cmath>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace pairmend::fcs_tool {

namespace fs = std::filesystem;

fcs::FcsOutput corrected_file(const CorrectionInput& input, const CorrectionResult& result,
                              const CorrectOptions& options, std::size_t file) {
    // The file's events sit after those of the files before it.
    std::size_t first_row = 0;
    for (std::size_t f = 0; f < file; ++f) {
        first_row += input.files[f].num_events;
    }
    CorrectionStamp stamp;
    stamp.cofactor = input.cofactor;
    stamp.batch_number = input.batches.file_batch[file];
    stamp.batch_name = input.batches.names[static_cast<std::size_t>(stamp.batch_number) - 1];
    stamp.settings = settings_keyword(options.engine);
    return compose_corrected_file(input.files[file], input.linear[file], input.chosen[file],
                                  result.corrected.data() + first_row * input.chosen[file].size(), stamp);
}

void write_results(const CorrectionInput& input, const CorrectionResult& result,
                   const CorrectOptions& options, Progress& progress, OutputTransaction& outputs) {
    std::vector<std::pair<std::string, double>> phases = {
        {"Read the FCS files and transform the chosen channels", input.seconds},
        {"Correct the batches", result.engine_seconds}};

    double began = progress.seconds();
    for (std::size_t f = 0; f < input.files.size(); ++f) {
        const fs::path final_path = fs::path(options.out_dir) / base_name(input.files[f].path);
        const fcs::FcsOutput output = corrected_file(input, result, options, f);
        try {
            fcs::write_fcs(outputs.add(final_path), output);
        } catch (const std::exception& error) {
            throw std::runtime_error("Could not write the corrected file " + final_path.string() + ": " +
                                     error.what());
        }
        std::ostringstream line;
        line << "Wrote " << final_path.string() << ": " << output.num_events << " events, "
             << output.channels.size() << " channels";
        progress.line(line.str());
    }
    phases.emplace_back("Write the corrected FCS files", progress.seconds() - began);

    if (!options.report.empty()) {
        began = progress.seconds();
        write_correction_report(outputs, options.report, options, input, result, phases);
        progress.line("Wrote the quality-control report " + options.report + " (" +
                      shortest_text(std::round((progress.seconds() - began) * 100) / 100) + " s)");
    }
    outputs.commit();
}

void correct_files(const CorrectOptions& options, Progress& progress) {
    const CorrectionInput input = prepare_correction(options, progress);

    // The folder is made before the long part, so that a folder that cannot be made fails at once.
    OutputTransaction outputs;
    outputs.create_folder(options.out_dir);

    const CorrectionResult result = run_correction(input, options, progress);
    write_results(input, result, options, progress, outputs);

    std::ostringstream done;
    done.setf(std::ios::fixed);
    done.precision(2);
    const double total = progress.seconds();
    done << "Done: " << input.files.size() << " corrected files in " << options.out_dir << "; " << total
         << " s in all, " << result.engine_seconds << " s in the engine ("
         << 100 * result.engine_seconds / total << " %)";
    progress.line(done.str());
}

} // namespace pairmend::fcs_tool
