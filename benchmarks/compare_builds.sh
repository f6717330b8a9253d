#!/usr/bin/env bash
# Runs the same jobs with two builds of pairmend and compares their output tables and summary
# files byte for byte: the check that a change meant to be faster or smaller changes no result.
#
# Usage: benchmarks/compare_builds.sh BEFORE_BUILD AFTER_BUILD WORK_DIR
#   BEFORE_BUILD, AFTER_BUILD  builds holding src/cpp/pairmend (AFTER_BUILD also
#                              src/tools/pairmend-simulate, which writes the simulated tables)
#   WORK_DIR                   receives the tables, job files, outputs and summaries
# The jobs: simulated tables (10^4 x 5 x 3, 10^4 x 20 x 8, 4 x 2,100 x 12 with duplicated
# events, 10^5 x 12 x 4) and, when ../shared/data is there, cytof_all_8batch, cytof_ptlg021 and
# flow_wnv_mock; exact and approximate search; automatic and input merge order; the four
# reference policies; 5 and 30 neighbours; one and two engine threads. Prints one line per job
# and exits non-zero if any output or summary differs.
set -euo pipefail
if [ "$#" -ne 3 ]; then
    sed -n '2,14p' "$0" >&2
    exit 2
fi
before="$(cd "$1" && pwd)"
after="$(cd "$2" && pwd)"
mkdir -p "$3"
work="$(cd "$3" && pwd)"
data="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/../shared/data"
simulate="$after/src/tools/pairmend-simulate"

table() { # NAME EVENTS DIMS BATCHES SEED
    [ -f "$work/$1.csv" ] || "$simulate" --out "$work/$1.csv" --events "$2" --dims "$3" --batches "$4" --seed "$5"
}
table sim_3x5 3333 5 3 11
table sim_8x20 1250 20 8 12
table sim_4x12 25000 12 4 13
# Duplicated events (every fifth row repeats the one before) exercise the handling of equal distances.
if [ ! -f "$work/sim_dup.csv" ]; then
    "$simulate" --out "$work/sim_dup.tmp" --events 2100 --dims 12 --batches 4 --seed 14
    awk -F, 'NR == 1 { print; next } { n++; if (n % 5 == 0) { $0 = prev_values "," $(NF - 1) "," $NF }
             print; prev_values = $0; sub(/,[^,]*,[^,]*$/, "", prev_values) }' OFS=, \
        "$work/sim_dup.tmp" >"$work/sim_dup.csv"
    rm "$work/sim_dup.tmp"
fi

inputs=("$work/sim_3x5.csv" "$work/sim_8x20.csv" "$work/sim_dup.csv" "$work/sim_4x12.csv")
for name in cytof_all_8batch cytof_ptlg021 flow_wnv_mock; do
    [ -f "$data/$name.csv" ] && inputs+=("$data/$name.csv")
done

failures=0
jobs=0
run_job() { # INPUT TAG THREADS SETTINGS-JSON
    local input="$1" tag="$2" threads="$3" settings="$4"
    for side in before after; do
        local build="$before"
        [ "$side" = after ] && build="$after"
        cat >"$work/$tag.$side.json" <<JOB
{"input_files": [{"name": "$input"}], "output_files": [{"name": "$work/$tag.$side.csv"}],
 "summary_file": "$work/$tag.$side.txt", "settings": {"run_ID": "C", $settings}}
JOB
        OMP_NUM_THREADS="$threads" "$build/src/cpp/pairmend" "$work/$tag.$side.json" >/dev/null 2>&1 || true
    done
    jobs=$((jobs + 1))
    if cmp -s "$work/$tag.before.csv" "$work/$tag.after.csv" && cmp -s "$work/$tag.before.txt" "$work/$tag.after.txt"; then
        echo "same       $tag"
    else
        echo "DIFFERENT  $tag"
        failures=$((failures + 1))
    fi
}

for input in "${inputs[@]}"; do
    base="$(basename "$input" .csv)"
    for approximate in false true; do
        run_job "$input" "$base.approx-$approximate.auto" 4 "\"approximate\": $approximate"
        run_job "$input" "$base.approx-$approximate.input-order" 4 \
            "\"approximate\": $approximate, \"automatic_order\": false"
    done
done
# Settings that change the search on the smaller tables: policies, neighbours, one thread.
for input in "$work/sim_3x5.csv" "$work/sim_8x20.csv" "$work/sim_dup.csv"; do
    base="$(basename "$input" .csv)"
    for policy in Input MaxSize MaxVariance MaxRSS; do
        run_job "$input" "$base.policy-$policy" 4 "\"reference_policy\": \"$policy\""
    done
    run_job "$input" "$base.k5.approx" 4 "\"num_neighbors\": 5, \"approximate\": true"
    run_job "$input" "$base.k30" 4 "\"num_neighbors\": 30"
    run_job "$input" "$base.one-thread" 2 "\"approximate\": false"
done

echo "$jobs jobs, $failures with different outputs"
[ "$failures" -eq 0 ]
