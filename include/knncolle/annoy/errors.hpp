#ifndef ANNOY_ERRORS_HPP
#define ANNOY_ERRORS_HPP

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace Annoy {

/**
 * Reports a refusal of the forest: prints `message` and a newline on the standard error stream
 * and, when `error` is not null, stores a newly allocated copy of the message in `*error`.
 * The caller owns that copy and releases it with `std::free` (the C interface of `char**`).
 * If the copy cannot be allocated, `*error` is set to null.
 */
inline void set_error_from_string(char** error, const char* message) {
    std::fprintf(stderr, "%s\n", message);
    if (error != nullptr) {
        const std::size_t length = std::strlen(message) + 1;
        *error = static_cast<char*>(std::malloc(length));
        if (*error != nullptr) {
            std::memcpy(*error, message, length);
        }
    }
}

/**
 * Reports a failed system call like `set_error_from_string`, with the text of the current
 * `errno` and its number appended to `message`: "message: text (number)".
 */
inline void set_error_from_errno(char** error, const char* message) {
    const int code = errno;
    const std::string full =
        std::string(message) + ": " + std::strerror(code) + " (" + std::to_string(code) + ")";
    set_error_from_string(error, full.c_str());
}

} // namespace Annoy

#endif
