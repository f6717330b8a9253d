#ifndef PAIRMEND_TOOLS_CLI_HPP
#define PAIRMEND_TOOLS_CLI_HPP

// Command-line helpers shared by the tools: strict parsing of option values.

#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pairmend::tools {

/**
 * Parses the whole of `text` as a decimal integer in [min, max].
 * @param option The option's name, used in the message.
 * @throws std::invalid_argument naming the option when the text is not such an integer.
 */
template <typename Integer>
Integer parse_integer_option(std::string_view text, std::string_view option, Integer min, Integer max) {
    Integer value{};
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || value < min || value > max) {
        throw std::invalid_argument("The value \"" + std::string(text) + "\" of " + std::string(option) +
                                    " must be a whole number from " + std::to_string(min) + " to " +
                                    std::to_string(max) + ".");
    }
    return value;
}

/**
 * Returns the argument that follows option `argv[index]` and advances `index` past it.
 * @throws std::invalid_argument when the option is the last argument.
 */
inline std::string option_value(int argc, char** argv, int& index) {
    if (index + 1 >= argc) {
        throw std::invalid_argument("The option " + std::string(argv[index]) + " needs a value.");
    }
    ++index;
    return argv[index];
}

} // namespace pairmend::tools

#endif
