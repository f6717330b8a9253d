#ifndef PAIRMEND_BENCHMARKS_WORKLOAD_HPP
#define PAIRMEND_BENCHMARKS_WORKLOAD_HPP

// What the index benchmarks search: points to index and points to query, and how to take
// both from a real input table.

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pairmend_bench {

/// Points to index and points to query, `ndim` values each.
struct Workload {
    std::string name;
    int ndim = 0;
    int nobs = 0;
    std::vector<double> stored;
    std::vector<double> queries;

    int nqueries() const {
        return ndim == 0 ? 0 : static_cast<int>(queries.size() / static_cast<size_t>(ndim));
    }
    const double* query(int q) const {
        return queries.data() + static_cast<size_t>(q) * static_cast<size_t>(ndim);
    }
};

/**
 * Reads an input table (header line; values, batch label, event number per line) and splits
 * it into batch 1 (indexed) and every other batch (queried), the workload the program sees.
 * Lines of another cell count are skipped; an unreadable file gives an empty workload.
 */
inline Workload read_table(const std::string& name, const std::string& path) {
    Workload out;
    out.name = name;
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        return out;
    }
    out.ndim = static_cast<int>(std::count(line.begin(), line.end(), ',')) - 1;
    std::vector<double> values;
    while (std::getline(file, line)) {
        std::istringstream cells(line);
        std::string cell;
        values.clear();
        while (std::getline(cells, cell, ',')) {
            values.push_back(std::stod(cell));
        }
        if (static_cast<int>(values.size()) != out.ndim + 2) {
            continue;
        }
        auto& target = (values[static_cast<size_t>(out.ndim)] == 1.0) ? out.stored : out.queries;
        target.insert(target.end(), values.begin(), values.begin() + out.ndim);
    }
    out.nobs = static_cast<int>(out.stored.size() / static_cast<size_t>(std::max(out.ndim, 1)));
    return out;
}

} // namespace pairmend_bench

#endif
