#include "evaluation.hpp"

#include "table_reader.hpp"

#include <cmath>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace pairmend::tools {

namespace {

// Running totals of one batch.
struct BatchData {
    std::int64_t events = 0;
    double squared_error_before = 0.0;
    double squared_error_after = 0.0;
    // Per-parameter sums of the input, corrected and true values.
    std::vector<double> input_sum;
    std::vector<double> corrected_sum;
    std::vector<double> truth_sum;

    explicit BatchData(size_t dims) : input_sum(dims), corrected_sum(dims), truth_sum(dims) {}
};

// Euclidean distance between the means a_sum / a_count and b_sum / b_count.
double distance_of_means(const std::vector<double>& a_sum, std::int64_t a_count,
                         const std::vector<double>& b_sum, std::int64_t b_count) {
    double sum = 0.0;
    for (size_t j = 0; j < a_sum.size(); ++j) {
        const double diff = a_sum[j] / static_cast<double>(a_count) - b_sum[j] / static_cast<double>(b_count);
        sum += diff * diff;
    }
    return std::sqrt(sum);
}

void check_cell_count(const TableReader& table, size_t found, size_t expected, const char* layout) {
    if (found != expected) {
        std::ostringstream message;
        message << "Row " << table.row() << " of " << table.name() << " has " << found << " cells, but "
                << expected << " are expected (" << layout << ").";
        throw std::runtime_error(message.str());
    }
}

void check_header(const TableReader& table, size_t dims, const TableReader& input) {
    if (table.header().size() != dims) {
        std::ostringstream message;
        message << "The header of " << table.name() << " names " << table.header().size() << " columns, but "
                << input.name() << " has " << dims << " parameters: the tables do not belong together.";
        throw std::runtime_error(message.str());
    }
}

[[noreturn]] void row_count_mismatch(const TableReader& shorter, const TableReader& longer,
                                     std::int64_t rows) {
    std::ostringstream message;
    message << shorter.name() << " ends after " << rows << " data rows, but " << longer.name()
            << " has more: every input row needs exactly one row in each table.";
    std::string text = message.str();
    text[0] = 'T'; // the sentence starts with "the ..."
    throw std::runtime_error(text);
}

} // namespace

Evaluation evaluate_correction(const std::string& input_path, const std::string& corrected_path,
                               const std::string& truth_path, std::int64_t reference_label) {
    TableReader input(input_path, "input table");
    TableReader corrected(corrected_path, "corrected table");
    TableReader truth(truth_path, "truth table");

    if (input.header().size() < 3) {
        throw std::runtime_error("The header of " + input.name() +
                                 " has fewer than 3 columns: at least one parameter, the batch label and the "
                                 "event number are expected.");
    }
    const size_t dims = input.header().size() - 2;
    check_header(corrected, dims, input);
    check_header(truth, dims, input);

    std::map<std::int64_t, BatchData> batches;
    std::vector<std::string_view> input_cells;
    std::vector<std::string_view> corrected_cells;
    std::vector<std::string_view> truth_cells;
    while (true) {
        const bool more_input = input.next(input_cells);
        const bool more_corrected = corrected.next(corrected_cells);
        const bool more_truth = truth.next(truth_cells);
        if (!more_input) {
            if (more_corrected) {
                row_count_mismatch(input, corrected, input.row());
            }
            if (more_truth) {
                row_count_mismatch(input, truth, input.row());
            }
            break;
        }
        if (!more_corrected) {
            row_count_mismatch(corrected, input, corrected.row());
        }
        if (!more_truth) {
            row_count_mismatch(truth, input, truth.row());
        }
        check_cell_count(input, input_cells.size(), dims + 2,
                         "the parameters, the batch label and the event number");
        check_cell_count(corrected, corrected_cells.size(), dims, "one per parameter");
        check_cell_count(truth, truth_cells.size(), dims, "one per parameter");

        const std::int64_t label = input.integer(input_cells[dims], "batch label");
        auto& batch = batches.try_emplace(label, dims).first->second;
        ++batch.events;
        double error_before = 0.0;
        double error_after = 0.0;
        for (size_t j = 0; j < dims; ++j) {
            const double observed = input.number(input_cells[j], j);
            const double fixed = corrected.number(corrected_cells[j], j);
            const double true_value = truth.number(truth_cells[j], j);
            error_before += (observed - true_value) * (observed - true_value);
            error_after += (fixed - true_value) * (fixed - true_value);
            batch.input_sum[j] += observed;
            batch.corrected_sum[j] += fixed;
            batch.truth_sum[j] += true_value;
        }
        batch.squared_error_before += error_before;
        batch.squared_error_after += error_after;
    }

    if (batches.empty()) {
        throw std::runtime_error("The input table " + input_path + " has no data rows.");
    }
    const auto reference = batches.find(reference_label);
    if (reference == batches.end()) {
        std::ostringstream message;
        message << "No event of the input table " << input_path << " carries the reference batch label "
                << reference_label << ".";
        throw std::runtime_error(message.str());
    }
    const BatchData& ref = reference->second;

    Evaluation evaluation;
    evaluation.reference_label = reference_label;
    evaluation.dims = static_cast<int>(dims);
    for (const auto& [label, data] : batches) {
        BatchScore score;
        score.label = label;
        score.events = data.events;
        score.distance_before = distance_of_means(data.input_sum, data.events, ref.input_sum, ref.events);
        score.distance_after =
            distance_of_means(data.corrected_sum, data.events, ref.corrected_sum, ref.events);
        score.distance_truth = distance_of_means(data.truth_sum, data.events, ref.truth_sum, ref.events);
        const auto events = static_cast<double>(data.events);
        score.rms_before = std::sqrt(data.squared_error_before / events);
        score.rms_after = std::sqrt(data.squared_error_after / events);
        evaluation.batches.push_back(score);
    }
    return evaluation;
}

void print_evaluation(std::ostream& out, const Evaluation& evaluation) {
    out << "Distance: Euclidean distance between the mean of a batch and the mean of reference batch "
        << evaluation.reference_label << ",\n"
        << "          before and after correction. Every batch holds the same populations in the same\n"
        << "          proportions, so \"truth\", the same distance in the ground truth, is only sampling\n"
        << "          noise: what a perfect correction leaves.\n"
        << "RMS error: root mean square distance of the batch's events from their true positions.\n\n";
    out << std::setw(8) << "batch" << std::setw(10) << "events"
        << "   distance:" << std::setw(8) << "before" << std::setw(10) << "after" << std::setw(10) << "truth"
        << "   RMS error:" << std::setw(8) << "before" << std::setw(10) << "after"
        << "\n";
    const auto flags = out.flags();
    const auto precision = out.precision();
    out << std::fixed << std::setprecision(4);
    for (const auto& batch : evaluation.batches) {
        out << std::setw(8) << batch.label << std::setw(10) << batch.events << std::setw(20)
            << batch.distance_before << std::setw(10) << batch.distance_after << std::setw(10)
            << batch.distance_truth << std::setw(21) << batch.rms_before << std::setw(10) << batch.rms_after
            << "\n";
    }
    out.flags(flags);
    out.precision(precision);
}

} // namespace pairmend::tools
