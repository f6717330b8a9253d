"""Ctrl-C during a correction, a fit, an extension or a model's apply ends the call with
KeyboardInterrupt, well before the whole call would end, and the session goes on.

The interrupt comes from a timer thread through _thread.interrupt_main(), which Python treats as
a SIGINT arriving in the main thread, while the engine runs there with Python's lock released.
"""

import _thread
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import pairmend


@pytest.fixture(scope="module")
def shifted():
    rng = np.random.default_rng(5)
    values = rng.normal(size=(30000, 6))
    labels = np.repeat([1, 2], 15000)
    values[labels == 2] += 0.5
    return values, labels


def interrupted_after(seconds, call):
    """Runs `call` with an interrupt `seconds` into it; returns how long it ran before it ended."""
    timer = threading.Timer(seconds, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.cancel()
    return time.monotonic() - start


@pytest.mark.parametrize("which", ["correct", "fit", "extend"])
def test_an_interrupt_ends_the_call_early_and_the_session_goes_on(shifted, which):
    values, labels = shifted
    if which == "extend":
        model = pairmend.fit(values[np.r_[0:15000, 15000:15300]], labels[np.r_[0:15000, 15000:15300]])
        calls = {"extend": lambda: model.extend(values[labels == 2], np.full(15000, 3), num_threads=1)}
    else:
        calls = {
            "correct": lambda: pairmend.correct(values, labels, num_threads=1),
            "fit": lambda: pairmend.fit(values, labels, num_threads=1),
        }
    start = time.monotonic()
    calls[which]()
    whole = time.monotonic() - start
    # Interrupted a fifth of the way in, the engine ends at its next phase: after the first
    # neighbour indices (some 40% of the work) at the latest.
    took = interrupted_after(0.2 * whole, calls[which])
    assert took < 0.75 * whole, f"interrupted {which} ran {took:.2f} s of a whole {whole:.2f} s"
    small = np.r_[0:300, 15000:15300]
    assert pairmend.correct(values[small], labels[small]).corrected.shape == (600, 6)


def test_an_interrupt_ends_apply_after_the_block_it_is_in(shifted):
    values, labels = shifted
    model = pairmend.fit(values, labels, num_threads=1)
    moved = int(model.batches[1])  # the batch that is corrected (the first reference stays put)
    events = values[np.resize(np.flatnonzero(labels == moved), 200000)]
    # A tenth of the events, timed, stands for the whole call (each event is corrected on its own).
    start = time.monotonic()
    model.apply(events[:20000], np.full(20000, moved), num_threads=1)
    whole = 10 * (time.monotonic() - start)
    # Interrupted inside the first of its four blocks, apply ends when that block is done.
    took = interrupted_after(0.05 * whole, lambda: model.apply(events, np.full(200000, moved), num_threads=1))
    assert took < 0.6 * whole, f"interrupted apply ran {took:.2f} s of a whole {whole:.2f} s"
    assert model.apply(events[:10], np.full(10, moved)).shape == (10, 6)


def test_a_real_sigint_after_writing_files_is_a_keyboard_interrupt(tmp_path):
    """The programs' own handler (remove the temporary files, end the process) stays out of a
    session: after Model.save and with pairmend.dask's transaction open, SIGINT is a
    KeyboardInterrupt and the session goes on. In a process of its own, which the fault ends."""
    script = """
import os, signal, sys, time
import numpy as np, pairmend
pairmend.fit(np.arange(60.0).reshape(20, 3), np.repeat([1, 2], 10)).save(sys.argv[1] + "/m.pmm")
files = pairmend._core.OutputTransaction()
open(files.add(sys.argv[1] + "/out.fcs"), "w").close()
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(5)
except KeyboardInterrupt:
    files.commit()
    print("interrupted")
"""
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout.strip()) == (0, "interrupted"), run.stderr
    assert sorted(os.listdir(tmp_path)) == ["m.pmm", "out.fcs"]
