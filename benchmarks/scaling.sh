#!/usr/bin/env bash
# End-to-end scaling runs of pairmend: simulated tables of growing size and the real tables,
# exact and approximate search, one and two engine threads. For every run it prints one table
# row with the wall time, the CPU time, the peak memory (from /usr/bin/time -v) and the time
# pairmend reports for the job; with PHASES=1 it also runs pipeline_phases on the same job and
# keeps its per-phase table in the log folder.
#
# Usage: benchmarks/scaling.sh BUILD_DIR WORK_DIR
#
# BUILD_DIR holds the built programs (src/cpp/pairmend, src/tools/pairmend-simulate and,
# for PHASES=1, benchmarks/pipeline_phases). WORK_DIR receives the tables, job files, outputs
# and logs; simulated tables already there are reused.
#
# Settings (environment variables):
#   SIZES      total events of the simulated tables    (default "10000 100000 1000000"; "" for none)
#   DIMS       parameters per event; several values run one table each (default 12)
#   BATCHES    batches per table                       (default 4)
#   EXACT_MAX  largest simulated size run with exact search (default 1000000)
#   MODES      "exact approximate" or either one       (default both)
#   THREADS    OMP_NUM_THREADS values to run with; pairmend gives the engine half of it,
#              so 2 means one engine thread and 4 two  (default "2 4")
#   TABLES     real input tables to run as well        (default the flow and mass-cytometry
#              tables of ../shared/data when present; "" for none)
#   PHASES     1 to run pipeline_phases after every run (default 0)
#   MANY_BATCH 1 to add the two many-batch tables: 10 batches of 20,000 events with 30 parameters
#              (seed 5) and 20 batches of 10,000 events with 20 parameters (seed 3), 4 populations
#              (default 0)
set -euo pipefail

if [[ $# -ne 2 ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
    exit 2
fi
build=$(cd "$1" && pwd)
work=$(mkdir -p "$2" && cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
data="$here/../../shared/data"

SIZES=${SIZES-"10000 100000 1000000"}
DIMS=${DIMS:-12}
BATCHES=${BATCHES:-4}
EXACT_MAX=${EXACT_MAX:-1000000}
MODES=${MODES:-"exact approximate"}
THREADS=${THREADS:-"2 4"}
PHASES=${PHASES:-0}
MANY_BATCH=${MANY_BATCH:-0}
if [[ -z ${TABLES+set} ]]; then
    TABLES=""
    for name in flow_wnv_all cytof_all_8batch; do
        [[ -f $data/$name.csv ]] && TABLES="$TABLES $data/$name.csv"
    done
fi

pairmend=$build/src/cpp/pairmend
simulate=$build/src/tools/pairmend-simulate
phases=$build/benchmarks/pipeline_phases
mkdir -p "$work/logs"

# write_job NAME INPUT APPROXIMATE: a job file with absolute paths, as pairmend needs them.
write_job() {
    cat >"$work/$1.json" <<EOF
{"input_files": [{"name": "$2"}], "output_files": [{"name": "$work/$1.out.csv"}],
 "summary_file": "$work/$1.summary.txt", "settings": {"run_ID": "S", "approximate": $3}}
EOF
}

# run_one LABEL INPUT MODE THREADS: one timed run and its table row.
run_one() {
    local label=$1 input=$2 mode=$3 threads=$4
    local approximate=false
    [[ $mode == approximate ]] && approximate=true
    local name="${label}_${mode}_t${threads}"
    write_job "$name" "$input" "$approximate"
    local log="$work/logs/$name.time"
    OMP_NUM_THREADS=$threads /usr/bin/time -v "$pairmend" "$work/$name.json" >"$work/logs/$name.out" 2>"$log"
    if ! grep -q "status = success" "$work/$name.summary.txt"; then
        echo "| $label | $mode | $((threads / 2)) | FAILED: $(tr '\n' ' ' <"$work/$name.summary.txt") |"
        return
    fi
    local wall user sys rss reported
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log")
    user=$(awk -F': ' '/User time/ {print $2}' "$log")
    sys=$(awk -F': ' '/System time/ {print $2}' "$log")
    rss=$(awk -F': ' '/Maximum resident set size/ {printf "%.0f", $2 / 1024}' "$log")
    reported=$(sed -n 's/.* events took \(.*\) seconds.*/\1/p' "$work/logs/$name.out")
    printf '| %s | %s | %d | %s | %.1f | %s | %s |\n' "$label" "$mode" $((threads / 2)) "$wall" \
        "$(echo "$user + $sys" | bc)" "$rss" "$reported"
    if [[ $PHASES == 1 ]]; then
        OMP_NUM_THREADS=$threads "$phases" "$work/$name.json" >"$work/logs/$name.phases"
    fi
    rm -f "$work/$name.out.csv"
}

echo "| input | search | engine threads | wall (m:ss) | CPU s | peak MB | pairmend's time s |"
echo "|---|---|---|---|---|---|---|"
for dims in $DIMS; do
    for size in $SIZES; do
        input="$work/sim_${size}x${dims}x${BATCHES}.csv"
        if [[ ! -f $input ]]; then
            "$simulate" --out "$input" --events $((size / BATCHES)) --dims "$dims" --batches "$BATCHES" \
                --populations 8 --seed 1 >/dev/null
        fi
        for mode in $MODES; do
            [[ $mode == exact && $size -gt $EXACT_MAX ]] && continue
            for threads in $THREADS; do
                run_one "sim_${size}x${dims}x${BATCHES}" "$input" "$mode" "$threads"
            done
        done
    done
done
if [[ $MANY_BATCH == 1 ]]; then
    # events per batch, parameters, batches, seed
    for table_shape in "20000 30 10 5" "10000 20 20 3"; do
        read -r events dims batches seed <<<"$table_shape"
        label="many_${events}x${dims}x${batches}"
        input="$work/$label.csv"
        if [[ ! -f $input ]]; then
            "$simulate" --out "$input" --events "$events" --dims "$dims" --batches "$batches" \
                --seed "$seed" >/dev/null
        fi
        for mode in $MODES; do
            for threads in $THREADS; do
                run_one "$label" "$input" "$mode" "$threads"
            done
        done
    done
fi
for table in $TABLES; do
    for mode in $MODES; do
        for threads in $THREADS; do
            run_one "$(basename "$table" .csv)" "$table" "$mode" "$threads"
        done
    done
done
