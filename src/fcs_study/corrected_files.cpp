#include "pairmend/fcs_study/corrected_files.hpp"

#include "pairmend/fcs_study/listing.hpp"
#include "pairmend/fcs_study/number_text.hpp"

#include <cmath>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace pairmend::fcs_study {

namespace fs = std::filesystem;

void write_corrected_files(const Study& study, StudyCorrection& correction, const std::string& out_dir,
                           Progress& progress, OutputTransaction& outputs, ReportSample* sample) {
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        correction.correct_file(f, [&](const FileCorrection& corrected) {
            const fcs::FcsFile& file = corrected.file;
            if (sample != nullptr) {
                sample->take(corrected.stamp.batch_number, file.num_events, corrected.events,
                             corrected.corrected,
                             study.batches.file_condition.empty() ? -1 : study.batches.file_condition[f]);
            }
            const fcs::FcsOutput output =
                compose_corrected_file(file, corrected.linear, study.channels.chosen[f], corrected.corrected,
                                       corrected.stamp, corrected.threads);
            const fs::path final_path = fs::path(out_dir) / base_name(file.path);
            try {
                fcs::write_fcs(outputs.add(final_path), output);
            } catch (const std::exception& error) {
                throw std::runtime_error("Could not write the corrected file " + final_path.string() + ": " +
                                         error.what());
            }
            std::ostringstream line;
            line << "Wrote " << final_path.string() << ": " << output.num_events << " events, "
                 << output.channels.size() << " channels, batch " << corrected.stamp.batch_number << " ("
                 << corrected.stamp.batch_name << ")";
            progress.line(line.str());
        });
    }
}

void write_corrected_study(const Study& study, StudyCorrection& correction, const CorrectedOutput& output,
                           CorrectionEnding ending, std::vector<std::pair<std::string, double>> phases,
                           Progress& progress, OutputTransaction& outputs) {
    std::optional<ReportSample> sample;
    if (!output.report.empty() && ending.sample_for_report) {
        sample.emplace(study);
    }
    double began = progress.seconds();
    write_corrected_files(study, correction, output.out_dir, progress, outputs, sample ? &*sample : nullptr);
    phases.emplace_back(ending.write_phase, progress.seconds() - began);

    if (!output.report.empty()) {
        began = progress.seconds();
        if (sample) {
            sample->show_in(ending.evidence);
        }
        write_study_report(outputs, output, study, std::move(ending.evidence), std::move(phases));
        progress.line("Wrote the quality-control report " + output.report + " (" +
                      shortest_text(std::round((progress.seconds() - began) * 100) / 100) + " s)");
    }
    outputs.commit();

    std::ostringstream done;
    done.setf(std::ios::fixed);
    done.precision(2);
    const double total = progress.seconds();
    done << "Done: " << study.files.size() << " corrected files in " << output.out_dir << "; " << total
         << " s in all";
    if (ending.engine_seconds) {
        done << ", " << *ending.engine_seconds << " s in the engine (" << 100 * *ending.engine_seconds / total
             << " %)";
    }
    progress.line(done.str());
}

} // namespace pairmend::fcs_study
