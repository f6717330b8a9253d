#include "pairmend/messages.hpp"

#include <limits>
#include <sstream>
#include <stdexcept>

namespace pairmend {

namespace {

constexpr std::uint64_t int_limit = static_cast<std::uint64_t>(std::numeric_limits<int>::max());

} // namespace

std::string quoted_value(const std::string& value) {
    constexpr std::size_t longest = 40;
    return "\"" + (value.size() <= longest ? value : value.substr(0, longest) + "...") + "\"";
}

std::string non_finite_value_message(const std::string& value, const std::string& place) {
    return "The value " + quoted_value(value) + " " + place +
           " is not a finite number. Remove or replace that event.";
}

std::string no_mutual_pairs_message(const std::string& label) {
    return "The batch labelled " + label +
           " shares no mutual nearest neighbours with the batches merged before it, so it cannot be "
           "corrected. Its events may not overlap any cell population of the other batches; check "
           "that the batch holds the same kind of sample, or leave it out of the job.";
}

std::string unknown_policy_message(const std::string& text) {
    return text + " is not a valid reference policy";
}

void check_table_size(std::uint64_t nobs, std::uint64_t ndim) {
    if (nobs > int_limit) {
        std::ostringstream text;
        text << "The input table has " << nobs << " events, but pairmend can process at most " << int_limit
             << ". Split the table into smaller jobs.";
        throw std::runtime_error(text.str());
    }
    // Compared by division, so that no product can overflow.
    if (ndim > 0 && nobs > int_limit / ndim) {
        std::ostringstream text;
        text << "The input table has " << nobs << " events of " << ndim
             << " parameters, more values than the " << int_limit
             << " pairmend can process. Use fewer events or parameters per job.";
        throw std::runtime_error(text.str());
    }
}

} // namespace pairmend
