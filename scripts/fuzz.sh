#!/usr/bin/env bash
# Builds the fuzz targets with clang, replays each target's regression inputs,
# then fuzzes each target for a bounded time from its seed corpus.
#   scripts/fuzz.sh [seconds]          (default 60 per target)
#   scripts/fuzz.sh --grow [seconds]   (default 600) fuzz longer, then merge into
#                                      tests/fuzz/corpus/<target> the inputs that
#                                      reach code the committed corpus does not
# The short runs of the test stage start from the committed corpus, so a grown
# and committed corpus carries a long run's reach into every later run.
# Exits non-zero when an input crashes a target or breaks a checked property;
# the input is then kept under build/fuzz/ (crash-<target>-...): fix the fault
# and add the input to tests/fuzz/regressions/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

grow=0
if [[ "${1:-}" == --grow ]]; then
  grow=1
  shift
fi
seconds="${1:-$((grow ? 600 : 60))}"
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "fuzz.sh: seconds must be a whole number: $seconds" >&2; exit 2; }
targets=(fuzz_simpleini fuzz_profile fuzz_cmdline fuzz_zrdioconf fuzz_answers fuzz_boardfile)
# The dictionary of each target, and the inputs longer than libFuzzer's
# default 4,096 bytes that one needs (lines past the 4,096-byte line buffer).
declare -A dict=([fuzz_simpleini]=ini.dict [fuzz_profile]=ini.dict [fuzz_cmdline]=cmdline.dict
                 [fuzz_zrdioconf]=zrdioconf.dict [fuzz_answers]=answers.dict [fuzz_boardfile]=boardfile.dict)
declare -A maxlen=([fuzz_zrdioconf]=16384)
build=build/fuzz

scripts/deps.sh --tests  # clang and its libFuzzer runtime among them

CC=clang CXX=clang++ cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"

status=0
for t in "${targets[@]}"; do
  regressions=(tests/fuzz/regressions/"$t"/*)
  if [[ -e "${regressions[0]}" ]]; then
    echo "=== $t: replaying ${#regressions[@]} regression inputs"
    "$build/$t" "${regressions[@]}" || { status=1; continue; }
  fi
  # New corpus entries go to the build tree; the seed corpus stays as committed.
  work="$build/corpus/$t"
  mkdir -p "$work"
  echo "=== $t: fuzzing for ${seconds} s"
  lenopt=()
  [[ -n "${maxlen[$t]:-}" ]] && lenopt=(-max_len="${maxlen[$t]}")
  "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${lenopt[@]}" \
    -dict=tests/fuzz/"${dict[$t]}" -artifact_prefix="$build/crash-$t-" \
    "$work" tests/fuzz/corpus/"$t" || { status=1; continue; }
  if ((grow)); then
    # libFuzzer's merge copies into the first folder only the inputs of the
    # others that add coverage to it.
    before=$(find tests/fuzz/corpus/"$t" -type f | wc -l)
    "$build/$t" -merge=1 "${lenopt[@]}" tests/fuzz/corpus/"$t" "$work" 2>/dev/null || status=1
    echo "=== $t: corpus $before -> $(find tests/fuzz/corpus/"$t" -type f | wc -l) inputs"
  fi
done
exit "$status"
