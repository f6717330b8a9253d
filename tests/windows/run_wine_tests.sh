#!/usr/bin/env bash
# Runs the Windows build of the workstation program under wine and checks it against the Linux
# build: the golden jobs and the end-to-end jobs of the program's tests, given Windows paths
# (Z:\...). The corrected values must be the Linux build's; what differs is only what a Windows
# text stream and the Windows program directory make differ: CR LF line ends in the console, the
# table and the summary, the timing line ending in one line end, and relative names resolved
# against the folder that GetModuleFileNameA names.
# Usage: tests/windows/run_wine_tests.sh PAIRMEND_WINDOWS_ZIP LINUX_PAIRMEND
# (scripts/windows --test runs it). With PAIRMEND_KEEP_WINE_TESTS set, the runs' folders stay.
set -euo pipefail

if [ "$#" -ne 2 ]; then
    echo "usage: $0 PAIRMEND_WINDOWS_ZIP LINUX_PAIRMEND" >&2
    exit 2
fi
zip="$(realpath "$1")"
linux="$(realpath "$2")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
golden="$here/../data/golden"
started=$SECONDS

# A prefix of our own beside the zip, kept between runs (its first start takes a while); only
# the 64-bit part of wine is needed, and no Mono or Gecko.
export WINEPREFIX="${WINEPREFIX:-$(dirname "$zip")/wine-prefix}"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# One wine server for all runs, ended when the tests end (unless one of the prefix already ran).
own_server=0
if wineserver -p 2>/dev/null; then
    own_server=1
fi
work="$(mktemp -d /tmp/pairmend-wine-XXXXXX)"
cleanup() {
    if [ "$own_server" -eq 1 ]; then
        wineserver -k || true
    fi
    [ -n "${PAIRMEND_KEEP_WINE_TESTS:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# The program as the zip holds it, alone in its folder.
program_dir="$work/program"
mkdir -p "$program_dir"
(cd "$program_dir" && cmake -E tar xf "$zip")
exe="$program_dir/pairmend.exe"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# windows_path PATH: the absolute Linux path as wine's drive Z: names it.
windows_path() {
    printf 'Z:%s' "${1//\//\\}"
}
# json_text TEXT: TEXT as a JSON string literal (paths here hold no quotes).
json_text() {
    local text="${1//\\/\\\\}"
    printf '"%s"' "$text"
}
# write_job FILE INPUT OUTPUT SUMMARY SETTINGS: the job file of the program's tests.
write_job() {
    printf '{\n  "input_files": [{"name": %s}],\n  "output_files": [{"name": %s}],\n  "summary_file": %s,\n  "settings": {%s}\n}\n' \
        "$(json_text "$2")" "$(json_text "$3")" "$(json_text "$4")" "$5" >"$1"
}
# crlf_text FILE: true when every line of FILE ends in CR LF, the last one included.
crlf_text() {
    [ -s "$1" ] && cmp -s "$1" <(sed 's/\r$//' "$1" | sed 's/$/\r/')
}
# unix_text FILE: FILE with its CR LF line ends made LF.
unix_text() {
    sed 's/\r$//' "$1"
}
# run_windows DIR ARG [OMP_NUM_THREADS]: runs pairmend.exe with ARG from DIR (the current folder
# plays no part in the program), console in DIR/console.txt, exit status in DIR/status.
run_windows() {
    local status=0
    (cd "$1" && OMP_NUM_THREADS="${3:-2}" wine "$exe" "$2" >console.txt 2>stderr.txt) || status=$?
    echo "$status" >"$1/status"
}
run_linux() {
    local status=0
    (cd "$1" && OMP_NUM_THREADS="${3:-2}" "$linux" "$2" >console.txt 2>stderr.txt) || status=$?
    echo "$status" >"$1/status"
}

# job NAME INPUT SETTINGS [OUTPUT_NAME]: runs one job through both builds, each in a folder of
# its own (NAME/linux, NAME/windows) with the same file names, and checks what must be the same.
job() {
    local name="$1" input="$2" settings="$3" output_name="${4:-output.csv}"
    local dir
    for build in linux windows; do
        dir="$work/$name/$build"
        mkdir -p "$dir"
        cp "$input" "$dir/input.csv"
    done
    dir="$work/$name/linux"
    write_job "$dir/job.json" "$dir/input.csv" "$dir/$output_name" "$dir/summary.txt" "$settings"
    run_linux "$dir" "$dir/job.json"
    dir="$work/$name/windows"
    local w
    w="$(windows_path "$dir")"
    write_job "$dir/job.json" "$w\\input.csv" "$w\\${output_name//\//\\}" "$w\\summary.txt" "$settings"
    run_windows "$dir" "$w\\job.json"
    compare "$name"
}

# compare NAME: the Windows run of job NAME did what the Linux run did.
compare() {
    local l="$work/$1/linux" w="$work/$1/windows"
    [ "$(cat "$w/status")" = "$(cat "$l/status")" ] ||
        fail "$1: exit status $(cat "$w/status"), Linux $(cat "$l/status")"
    crlf_text "$w/console.txt" || fail "$1: the console lines do not all end in CR LF"
    crlf_text "$w/summary.txt" || fail "$1: the summary's lines do not all end in CR LF"
    # The console and the summary name the same files, the one in Windows form.
    local windows_dir
    windows_dir="$(windows_path "$w")"
    for file in console.txt summary.txt; do
        if ! diff <(sed -e 's/took [^ ]* seconds$/took T seconds/' "$l/$file" | sed "s|$l|DIR|g") \
            <(unix_text "$w/$file" | sed -e 's/took [^ ]* seconds$/took T seconds/' |
                DIR_TEXT="$windows_dir" awk 'BEGIN { dir = ENVIRON["DIR_TEXT"] } { while ((i = index($0, dir)) > 0) $0 = substr($0, 1, i - 1) "DIR" substr($0, i + length(dir)); gsub(/\\/, "/"); print }') \
            >"$w/$file.diff"; then
            fail "$1: $file differs from the Linux run's:"
            cat "$w/$file.diff"
        fi
    done
    if [ -f "$l/output.csv" ]; then
        crlf_text "$w/output.csv" || fail "$1: the output table's lines do not all end in CR LF"
        cmp -s <(unix_text "$w/output.csv") "$l/output.csv" || fail "$1: the output table differs from the Linux run's"
    elif [ -f "$w/output.csv" ]; then
        fail "$1: an output table where the Linux run wrote none"
    fi
}

# The timing line as the Windows build writes it: the last thing on the console, ended by one
# line end, the seconds in the stream's default six-digit format.
timing_line_is_last() {
    local console="$work/$1/windows/console.txt"
    tail -n 1 "$console" | grep -Eq $'^MNN batch correction on '"$2"$' events took [0-9]+(\\.[0-9]+)?(e-[0-9]+)? seconds\r$' ||
        fail "$1: last console line is not the timing line: $(tail -n 1 "$console" | od -c | tail -n 3)"
}

echo "== Golden jobs"
golden_job() {
    local name="$1" expected="$2" settings="$3"
    job "$name" "$golden/input.csv" "$settings"
    cmp -s <(unix_text "$work/$name/windows/output.csv") "$golden/$expected" ||
        fail "$name: output differs from $expected"
    [ "$(cat "$work/$name/windows/summary.txt")" = $'status = success\r' ] ||
        fail "$name: summary is not the success line: $(od -c "$work/$name/windows/summary.txt")"
    timing_line_is_last "$name" 4590
    # And with more threads than the host's two: the same bytes.
    run_windows "$work/$name/windows" "$(windows_path "$work/$name/windows")\\job.json" 4
    cmp -s <(unix_text "$work/$name/windows/output.csv") "$golden/$expected" ||
        fail "$name: output with 4 threads differs from $expected"
}
golden_job exact_automatic exact_automatic.csv '"run_ID": "G1"'
golden_job approximate_automatic approximate_automatic.csv '"run_ID": "G2", "approximate": true'
golden_job exact_input_order exact_input_order.csv \
    '"run_ID": "G3", "automatic_order": false, "num_neighbors": 10, "robust_trim": 0.1, "num_mads": 2.5'

echo "== End-to-end jobs"
# Three batches labelled 7, 2 and 9 of two populations each, shifted apart, rows interleaved.
three_batches="$work/three_batches.csv"
awk 'BEGIN {
    srand(20261208); print "CD3,CD19,batch,event"; n = 0
    split("7 2 9", label, " "); split("0 1.5 -1", dx, " "); split("0 -1 2", dy, " ")
    for (i = 0; i < 120; ++i) for (b = 1; b <= 3; ++b) {
        c = (i % 2 == 0) ? 0 : 10
        printf "%.17g,%.17g,%d,%d\n", c + dx[b] + 0.3 * (rand() - 0.5), c + dy[b] + 0.3 * (rand() - 0.5), label[b], ++n
    } }' >"$three_batches"
job success "$three_batches" '"run_ID": "R7", "num_neighbors": 30, "reference_policy": "Input"'
timing_line_is_last success 360
grep -q $'^Input file is Z:\\\\.*\\\\success\\\\windows\\\\input.csv\r$' "$work/success/windows/console.txt" ||
    fail "success: the input file is not named by its Windows path"
[ "$(cat "$work/success/windows/summary.txt")" = $'status = success\r' ] || fail "success: summary is not the success line"

failing_job() {
    local name="$1" table="$2" message="$3"
    printf '%b' "$table" >"$work/$name.csv"
    job "$name" "$work/$name.csv" '"run_ID": "F"'
    grep -F "$message" "$work/$name/windows/console.txt" | grep -q '^Error: ' || fail "$name: no 'Error: ' line with '$message'"
    [ "$(head -n 1 "$work/$name/windows/summary.txt")" = $'status = failure\r' ] || fail "$name: summary is not a failure"
    grep -q "^information = .*$message" "$work/$name/windows/summary.txt" || fail "$name: summary lacks the message"
}
failing_job one_batch 'a,b,batch,event\n1,2,4,1\n3,4,4,2\n5,6,4,3\n' "There must be at least two batches"
failing_job no_rows 'a,b,batch,event\n' "The input table has no data rows"
failing_job short_row 'a,b,batch,event\n1,2,1,1\n3,4,2\n' "Data row 2 (line 3 of the file) of the input table has 3 cells"
failing_job not_finite 'a,b,batch,event\n1,2,1,1\nnan,4,2,2\n' "column 1 of the input table is not a finite number"
job unwritable "$three_batches" '"run_ID": "U"' missing-folder/output.csv
expected="$(windows_path "$work/unwritable/windows")\\missing-folder\\output.csv"
[ "$(cat "$work/unwritable/windows/summary.txt")" = "status = failure"$'\r\n'"information = Unable to save output to $expected"$'\r' ] ||
    fail "unwritable: summary is not the failure naming $expected"

# Two arguments: no job is read and there is no summary to write.
mkdir -p "$work/arguments"
(cd "$work/arguments" && wine "$exe" a b >console.txt 2>/dev/null) && fail "arguments: exit status 0" || true
[ "$(cat "$work/arguments/console.txt")" = $'Error: The C++ program must be called with exactly one command-line argument\r' ] ||
    fail "arguments: console is $(od -c "$work/arguments/console.txt")"

echo "== Relative names and long paths"
# A relative job file is looked up in the program's folder, whatever the current folder, and so
# are the relative names inside it. The current folder holds a job of its own that must not run.
cp "$three_batches" "$program_dir/input.csv"
write_job "$program_dir/job.json" input.csv output.csv summary.txt '"run_ID": "R7", "num_neighbors": 30, "reference_policy": "Input"'
mkdir -p "$work/elsewhere"
write_job "$work/elsewhere/job.json" input.csv wrong.csv wrong.txt '"run_ID": "WRONG"'
run_windows "$work/elsewhere" job.json
[ "$(cat "$program_dir/summary.txt" 2>/dev/null)" = $'status = success\r' ] || fail "relative: no success summary beside the program"
cmp -s "$program_dir/output.csv" "$work/success/windows/output.csv" || fail "relative: output differs from the absolute job's"
grep -qF "Input file is $(windows_path "$program_dir")\\input.csv"$'\r' "$work/elsewhere/console.txt" ||
    fail "relative: input not resolved in the program's folder: $(cat "$work/elsewhere/console.txt")"
[ ! -e "$program_dir/wrong.txt" ] && [ ! -e "$work/elsewhere/wrong.txt" ] || fail "relative: the current folder's job ran"

# Files in a folder whose Windows path is longer than 260 characters, named by absolute paths.
long="$work/long"
for part in 1 2 3 4 5 6; do
    long="$long/folder-$part-of-a-path-longer-than-the-old-windows-limit"
done
mkdir -p "$long"
[ "${#long}" -gt 300 ] || fail "long: the test folder's path is only ${#long} characters"
cp "$three_batches" "$long/input.csv"
wlong="$(windows_path "$long")"
write_job "$long/job.json" "$wlong\\input.csv" "$wlong\\output.csv" "$wlong\\summary.txt" \
    '"run_ID": "R7", "num_neighbors": 30, "reference_policy": "Input"'
run_windows "$work/elsewhere" "$wlong\\job.json"
[ "$(cat "$long/summary.txt" 2>/dev/null)" = $'status = success\r' ] || fail "long: no success summary: $(cat "$work/elsewhere/console.txt")"
cmp -s "$long/output.csv" "$work/success/windows/output.csv" || fail "long: output differs from the short path's"

# The program itself in that folder, its path longer than the 260 characters that a first call
# of GetModuleFileNameA takes: a relative job file and the names in it are still found beside it.
(cd "$long" && cmake -E tar xf "$zip")
rm "$long/summary.txt" "$long/output.csv"
write_job "$long/job.json" input.csv output.csv summary.txt '"run_ID": "R7", "num_neighbors": 30, "reference_policy": "Input"'
(cd "$work/elsewhere" && OMP_NUM_THREADS=2 wine "$long/pairmend.exe" job.json >console-long.txt 2>/dev/null) ||
    fail "long program: exit status $?"
[ "$(cat "$long/summary.txt" 2>/dev/null)" = $'status = success\r' ] ||
    fail "long program: no success summary beside it: $(cat "$work/elsewhere/console-long.txt")"
cmp -s "$long/output.csv" "$work/success/windows/output.csv" || fail "long program: output differs from the short path's"

echo "Windows tests under wine: $((SECONDS - started)) s, $failures failure(s)"
[ "$failures" -eq 0 ]
