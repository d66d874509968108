#!/usr/bin/env bash
# Fails when a source file includes a header of a higher layer, or of a sibling on the
# same layer. The layers are read from the "layers" block of docs/ARCHITECTURE.md (top
# first, siblings on one line), so the document and the includes cannot drift apart.
# Tools, tests, benchmarks and fuzz targets sit above every layer and are not checked.
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$root"

declare -A rank
n=0
while read -r line; do
  n=$((n + 1))
  for folder in $line; do rank[$folder]=$n; done
done < <(awk '/^```layers/{on=1; next} /^```/{on=0} on && NF' docs/ARCHITECTURE.md)
[ "$n" -gt 0 ] || { echo "check-layers: no layers block in docs/ARCHITECTURE.md" >&2; exit 2; }

bad=0
for folder in "${!rank[@]}"; do
  [ -d "$folder" ] || { echo "check-layers: layer $folder has no folder" >&2; bad=1; continue; }
  while IFS=: read -r file line include; do
    target="${include%%/*}"
    [ -n "${rank[$target]:-}" ] || continue  # system or third-party header
    if [ "$target" != "$folder" ] && [ "${rank[$target]}" -le "${rank[$folder]}" ]; then
      echo "$file:$line: includes $include, but $target is not below $folder"
      bad=1
    fi
  done < <(grep -rnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"' "$folder" \
             --include='*.h' --include='*.cpp' |
           sed -E 's/^([^:]+):([0-9]+):.*"([^"]+)"/\1:\2:\3/')
done
exit $bad
