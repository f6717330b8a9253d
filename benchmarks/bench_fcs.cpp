// Throughput of reading and writing FCS files, in MB of file per second (bytes_per_second).
//
// The files are made once, in a temporary folder that is removed at exit, each about 100 MB:
//   float32 little-endian (what write_fcs writes): 16 channels x 1,562,500 events;
//   float32 big-endian (what most instruments write): the same values;
//   int16 big-endian with a 10-bit range, half of the channels logarithmic (as old instruments
//   wrote them): 8 channels x 6,250,000 events;
//   mixed widths (8, 16, 24 and 32-bit integers, order 3,4,1,2): the general per-byte path.
// Reading includes the whole file read and the decoding into doubles; writing includes building
// the TEXT and writing the file. Rates are of wall-clock time.
//
// Run everything:   bench_fcs
// Run only reading: bench_fcs --benchmark_filter=read

#include "pairmend/fcs/fcs_file.hpp"

#include "fcs_builder.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::size_t float_channels = 16;
constexpr std::size_t float_events = 1562500;
constexpr std::size_t int_channels = 8;
constexpr std::size_t int_events = 6250000;

/// A temporary folder, removed with everything in it at exit.
class Folder {
public:
    Folder() {
        path_ = std::filesystem::temp_directory_path() /
                ("pairmend-bench-fcs-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(path_);
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

const Folder& folder() {
    static const Folder instance;
    return instance;
}

pairmend::fcs::FcsOutput float_output() {
    pairmend::fcs::FcsOutput output;
    for (std::size_t c = 0; c < float_channels; ++c) {
        pairmend::fcs::Channel channel;
        channel.name = "P" + std::to_string(c + 1);
        channel.range = 262144;
        output.channels.push_back(channel);
    }
    output.num_events = float_events;
    output.values.resize(float_events * float_channels);
    std::mt19937 rng(20240611);
    std::normal_distribution<float> spread(1000.0f, 800.0f);
    for (float& value : output.values) {
        value = spread(rng);
    }
    output.keywords = {{"$CYT", "Benchmark"}};
    return output;
}

const pairmend::fcs::FcsOutput& float_values() {
    static const pairmend::fcs::FcsOutput output = float_output();
    return output;
}

/// A file of `events` events whose DATA segment holds the given bytes (random but valid values).
std::string raw_file(const std::string& name, fcs_test::FcsBuilder builder, std::size_t events,
                     const std::string& data) {
    builder.tot = std::to_string(events);
    builder.data_suffix = data;
    const std::string path = folder().file(name);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << builder.build();
    if (!file) {
        throw std::runtime_error("Could not write the benchmark file " + path);
    }
    return path;
}

const std::string& float_le_file() {
    static const std::string path = [] {
        const std::string file = folder().file("float32_le.fcs");
        pairmend::fcs::write_fcs(file, float_values());
        return file;
    }();
    return path;
}

const std::string& float_be_file() {
    static const std::string path = [] {
        const std::vector<float>& values = float_values().values;
        std::string data(values.size() * 4, '\0');
        for (std::size_t i = 0; i < values.size(); ++i) {
            std::uint32_t u;
            std::memcpy(&u, &values[i], 4);
            u = __builtin_bswap32(u);
            std::memcpy(&data[4 * i], &u, 4);
        }
        fcs_test::FcsBuilder builder;
        builder.version = "FCS3.0";
        builder.byteord = "4,3,2,1";
        for (std::size_t c = 0; c < float_channels; ++c) {
            builder.channels.push_back({"P" + std::to_string(c + 1), "", "262144", 32, "0,0"});
        }
        return raw_file("float32_be.fcs", builder, float_events, data);
    }();
    return path;
}

const std::string& int16_file() {
    static const std::string path = [] {
        std::string data(int_events * int_channels * 2, '\0');
        std::mt19937 rng(7);
        for (std::size_t i = 0; i < data.size(); i += 4) {
            const std::uint32_t r = rng();
            std::memcpy(&data[i], &r, 4);
        }
        fcs_test::FcsBuilder builder;
        builder.version = "FCS3.0"; // FCS 2.0 cannot place a DATA segment beyond byte 99,999,999
        builder.datatype = "I";
        builder.byteord = "4,3,2,1";
        for (std::size_t c = 0; c < int_channels; ++c) {
            builder.channels.push_back({"FL" + std::to_string(c + 1), "", "1024", 16, c < 4 ? "4,0" : "0,0"});
        }
        return raw_file("int16_be.fcs", builder, int_events, data);
    }();
    return path;
}

const std::string& mixed_file() {
    static const std::string path = [] {
        // 8 + 16 + 24 + 32 + 16 bits: 12 bytes per event.
        const std::size_t events = 8000000;
        std::string data(events * 12, '\0');
        std::mt19937 rng(11);
        for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
            const std::uint32_t r = rng();
            std::memcpy(&data[i], &r, 4);
        }
        fcs_test::FcsBuilder builder;
        builder.version = "FCS3.0";
        builder.datatype = "I";
        builder.byteord = "1,2,3,4";
        builder.channels = {{"A", "", "256", 8, "0,0"},
                            {"B", "", "65536", 16, "0,0"},
                            {"C", "", "16777216", 24, "0,0"},
                            {"D", "", "1000000", 32, "0,0"},
                            {"E", "", "1024", 16, "0,0"}};
        return raw_file("mixed.fcs", builder, events, data);
    }();
    return path;
}

void read_file(benchmark::State& state, const std::string& path) {
    for (auto _ : state) {
        pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
        benchmark::DoNotOptimize(file.raw.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
}

void read_float32_le(benchmark::State& state) {
    read_file(state, float_le_file());
}
void read_float32_be(benchmark::State& state) {
    read_file(state, float_be_file());
}
void read_int16_be(benchmark::State& state) {
    read_file(state, int16_file());
}
void read_mixed_widths(benchmark::State& state) {
    read_file(state, mixed_file());
}

void read_int16_linear(benchmark::State& state) {
    const std::string& path = int16_file();
    for (auto _ : state) {
        pairmend::fcs::FcsFile file = pairmend::fcs::read_fcs(path);
        std::vector<double> linear = file.linear_values();
        benchmark::DoNotOptimize(linear.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
}

void write_float32(benchmark::State& state) {
    const pairmend::fcs::FcsOutput& output = float_values();
    const std::string path = folder().file("written.fcs");
    for (auto _ : state) {
        pairmend::fcs::write_fcs(path, output);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
    std::filesystem::remove(path);
}

} // namespace

BENCHMARK(read_float32_le)
    ->Name("read/float32_le")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();
BENCHMARK(read_float32_be)
    ->Name("read/float32_be")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();
BENCHMARK(read_int16_be)->Name("read/int16_be")->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(read_int16_linear)
    ->Name("read/int16_be+linear_values")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();
BENCHMARK(read_mixed_widths)
    ->Name("read/mixed_widths")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();
BENCHMARK(write_float32)->Name("write/float32")->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

BENCHMARK_MAIN();
