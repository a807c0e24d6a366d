#!/bin/sh
# fuzz/run.sh BUILD_DIR SECONDS [PROGRAM...]: runs each fuzz program of a built
# fuzzing tree for SECONDS (see CONTRIBUTING.md); fails if one finds a problem.
# FUZZ_ARGS adds libFuzzer flags.
set -u
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR SECONDS [PROGRAM...]" >&2; exit 2; }
build=$(cd "$1" && pwd) || exit 2
seconds=$2
shift 2
[ $# -gt 0 ] || set -- mapfile_fuzz cert_fuzz cmdline_fuzz response_fuzz
src=$(cd "$(dirname "$0")" && pwd)
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
failed=""
for program in "$@"; do
  log="$build/logs/$program.log"
  mkdir -p "$build/logs" "$build/corpus/$program" "$build/artifacts/$program"
  dict=""
  [ -f "$src/dict/$program.dict" ] && dict="-dict=$src/dict/$program.dict"
  echo "== $program: fuzzing for $seconds s (log: $log)"
  # shellcheck disable=SC2086
  if "$build/fuzz/$program" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$program/" $dict ${FUZZ_ARGS:-} \
       "$build/corpus/$program" "$src/corpus/$program" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$log" | tail -n 2
  else
    echo "!! $program found a problem:"
    grep -E 'ERROR|SUMMARY|runtime error|^[a-z_]+_fuzz: |Test unit written' "$log" | head -n 20
    failed="$failed $program"
  fi
done
[ -z "$failed" ] || { echo "fuzzing found problems in:$failed (see $build/logs)" >&2; exit 1; }
echo "fuzzing found no problem"
