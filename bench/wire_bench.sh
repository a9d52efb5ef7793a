#!/usr/bin/env bash
# Wire and capped-server benchmarks, outside CI, loopback only (a few minutes):
#
#   bench/wire_bench.sh [SIZE_MIB] [RUNS]      (defaults: 1024 MiB, 3 runs; medians are printed)
#
# 1. Bytes on the wire divided by the file size, for the file from nginx at 4 and 10
#    connections and for the capped server at 4 and 10: the client goes through the driver's
#    relay, which counts the bytes the client's TCP acknowledged, and the connections.
# 2. The capped server (8 MiB/s per connection, 128 MiB) at N = 4 and 10, the library against
#    `aria2c -xN -sN -k1M`, run after run in the same run of this script, straight to the
#    server. Wall times are the whole process (/usr/bin/time); output in one folder for both.
# Installs what it needs (nginx-light, aria2, time) with apt-get, builds the default preset and
# the benchmark driver, and prints the commit it measured.
set -euo pipefail

SIZE_MIB=${1:-1024}
RUNS=${2:-3}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/lib.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qn_wire_XXXXXX")
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$WORK"' EXIT

qn_install_missing nginx-light aria2 time

cmake --preset default >/dev/null
cmake --build --preset default --target all download_bench -- -j4 >/dev/null
DRIVER="$ROOT/build/default/bench/download_bench"

mkdir -p "$WORK/www" "$WORK/out"
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$WORK/www/big.bin"
SIZE=$(stat -c %s "$WORK/www/big.bin")

qn_nginx_start "$WORK/nginx" "$WORK/www" "${QN_NGINX_BENCH[@]}" log=off tail=literal
NPORT=$QN_NGINX_PORT; PIDS+=("$QN_NGINX_PID")

# start_bg FILE CMD...: runs CMD in the background and waits for its "port=" line; the port
# goes to BG_PORT, the process id to BG_PID.
start_bg() {
  local file=$1; shift
  "$@" > "$file" & BG_PID=$!; PIDS+=($BG_PID)
  for _ in $(seq 200); do grep -q port= "$file" 2>/dev/null && break; sleep 0.05; done
  BG_PORT=$(cut -d= -f2 "$file")
}

CAP=$((8 * 1024 * 1024)); CAPSIZE=$((128 * 1024 * 1024))
start_bg "$WORK/serve.txt" "$DRIVER" serve $CAPSIZE $CAP 3600; CPORT=$BG_PORT

# command_for TOOL URL N: the command line of a download to CMD.
command_for() {
  if [ "$1" = ours ]; then CMD=("$DRIVER" get "$2" "$WORK/out" "$3")
  else CMD=(aria2c -q -x"$3" -s"$3" -k1M --allow-overwrite=true --file-allocation=none -d "$WORK/out" -o out.bin "$2"); fi
}

# wall TOOL URL N SIZE: the process's wall time to WALL; the download must succeed with the
# right size.
wall() {
  rm -rf "$WORK/out"; mkdir -p "$WORK/out"
  command_for "$1" "$2" "$3"
  /usr/bin/time -f "%e" -o "$WORK/time.txt" "${CMD[@]}" >/dev/null 2>&1 || { echo "$1 failed on $2" >&2; exit 1; }
  [ "$(stat -c %s "$WORK/out/out.bin")" -eq "$4" ] || { echo "$1: wrong size from $2" >&2; exit 1; }
  WALL=$(tail -n 1 "$WORK/time.txt")
}

# wire TOOL UPSTREAM_PORT PATH N SIZE: through a fresh relay; the wire bytes over SIZE to
# RATIO, the connections to CONNS.
wire() {
  start_bg "$WORK/relay.txt" "$DRIVER" relay "$2" "$WORK/stats.txt" 3600
  wall "$1" "http://127.0.0.1:$BG_PORT$3" "$4" "$5"
  sleep 0.3  # the relay writes its figures once each connection has ended
  kill "$BG_PID" 2>/dev/null || true
  wait "$BG_PID" 2>/dev/null || true
  read -r w CONNS < <(sed 's/wire=//; s/connections=//' "$WORK/stats.txt")
  RATIO=$(python3 -c "print('%.4f' % ($w / $5))")
}

median() { python3 -c 'import sys, statistics; print("%.3f" % statistics.median(map(float, sys.argv[1:])))' "$@"; }

echo "commit $(git -C "$ROOT" rev-parse --short HEAD)$(git -C "$ROOT" diff --quiet HEAD -- download support platform || echo ' (with local changes)')"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "file $SIZE_MIB MiB from nginx; capped server $((CAP >> 20)) MiB/s per connection, $((CAPSIZE >> 20)) MiB; median of $RUNS"
echo
declare -A CAPCONNS
echo "1. bytes on the wire / file size (target <= 1.05); connections made"
for case in "nginx 4" "nginx 10" "capped 4" "capped 10"; do
  read -r where n <<< "$case"
  if [ "$where" = nginx ]; then up=$NPORT; path=/big.bin; size=$SIZE; else up=$CPORT; path=/f.bin; size=$CAPSIZE; fi
  for tool in ours aria; do
    ratios=(); conns=()
    for _ in $(seq "$RUNS"); do
      wire "$tool" "$up" "$path" "$n" "$size"
      ratios+=("$RATIO"); conns+=("$CONNS")
    done
    printf '  %-7s N=%-3s %-5s ratio %s (runs: %s)  connections %s\n' "$where" "$n" "$tool" \
      "$(median "${ratios[@]}")" "${ratios[*]}" "${conns[*]}"
    [ "$where$tool" = cappedours ] && CAPCONNS[$n]=$(median "${conns[@]}")
  done
done

echo
echo "2. capped server, wall in seconds (target: ours <= aria2c at every N)"
for n in 4 10; do
  wo=(); wa=()
  for _ in $(seq "$RUNS"); do
    wall ours "http://127.0.0.1:$CPORT/f.bin" "$n" "$CAPSIZE"; wo+=("$WALL")
    wall aria "http://127.0.0.1:$CPORT/f.bin" "$n" "$CAPSIZE"; wa+=("$WALL")
  done
  mo=$(median "${wo[@]}"); ma=$(median "${wa[@]}")
  ideal=$(python3 -c "print('%.3f' % ($CAPSIZE / ($n * $CAP)))")
  printf '  N=%-3s ours %s s (%s)  aria2c %s s (%s)  ideal %s s  ours/aria2c %s  ours/ideal %s  aria2c/ideal %s\n' \
    "$n" "$mo" "${wo[*]}" "$ma" "${wa[*]}" "$ideal" "$(python3 -c "print('%.2f' % ($mo / $ma))")" \
    "$(python3 -c "print('%.2f' % ($mo / $ideal))")" "$(python3 -c "print('%.2f' % ($ma / $ideal))")"
  # The library holds back each new connection's request for 100 ms: the query's connection
  # delays everything, each of the other C - 1 takes 100 ms from one of the N slots.
  c=${CAPCONNS[$n]}
  printf '        floor from the 100 ms pauses with %g connections: %s + 0.1 + 0.1 x %s / %s = %s s\n' "$c" "$ideal" \
    "$(python3 -c "print('%g' % ($c - 1))")" "$n" "$(python3 -c "print('%.3f' % ($ideal + 0.1 + 0.1 * ($c - 1) / $n))")"
done
