"""Throughput of pairmend.dask.correct_files on a local cluster, with 1 and with 2 worker processes.

    python benchmarks/dask_apply.py --study STUDY --pairmend-fcs build/release/src/fcs_tool/pairmend-fcs \
        --out /tmp/dask-bench [--fit-events 20000] [--workers 1 2]

STUDY is a folder of FCS files with its batches.csv, as pairmend-simulate --fcs writes it (the
measured study: --events 125000 --dims 20 --batches 8 --files-per-batch 9 --seed 1, 10^7 events
in 80 files). The model is learnt once with pairmend-fcs fit --fit-events (OUT/model.pmm, reused when present); every run then corrects
every file into OUT/run-W. For each worker count it prints the wall time, events per second, the
workers' CPU time, and each worker's peak resident memory above what it held freshly started (with
pairmend imported), and finally the scaling factor and the projected time of 10^9 events per worker.
The corrected files of every run are compared byte for byte with those of the first.
"""

import argparse
import filecmp
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import time

import distributed

import pairmend.dask


def _worker_memory():
    """On a worker: (peak resident KiB so far, CPU seconds so far) of its process."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_maxrss, usage.ru_utime + usage.ru_stime


def _events(files):
    return sum(int(pairmend.read_fcs(path).keywords["$TOT"]) for path in files)


def run(workers, model, files, sheet, out_dir):
    cluster = distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    )
    client = distributed.Client(cluster)
    try:
        client.run(lambda: __import__("pairmend.dask"))
        fresh = client.run(_worker_memory)
        began = time.perf_counter()
        pairmend.dask.correct_files(model, files, sheet, out_dir, client=client)
        wall = time.perf_counter() - began
        after = client.run(_worker_memory)
    finally:
        client.close()
        cluster.close()
    growth_mb = {address: (after[address][0] - fresh[address][0]) / 1024 for address in after}
    cpu = sum(after[address][1] - fresh[address][1] for address in after)
    return wall, cpu, growth_mb


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--study", required=True)
    parser.add_argument("--pairmend-fcs", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--fit-events", type=int, default=20000)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    options = parser.parse_args()

    study = pathlib.Path(options.study)
    files = sorted(str(path) for path in study.glob("*.fcs"))
    sheet = str(study / "batches.csv")
    out = pathlib.Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    model = str(out / "model.pmm")
    if os.path.exists(model):
        print(f"Using the model learnt before, {model}")
    else:
        began = time.perf_counter()
        subprocess.run(  # the model of every run, learnt once
            [options.pairmend_fcs, "fit", "--model", model, "--batches", sheet, "--fit-events",
             str(options.fit_events), *files],
            check=True, capture_output=True,
        )
        print(f"fit --fit-events {options.fit_events}: {time.perf_counter() - began:.1f} s")
    events = _events(files)
    print(f"{len(files)} files, {events} events")

    rates = {}
    first = None
    for workers in options.workers:
        run_dir = out / f"run-{workers}"
        shutil.rmtree(run_dir, ignore_errors=True)
        wall, cpu, growth = run(workers, model, files, sheet, run_dir)
        rates[workers] = events / wall
        peaks = ", ".join(f"{value:.0f}" for value in sorted(growth.values()))
        print(
            f"{workers} worker(s): {wall:.1f} s wall, {events / wall:,.0f} events/s, {cpu:.1f} s CPU of the "
            f"workers ({events / cpu:,.0f} events per CPU second), peak memory above a fresh worker: {peaks} MB"
        )
        if first is None:
            first = run_dir
        else:
            same = all(filecmp.cmp(first / name, run_dir / name, shallow=False) for name in os.listdir(first))
            print(f"  files identical to the first run's: {same}")
    if 1 in rates and 2 in rates:
        print(f"scaling factor 1 -> 2 workers: {rates[2] / rates[1]:.2f}")
    if 1 in rates:
        hours = 1e9 / rates[1] / 3600
        print(f"10^9 events on one worker at the measured rate: {hours:.1f} h")
    return 0


if __name__ == "__main__":
    sys.exit(main())
