#!/usr/bin/env bash
# A simulated FCS study of SIZE events x 40 markers in 8 batches (two files per batch), corrected
# by pairmend-fcs with both methods on one and two threads, against the I/O floor of the same
# files. Prints one table: the phases of every run (reading, fitting on at most 20,000 events per
# batch, correcting and writing), its wall and CPU time, the correct-and-write phase in events per
# second per thread and as a multiple of the I/O floor, and the peak memory.
#
# Usage: benchmarks/study_scale.sh SIZE
#   SIZE  total events of the study: 1e6, 1e7 or 1e8 (or a plain number of events); 1e8 needs
#         about 16 GB of disk for the study and as much again for each run's output
# Settings (environment variables):
#   BUILD    build folder holding src/fcs_tool/pairmend-fcs and src/tools/pairmend-simulate
#            (default build/release of this checkout)
#   WORK     folder for the study and the outputs (default /tmp/pairmend-study-SIZE); a study
#            already there is reused, each run's output is removed after it
#   METHODS  methods to run (default "mnn curves")
#   THREADS  thread counts to run (default "1 2")
#   REPEAT   runs of each case; the table shows the run of median wall time (default 1)
# The I/O floor reads every input file (cat) and writes as many bytes as a run writes, once as
# written (left in the page cache) and once flushed to disk (dd conv=fsync).
set -euo pipefail

if [[ $# -ne 1 ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
size_text=$1
size=$(awk -v s="$size_text" 'BEGIN { if (s !~ /^[0-9]+(\.[0-9]+)?([eE][0-9]+)?$/) exit 1; printf "%.0f", s }') || {
    echo "The size \"$size_text\" is not a number of events; give one such as 1e6." >&2
    exit 2
}
batches=8
files_per_batch=1
files=$((batches * (files_per_batch + 1)))
per_file=$((size / files))
if [[ $per_file -lt 100 ]]; then
    echo "A study of $size events has fewer than 100 events per file; give at least $((100 * files))." >&2
    exit 2
fi
build=$(cd "${BUILD:-$here/../build/release}" && pwd)
work=${WORK:-/tmp/pairmend-study-$size_text}
mkdir -p "$work"
work=$(cd "$work" && pwd)
METHODS=${METHODS:-"mnn curves"}
THREADS=${THREADS:-"1 2"}
REPEAT=${REPEAT:-1}
fcs=$build/src/fcs_tool/pairmend-fcs
simulate=$build/src/tools/pairmend-simulate
for program in "$fcs" "$simulate"; do
    [[ -x $program ]] || { echo "$program is missing: build it first." >&2; exit 1; }
done

study=$work/study
if [[ ! -f $study/batches.csv ]]; then
    rm -rf "$study"
    "$simulate" --fcs "$study" --events "$per_file" --dims 40 --batches "$batches" \
        --files-per-batch "$files_per_batch" --seed 1 >/dev/null
fi
inputs=("$study"/*.fcs)
events=$((per_file * files))
input_bytes=$(cat "${inputs[@]}" | wc -c)

# seconds COMMAND...: wall seconds of a command, from /usr/bin/time.
seconds() {
    /usr/bin/time -f %e -o "$work/floor.time" "$@"
    cat "$work/floor.time"
}

# run_case METHOD THREADS TRY: one run, its figures appended to $work/runs.txt.
run_case() {
    local method=$1 threads=$2 try=$3 log=$work/$1.$2.$3.log out=$work/out
    rm -rf "$out"
    /usr/bin/time -v -o "$log.time" "$fcs" correct --out "$out" --batches "$study/batches.csv" \
        --fit-events 20000 --method "$method" --threads "$threads" "${inputs[@]}" 2>"$log"
    output_bytes=$(cat "$out"/*.fcs | wc -c)
    rm -rf "$out"
    # The progress lines' stamps: reading ends where learning begins, the fit ends where it is
    # reported, the rest is correcting and writing.
    awk -v method="$method" -v threads="$threads" -v events="$events" -v try="$try" '
        FNR == NR {
            if ($0 ~ /Learning from/) read = substr($0, 2, 10) + 0
            if ($0 ~ /Fitted the model/) fitted = substr($0, 2, 10) + 0
            if ($0 ~ /^\[.*\] Done:/) done = substr($0, 2, 10) + 0
            next
        }
        /Elapsed \(wall clock\)/ { n = split($NF, t, ":"); wall = (n == 3 ? t[1] * 3600 + t[2] * 60 + t[3] : t[1] * 60 + t[2]) }
        /User time/ { user = $NF }
        /System time/ { sys = $NF }
        /Maximum resident/ { rss = $NF }
        END { printf "%s %s %s %.2f %.2f %.2f %.2f %.2f %.2f %.0f\n", method, threads, try, read, fitted - read,
                     done - fitted, wall, user, sys, rss / 1024 }' "$log" "$log.time" >>"$work/runs.txt"
}

: >"$work/runs.txt"
output_bytes=0
for method in $METHODS; do
    for threads in $THREADS; do
        for ((try = 1; try <= REPEAT; ++try)); do
            run_case "$method" "$threads" "$try"
        done
    done
done

floor_file=$work/floor.bin
read_seconds=$(seconds sh -c 'cat "$@" >/dev/null' sh "${inputs[@]}")
megabytes=$(((output_bytes + 1048575) / 1048576))
write_seconds=$(seconds dd if=/dev/zero of="$floor_file" bs=1M count="$megabytes" status=none)
rm -f "$floor_file"
flushed_seconds=$(seconds dd if=/dev/zero of="$floor_file" bs=1M count="$megabytes" conv=fsync status=none)
rm -f "$floor_file"
floor=$(awk -v r="$read_seconds" -v w="$write_seconds" 'BEGIN { printf "%.2f", r + w }')
flushed=$(awk -v r="$read_seconds" -v w="$flushed_seconds" 'BEGIN { printf "%.2f", r + w }')

echo "Study: $events events x 40 markers, $batches batches, $files files ($((input_bytes / 1048576)) MiB read," \
    "$megabytes MiB written per run); pairmend-fcs correct --fit-events 20000"
echo
echo "| method | threads | read (s) | fit (s) | correct and write (s) | events/s per thread | x I/O floor | whole run, wall (s) | user + sys CPU (s) | peak memory (MiB) |"
echo "|---|---|---|---|---|---|---|---|---|---|"
# The run of median wall time of every case.
sort -k1,1 -k2,2n -k7,7n "$work/runs.txt" | awk -v repeat="$REPEAT" -v events="$events" -v floor="$floor" '
    { key = $1 " " $2; count[key]++; if (count[key] == int((repeat + 1) / 2)) row[++n] = $0 }
    END {
        for (i = 1; i <= n; ++i) {
            split(row[i], f, " ")
            apply = f[6] > 0 ? f[6] : 1e-9
            printf "| `%s` | %s | %.2f | %.2f | %.2f | %.0f | %.1f | %.2f | %.2f | %.0f |\n", f[1], f[2], f[4], f[5],
                   f[6], events / apply / f[2], apply / floor, f[7], f[8] + f[9], f[10]
        }
    }'
echo "| I/O floor, as written (cat, dd) | | $read_seconds | | $write_seconds (write) | | 1.0 | $floor | | |"
echo "| I/O floor, flushed (cat, dd conv=fsync) | | $read_seconds | | $flushed_seconds (write) | | | $flushed | | |"
