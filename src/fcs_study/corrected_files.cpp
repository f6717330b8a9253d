#include "pairmend/fcs_study/corrected_files.hpp"

#include "pairmend/fcs_study/listing.hpp"
#include "pairmend/fcs_study/number_text.hpp"

#include <cmath>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace pairmend::fcs_study {

namespace fs = std::filesystem;

namespace {

// Runs a step of writing `path`, naming the file in its error.
template <class Step>
void writing(const std::string& path, const Step& step) {
    try {
        step();
    } catch (const std::exception& error) {
        throw std::runtime_error("Could not write the corrected file " + path + ": " + error.what());
    }
}

} // namespace

fcs::FcsOutput write_corrected_file(const Study& study, StudyCorrection& correction, std::size_t f,
                                    const std::string& name, const std::function<std::string()>& destination,
                                    ReportSample* sample, std::vector<float>& values) {
    const std::vector<std::size_t>& chosen = study.channels.chosen[f];
    const int condition = study.batches.file_condition.empty() ? -1 : study.batches.file_condition[f];
    std::optional<fcs::FcsOutput> layout; // the corrected file without its values
    const auto compose = [&](const FileCorrection& block) {
        if (!layout) {
            layout = corrected_file_layout(block.file, chosen, block.stamp);
        }
        values.resize(block.count * layout->channels.size());
        compose_corrected_events(block.file, *layout, block.stamp, block.first, block.count, block.linear,
                                 block.corrected, values.data(), block.threads);
    };
    // The TEXT, with every channel's range, comes before the values: a range that only the
    // values give takes a pass of its own.
    fcs::ValueRanges ranges(corrected_channels(study.files[f], chosen));
    if (!ranges.empty()) {
        correction.correct_file(f, [&](const FileCorrection& block) {
            compose(block);
            ranges.add(values.data(), block.count);
        });
    }
    std::optional<fcs::FcsWriter> writer;
    const int batch_number = study.batches.file_batch[f];
    correction.correct_file(f, [&](const FileCorrection& block) {
        compose(block);
        if (!writer) {
            ranges.apply(layout->channels);
            writing(name, [&] { writer.emplace(destination(), *layout); });
        }
        if (sample != nullptr) {
            sample->take(batch_number, block.count, block.events, block.corrected, condition);
        }
        writing(name, [&] { writer->write_events(values.data(), block.count); });
    });
    if (!writer) {
        throw std::logic_error("No events of " + study.files[f].path + " were corrected.");
    }
    writing(name, [&] { writer->finish(); });
    return std::move(*layout);
}

void write_corrected_files(const Study& study, StudyCorrection& correction, const std::string& out_dir,
                           Progress& progress, OutputTransaction& outputs, ReportSample* sample) {
    std::vector<float> values;
    for (std::size_t f = 0; f < study.files.size(); ++f) {
        const fs::path final_path = fs::path(out_dir) / base_name(study.files[f].path);
        const fcs::FcsOutput layout = write_corrected_file(
            study, correction, f, final_path.string(), [&] { return outputs.add(final_path); }, sample,
            values);
        const int batch_number = study.batches.file_batch[f];
        std::ostringstream line;
        line << "Wrote " << final_path.string() << ": " << layout.num_events << " events, "
             << layout.channels.size() << " channels, batch " << batch_number << " ("
             << study.batches.names[static_cast<std::size_t>(batch_number) - 1] << ")";
        progress.line(line.str());
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
