#ifndef PAIRMEND_MESSAGES_HPP
#define PAIRMEND_MESSAGES_HPP

// Messages that more than one front end prints, worded once, and the size limit that they share.

#include <cstdint>
#include <string>

namespace pairmend {

/**
 * The message for a measured value that is infinite or not a number:
 * The value "<value>" <place> is not a finite number. Remove or replace that event.
 * @param value The value as written ("nan", "-inf"); a long text is shortened.
 * @param place Where the value is, beginning with "in", for example "in data row 3 (line 4 of the
 *        file), column 2 of the input table".
 */
std::string non_finite_value_message(const std::string& value, const std::string& place);

/**
 * The message for a batch that shares no mutual nearest neighbours with the batches merged before
 * it, naming the batch by the label the user gave it.
 */
std::string no_mutual_pairs_message(const std::string& label);

/** "<text> is not a valid reference policy", the job file's and the bindings' message. */
std::string unknown_policy_message(const std::string& text);

/** A value as messages quote it: in double quotes, a long one shortened. */
std::string quoted_value(const std::string& value);

/**
 * Rejects an input whose event count or value count (events times parameters) exceeds
 * 2,147,483,647, the largest count the engine's 32-bit arithmetic holds.
 * @throws std::runtime_error naming the count and the limit.
 */
void check_table_size(std::uint64_t nobs, std::uint64_t ndim);

} // namespace pairmend

#endif
