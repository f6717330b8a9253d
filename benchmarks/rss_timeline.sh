#!/usr/bin/env bash
# Runs one job with pipeline_phases and records the program's resident memory over time, so that
# the peak can be placed among the engine's phases.
#
# Usage: benchmarks/rss_timeline.sh BUILD_DIR JOB.json LOG [SECONDS]
#   BUILD_DIR  a Release build holding benchmarks/pipeline_phases
#   JOB.json   the job (absolute paths inside)
#   LOG        receives one line per sample: seconds since the start and resident memory in MiB
#   SECONDS    time between samples (default 1)
# Prints the phase times of pipeline_phases, then the peak memory seen by the sampler and by the
# kernel (the largest resident size, which also catches peaks between samples).
# OMP_NUM_THREADS is passed on as it is (4 gives the engine two threads).
set -euo pipefail
if [ "$#" -lt 3 ]; then
    sed -n '2,12p' "$0" >&2
    exit 2
fi
build="$1"
job="$2"
log="$3"
interval="${4:-1}"

: >"$log"
"$build/benchmarks/pipeline_phases" "$job" &
pid=$!
start=$(date +%s.%N)
peak_kb=0
while kill -0 "$pid" 2>/dev/null; do
    rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    hwm_kb=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    [ "${hwm_kb:-0}" -gt "$peak_kb" ] && peak_kb=$hwm_kb
    awk -v now="$(date +%s.%N)" -v start="$start" -v kb="${rss_kb:-0}" \
        'BEGIN { printf "%.1f %d\n", now - start, kb / 1024 }' >>"$log"
    sleep "$interval"
done
wait "$pid"
echo "peak resident memory: sampled $(sort -k2 -n "$log" | tail -1 | awk '{print $2 " MiB at " $1 " s"}'), kernel high-water mark $((peak_kb / 1024)) MiB"
