// Throughput of reading the input table into the engine's input and of writing the corrected
// matrix as the output table, in MB of CSV text per second: the fast path the program uses
// against the general text-table path (QN::read_csv + prepare_mnn_input, QN::write_csv).
//
// The table is generated once: 1,000,000 events x 12 parameters with 7 significant digits,
// 4 batches, seed 20240611 (about 100 MB), in the system's temporary folder.
//
// Run everything:         bench_io
// Run only the fast path: bench_io --benchmark_filter=fast

#include "mnn_io.hpp"
#include "plugin_framework/csv.hpp"
#include "table_io.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::size_t table_events = 1000000;
constexpr std::size_t table_parameters = 12;

std::string temp_file(const char* name) {
    return (std::filesystem::temp_directory_path() / name).string();
}

/// The generated input table, written on first use and removed at exit.
class InputTable {
public:
    InputTable() : path_(temp_file("pairmend-bench-io-input.csv")) {
        std::mt19937_64 rng(20240611);
        std::normal_distribution<double> spread(0.0, 1.0);
        std::uniform_int_distribution<int> batch(1, 4);
        std::ofstream file(path_, std::ios::binary | std::ios::trunc);
        file << "P1,P2,P3,P4,P5,P6,P7,P8,P9,P10,P11,P12,batch,event\n";
        std::string line;
        char number[32];
        for (std::size_t i = 0; i < table_events; ++i) {
            line.clear();
            for (std::size_t j = 0; j < table_parameters; ++j) {
                // Magnitudes of transformed cytometry values, 7 significant digits.
                const double value = spread(rng) * (j % 3 == 0 ? 1000.0 : (j % 3 == 1 ? 10.0 : 0.1));
                std::snprintf(number, sizeof(number), "%.7g,", value);
                line += number;
            }
            line += std::to_string(batch(rng)) + "," + std::to_string(i + 1) + "\n";
            file << line;
        }
        if (!file) {
            throw std::runtime_error("Could not write the benchmark table " + path_);
        }
    }
    ~InputTable() { std::filesystem::remove(path_); }
    InputTable(const InputTable&) = delete;
    InputTable& operator=(const InputTable&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const InputTable& input_table() {
    static const InputTable table;
    return table;
}

// A corrected matrix of the table's shape: the input values themselves.
const std::vector<double>& output_matrix() {
    static const std::vector<double> values = pairmend::read_mnn_input(input_table().path()).data;
    return values;
}

std::vector<std::string> output_header() {
    return pairmend::mnn_output_header("BENCH", static_cast<int>(table_parameters));
}

void report_bytes(benchmark::State& state, const std::string& path) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
}

void read_fast(benchmark::State& state) {
    const std::string& path = input_table().path();
    for (auto _ : state) {
        pairmend::MnnInput input = pairmend::read_mnn_input(path);
        benchmark::DoNotOptimize(input.data.data());
    }
    report_bytes(state, path);
}

void read_general(benchmark::State& state) {
    const std::string& path = input_table().path();
    for (auto _ : state) {
        std::vector<std::vector<std::string>> rows;
        if (!QN::read_csv(path, rows, true)) {
            state.SkipWithError("the table could not be read");
            return;
        }
        std::vector<double> data;
        std::vector<int> events;
        std::vector<int> batches;
        prepare_mnn_input(rows, data, events, batches);
        benchmark::DoNotOptimize(data.data());
    }
    report_bytes(state, path);
}

void write_fast(benchmark::State& state) {
    const std::vector<double>& values = output_matrix();
    const std::string path = temp_file("pairmend-bench-io-fast.csv");
    for (auto _ : state) {
        if (!pairmend::table_io::write_value_table(path, output_header(), values.data(), table_events,
                                                   table_parameters)) {
            state.SkipWithError("the table could not be written");
            return;
        }
    }
    report_bytes(state, path);
    std::filesystem::remove(path);
}

// What the program did before: one vector per row, then QN::write_csv with a flush per line.
void write_general(benchmark::State& state) {
    const std::vector<double>& values = output_matrix();
    const std::string path = temp_file("pairmend-bench-io-general.csv");
    for (auto _ : state) {
        std::vector<std::vector<double>> rows(table_events);
        for (std::size_t i = 0; i < table_events; ++i) {
            const auto first = values.begin() + static_cast<std::ptrdiff_t>(i * table_parameters);
            rows[i].assign(first, first + static_cast<std::ptrdiff_t>(table_parameters));
        }
        if (!QN::write_csv(path, rows, output_header(), ',')) {
            state.SkipWithError("the table could not be written");
            return;
        }
    }
    report_bytes(state, path);
    std::filesystem::remove(path);
}

} // namespace

BENCHMARK(read_fast)->Name("read/fast")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(read_general)->Name("read/general")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(write_fast)->Name("write/fast")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(write_general)->Name("write/general")->Unit(benchmark::kMillisecond)->Iterations(2);

BENCHMARK_MAIN();
