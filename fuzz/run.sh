#!/bin/sh
# Runs the fuzz programs of a built fuzzing tree, each for a bounded time, and
# fails if any of them finds a crash, a leak, a sanitizer report, a time-out
# or a broken check. `make fuzz` calls it after building the tree.
#
#   fuzz/run.sh BUILD_DIR SECONDS [PROGRAM...]
#
# Each program fuzzes a working corpus BUILD_DIR/corpus/PROGRAM, which it
# keeps between runs, together with the committed seeds in
# fuzz/corpus/PROGRAM (read only), and with fuzz/dict/PROGRAM.dict if there
# is one. Its whole output goes to BUILD_DIR/logs/PROGRAM.log; a finding is
# written to BUILD_DIR/artifacts/PROGRAM/ and reproduced by running the
# program on that file. FUZZ_ARGS adds libFuzzer flags, e.g.
# FUZZ_ARGS="-jobs=2 -workers=2".
set -u

if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS [PROGRAM...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=$2
shift 2
[ $# -gt 0 ] || set -- mapfile_fuzz cert_fuzz cmdline_fuzz response_fuzz
src=$(cd "$(dirname "$0")" && pwd)

export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
mkdir -p "$build/logs"
failed=""
for program in "$@"; do
  corpus="$build/corpus/$program"
  artifacts="$build/artifacts/$program"
  log="$build/logs/$program.log"
  mkdir -p "$corpus" "$artifacts"
  dict=""
  [ -f "$src/dict/$program.dict" ] && dict="-dict=$src/dict/$program.dict"
  echo "== $program: fuzzing for $seconds s (log: $log)"
  # shellcheck disable=SC2086
  if "$build/fuzz/$program" -max_total_time="$seconds" -timeout=30 \
       -print_final_stats=1 -artifact_prefix="$artifacts/" $dict ${FUZZ_ARGS:-} \
       "$corpus" "$src/corpus/$program" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$log" | tail -n 2
  else
    echo "!! $program found a problem:"
    grep -E 'ERROR|SUMMARY|runtime error|^[a-z_]+_fuzz: |Test unit written' "$log" | head -n 20
    failed="$failed $program"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzzing found problems in:$failed (see $build/logs and $build/artifacts)" >&2
  exit 1
fi
echo "fuzzing found no problem"
