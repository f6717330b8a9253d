#ifndef PAIRMEND_R_INTERRUPT_HPP
#define PAIRMEND_R_INTERRUPT_HPP

// Ctrl-C while the engine runs: the engine asks between its phases whether to stop, and this
// answers from R's pending interrupt.

namespace pairmend_r {

/**
 * Whether the user pressed Ctrl-C (Escape in a GUI). R answers a pending interrupt by jumping out
 * of the current call, which must not cross the engine's C++ frames; R_ToplevelExec catches the
 * jump and reports it. Call it only on R's main thread: the engine calls its stop check there,
 * between its phases.
 */
bool interrupt_pending();

} // namespace pairmend_r

#endif
