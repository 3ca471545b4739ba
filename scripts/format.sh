#!/usr/bin/env bash
# Formats the tree's C and C++ files with clang-format and .clang-format.
#   scripts/format.sh            reformats every file that differs, in place
#   scripts/format.sh --check    changes nothing: lists the files that differ
#                                and exits 1 when there is one
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
case "${1:-}" in
  --check) check=1 ;;
  "") ;;
  *) echo "usage: scripts/format.sh [--check]" >&2; exit 2 ;;
esac
command -v clang-format >/dev/null || { echo "format.sh: clang-format is missing (scripts/deps.sh --tests)" >&2; exit 2; }

differ=0
while IFS= read -r -d '' f; do
  if ! clang-format --style=file "$f" | cmp -s - "$f"; then
    differ=$((differ + 1))
    if (( check )); then
      echo "$f"
    else
      clang-format --style=file -i "$f"
      echo "formatted $f"
    fi
  fi
done < <(git ls-files -z -- '*.c' '*.cpp' '*.h' ':!fixture/imx6ul/module')  # the kernel module keeps the kernel's style

if (( check && differ )); then
  echo "format.sh: $differ files differ from .clang-format (scripts/format.sh reformats them)" >&2
  exit 1
fi
exit 0
