#!/usr/bin/env bash
# Peak resident memory of the package check (outside CI): the check of a generated package with
# honest tables, and the same check against a repair file whose header (CRC valid) claims a
# 512 MiB table that the server does not hold (the folder-file table, then the block table),
# served by nginx on loopback.
#
#   bench/run_table_memory_bench.sh [MIB] [RUNS]     (defaults: 4096 MiB, 3 runs; medians)
#
# Needs nginx and curl; builds the default preset and the driver bench/package_bench.cpp.
set -euo pipefail

MIB=${1:-4096}
RUNS=${2:-3}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/lib.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qn_table_mem_XXXXXX")
trap 'qn_nginx_stop; rm -rf "$WORK"' EXIT

cmake --preset default >/dev/null
cmake --build --preset default --target all package_bench -- -j4 >/dev/null
DRIVER="$ROOT/build/default/bench/package_bench"

D="$WORK/p$MIB"
"$DRIVER" gen "$D" "$MIB"
qn_nginx_start "$WORK/nginx" "$D/www" "${QN_NGINX_BENCH[@]}" log=off
PORT=$QN_NGINX_PORT

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
# Runs the warm check RUNS times against URL; prints "<median peak RSS KiB> <last status>".
measure() {
  local rss=() st=""
  for _ in $(seq "$RUNS"); do
    out=$("$DRIVER" check "$D" "$1" warm || true)
    rss+=("$(echo "$out" | field peak_rss_kib)"); st=$(echo "$out" | field status)
  done
  echo "$(printf '%s\n' "${rss[@]}" | median) $st"
}

read -r honest hst < <(measure "http://127.0.0.1:$PORT/pak/")
echo "check $MIB MiB, honest tables: status $hst, peak RSS $honest KiB"
for t in 0 1; do
  "$DRIVER" claim "$D" $t 512
  read -r claimed cst < <(measure "http://127.0.0.1:$PORT/claim/")
  echo "check $MIB MiB, table $t claimed 512 MiB: status $cst, peak RSS $claimed KiB ($((claimed - honest)) KiB above honest)"
done
