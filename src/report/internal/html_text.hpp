#ifndef PAIRMEND_REPORT_HTML_TEXT_HPP
#define PAIRMEND_REPORT_HTML_TEXT_HPP

// Text and number formatting for HTML and SVG output. Pure functions, safe from any thread.

#include <string>
#include <string_view>

namespace pairmend::report {

/**
 * Escapes text for use in HTML or SVG element content and in quoted attribute values:
 * & < > " ' become character references, and control characters other than tab, line feed and
 * carriage return (which HTML does not allow) become the replacement character U+FFFD.
 *
 * @param text any text, for example a file path or a parameter name taken from the user's data.
 * @return the escaped text.
 */
std::string escape_html(std::string_view text);

/**
 * Formats a number for display with a given number of significant digits, independent of the
 * global locale (always a full stop as decimal point). NaN becomes "n/a" and infinities "∞"/"-∞".
 *
 * @param value       the number.
 * @param significant the number of significant digits, at least 1.
 */
std::string format_number(double value, int significant = 4);

/**
 * Formats a coordinate for SVG with a fixed number of decimals (locale independent).
 *
 * @param value    the coordinate; non-finite values are written as 0.
 * @param decimals the number of digits after the decimal point.
 */
std::string format_fixed(double value, int decimals = 1);

} // namespace pairmend::report

#endif
