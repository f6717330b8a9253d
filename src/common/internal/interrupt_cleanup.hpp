#ifndef PAIRMEND_INTERNAL_INTERRUPT_CLEANUP_HPP
#define PAIRMEND_INTERNAL_INTERRUPT_CLEANUP_HPP

// Paths that are removed when SIGINT, SIGTERM or SIGHUP ends the program (Ctrl-C, a closed terminal),
// so that an interrupted run leaves no temporary file or new folder behind. After the removal the
// signal ends the program as it would have without this.

#include <string>

namespace pairmend::interrupt_cleanup {

/**
 * Registers a file or an (empty) folder to remove if a signal ends the program; the signal handler
 * is installed with the first registration. Paths are removed in the reverse order of their
 * registration, so a folder registered before the files in it goes after them. Call from one
 * thread; the signal may arrive on any.
 * @return the registration, for forget(); -1 when the table of registrations is full (the path is
 *         then not removed on a signal).
 */
int remember(const std::string& path);

/** Ends a registration made by remember(); -1 is ignored. */
void forget(int registration);

/** From now on remember() registers nothing and installs no handler (see leave_signals_to_host). */
void leave_to_host();

} // namespace pairmend::interrupt_cleanup

#endif
