#!/usr/bin/env bash
# Keeps the scenarios sharp: applies each small change of the program listed in
# tests/mutation/list, one at a time, to a scratch copy of the tree
# (build/mutation/src; the checkout is never touched), rebuilds the program
# there, runs the host build's scenarios named for that change against it, and
# fails naming every change that no scenario caught.
#   scripts/mutation.sh [LIST]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
list=${1:-tests/mutation/list}
scratch=$root/build/mutation
src=$scratch/src
host=$root/build/host
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

# The fixture and the scenarios stay the host build's own.
cmake --preset host >/dev/null && cmake --build --preset host

# The scratch copy: the tracked files as they stand in the checkout.
rm -rf "$src"
mkdir -p "$src"
git ls-files -z | tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$src"
(cd "$src" && cmake --preset host >/dev/null)
build=$src/build/host
cmake --build "$build" --target rigchkEx -j2 >/dev/null
program=$(find "$build" -name rigchkEx -type f -perm -u+x | head -n 1)
[[ -x $program ]] || { echo "mutation: no program built in $build" >&2; exit 1; }

# Applies or undoes one change: replaces the text (once in the file) in the copy.
replace() {  # file text replacement
  /usr/bin/python3 - "$src/$1" "$2" "$3" <<'EOF'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path).read()
if text.count(old) != 1:
    sys.exit("the text is %d times in %s, not once" % (text.count(old), path))
open(path, "w").write(text.replace(old, new))
EOF
}

survived=() caught=() broken=()
n=0
while IFS=$'\t' read -r file text repl regex; do
  [[ -z $file || $file == \#* ]] && continue
  n=$((n + 1))
  name="$file: ${text:0:60} -> ${repl:0:60}"
  start=$(date +%s)
  echo "=== mutation $n: $name"
  if ! replace "$file" "$text" "$repl"; then
    broken+=("$name (the list no longer matches the program)")
    continue
  fi
  count=$(ctest --test-dir "$host" -N -R "$regex" | sed -n 's/^Total Tests: //p')
  if ! cmake --build "$build" --target rigchkEx -j2 >/dev/null; then
    broken+=("$name (does not build)")
  elif [[ ${count:-0} -eq 0 ]]; then
    broken+=("$name (no scenario matches $regex)")
  elif RIG_E2E_PROGRAM=$program RIG_E2E_RUNS_DIR=$scratch/runs \
       ctest --test-dir "$host" -R "$regex" -j2 --timeout 600 >"$scratch/ctest-$n.log" 2>&1; then
    survived+=("$name")
  else
    caught+=("$name")
  fi
  replace "$file" "$repl" "$text"
  echo "=== mutation $n: $(( $(date +%s) - start )) s, $count scenarios"
done <"$list"
cmake --build "$build" --target rigchkEx -j2 >/dev/null  # the copy as it was

echo "=== mutation: ${#caught[@]} of $n changes caught"
for m in "${broken[@]}"; do echo "BROKEN: $m"; done
for m in "${survived[@]}"; do echo "NOT CAUGHT: $m"; done
(( ${#survived[@]} == 0 && ${#broken[@]} == 0 ))
