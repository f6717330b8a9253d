#ifndef PAIRMEND_COMMAND_LINE_HPP
#define PAIRMEND_COMMAND_LINE_HPP

// The argument reading of pairmend's command-line programs (pairmend-fcs, pairmend-simulate,
// pairmend-evaluate): a walk over the arguments that hands out each option's value, a walk over a
// table of options, strict readers of whole numbers and bounded numbers, and the programs' shared
// handling of errors. Every failure is a UsageError, which the programs print with their usage text
// and exit status 2. Header-only; no state is shared.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <exception>
#include <functional>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pairmend::command_line {

/** A command line that does not fit the program; the caller prints the usage text with it. */
class UsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

/** One argument: an option's name (or a plain argument) and a value written as "--name=value". */
struct Argument {
    std::string name;
    std::optional<std::string> value;
};

/**
 * Walks the arguments, handing out each option's value from the next argument or, where the
 * program takes them (`inline_values`), from "--name=value".
 */
class ArgumentReader {
public:
    ArgumentReader(std::vector<std::string> args, bool inline_values)
        : args_(std::move(args)), inline_values_(inline_values) {}

    /** The arguments of main after the program's name; "--name=value" is one name. */
    ArgumentReader(int argc, char** argv)
        : ArgumentReader(std::vector<std::string>(argv + 1, argv + argc), false) {}

    bool done() const { return index_ >= args_.size(); }

    /** The next argument, split at its first "=" when it is an option and inline values are taken. */
    const Argument& next() {
        const std::string& arg = args_[index_++];
        const std::size_t equals = arg.find('=');
        if (inline_values_ && arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            current_ = {arg.substr(0, equals), arg.substr(equals + 1)};
        } else {
            current_ = {arg, std::nullopt};
        }
        return current_;
    }

    /**
     * The value of the current option: its inline value or the next argument.
     * @throws UsageError "The option --x needs a value." when there is neither.
     */
    std::string value() {
        if (current_.value) {
            return *current_.value;
        }
        if (done()) {
            throw UsageError("The option " + current_.name + " needs a value.");
        }
        return args_[index_++];
    }

    /**
     * Refuses an inline value for an option that takes none.
     * @throws UsageError "The option --x takes no value."
     */
    void no_value() const {
        if (current_.value) {
            throw UsageError("The option " + current_.name + " takes no value.");
        }
    }

private:
    std::vector<std::string> args_;
    bool inline_values_;
    std::size_t index_ = 0;
    Argument current_;
};

/**
 * The whole of `text` as a decimal integer in [min, max].
 * @throws UsageError "The value \"x\" of --option must be a whole number from MIN to MAX."
 */
template <typename Integer>
Integer whole_number(std::string_view text, std::string_view option, Integer min, Integer max) {
    Integer value{};
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || value < min || value > max) {
        throw UsageError("The value \"" + std::string(text) + "\" of " + std::string(option) +
                         " must be a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ".");
    }
    return value;
}

/**
 * The whole of `text` as a finite number in [min, max], written as the C locale writes it.
 * @param range The accepted values in words ("a number from 0 to 1"), for the message.
 * @throws UsageError "The value \"x\" of --option must be RANGE."
 */
inline double bounded_number(std::string_view text, std::string_view option, double min, double max,
                             std::string_view range) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || !std::isfinite(value) ||
        value < min || value > max) {
        throw UsageError("The value \"" + std::string(text) + "\" of " + std::string(option) + " must be " +
                         std::string(range) + ".");
    }
    return value;
}

/** One row of a program's table of options: the option's name and what reading it does. */
struct OptionRow {
    std::string_view name;
    /// Reads the option's value, if it takes one, from `reader`; `option` is the option's name.
    std::function<void(ArgumentReader& reader, const std::string& option)> read;
};

/** A row that stores the option's value, as given, in `target` (which must outlive the row). */
inline OptionRow text_option(std::string_view name, std::string& target) {
    return {name, [&target](ArgumentReader& reader, const std::string&) { target = reader.value(); }};
}

/**
 * A row that stores the option's value, a whole number in [min, max] read by `whole_number`, in
 * `target` (an Integer or anything assignable from one, such as std::optional<Integer>; it must
 * outlive the row).
 */
template <typename Integer, typename Target>
OptionRow whole_number_option(std::string_view name, Target& target, Integer min, Integer max) {
    return {name, [&target, min, max](ArgumentReader& reader, const std::string& option) {
                target = whole_number<Integer>(reader.value(), option, min, max);
            }};
}

/**
 * Walks every argument of `reader`, handing each option to its row of `table`; "--help" and "-h"
 * ask for the usage text and take no value.
 *
 * @return Whether the usage text was asked for.
 * @throws UsageError "Unknown option \"x\"." for an argument that no row names; whatever a row throws.
 */
inline bool read_options(ArgumentReader& reader, const std::vector<OptionRow>& table) {
    bool help = false;
    while (!reader.done()) {
        const std::string option = reader.next().name;
        if (option == "--help" || option == "-h") {
            help = true;
            continue;
        }
        const auto row = std::find_if(table.begin(), table.end(),
                                      [&](const OptionRow& entry) { return entry.name == option; });
        if (row == table.end()) {
            throw UsageError("Unknown option \"" + option + "\".");
        }
        row->read(reader, option);
    }
    return help;
}

/**
 * Runs a program's `main`: parses its arguments, prints the usage text to standard output when
 * they ask for it (their `help` member) and otherwise runs the program on them, with the programs'
 * handling of errors: a std::invalid_argument (a UsageError among them) is printed as "Error: ..."
 * with the usage text after a blank line, and ends the program with status 2; any other exception
 * is printed as "Error: ..." alone, with status 1.
 *
 * @param usage The program's usage text.
 * @param parse Returns the program's arguments, with a `bool help`, from `argc` and `argv`.
 * @param run Does the program's work on the arguments; returns normally for status 0.
 * @return The program's exit status.
 */
template <typename Parse, typename Run>
int run_program(int argc, char** argv, const char* usage, Parse parse, Run run) {
    try {
        const auto arguments = parse(argc, argv);
        if (arguments.help) {
            std::cout << usage;
        } else {
            run(arguments);
        }
        return 0;
    } catch (const std::invalid_argument& error) {
        std::cerr << "Error: " << error.what() << "\n\n" << usage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "Error: " << error.what() << "\n";
        return 1;
    }
}

} // namespace pairmend::command_line

#endif
