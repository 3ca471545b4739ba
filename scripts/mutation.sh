#!/usr/bin/env bash
# Keeps the scenarios sharp: applies each small change of the program listed in
# tests/mutation/list, one at a time, to a scratch copy of the tree
# (build/mutation/src; the checkout is never touched), rebuilds the program
# there, runs the host build's scenarios named for that change against it, and
# fails naming every change that no scenario caught. A change that names
# scenarios for the board's twin as well is also built as the static program
# and run on the twin with those (when the twin's image is built:
# build/armhf-static/fixture/twin); one the twin does not catch fails as well.
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

# The twin's copy: the static program, run by the host build's scenarios on the twin.
twin=0 static=
if [[ -d $root/build/armhf-static/fixture/twin ]] && grep -q $'^[^#].*\t.*\t.*\t.*\t' "$list"; then
  twin=1
  (cd "$src" && cmake --preset armhf-static >/dev/null)
  cmake --build "$src/build/armhf-static" --target rigchkEx -j2 >/dev/null
  static=$src/build/armhf-static/selftest/rigchkEx
  [[ -x $static ]] || { echo "mutation: no static program built in $src/build/armhf-static" >&2; exit 1; }
fi

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
while IFS=$'\t' read -r file text repl regex twinregex; do
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
  if [[ $twin == 1 && -n ${twinregex:-} ]]; then
    if ! cmake --build "$src/build/armhf-static" --target rigchkEx -j2 >/dev/null; then
      broken+=("$name on the twin (does not build)")
    elif RIG_E2E_PROGRAM=$static RIG_E2E_MACHINE=imx6ul RIG_E2E_USERLAND=busybox \
         RIG_E2E_RUNS_DIR=$scratch/runs-imx6ul \
         ctest --test-dir "$host" -R "$twinregex" -j2 --timeout 900 >"$scratch/ctest-$n-imx6ul.log" 2>&1; then
      survived+=("$name on the twin")
    fi
  fi
  replace "$file" "$repl" "$text"
  echo "=== mutation $n: $(( $(date +%s) - start )) s, $count scenarios"
done <"$list"
cmake --build "$build" --target rigchkEx -j2 >/dev/null  # the copy as it was
[[ $twin == 1 ]] && cmake --build "$src/build/armhf-static" --target rigchkEx -j2 >/dev/null

echo "=== mutation: ${#caught[@]} of $n changes caught"
for m in "${broken[@]}"; do echo "BROKEN: $m"; done
for m in "${survived[@]}"; do echo "NOT CAUGHT: $m"; done
(( ${#survived[@]} == 0 && ${#broken[@]} == 0 ))
