#!/bin/bash
# Ordinary-file repair benchmark (outside CI). Usage: bench/run_repair_bench.sh [FILES] [TOTAL_MIB] [RUNS] [BROKEN]
# (defaults 2000 files, 2048 MiB, 3 runs, 50 broken files). Builds the default preset and the
# driver bench/repair_bench.cpp, writes the client and its server tree, serves the tree from
# nginx on 127.0.0.1 and prints each figure as the median of the runs:
#   - the repairer's check with a warm cache, against reading every file and taking its CRC-32;
#   - the repair of BROKEN deleted files, against curl fetching the same files one after another;
#   - one more repair with the library's log lines time-stamped: the mean time per file of each
#     step of a download, and from nginx's access log the requests, connections, requests cut
#     short (status 400) and the bytes on the wire per broken byte.
set -euo pipefail

FILES=${1:-2000}
TOTAL_MIB=${2:-2048}
RUNS=${3:-3}
BROKEN=${4:-50}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/lib.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qn_repair_bench_XXXXXX")
trap 'qn_nginx_stop; rm -rf "$WORK"' EXIT

for p in nginx curl; do command -v "$p" >/dev/null || { echo "$p is needed (scripts/install-deps.sh)"; exit 1; }; done

cmake --preset default >/dev/null
cmake --build --preset default --target all repair_bench -- -j4 >/dev/null
DRIVER="$ROOT/build/default/bench/repair_bench"

"$DRIVER" make "$WORK" "$FILES" "$TOTAL_MIB"

qn_nginx_start "$WORK/nginx" "$WORK/www" "${QN_NGINX_BENCH[@]}" log=wire
PORT=$QN_NGINX_PORT
PREFIX="http://127.0.0.1:$PORT/qelrepair/zhcn_v3/"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

cat "$WORK"/client/bin/zhcn/*/* > /dev/null  # warm the cache
PLAIN=$(for _ in $(seq "$RUNS"); do "$DRIVER" plain "$WORK"; done | median)
CHECK=$(for _ in $(seq "$RUNS"); do "$DRIVER" check "$WORK" "$PREFIX" | cut -d' ' -f1; done | median)

URLS=$("$DRIVER" break "$WORK" "$BROKEN")
REPAIR=()
CURL=()
for _ in $(seq "$RUNS"); do
  "$DRIVER" break "$WORK" "$BROKEN" >/dev/null
  REPAIR+=("$("$DRIVER" repair "$WORK" "$PREFIX" | cut -d' ' -f1)")
  T0=$(date +%s.%N)
  for u in $URLS; do curl -s -o "$WORK/curl.out" "http://127.0.0.1:$PORT$u"; done
  CURL+=("$(echo "$(date +%s.%N) - $T0" | bc)")
done
REP=$(printf '%s\n' "${REPAIR[@]}" | median)

# The traced run: the steps of each download, then what crossed the wire for it.
"$DRIVER" break "$WORK" "$BROKEN" >/dev/null
: > "$WORK/nginx/access.log"
echo "--- traced repair (wall, unrepaired count, then the steps)"
"$DRIVER" trace "$WORK" "$PREFIX"
sleep 0.5  # nginx writes its last lines as the connections close
BROKEN_BYTES=$(for u in $URLS; do stat -c %s "$WORK/www$u"; done | awk '{s+=$1} END {print s}')
echo "--- nginx access log of the traced repair (repairs timed: ${REPAIR[*]})"
awk -v broken="$BROKEN_BYTES" '
  /qel_repair\.info/ { next }  # the check before the repair
  { conns[$1] = 1; bytes += $(NF-1); up += $NF; m = $4; gsub(/"/, "", m); key = m " " $3; count[key]++ }
  END {
    for (k in count) printf "requests %-10s %d\n", k, count[k]
    printf "connections %d\n", length(conns)
    printf "bytes sent by the server %d for %d broken bytes: %.3f per broken byte (request bytes %d)\n", bytes, broken, bytes / broken, up
  }' "$WORK/nginx/access.log" | sort
CUR=$(printf '%s\n' "${CURL[@]}" | median)

printf '%-70s %8s %8s %6s %s\n' figure ours ref ratio target
printf '%-70s %8.3f %8.3f %6.2f %s\n' "check of $FILES files, $TOTAL_MIB MiB, warm, against read + crc32" "$CHECK" "$PLAIN" "$(echo "$CHECK / $PLAIN" | bc -l)" "<= 1.15"
printf '%-70s %8.3f %8.3f %6.2f %s\n' "repair of $BROKEN deleted files from nginx, against curl one by one" "$REP" "$CUR" "$(echo "$REP / $CUR" | bc -l)" "<= 4"
