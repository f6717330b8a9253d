#!/usr/bin/env bash
# Runs the same jobs with two builds of pairmend and compares their results byte for byte: the
# check that a change meant to be faster, smaller or tidier changes no result.
#
# Usage: benchmarks/compare_builds.sh BEFORE_BUILD AFTER_BUILD WORK_DIR
#   BEFORE_BUILD, AFTER_BUILD  builds holding src/cpp/pairmend and src/fcs_tool/pairmend-fcs
#                              (AFTER_BUILD also src/tools/pairmend-simulate, which writes the
#                              simulated tables); the Python module is compared when both builds
#                              hold it (python/pairmend) and NumPy is installed
#   WORK_DIR                   receives the tables, job files, outputs and summaries
# The program's jobs: simulated tables (10^4 x 5 x 3, 10^4 x 20 x 8, 4 x 2,100 x 12 with
# duplicated events, 10^5 x 12 x 4) and, when ../shared/data is there, cytof_all_8batch,
# cytof_ptlg021 and flow_wnv_mock; exact and approximate search; automatic and input merge order;
# the four reference policies; 5 and 30 neighbours; one and two engine threads; output table and
# summary compared, and the report's JSON figures of a job with a report. pairmend-fcs, when
# ../shared/data/fcs is there: the mass and flow files corrected (exact and approximate), their
# corrected files compared as exported values, and the report's JSON. The Python module: corrected
# values of simulated tables with both methods, and models fitted on a subsample. Without shared
# data: a simulated FCS study corrected with both methods, with subsample fits, and a model learnt,
# extended and applied, its model files compared byte for byte; and a study of 40 markers corrected
# with both methods, with subsample fits on one and two threads. The R package, when both builds
# hold it installed in r-library: both methods' corrections and a model's apply.
# Prints one line per job and exits non-zero if anything differs.
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

# same_files TAG FILE...: compares each FILE.before with FILE.after.
same_files() {
    local tag="$1" file
    shift
    jobs=$((jobs + 1))
    for file in "$@"; do
        if ! cmp -s "$file.before" "$file.after"; then
            echo "DIFFERENT  $tag ($(basename "$file"))"
            failures=$((failures + 1))
            return
        fi
    done
    echo "same       $tag"
}

# The program's report: its figures as JSON (the HTML holds the run's times, which vary).
for input in "$work/sim_3x5.csv" "$work/sim_8x20.csv"; do
    base="$(basename "$input" .csv)"
    for side in before after; do
        build="$before"
        [ "$side" = after ] && build="$after"
        cat >"$work/$base.report.$side.json" <<JOB
{"input_files": [{"name": "$input"}], "output_files": [{"name": "$work/$base.report.$side.csv"}],
 "summary_file": "$work/$base.report.$side.txt",
 "settings": {"run_ID": "C", "report_file": "$work/$base.report.html"}}
JOB
        OMP_NUM_THREADS=4 "$build/src/cpp/pairmend" "$work/$base.report.$side.json" >/dev/null 2>&1 || true
        mv "$work/$base.report.json" "$work/$base.report.figures.$side" 2>/dev/null || true
    done
    same_files "$base.report-json" "$work/$base.report.figures"
done

# pairmend-fcs: every corrected file as exported values, and the report's figures.
# FCS_THREADS sets the threads of the run (default 2).
fcs_job() { # TAG COFACTOR EXTRA-OPTIONS FILE...
    local tag="$1" cofactor="$2" extra="$3" side build file
    shift 3
    local names=()
    for side in before after; do
        build="$before"
        [ "$side" = after ] && build="$after"
        rm -rf "$work/fcs.$side/$tag"
        # shellcheck disable=SC2086
        "$build/src/fcs_tool/pairmend-fcs" correct --out "$work/fcs.$side/$tag" --cofactor "$cofactor" \
            --threads "${FCS_THREADS:-2}" $extra --report "$work/fcs.$side/$tag/report.html" "$@" >/dev/null 2>&1 || true
        for file in "$@"; do
            "$after/src/fcs_tool/pairmend-fcs" export "$work/fcs.$side/$tag/$(basename "$file")" \
                "$work/$tag.$(basename "$file" .fcs).csv.$side" >/dev/null 2>&1 || true
        done
        cp "$work/fcs.$side/$tag/report.json" "$work/$tag.report.json.$side" 2>/dev/null || true
    done
    for file in "$@"; do
        names+=("$work/$tag.$(basename "$file" .fcs).csv")
    done
    same_files "$tag" "${names[@]}" "$work/$tag.report.json"
}
if [ -d "$data/fcs" ] && [ -x "$before/src/fcs_tool/pairmend-fcs" ]; then
    fcs_job fcs_mass 5 "" "$data"/fcs/mass_cytometry/*.fcs
    fcs_job fcs_mass_approx 5 "--approximate" "$data"/fcs/mass_cytometry/*.fcs
    { echo "file,batch"; for file in "$data"/fcs/flow_cytometry/*.fcs; do
        name="$(basename "$file" .fcs)"; echo "$(basename "$file"),${name##*_}"; done; } >"$work/flow_batches.csv"
    fcs_job fcs_flow 500 "--batches $work/flow_batches.csv" "$data"/fcs/flow_cytometry/*.fcs
fi

# pairmend-fcs on a simulated study, which needs no shared data: both methods, a subsample fit, and
# a model learnt, extended and applied (the model files compared byte for byte).
if [ -x "$before/src/fcs_tool/pairmend-fcs" ]; then
    study="$work/fcs_study"
    [ -f "$study/batches.csv" ] || "$simulate" --fcs "$study" --events 1500 --dims 8 --batches 3 \
        --files-per-batch 2 --seed 21 >/dev/null
    study_files=("$study"/*.fcs)
    fcs_job sim_fcs_mnn 5 "--batches $study/batches.csv" "${study_files[@]}"
    fcs_job sim_fcs_curves 5 "--batches $study/batches.csv --method curves" "${study_files[@]}"
    fcs_job sim_fcs_subsample 5 "--batches $study/batches.csv --fit-events 600" "${study_files[@]}"
    fcs_job sim_fcs_curves_subsample 5 "--batches $study/batches.csv --method curves --fit-events 600" \
        "${study_files[@]}"
    # 40 markers, as large studies have: the models' apply on events the fit did not see, and the
    # engine's run, on one and two threads.
    study40="$work/fcs_study40"
    [ -f "$study40/batches.csv" ] || "$simulate" --fcs "$study40" --events 3000 --dims 40 --batches 4 \
        --files-per-batch 1 --seed 22 >/dev/null
    study40_files=("$study40"/*.fcs)
    for threads in 1 2; do
        FCS_THREADS=$threads fcs_job "sim40_fcs_mnn_subsample.t$threads" 5 \
            "--batches $study40/batches.csv --fit-events 2000" "${study40_files[@]}"
        FCS_THREADS=$threads fcs_job "sim40_fcs_curves_subsample.t$threads" 5 \
            "--batches $study40/batches.csv --method curves --fit-events 2000" "${study40_files[@]}"
    done
    fcs_job sim40_fcs_mnn 5 "--batches $study40/batches.csv" "${study40_files[@]}"
    fcs_job sim40_fcs_curves 5 "--batches $study40/batches.csv --method curves" "${study40_files[@]}"
    # A model of batches 1 and 2, extended by batch 3, then applied to every file.
    grep -v batch3 "$study/batches.csv" >"$work/first_batches.csv"
    for method in mnn curves; do
        models=()
        for side in before after; do
            build="$before"
            [ "$side" = after ] && build="$after"
            fcs="$build/src/fcs_tool/pairmend-fcs"
            rm -rf "$work/model.$side.$method"
            mkdir -p "$work/model.$side.$method"
            "$fcs" fit --model "$work/model.$side.$method/first.pmm" --batches "$work/first_batches.csv" \
                --method "$method" "$study"/batch[12]_*.fcs >/dev/null 2>&1 || true
            "$fcs" extend --model "$work/model.$side.$method/first.pmm" \
                --new-model "$work/model.$side.$method/all.pmm" --batches "$study/batches.csv" \
                "$study"/batch3_*.fcs >/dev/null 2>&1 || true
            "$fcs" apply --model "$work/model.$side.$method/all.pmm" --out "$work/model.$side.$method/out" \
                --batches "$study/batches.csv" "${study_files[@]}" >/dev/null 2>&1 || true
            for file in first.pmm all.pmm; do
                cp "$work/model.$side.$method/$file" "$work/model_$method.$file.$side" 2>/dev/null || true
            done
            for file in "${study_files[@]}"; do
                "$after/src/fcs_tool/pairmend-fcs" export "$work/model.$side.$method/out/$(basename "$file")" \
                    "$work/model_$method.$(basename "$file" .fcs).csv.$side" >/dev/null 2>&1 || true
            done
        done
        models=("$work/model_$method.first.pmm" "$work/model_$method.all.pmm")
        for file in "${study_files[@]}"; do
            models+=("$work/model_$method.$(basename "$file" .fcs).csv")
        done
        same_files "sim_fcs_model_$method" "${models[@]}"
    done
fi

# The Python module: corrected values of the simulated tables, saved as NumPy files.
if [ -d "$before/python/pairmend" ] && [ -d "$after/python/pairmend" ] &&
    /usr/bin/python3 -c "import numpy" 2>/dev/null; then
    for input in "$work/sim_3x5.csv" "$work/sim_dup.csv"; do
        base="$(basename "$input" .csv)"
        for side in before after; do
            build="$before"
            [ "$side" = after ] && build="$after"
            PYTHONPATH="$build/python" /usr/bin/python3 - "$input" "$work/$base.python.npy.$side" <<'PY' || true
import sys
import numpy as np
import pairmend
table = np.loadtxt(sys.argv[1], delimiter=",", skiprows=1)
for approximate in (False, True):
    result = pairmend.correct(table[:, :-2], table[:, -2].astype(np.int64), approximate=approximate,
                              num_threads=2)
    with open(sys.argv[2], "ab" if approximate else "wb") as out:
        np.save(out, result.corrected)
values, batch = table[:, :-2], table[:, -2].astype(np.int64)
with open(sys.argv[2], "ab") as out:
    np.save(out, pairmend.correct(values, batch, method="curves", num_threads=2).corrected)
    for method in ("mnn", "curves"):
        model = pairmend.fit(values, batch, method=method, fit_events=500, num_threads=2)
        np.save(out, model.apply(values, batch, num_threads=2))
        model.save(sys.argv[2] + "." + method + ".pmm")
        np.save(out, np.fromfile(sys.argv[2] + "." + method + ".pmm", dtype=np.uint8))
PY
        done
        same_files "$base.python" "$work/$base.python.npy"
    done
fi

# The R package, when both builds hold it installed (scripts/test installs it into r-library):
# corrected values of both methods and a model's apply, written as raw doubles.
if [ -d "$before/r-library/pairmend" ] && [ -d "$after/r-library/pairmend" ] && command -v Rscript >/dev/null; then
    for side in before after; do
        build="$before"
        [ "$side" = after ] && build="$after"
        R_LIBS="$build/r-library" Rscript - "$work/sim_3x5.csv" "$work/sim_3x5.r.$side" <<'R' >/dev/null 2>&1 || true
args <- commandArgs(TRUE)
table <- as.matrix(read.csv(args[1]))
values <- table[, seq_len(ncol(table) - 2)]
batch <- table[, ncol(table) - 1]
out <- file(args[2], "wb")
for (method in c("mnn", "curves")) {
    writeBin(as.vector(pairmend::correct(values, batch, method = method, num_threads = 2)$corrected), out)
    model <- pairmend::fit(values, batch, method = method, fit_events = 500, num_threads = 2)
    writeBin(as.vector(pairmend::apply_model(model, values, batch, num_threads = 2)), out)
}
close(out)
R
    done
    same_files "sim_3x5.r" "$work/sim_3x5.r"
fi

echo "$jobs jobs, $failures with different outputs"
[ "$failures" -eq 0 ]
