#ifndef PAIRMEND_FCS_INTERNAL_REFUSAL_HPP
#define PAIRMEND_FCS_INTERNAL_REFUSAL_HPP

// How the reader refuses a file: one sentence that begins "The file <name> ".
// Not part of the public interface.

#include <string>
#include <string_view>

namespace pairmend::fcs::detail {

/// Throws std::runtime_error("The file " + name + " " + rest); `rest` completes the sentence.
[[noreturn]] void refuse(const std::string& name, const std::string& rest);

/// A value as messages quote it: in double quotes, its first 60 bytes, every byte that is not
/// printable ASCII shown as '?', and "..." when it was longer.
std::string shown(std::string_view text);

} // namespace pairmend::fcs::detail

#endif
