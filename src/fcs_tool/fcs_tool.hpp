#ifndef PAIRMEND_FCS_TOOL_FCS_TOOL_HPP
#define PAIRMEND_FCS_TOOL_FCS_TOOL_HPP

// The whole pairmend-fcs program, callable from tests.

#include <ostream>
#include <string>
#include <vector>

namespace pairmend::fcs_tool {

/**
 * Runs pairmend-fcs with its arguments (the program name left out): info, export or correct.
 * Failures are printed on `err` as "Error: " and a message; a wrong command line also prints the
 * usage text.
 * @param out receives what info prints and the usage text of --help.
 * @param err receives the progress lines of correct and every error.
 * @return The exit status: 0 on success, 1 when the work failed, 2 for a wrong command line.
 */
int run_fcs_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace pairmend::fcs_tool

#endif
