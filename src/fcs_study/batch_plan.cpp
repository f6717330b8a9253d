#include "pairmend/fcs_study/batch_plan.hpp"

#include "pairmend/fcs_study/sheet_file.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>

namespace pairmend::fcs_study {

namespace {

std::string base_name(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

// The input file a sheet entry names: as given on the command line first, then by base name.
// Base names are distinct, so at most one file matches each way.
int matching_file(const std::vector<std::string>& files, const std::string& entry) {
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i] == entry) {
            return static_cast<int>(i);
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (base_name(files[i]) == entry) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// A run of digits without its leading zeros.
std::string_view significant_digits(std::string_view digits) {
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : digits.substr(first);
}

} // namespace

BatchSheet read_batch_sheet(const std::string& path) {
    const SheetFile file = read_sheet_file(path, "batch sheet");
    BatchSheet sheet;
    sheet.path = path;
    sheet.header = file.header;
    // A header "file,batch,condition" adds a column with the condition of every file.
    const std::size_t second_comma = file.header.find(',', file.header.find(',') + 1);
    if (file.header.find(',') != std::string::npos && second_comma != std::string::npos) {
        std::string third = trimmed(file.header.substr(second_comma + 1));
        std::transform(third.begin(), third.end(), third.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        sheet.has_conditions = third == "condition";
    }
    for (const SheetLine& line : file.lines) {
        if (!sheet.has_conditions) {
            require_two_cells(file, line, "batch sheet",
                              "a file name and a batch name separated by one comma (file,batch)");
            sheet.entries.push_back({line.cells[0], line.cells[1], "", line.number});
            continue;
        }
        if (line.cells.size() < 2 || line.cells.size() > 3 || line.cells[0].empty() ||
            line.cells[1].empty()) {
            std::ostringstream message;
            message << "Line " << line.number << " of the batch sheet " << path << " reads \"" << line.text
                    << "\", but every line after the header must be a file name, a batch name and a "
                       "condition separated by commas (file,batch,condition).";
            throw std::runtime_error(message.str());
        }
        if (line.cells.size() < 3 || line.cells[2].empty()) {
            std::ostringstream message;
            message << "Line " << line.number << " of the batch sheet " << path << " gives the file "
                    << line.cells[0]
                    << " no condition, but the sheet has a condition column: give every file its "
                       "condition.";
            throw std::runtime_error(message.str());
        }
        sheet.entries.push_back({line.cells[0], line.cells[1], line.cells[2], line.number});
    }
    if (sheet.entries.empty()) {
        throw std::runtime_error("The batch sheet " + path +
                                 " names no files: it must hold a header line, then one line "
                                 "\"file,batch\" per input file.");
    }
    return sheet;
}

BatchPlan batches_per_file(const std::vector<std::string>& files) {
    BatchPlan plan;
    for (std::size_t i = 0; i < files.size(); ++i) {
        plan.names.push_back(base_name(files[i]));
        plan.file_batch.push_back(static_cast<int>(i) + 1);
    }
    return plan;
}

BatchPlan batches_from_sheet(const std::vector<std::string>& files, const BatchSheet& sheet,
                             bool other_files_allowed) {
    const std::string header_file = trimmed(sheet.header.substr(0, sheet.header.find(',')));
    if (matching_file(files, header_file) >= 0) {
        throw std::runtime_error("The first line of the batch sheet " + sheet.path +
                                 " names the input file " + header_file +
                                 ", but it is read as the header line. Add a header line "
                                 "\"file,batch\" at the top of the sheet.");
    }
    std::vector<const SheetEntry*> entry_of_file(files.size(), nullptr);
    for (const SheetEntry& entry : sheet.entries) {
        const int file = matching_file(files, entry.file);
        if (file < 0 && other_files_allowed) {
            continue;
        }
        if (file < 0) {
            std::ostringstream message;
            message << "Line " << entry.line << " of the batch sheet " << sheet.path << " names "
                    << entry.file
                    << ", which is not among the input files. Add the file to the command line or remove "
                       "the line from the sheet.";
            throw std::runtime_error(message.str());
        }
        const SheetEntry*& slot = entry_of_file[static_cast<std::size_t>(file)];
        if (slot != nullptr) {
            std::ostringstream message;
            message << "The batch sheet " << sheet.path << " names the input file "
                    << files[static_cast<std::size_t>(file)] << " twice (lines " << slot->line << " and "
                    << entry.line << "). Each file belongs to exactly one batch.";
            throw std::runtime_error(message.str());
        }
        slot = &entry;
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (entry_of_file[i] == nullptr) {
            throw std::runtime_error("The input file " + files[i] + " is not in the batch sheet " +
                                     sheet.path + ". Add a line \"" + base_name(files[i]) +
                                     ",<batch>\" for it.");
        }
    }

    std::vector<std::string> file_batches;
    for (const SheetEntry* entry : entry_of_file) {
        file_batches.push_back(entry->batch);
    }
    BatchPlan plan = numbered_batches(file_batches);
    if (sheet.has_conditions) {
        for (const SheetEntry* entry : entry_of_file) {
            plan.conditions.push_back(entry->condition);
        }
        std::sort(plan.conditions.begin(), plan.conditions.end(), natural_less);
        plan.conditions.erase(std::unique(plan.conditions.begin(), plan.conditions.end()),
                              plan.conditions.end());
        for (const SheetEntry* entry : entry_of_file) {
            plan.file_condition.push_back(
                static_cast<int>(std::find(plan.conditions.begin(), plan.conditions.end(), entry->condition) -
                                 plan.conditions.begin()));
        }
    }
    return plan;
}

BatchPlan numbered_batches(const std::vector<std::string>& file_batches) {
    BatchPlan plan;
    plan.names = file_batches;
    std::sort(plan.names.begin(), plan.names.end(), natural_less);
    plan.names.erase(std::unique(plan.names.begin(), plan.names.end()), plan.names.end());
    for (const std::string& batch : file_batches) {
        const auto found = std::find(plan.names.begin(), plan.names.end(), batch);
        plan.file_batch.push_back(static_cast<int>(found - plan.names.begin()) + 1);
    }
    return plan;
}

bool natural_less(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    const auto is_digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            std::size_t ei = i;
            while (ei < a.size() && is_digit(a[ei])) {
                ++ei;
            }
            std::size_t ej = j;
            while (ej < b.size() && is_digit(b[ej])) {
                ++ej;
            }
            const std::string_view da = significant_digits(std::string_view(a).substr(i, ei - i));
            const std::string_view db = significant_digits(std::string_view(b).substr(j, ej - j));
            if (da.size() != db.size()) {
                return da.size() < db.size();
            }
            if (da != db) {
                return da < db;
            }
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    if ((i < a.size()) != (j < b.size())) {
        return j < b.size();
    }
    // Equal in natural order ("run 1", "run 01"): the plain text decides, so the order is total.
    return a < b;
}

} // namespace pairmend::fcs_study
