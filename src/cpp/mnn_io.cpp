#include "mnn_io.hpp"

#include "pairmend/output_transaction.hpp"
#include "plugin_framework/csv.hpp"
#include "table_io.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace {

// Rejects tables outside the data model before any cell is converted, so that no conversion
// reads a cell that is not there and no buffer is sized beyond the program's 32-bit range.
void check_table_shape(const std::vector<std::vector<std::string>>& rows) {
    if (rows.empty()) {
        throw std::runtime_error("The input table has no data rows: it must hold a header line and at "
                                 "least one line per event.");
    }
    const std::size_t ncells = rows.front().size();
    if (ncells < 3) {
        std::ostringstream text;
        text << "Data row 1 of the input table has " << ncells
             << " cells, but at least three are needed: one or more measured values, then the batch "
                "label, then the event number.";
        throw std::runtime_error(text.str());
    }
    for (std::size_t r = 1; r < rows.size(); ++r) {
        if (rows[r].size() != ncells) {
            std::ostringstream text;
            text << "Data row " << r + 1 << " (line " << r + 2 << " of the file) of the input table has "
                 << rows[r].size() << " cells, but data row 1 has " << ncells
                 << ". Every event needs the same columns; check that row for missing or empty cells.";
            throw std::runtime_error(text.str());
        }
    }
    pairmend::check_table_size(rows.size(), ncells - 2);
}

// Where a cell sits, as every message about a cell says it: data row, file line and, for
// measured values, the column.
std::string cell_place(std::size_t row, std::size_t column) {
    std::ostringstream text;
    text << "in data row " << row + 1 << " (line " << row + 2 << " of the file)";
    if (column > 0) {
        text << ", column " << column;
    }
    text << " of the input table";
    return text.str();
}

// prepare_mnn_input, also handing back the distinct labels in ascending order.
void prepare_with_labels(const std::vector<std::vector<std::string>>& rows, std::vector<double>& data,
                         std::vector<int>& eventNumbers, std::vector<int>& batches,
                         std::vector<int>& labels) {
    check_table_shape(rows);
    const std::size_t nobs = rows.size();
    const std::size_t ncells = rows.front().size();
    const std::size_t ndim = ncells - 2;

    batches.resize(nobs);
    for (std::size_t i = 0; i < nobs; ++i) {
        batches[i] = std::stoi(rows[i][ncells - 2], nullptr, 10);
    }

    // Ascending label order makes the numbering, and with it the merge order, the same on
    // every platform.
    labels = pairmend::number_batch_labels(batches.data(), nobs, batches.data());

    eventNumbers.resize(nobs);
    for (std::size_t i = 0; i < nobs; ++i) {
        eventNumbers[i] = std::stoi(rows[i][ncells - 1], nullptr, 10);
    }

    data.assign(nobs * ndim, 0.0);
    for (std::size_t i = 0; i < nobs; ++i) {
        for (std::size_t j = 0; j < ndim; ++j) {
            const double value = std::stod(rows[i][j]);
            // One infinite or NaN value would poison every distance it takes part in.
            if (!std::isfinite(value)) {
                throw std::runtime_error(
                    pairmend::non_finite_value_message(rows[i][j], cell_place(i, j + 1)));
            }
            data[i * ndim + j] = value;
        }
    }
}

} // namespace

void prepare_mnn_input(const std::vector<std::vector<std::string>>& rows, std::vector<double>& data,
                       std::vector<int>& eventNumbers, std::vector<int>& batches) {
    std::vector<int> labels;
    prepare_with_labels(rows, data, eventNumbers, batches, labels);
}

namespace pairmend {

MnnInput read_mnn_input(const std::string& path) {
    // Common tables go straight into the engine's form; every other table, and every error
    // the fast reader cannot word exactly, goes through the text rows below.
    if (std::optional<MnnInput> input = table_io::read_input_table(path)) {
        return std::move(*input);
    }
    std::vector<std::vector<std::string>> rows;
    if (!QN::read_csv(path, rows, true)) {
        throw std::runtime_error("Couldn't open or read " + path);
    }
    MnnInput input;
    prepare_with_labels(rows, input.data, input.eventNumbers, input.batches, input.batchLabels);
    // prepare_with_labels has checked that there is a first row of at least three cells and
    // that both counts fit in an int.
    input.nobs = static_cast<int>(rows.size());
    input.ndim = static_cast<int>(rows.front().size()) - 2;
    return input;
}

std::vector<std::string> mnn_output_header(const std::string& runId, int ndim) {
    std::vector<std::string> header;
    header.reserve(static_cast<std::size_t>(std::max(ndim, 0)));
    for (int j = 1; j <= ndim; ++j) {
        std::ostringstream name;
        name << "MNN_" << j << "_" << runId;
        header.push_back(name.str());
    }
    return header;
}

} // namespace pairmend

void save_mnn_output(const QN::MnnSettings& settings, std::vector<double>& corrected, int nobs, int ndim) {
    const std::size_t width = static_cast<std::size_t>(std::max(ndim, 0));
    const std::size_t height = static_cast<std::size_t>(std::max(nobs, 0));
    if (corrected.size() < height * width) {
        throw std::invalid_argument(
            "The corrected matrix holds fewer values than its events and parameters need.");
    }
    save_mnn_output(settings, corrected.data(), nobs, ndim);
}

void save_mnn_output(const QN::MnnSettings& settings, const double* corrected, int nobs, int ndim) {
    const std::size_t width = static_cast<std::size_t>(std::max(ndim, 0));
    const std::size_t height = static_cast<std::size_t>(std::max(nobs, 0));
    const std::vector<std::string> header = pairmend::mnn_output_header(settings.run_ID, ndim);
    const std::string path = settings.outputFile(0, true).name;
    // A table cut short (a full disk) would look like a finished result; only the summary may
    // speak for a failed run. So the table is complete under a temporary name before it takes
    // its own, and a failure leaves whatever was at the path as it was.
    pairmend::OutputTransaction table;
    if (!pairmend::table_io::write_value_table(table.add(path), header, corrected, height, width)) {
        throw std::runtime_error("Unable to save output to " + path);
    }
    try {
        table.commit();
    } catch (const std::runtime_error&) {
        throw std::runtime_error("Unable to save output to " + path);
    }
}
