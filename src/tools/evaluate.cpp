// pairmend-evaluate: compares a correction of simulated data with the simulation's ground truth.

#include "evaluation.hpp"
#include "pairmend/command_line.hpp"

#include <cstdint>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "Usage: pairmend-evaluate --input INPUT.csv --output OUTPUT.csv --truth TRUTH.csv [--reference L]\n"
    "\n"
    "Prints, for every batch label of the input table, how far the batch lies from the reference batch\n"
    "and from the ground truth, before and after correction.\n"
    "\n"
    "  --input FILE        the input table given to pairmend (values, batch label, event number)\n"
    "  --output FILE       pairmend's output table: one row of corrected values per input row\n"
    "  --truth FILE        the undistorted values of the input rows, as written by pairmend-simulate\n"
    "  --reference L       the batch label of the reference batch (default 1)\n"
    "  --help              print this text\n";

struct Arguments {
    std::string input_path;
    std::string output_path;
    std::string truth_path;
    std::int64_t reference_label = 1;
    bool help = false;
};

Arguments parse_arguments(int argc, char** argv) {
    using namespace pairmend::command_line;
    Arguments arguments;
    const std::vector<OptionRow> option_table{
        text_option("--input", arguments.input_path),
        text_option("--output", arguments.output_path),
        text_option("--truth", arguments.truth_path),
        whole_number_option("--reference", arguments.reference_label,
                            std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max()),
    };
    ArgumentReader reader(argc, argv);
    arguments.help = read_options(reader, option_table);
    if (!arguments.help &&
        (arguments.input_path.empty() || arguments.output_path.empty() || arguments.truth_path.empty())) {
        throw std::invalid_argument("The options --input, --output and --truth are all required.");
    }
    return arguments;
}

// Prints the evaluation of the correction the arguments name.
void run(const Arguments& arguments) {
    const auto evaluation = pairmend::tools::evaluate_correction(
        arguments.input_path, arguments.output_path, arguments.truth_path, arguments.reference_label);
    pairmend::tools::print_evaluation(std::cout, evaluation);
}

} // namespace

int main(int argc, char** argv) {
    return pairmend::command_line::run_program(argc, argv, kUsage, parse_arguments, run);
}
