// pairmend-simulate: writes a synthetic input table with known batch effects and its ground truth.

#include "cli.hpp"
#include "simulation.hpp"

#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "Usage: pairmend-simulate --out INPUT.csv [--truth TRUTH.csv] [--events N] [--dims D]\n"
    "                         [--batches B] [--populations P] [--seed S]\n"
    "\n"
    "Writes a synthetic table in pairmend's input format: P Gaussian cell populations in D parameters,\n"
    "measured in B batches (labels 1..B) of N events each, with the same population proportions in\n"
    "every batch. Batch 1 is undistorted; every other batch is shifted (by more than a population's\n"
    "spread, far less than the gaps between populations), rescaled about each population's centre and\n"
    "bent by a gentle sinusoid. The optional truth table holds the undistorted values of the same rows.\n"
    "The same seed always gives the same files.\n"
    "\n"
    "  --out FILE          input table to write (header P1..PD,batch,event)\n"
    "  --truth FILE        ground-truth table to write (header P1..PD), optional\n"
    "  --events N          events per batch (default 10000)\n"
    "  --dims D            parameters per event (default 5)\n"
    "  --batches B         batches (default 3)\n"
    "  --populations P     cell populations (default 4, at most 1000)\n"
    "  --seed S            seed of the random sequence (default 1)\n"
    "  --help              print this text\n";

struct Arguments {
    pairmend_tools::SimulationOptions options;
    std::string input_path;
    std::string truth_path;
    bool help = false;
};

Arguments parse_arguments(int argc, char** argv) {
    using pairmend_tools::option_value;
    using pairmend_tools::parse_integer_option;
    constexpr int int_max = std::numeric_limits<int>::max();
    Arguments arguments;
    auto& options = arguments.options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            arguments.help = true;
        } else if (option == "--out") {
            arguments.input_path = option_value(argc, argv, i);
        } else if (option == "--truth") {
            arguments.truth_path = option_value(argc, argv, i);
        } else if (option == "--events") {
            options.events_per_batch =
                parse_integer_option<std::int64_t>(option_value(argc, argv, i), option, 1, int_max);
        } else if (option == "--dims") {
            options.dims = parse_integer_option<int>(option_value(argc, argv, i), option, 1, int_max);
        } else if (option == "--batches") {
            options.batches = parse_integer_option<int>(option_value(argc, argv, i), option, 1, int_max);
        } else if (option == "--populations") {
            options.populations = parse_integer_option<int>(option_value(argc, argv, i), option, 1,
                                                            pairmend_tools::kMaxPopulations);
        } else if (option == "--seed") {
            options.seed = parse_integer_option<std::uint64_t>(option_value(argc, argv, i), option, 0,
                                                               std::numeric_limits<std::uint64_t>::max());
        } else {
            throw std::invalid_argument("Unknown option \"" + option + "\".");
        }
    }
    if (!arguments.help && arguments.input_path.empty()) {
        throw std::invalid_argument("The option --out, the input table to write, is required.");
    }
    return arguments;
}

// An output file with a large buffer: the tables can reach gigabytes.
class OutputFile {
public:
    explicit OutputFile(const std::string& path) : buffer_(1 << 20) {
        stream_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        stream_.open(path, std::ios::binary | std::ios::trunc);
        if (!stream_) {
            throw std::runtime_error("Could not create the file " + path + ".");
        }
    }

    std::ostream& stream() { return stream_; }

    /// Flushes and closes the file; throws when any write failed (a full disk, for example).
    void close(const std::string& path) {
        stream_.close();
        if (stream_.fail()) {
            throw std::runtime_error("Could not write the file " + path + " completely (is the disk full?).");
        }
    }

private:
    std::vector<char> buffer_;
    std::ofstream stream_;
};

} // namespace

int main(int argc, char** argv) {
    try {
        const Arguments arguments = parse_arguments(argc, argv);
        if (arguments.help) {
            std::cout << kUsage;
            return 0;
        }
        pairmend_tools::validate(arguments.options);
        OutputFile input(arguments.input_path);
        std::unique_ptr<OutputFile> truth;
        if (!arguments.truth_path.empty()) {
            truth = std::make_unique<OutputFile>(arguments.truth_path);
        }
        pairmend_tools::write_simulation(arguments.options, input.stream(),
                                         truth ? &truth->stream() : nullptr);
        input.close(arguments.input_path);
        if (truth) {
            truth->close(arguments.truth_path);
        }
        return 0;
    } catch (const std::invalid_argument& error) {
        std::cerr << "Error: " << error.what() << "\n\n" << kUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "Error: " << error.what() << "\n";
        return 1;
    }
}
