#!/usr/bin/env bash
# Builds the benchmarks and measures the tool: the pattern numbering against its copy-and-scan
# floor, and whole runs, interleaved, against the start of an empty process (the floor) and against
# the sqlite3 shell doing the same reads and writes. Writes the figures as a markdown table.
#
# Usage: bash bench/run.sh [--smoke] [RESULTS_FILE]
#   RESULTS_FILE defaults to bench/RESULTS.md. --smoke runs everything briefly, on a small filler,
#   to show that it still works; its figures mean nothing. Timings never fail the script.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-400}
filler_keys=1000
values_per_filler_key=1000
numbering_arguments=(--benchmark_repetitions=9 --benchmark_min_time=0.2
  --benchmark_enable_random_interleaving=true)
if [[ "${1:-}" == "--smoke" ]]; then
  shift
  rounds=3
  filler_keys=10
  values_per_filler_key=100
  numbering_arguments=(--benchmark_min_time=0.01)
fi
results=${1:-bench/RESULTS.md}

cmake --preset benchmarks >/dev/null
cmake --build --preset benchmarks >/dev/null
build=build-bench
work=$build/whole-run
rm -rf "$work"
mkdir -p "$work"

client_key='HKLM\SOFTWARE\KESTRAN\Fernhold\Ostrevin\CurrentVersion'
pattern_file='C:\defs\20030214.012'

# A store holding just the client key with its four values.
make_client_store() {
  local store=$1 name value
  for name in ParentBackRevCounter BackRevCounter ParentPattern UsingPattern; do
    value=5
    [[ $name == UsingPattern ]] && value=1350656
    PATTERN_COUNTERS_REGISTRY=$store $build/pattern-counters-reg add "$client_key" /v "$name" \
      /t REG_DWORD /d "$value" /f >/dev/null
  done
}

# Adds unrelated keys beside the client's vendor key, each holding text values, in one
# transaction.
add_filler() {
  sqlite3 "$1" <<SQL
.bail on
BEGIN IMMEDIATE;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $filler_keys)
INSERT INTO keys (parent, name)
  SELECT (SELECT id FROM keys WHERE parent = 3 AND name = 'SOFTWARE'), printf('Vendor%05d', i)
  FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $values_per_filler_key)
INSERT INTO vals (key, name, type, data)
  SELECT k.id, printf('Setting%05d', n.i), 1, CAST(printf('value %d of %s', n.i, k.name) AS BLOB)
  FROM keys k, n WHERE k.name LIKE 'Vendor%';
COMMIT;
SQL
}

small=$work/small.db
big=$work/big.db
make_client_store "$small"
make_client_store "$big"
add_filler "$big"

# What a user might write instead of the tool: the same four reads and two durable writes, each
# write its own transaction, as one sqlite3 script. Like the tool's, its writes change the values
# every run (SQLite skips writing a value that stays the same, and with it the disk writes).
shell_script=$work/update.sql
# The client key's id, found the way the tool walks the path down from HKEY_LOCAL_MACHINE.
client_key_id="(SELECT v.id FROM keys s
    JOIN keys k ON k.parent = s.id AND k.name = 'KESTRAN'
    JOIN keys f ON f.parent = k.id AND f.name = 'Fernhold'
    JOIN keys o ON o.parent = f.id AND o.name = 'Ostrevin'
    JOIN keys v ON v.parent = o.id AND v.name = 'CurrentVersion'
    WHERE s.parent = 3 AND s.name = 'SOFTWARE')"
write_counter() {
  cat <<SQL
INSERT INTO vals (key, name, type, data) VALUES ($client_key_id, '$1', 4, randomblob(4))
  ON CONFLICT (key, name) DO UPDATE SET type = excluded.type, data = excluded.data;
SQL
}
cat >"$shell_script" <<SQL
.bail on
.timeout 10000
PRAGMA synchronous = FULL;
SELECT name, hex(data) FROM vals WHERE key = $client_key_id
  AND name IN ('ParentBackRevCounter', 'BackRevCounter', 'ParentPattern', 'UsingPattern');
$(write_counter ParentPattern)
$(write_counter BackRevCounter)
SQL

# Each case must do its work before its time means anything.
for store in "$small" "$big"; do
  report=$(PATTERN_COUNTERS_REGISTRY=$store $build/pattern-counters "$pattern_file")
  if [[ $report != *"Current Pattern= 1350656"* || $report == *Cannot* || $report == *Fail* ]]; then
    echo "pattern-counters did not update $store:" >&2
    echo "$report" >&2
    exit 1
  fi
  [[ $(sqlite3 "$store" ".read $shell_script" | wc -l) == 4 ]] || {
    echo "the sqlite3 script did not read $store" >&2
    exit 1
  }
done

# The disk flushes (fsync and fdatasync) that one run of COMMAND... makes, counted by a preloaded
# library in every process the run starts.
count_flushes=$(realpath "$build/bench/libcount_flushes.so")
flushes_of() {
  local counts=$work/flushes
  rm -f "$counts"
  LD_PRELOAD=$count_flushes COUNT_FLUSHES_FILE=$counts "$@" >/dev/null
  awk '{ total += $1 } END { print total + 0 }' "$counts"
}
tool_flushes=$(flushes_of env PATTERN_COUNTERS_REGISTRY="$small" $build/pattern-counters 'LPT$QMN.1')
add_flushes=$(flushes_of env PATTERN_COUNTERS_REGISTRY="$small" $build/pattern-counters-reg add \
  "$client_key" /v Benchmark /t REG_DWORD /d 1 /f)
shell_flushes=$(flushes_of sqlite3 "$small" ".read $shell_script")

# Every timed run of the tool records a new pattern number, LPT$QMN.<n> numbering as n.
skip_flushes=$(realpath "$build/bench/libskip_flushes.so")
cases=$work/cases.tsv
{
  printf 'floor\t%s\n' "$build/bench/empty_process"
  printf 'tool-small\tPATTERN_COUNTERS_REGISTRY=%s\t%s\t%s\n' "$small" "$build/pattern-counters" \
    'LPT$QMN.{run}'
  printf 'tool-big\tPATTERN_COUNTERS_REGISTRY=%s\t%s\t%s\n' "$big" "$build/pattern-counters" \
    'LPT$QMN.{run}'
  printf 'shell-small\tsqlite3\t%s\t.read %s\n' "$small" "$shell_script"
  printf 'shell-big\tsqlite3\t%s\t.read %s\n' "$big" "$shell_script"
  # Where the time goes: the same runs without waiting for the disk.
  printf 'tool-small-unflushed\tLD_PRELOAD=%s\tPATTERN_COUNTERS_REGISTRY=%s\t%s\t%s\n' \
    "$skip_flushes" "$small" "$build/pattern-counters" 'LPT$QMN.{run}'
  printf 'shell-small-unflushed\tLD_PRELOAD=%s\tsqlite3\t%s\t.read %s\n' "$skip_flushes" "$small" \
    "$shell_script"
} >"$cases"

echo "== pattern numbering" >&2
numbering=$($build/bench/pattern_number_benchmark "${numbering_arguments[@]}" \
  --benchmark_color=false 2>/dev/null)
echo "$numbering" >&2
echo "== whole runs: $rounds rounds" >&2
$build/bench/time_runs 3 "$cases" >/dev/null  # warm the page cache and the stores
timings=$($build/bench/time_runs "$rounds" "$cases")
echo "$timings" >&2

floor_ns=$(awk '/^copy-and-scan floor/ { print $3 }' <<<"$numbering")
numbering_ns=$(awk '/^PatternNumberFromName/ { print $2 }' <<<"$numbering")
median() { awk -F'\t' -v label="$1" '$1 == label { print $2 }' <<<"$timings"; }
row() {
  awk -F'\t' -v label="$1" -v floor="$(median floor)" -v description="$2" '$1 == label {
    printf "| %s | %.0f | %.0f-%.0f | %.2f | %+.0f |\n", description, $2, $3, $4, $2 / floor, $2 - floor
  }' <<<"$timings"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# A row of the targets table: what, the ratio of two figures, the most it may be.
target() {
  awk -v what="$1" -v a="$2" -v b="$3" -v most="$4" 'BEGIN {
    printf "| %s | %.2f | at most %s | %s |\n", what, a / b, most, (a / b <= most ? "met" : "missed")
  }'
}
waiting() {
  awk -v what="$1" -v all="$(median "$2")" -v unflushed="$(median "$3")" -v floor="$(median floor)" \
    'BEGIN { printf "| %s | %.0f | %.0f%% |\n", what, all - unflushed, 100 * (all - unflushed) / (all - floor) }'
}

store_size() { du -k "$1" | awk '{ if ($1 < 1024) printf "%d KiB", $1; else printf "%.1f MiB", $1 / 1024 }'; }
{
  echo "# Benchmark results"
  echo
  echo "Written by \`bash bench/run.sh\` on $(date -u +%Y-%m-%d): $(nproc) cores, $(uname -sr)," \
    "SQLite $(sqlite3 --version | cut -d' ' -f1), stores on $(df -T "$work" | awk 'NR == 2 { print $2 }')."
  echo
  echo "## Pattern numbering"
  echo
  echo "$(grep -o '^[0-9]* mixed names' <<<"$numbering") of every form, with and without a path;" \
    "CPU time, median of the repetitions."
  echo
  echo "| | ns per name | ratio |"
  echo "|---|---|---|"
  echo "| copy-and-scan floor | $floor_ns | 1.00 |"
  echo "| \`PatternNumberFromName\` | $numbering_ns | $(ratio "$numbering_ns" "$floor_ns") |"
  echo
  echo "## Whole runs"
  echo
  echo "$rounds interleaved rounds. Small store: just the client key ($(store_size "$small"))." \
    "Big store: the same plus $((filler_keys * values_per_filler_key)) text values in" \
    "$filler_keys other keys ($(store_size "$big"))."
  echo
  echo "| run | median µs | quartiles µs | ratio to floor | µs above floor |"
  echo "|---|---|---|---|---|"
  row floor "empty C program (floor)"
  row tool-small "\`pattern-counters\`, small store"
  row tool-big "\`pattern-counters\`, big store"
  row shell-small "\`sqlite3\` script, small store"
  row shell-big "\`sqlite3\` script, big store"
  row tool-small-unflushed "\`pattern-counters\`, small store, disk flushes skipped (analysis only)"
  row shell-small-unflushed "\`sqlite3\` script, small store, disk flushes skipped (analysis only)"
  echo
  echo "Waiting for the disk, from the runs with and without their flushes:"
  echo
  echo "| run, small store | µs waiting for the disk | share of the time above the floor |"
  echo "|---|---|---|"
  waiting "\`pattern-counters\`" tool-small tool-small-unflushed
  waiting "\`sqlite3\` script" shell-small shell-small-unflushed
  echo
  echo "## Disk flushes"
  echo
  echo "fsync and fdatasync calls of one run, on the small store."
  echo
  echo "| run | flushes |"
  echo "|---|---|"
  echo "| \`pattern-counters\` | $tool_flushes |"
  echo "| \`pattern-counters-reg add\`, existing store | $add_flushes |"
  echo "| \`sqlite3\` script | $shell_flushes |"
  echo
  echo "## Targets"
  echo
  echo "| ratio | value | target | |"
  echo "|---|---|---|---|"
  target "\`PatternNumberFromName\` / copy-and-scan floor" "$numbering_ns" "$floor_ns" 3
  target "tool / \`sqlite3\` script, small store" "$(median tool-small)" "$(median shell-small)" 0.5
  target "tool / \`sqlite3\` script, big store" "$(median tool-big)" "$(median shell-big)" 0.5
  target "tool, big store / small store" "$(median tool-big)" "$(median tool-small)" 1.05
  echo
  echo "Each commit of the tool, of the companion and of the script is flushed to SQLite's"
  echo "write-ahead log as it is made, and the last to close the store flushes the log and the"
  echo "store file as it folds one into the other. Without the flushes, tool / script on the small"
  echo "store is $(ratio "$(median tool-small-unflushed)" "$(median shell-small-unflushed)")."
} >"$results"
echo "== wrote $results" >&2
