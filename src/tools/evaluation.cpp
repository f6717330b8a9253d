#include "evaluation.hpp"

#include "table_reader.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace pairmend_tools {

namespace {

// Running totals and stored values of one batch.
struct BatchData {
    std::int64_t events = 0;
    double squared_error_before = 0.0;
    double squared_error_after = 0.0;
    // One vector per parameter; single precision halves the memory and exceeds the tables' 7 digits.
    std::vector<std::vector<float>> input;
    std::vector<std::vector<float>> corrected;
    std::vector<std::vector<float>> truth;

    explicit BatchData(size_t dims) : input(dims), corrected(dims), truth(dims) {}
};

double median(std::vector<float>& values) {
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) {
        return upper;
    }
    // For an even count the lower middle value is the largest of the lower half.
    const double lower =
        *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
    return 0.5 * (lower + upper);
}

std::vector<double> medians(std::vector<std::vector<float>>& columns) {
    std::vector<double> result;
    result.reserve(columns.size());
    for (auto& column : columns) {
        result.push_back(median(column));
    }
    return result;
}

double distance(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (size_t j = 0; j < a.size(); ++j) {
        sum += (a[j] - b[j]) * (a[j] - b[j]);
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
            batch.input[j].push_back(static_cast<float>(observed));
            batch.corrected[j].push_back(static_cast<float>(fixed));
            batch.truth[j].push_back(static_cast<float>(true_value));
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
    const auto reference_input = medians(reference->second.input);
    const auto reference_corrected = medians(reference->second.corrected);
    const auto reference_truth = medians(reference->second.truth);

    Evaluation evaluation;
    evaluation.reference_label = reference_label;
    evaluation.dims = static_cast<int>(dims);
    for (auto& [label, data] : batches) {
        BatchScore score;
        score.label = label;
        score.events = data.events;
        score.distance_before = distance(medians(data.input), reference_input);
        score.distance_after = distance(medians(data.corrected), reference_corrected);
        score.distance_truth = distance(medians(data.truth), reference_truth);
        const auto events = static_cast<double>(data.events);
        score.rms_before = std::sqrt(data.squared_error_before / events);
        score.rms_after = std::sqrt(data.squared_error_after / events);
        evaluation.batches.push_back(score);
        data = BatchData(0); // release the stored values early
    }
    return evaluation;
}

void print_evaluation(std::ostream& out, const Evaluation& evaluation) {
    out << "Distance: Euclidean distance between the per-parameter medians of a batch and those of\n"
        << "          reference batch " << evaluation.reference_label
        << ", before and after correction; \"truth\" is the same\n"
        << "          distance in the ground truth, the sampling noise that a perfect correction leaves.\n"
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

} // namespace pairmend_tools
