#ifndef QN_DRIVER_HPP
#define QN_DRIVER_HPP

#include <chrono>
#include <ostream>
#include <string>

namespace QN {

/**
 * The whole program: loads the job file named by the one argument, runs the correction,
 * prints the progress lines and writes the summary file.
 *
 * Every failure is printed as "Error: <message>". Once the job file has named its summary
 * file, a failure is also recorded there and the exit status stays 0; before that (wrong
 * argument count, unreadable job file, ...) or when the summary itself cannot be written,
 * there is nowhere else to report it, so the exit status is 1.
 *
 * @param argc The argument count, program name included (must be 2).
 * @param argv The arguments; argv[1] is the job file, resolved against the program's directory.
 * @param console Receives the progress and error lines; each line is flushed.
 * @return The process exit status: 0 when the summary was written, 1 otherwise.
 */
int run_pairmend(int argc, const char* const* argv, std::ostream& console);

/**
 * The closing console line: "MNN batch correction on <n> events took <s> seconds", the
 * seconds in the default stream format (6 significant digits, as printf's %g).
 * @param numEvents The number of events corrected.
 * @param elapsed The time the correction took.
 */
std::string timing_line(int numEvents, std::chrono::steady_clock::duration elapsed);

} // namespace QN

#endif
