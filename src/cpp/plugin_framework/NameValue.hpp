#ifndef QN_NAME_VALUE_HPP
#define QN_NAME_VALUE_HPP

#include <string>
#include <utility>
#include <variant>

namespace QN {

/**
 * One named setting or calculation: a name and a value that holds exactly one of a bool, a
 * double, an int or a string.
 *
 * Readers take the value with std::get; asking for another alternative than the one held
 * throws std::bad_variant_access. A plain value type; distinct objects may be used from
 * different threads, one object only from one thread at a time.
 */
struct NameValue {
    /// The value's alternatives, in the order of their type tag (bool 0, double 1, int 2, string 3).
    using Value = std::variant<bool, double, int, std::string>;

    /// Builds a named value holding any of the four alternatives.
    NameValue(std::string name_, Value value_) : name(std::move(name_)), value(std::move(value_)) {}

    /// Builds a named value holding a string; a null pointer gives the empty string.
    NameValue(std::string name_, const char* text)
        : name(std::move(name_)), value(std::string(text == nullptr ? "" : text)) {}

    std::string name;
    Value value;
};

} // namespace QN

#endif
