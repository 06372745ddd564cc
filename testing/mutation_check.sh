#!/usr/bin/env bash
# Mutation spot check (not part of CI): puts one realistic one-line fault at a time into
# the sources, rebuilds, runs the test suite, and prints whether the suite caught it
# ("killed") or not ("survived"). The faults are listed in testing/mutation/faults.txt.
#   testing/mutation_check.sh [build-dir] [fault-number...]
# Run it on a clean tree after tools/test.sh built everything; each fault costs one
# incremental build and one suite run (stopped at the first failing test).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"; shift || true
LIST=testing/mutation/faults.txt
export WINEPREFIX="$(cd "$BUILD_DIR" && pwd)/wineprefix"
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null || true
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT

# fault <n> show|apply: prints "file<TAB>[area] what<TAB>tests" of fault n; "apply" also puts it in.
fault() {
  python3 - "$LIST" "$@" <<'PY'
import sys
path, n, action = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rows = [l.rstrip("\n").split("\t") for l in open(path, encoding="utf-8")
        if l.strip() and not l.startswith("#")]
if n > len(rows):
    sys.exit(3)
area, file, old, new, what = rows[n - 1][:5]
tests = rows[n - 1][5] if len(rows[n - 1]) > 5 else ""
old, new = old.replace("\\n", "\n"), new.replace("\\n", "\n")
print("%s\t[%s] %s\t%s" % (file, area, what, tests))
if action == "apply":
    text = open(file, encoding="utf-8").read()
    if text.count(old) != 1:
        sys.exit(2)
    open(file, "w", encoding="utf-8").write(text.replace(old, new))
PY
}

printf '%-4s %-9s %s\n' "#" "result" "fault"
killed=0; survived=0; stale=0
for ((n = 1; ; n++)); do
  info=$(fault "$n" show) || break
  if (($#)) && [[ " $* " != *" $n "* ]]; then continue; fi
  IFS=$'\t' read -r file what tests <<<"$info"
  if ! git diff --quiet -- "$file"; then echo "$file has changes of its own; commit or stash them first" >&2; exit 2; fi
  if ! fault "$n" apply >/dev/null; then
    printf '%-4s %-9s %s\n' "$n" "stale" "$what (its text is not in $file once)"; stale=$((stale + 1)); continue
  fi
  result=survived
  if ! cmake --build "$BUILD_DIR" -j"$(nproc)" >/tmp/mutation-build.log 2>&1; then
    result=killed; what="$what (does not build)"
  # The tests named with the fault first; the whole suite only when they miss it.
  elif { [[ -n $tests ]] && ! (cd "$BUILD_DIR" && ctest -j2 --timeout 300 -R "$tests" >/tmp/mutation-ctest.log 2>&1); } ||
       ! (cd "$BUILD_DIR" && ctest -j2 --timeout 300 --stop-on-failure >/tmp/mutation-ctest.log 2>&1); then
    result=killed
    what="$what (by $(grep -m1 -oE '[^ ]+ \(Failed|[^ ]+ \(Timeout|[^ ]+ \(SEGFAULT' /tmp/mutation-ctest.log | cut -d' ' -f1 || echo '?'))"
  fi
  git checkout -q -- "$file"
  if [[ $result == killed ]]; then killed=$((killed + 1)); else survived=$((survived + 1)); fi
  printf '%-4s %-9s %s\n' "$n" "$result" "$what"
done
cmake --build "$BUILD_DIR" -j"$(nproc)" >/dev/null 2>&1
echo "killed $killed, survived $survived, stale $stale"
[[ $survived -eq 0 && $stale -eq 0 ]]
