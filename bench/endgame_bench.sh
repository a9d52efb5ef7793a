#!/usr/bin/env bash
# Stalled last pieces and the capped server, this tree against a reference build, in pairs
# (outside CI, loopback only, a few minutes):
#
#   bench/endgame_bench.sh REF_DIR [RUNS]     (RUNS defaults to 5; medians are printed)
#
# REF_DIR is a source tree of the library with its default preset already built
# (REF_DIR/build/default). One driver source (bench/download_bench.cpp of this tree) is compiled
# twice, against this tree's libraries and against REF_DIR's, into a temporary folder; every
# server is this tree's driver. Each run times both builds back to back, in alternating order,
# so that the load of a shared machine falls on both alike.
# 1. `get URL DIR 4` against the three stalled servers of `download_bench stallserve`: a 3000-byte
#    file whose first GET is silent for 6 s; a 65 636-byte file whose first GET stops 6 s inside
#    piece 1; a 3000-byte file whose first GET is never answered, with the piece requests'
#    inactivity limit at 4 s. Later GETs are answered at once.
# 2. The capped server (every response paced at 8 MiB/s per connection, 128 MiB), N = 4 and 10.
# The wall time is the driver's own figure (session created to final status).
set -euo pipefail

REF=${1:?usage: bench/endgame_bench.sh REF_DIR [RUNS]}
RUNS=${2:-5}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/lib.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qn_endgame_XXXXXX")
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$WORK"' EXIT

cmake --preset default >/dev/null
cmake --build --preset default --target qn_download qn_support qn_platform -- -j4 >/dev/null
qn_build_download_driver "$WORK/ours" "$ROOT" "$ROOT"
qn_build_download_driver "$WORK/ref" "$ROOT" "$REF"

start_bg() {  # FILE CMD...: BG_PORT, BG_PID
  local file=$1; shift
  "$@" > "$file" & BG_PID=$!; PIDS+=($BG_PID)
  for _ in $(seq 200); do grep -q port= "$file" 2>/dev/null && break; sleep 0.05; done
  BG_PORT=$(cut -d= -f2 "$file")
}
declare -A PORT
for c in silent midpiece unanswered; do start_bg "$WORK/$c.txt" "$WORK/ours" stallserve "$c" 3600; PORT[$c]=$BG_PORT; done
start_bg "$WORK/capped.txt" "$WORK/ours" serve $((128 << 20)) $((8 << 20)) 3600; PORT[capped]=$BG_PORT

# get BUILD CASE N: the wall time to WALL; the download must succeed.
get() {
  rm -rf "$WORK/out"; mkdir -p "$WORK/out"
  local t=120; [ "$2" = unanswered ] && t=4
  local line
  line=$(QN_BENCH_REQUEST_TIMEOUT_S=$t "$WORK/$1" get "http://127.0.0.1:${PORT[$2]}/f.bin" "$WORK/out" "$3") ||
    { echo "$1 failed on $2: $line" >&2; exit 1; }
  WALL=$(sed 's/.*wall_s=\([0-9.]*\).*/\1/' <<< "$line")
}
median() { python3 -c 'import sys, statistics; print("%.3f" % statistics.median(map(float, sys.argv[1:])))' "$@"; }

echo "commit $(git -C "$ROOT" rev-parse --short HEAD)$(git -C "$ROOT" diff --quiet HEAD -- download support platform || echo ' (with local changes)') against $(git -C "$REF" rev-parse --short HEAD 2>/dev/null || echo "$REF")"
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); median of $RUNS pairs"
for item in "silent 4" "midpiece 4" "unanswered 4" "capped 4" "capped 10"; do
  read -r c n <<< "$item"
  wo=(); wr=()
  for i in $(seq "$RUNS"); do
    if [ $((i % 2)) -eq 1 ]; then get ours "$c" "$n"; wo+=("$WALL"); get ref "$c" "$n"; wr+=("$WALL")
    else get ref "$c" "$n"; wr+=("$WALL"); get ours "$c" "$n"; wo+=("$WALL"); fi
  done
  mo=$(median "${wo[@]}"); mr=$(median "${wr[@]}")
  printf '  %-10s N=%-3s ours %s s (%s)  ref %s s (%s)  ours/ref %s\n' "$c" "$n" "$mo" "${wo[*]}" "$mr" "${wr[*]}" \
    "$(python3 -c "print('%.3f' % ($mo / $mr))")"
done
