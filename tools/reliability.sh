#!/usr/bin/env bash
# Reliability stages of _varkit and _varkit_mib; see docs/reliability.md.
#
#   tools/reliability.sh deps      # install what the stages need (root, apt, pip)
#   tools/reliability.sh sanitize  # ASan+UBSan build, whole test suite under it
#   tools/reliability.sh refleak   # debug interpreter, reference-leak hunt
#   tools/reliability.sh fuzz      # fuzz harness on the sanitizer build
#   tools/reliability.sh stress    # thread stress tests, longer, sanitizer build
#   tools/reliability.sh rss       # a million rounds, process size flat
#   tools/reliability.sh all       # all of the above, in this order
#
# Each stage prints one summary line starting with its name and exits
# non-zero on any sanitizer report, leak, fuzz finding or failed test.
# Knobs: PYTHON (default python3), FUZZ_SECONDS (60), STRESS_SECONDS (10),
# RSS_OPS (1000000), REFLEAK_ROUNDS ("2 3": warm-up, measured), DBG_PYTHON
# (/usr/bin/python3.11d).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

PY=$("${PYTHON:-python3}" -c 'import os, sys; print(os.path.realpath(sys.executable))')
DBG_PY=${DBG_PYTHON:-/usr/bin/python3.11d}
SAN_BUILD=build/rel-asan
SAN_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
LOGS=$ROOT/build/sanitizer-logs

say() { printf '%s\n' "$*"; }

build() {  # build DIR PYTHON BUILD_TYPE [cmake args...]
  local dir=$1 py=$2 type=$3
  shift 3
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" \
    -DPython_EXECUTABLE="$py" "$@" >/dev/null
  cmake --build "$dir" >/dev/null
}

# The module that an interpreter imports from PYTHONPATH=dir:python must be
# the one just built there.
check_import() {  # check_import DIR COMMAND... (COMMAND runs python)
  local dir=$1 got
  shift
  got=$(PYTHONPATH="$dir:python" "$@" -c 'import _varkit, _varkit_mib, os
print(os.path.dirname(_varkit.__file__), os.path.dirname(_varkit_mib.__file__))')
  [ "$got" = "$ROOT/$dir $ROOT/$dir" ] || { say "imports $got, not $dir" >&2; return 1; }
}

deps() {
  if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    "$PY" -m pip install -q cmake ninja
  fi
  if ! command -v "$DBG_PY" >/dev/null || ! "$PY" -c 'import atheris' 2>/dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        python3.11-dbg python3.11-dev python3.11-venv >/dev/null
    fi
  fi
  "$PY" -m pip install -q pytest atheris || "$PY" -m pip install -q pytest
  if command -v "$DBG_PY" >/dev/null && [ ! -x build/refleak-venv/bin/python ]; then
    mkdir -p build
    "$DBG_PY" -m venv --system-site-packages build/refleak-venv
    build/refleak-venv/bin/python -m pip install -q pytest
  fi
  say "deps: $("$PY" --version), atheris $("$PY" -c 'import atheris' 2>/dev/null && echo yes || echo no), debug interpreter $([ -x build/refleak-venv/bin/python ] && echo yes || echo no)"
}

# --- sanitizers -------------------------------------------------------------

san_build() { build "$SAN_BUILD" "$PY" RelWithDebInfo "-DVARKIT_SANITIZE=$SAN_FLAGS"; }

# Runs a command with the sanitizer runtimes preloaded; reports go to $LOGS.
san_run() {
  env LD_PRELOAD="${SAN_PRELOAD_FIRST:+$SAN_PRELOAD_FIRST:}$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:log_path=$LOGS/asan${ASAN_EXTRA:+:$ASAN_EXTRA}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$LOGS/ubsan" \
    PYTHONMALLOC=malloc PYTHONPATH="$SAN_BUILD:python" "$@"
}

# Counts the sanitizer reports left in $LOGS.  Memory errors and undefined
# behaviour always count.  A leak report counts when one of its stacks
# passes through _varkit or _varkit_mib; leaks of other programs the tests
# start (git, for one) are ignored.  Files with neither are notes: a failed
# huge allocation that returned NULL, LeakSanitizer unable to run in a child
# that a test starts with /proc hidden.
san_reports() {
  local n=0 f
  shopt -s nullglob
  for f in "$LOGS"/*; do
    if grep -q "ERROR: AddressSanitizer\|ERROR: UndefinedBehaviorSanitizer\|runtime error:" "$f"; then
      :
    elif grep -q "ERROR: LeakSanitizer: detected memory leaks" "$f" && grep -q "_varkit" "$f"; then
      :
    else
      say "  (note, not a report: $(basename "$f"): $(grep -m1 -o '\(WARNING\|ERROR\).*' "$f" | cut -c1-100))" >&2
      continue
    fi
    say "=== sanitizer report $f" >&2
    head -80 "$f" >&2
    n=$((n + 1))
  done
  echo "$n"
}

san_fresh_logs() { rm -rf "$LOGS"; mkdir -p "$LOGS"; }

sanitize() {
  san_build
  san_fresh_logs
  check_import "$SAN_BUILD" san_run "$PY"
  local out=build/sanitize-pytest.txt rc=0
  san_run "$PY" -m pytest -q -p no:cacheprovider "$@" >"$out" 2>&1 || rc=$?
  tail -5 "$out"
  local reports
  reports=$(san_reports)
  local line
  line=$(grep -E "^[0-9]+ (passed|failed)" "$out" | tail -1 || true)
  say "sanitize: ${line:-no pytest summary (crash?)}; $reports sanitizer report(s) (ASan+UBSan, $("$PY" --version))"
  [ "$rc" = 0 ] && [ "$reports" = 0 ]
}

# --- reference leaks ----------------------------------------------------------

refleak() {
  [ -x build/refleak-venv/bin/python ] || { say "refleak: no debug interpreter; run tools/reliability.sh deps" >&2; return 1; }
  # Debian's debug headers sit in /usr/include/python3.11d as links to the
  # release ones, and the compiler follows the links to the release
  # pyconfig.h, which lacks Py_DEBUG: without it the extensions would not
  # count their references and every figure would drift.
  build build/refleak "$DBG_PY" Debug -DCMAKE_CXX_FLAGS=-DPy_DEBUG
  nm -D build/refleak/_varkit.*.so | grep -q _Py_RefTotal ||
    { say "refleak: the extension was not built with Py_DEBUG" >&2; return 1; }
  check_import build/refleak build/refleak-venv/bin/python
  local rounds=(${REFLEAK_ROUNDS:-2 3})
  # The command-line tests run the tool in child processes, whose
  # references this process cannot see: they are left out.
  PYTHONPATH=build/refleak:python build/refleak-venv/bin/python tools/refleak.py \
    --warmup "${rounds[0]}" --rounds "${rounds[1]}" -q -p no:cacheprovider \
    --ignore=tests/test_cli.py --ignore=tests/test_cli_procfs.py "$@"
}

# --- fuzzing ------------------------------------------------------------------

fuzz() {
  local secs=${FUZZ_SECONDS:-60}
  san_build
  san_fresh_logs
  check_import "$SAN_BUILD" san_run "$PY"
  mkdir -p build/fuzz-corpus build/fuzz-artifacts
  local out=build/fuzz-output.txt rc=0
  if "$PY" -c 'import atheris' 2>/dev/null; then
    local core
    core=$("$PY" -c 'import atheris, glob, os; print(glob.glob(os.path.join(os.path.dirname(atheris.__file__), "core_with_libfuzzer*.so"))[0])')
    gcc -shared -fPIC -O2 -o build/atheris_cov_shim.so tools/atheris_cov_shim.c -ldl
    ATHERIS_CORE=$core SAN_PRELOAD_FIRST=$ROOT/build/atheris_cov_shim.so \
      ASAN_EXTRA=verify_asan_link_order=0 \
      san_run "$PY" fuzz/fuzz_varkit.py build/fuzz-corpus \
      -max_total_time="$secs" -timeout=120 -rss_limit_mb=8192 \
      -artifact_prefix=build/fuzz-artifacts/ -print_final_stats=1 "$@" >"$out" 2>&1 || rc=$?
    local runs cov
    runs=$(grep -oE "^Done [0-9]+ runs in [0-9]+ second" "$out" | tail -1 || true)
    cov=$(grep -oE "cov: [0-9]+ ft: [0-9]+ corp: [0-9]+" "$out" | tail -1 || true)
    tail -3 "$out"
    local reports
    reports=$(san_reports)
    say "fuzz: atheris on the sanitizer build: ${runs:-no final line (crash?)}s; $cov; exit $rc; $reports sanitizer report(s)"
  else
    san_run "$PY" fuzz/fuzz_varkit.py --random 100000000 --max-seconds "$secs" >"$out" 2>&1 || rc=$?
    tail -3 "$out"
    local reports
    reports=$(san_reports)
    say "fuzz: (atheris not installed) $(grep '^fuzz:' "$out" | tail -1); exit $rc; $reports sanitizer report(s)"
  fi
  [ "$rc" = 0 ] && [ "$reports" = 0 ]
}

# --- thread stress, longer, on the sanitizer build ------------------------------

stress() {
  san_build
  san_fresh_logs
  local out=build/stress-output.txt rc=0
  VARKIT_STRESS_SECONDS=${STRESS_SECONDS:-10} san_run "$PY" -m pytest -q -s \
    -p no:cacheprovider tests/test_stress.py "$@" >"$out" 2>&1 || rc=$?
  grep "^stress:" "$out" || true
  local ops reports
  ops=$(awk '/^stress: [0-9]+ operations/ {s += $2} END {print s + 0}' "$out")
  reports=$(san_reports)
  say "stress: $(grep -E '^[0-9]+ (passed|failed)' "$out" | tail -1); $ops operations in all; $reports sanitizer report(s)"
  [ "$rc" = 0 ] && [ "$reports" = 0 ]
}

# --- process size ---------------------------------------------------------------

rss() {
  build build/rel "$PY" Release
  check_import build/rel "$PY"
  local out=build/rss-output.txt rc=0
  PYTHONPATH=build/rel:python "$PY" tools/rss_check.py --ops "${RSS_OPS:-1000000}" "$@" >"$out" 2>&1 || rc=$?
  cat "$out" >&2
  grep "^rss: [0-9]" "$out" || say "rss: failed (exit $rc)"
  return "$rc"
}

all() { deps; sanitize; refleak; fuzz; stress; rss; }

cmd=${1:-}
[ -n "$cmd" ] || { sed -n '2,20p' "$0"; exit 2; }
shift
case "$cmd" in
  deps | sanitize | refleak | fuzz | stress | rss | all) "$cmd" "$@" ;;
  *) say "unknown stage: $cmd" >&2; exit 2 ;;
esac
