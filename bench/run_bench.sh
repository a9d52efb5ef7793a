#!/usr/bin/env bash
# Download benchmarks, outside CI: the library against aria2c and curl on loopback.
#
#   bench/run_bench.sh [SIZE_MIB] [RUNS]      (defaults: 1024 MiB, 5 runs; medians are printed)
#
# Installs what it needs (nginx-light, aria2, curl) with apt-get, builds the default preset and
# the benchmark driver, then prints one line per figure with its ratio to the reference.
set -euo pipefail

SIZE_MIB=${1:-1024}
RUNS=${2:-5}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/lib.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qn_bench_XXXXXX")
trap 'kill ${SERVE_PID:-} 2>/dev/null || true; qn_nginx_stop; rm -rf "$WORK"' EXIT

qn_install_missing nginx-light aria2 curl time

cmake --preset default >/dev/null
cmake --build --preset default --target all download_bench -- -j4 >/dev/null
DRIVER="$ROOT/build/default/bench/download_bench"

mkdir -p "$WORK/www" "$WORK/out"
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$WORK/www/big.bin"
SIZE=$(stat -c %s "$WORK/www/big.bin")

qn_nginx_start "$WORK/nginx" "$WORK/www" "${QN_NGINX_BENCH[@]}" log=off tail=literal
PORT=$QN_NGINX_PORT
URL="http://127.0.0.1:$PORT/big.bin"

# run LABEL CMD...: RUNS times; prints the medians "wall cpu peak_kib".
run() {
  local label=$1; shift
  local rows=()
  for _ in $(seq "$RUNS"); do
    rm -rf "$WORK/out"; mkdir -p "$WORK/out"
    /usr/bin/time -f "%e %U %S %M" -o "$WORK/time.txt" "$@" >/dev/null 2>&1 || true
    read -r e u s m < <(tail -n 1 "$WORK/time.txt")
    rows+=("$e $(echo "$u + $s" | bc -l) $m")
  done
  printf '%s\n' "${rows[@]}" | python3 -c '
import sys, statistics
r = [list(map(float, l.split())) for l in sys.stdin if l.strip()]
print(" ".join("%.3f" % statistics.median(c) for c in zip(*r)))'
}
ratio() { python3 -c "print('%.2f' % ($1 / $2))"; }
line() { printf '%-44s %10s %10s  ratio %s  (%s)\n' "$1" "$2" "$3" "$4" "$5"; }

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), file $SIZE_MIB MiB, median of $RUNS"

read -r w_ours c_ours m_ours < <(run ours "$DRIVER" get "$URL" "$WORK/out" 4)
read -r w_aria c_aria m_aria < <(run aria2c aria2c -q -x4 -s4 -k1M --allow-overwrite=true --file-allocation=none -d "$WORK/out" -o out.bin "$URL")
read -r w_curl c_curl m_curl < <(run curl curl -s -o "$WORK/out/out.bin" "$URL")
line "wall, 4 connections vs aria2c -x4 (<= 0.7)" "$w_ours s" "$w_aria s" "$(ratio "$w_ours" "$w_aria")" "target 0.7"
line "wall, 4 connections vs curl (<= 1.1)" "$w_ours s" "$w_curl s" "$(ratio "$w_ours" "$w_curl")" "target 1.1"
line "cpu, 4 connections vs curl (<= 1.0)" "$c_ours s" "$c_curl s" "$(ratio "$c_ours" "$c_curl")" "target 1.0"
line "peak memory, 4 connections" "$m_ours KiB" "$m_curl KiB" "$(ratio "$m_ours" "$m_curl")" "vs curl; target 24 MiB"

"$DRIVER" mkck "$WORK/www/big.bin" 1048576 "$WORK/big.ck"
MD5RATE=$("$DRIVER" md5rate "$WORK/www/big.bin" | cut -d= -f2)
read -r w_ck c_ck m_ck < <(run ours-ck "$DRIVER" get "$URL" "$WORK/out" 4 0 "$WORK/big.ck")
ideal=$(python3 -c "print($w_ours + $SIZE / $MD5RATE)")
line "wall with checksum vs download + size/MD5" "$w_ck s" "$(printf %.3f "$ideal") s" "$(ratio "$w_ck" "$ideal")" "target 1.0"

# A server capped per connection: the project's test server pacing every response.
CAP=$((8 * 1024 * 1024)); CAPSIZE=$((128 * 1024 * 1024))
"$DRIVER" serve $CAPSIZE $CAP 600 > "$WORK/serve.txt" & SERVE_PID=$!
for _ in $(seq 100); do grep -q port= "$WORK/serve.txt" 2>/dev/null && break; sleep 0.05; done
SPORT=$(cut -d= -f2 "$WORK/serve.txt")
for n in 1 4 10; do
  read -r w c m < <(run capped "$DRIVER" get "http://127.0.0.1:$SPORT/f.bin" "$WORK/out" "$n")
  ideal=$(python3 -c "print($CAPSIZE / ($n * $CAP))")
  line "capped 8 MiB/s per connection, N=$n" "$w s" "$(printf %.3f "$ideal") s" "$(ratio "$w" "$ideal")" "target 1.05"
done
kill $SERVE_PID 2>/dev/null || true; wait $SERVE_PID 2>/dev/null || true; SERVE_PID=

# The speed limit: about 4 s of transfer each.
for lim in 262144 4194304 33554432; do
  size=$((lim * 4)); head -c $size "$WORK/www/big.bin" > "$WORK/www/lim.bin"
  read -r w c m < <(RUNS=1 run limited "$DRIVER" get "http://127.0.0.1:$PORT/lim.bin" "$WORK/out" 4 $lim)
  rate=$(python3 -c "print($size / $w)")
  line "speed limit $lim B/s: measured rate" "$(printf %.0f "$rate")" "$lim" "$(ratio "$rate" "$lim")" "target within 3%"
  if [ $lim -eq 262144 ]; then
    line "cpu while throttled (share of one core)" "$(python3 -c "print('%.4f' % ($c / $w))")" "1" "$(python3 -c "print('%.4f' % ($c / $w))")" "target 0.01"
  fi
done

# Stalled: a server that sends one byte per second; 5 s of it.
"$DRIVER" serve $CAPSIZE 1 600 > "$WORK/serve.txt" & SERVE_PID=$!
for _ in $(seq 100); do grep -q port= "$WORK/serve.txt" 2>/dev/null && break; sleep 0.05; done
SPORT=$(cut -d= -f2 "$WORK/serve.txt")
/usr/bin/time -f "%e %U %S %M" -o "$WORK/time.txt" timeout -s KILL 5 "$DRIVER" get "http://127.0.0.1:$SPORT/f.bin" "$WORK/out" 4 >/dev/null 2>&1 || true
read -r e u s m < <(tail -n 1 "$WORK/time.txt")
idle=$(python3 -c "print('%.4f' % (($u + $s) / $e))")
line "cpu while stalled (share of one core)" "$idle" "1" "$idle" "target 0.01"
kill $SERVE_PID 2>/dev/null || true; SERVE_PID=

# Peak memory at 10 connections, for this file and for an 8 GiB one (sparse on the server).
read -r w m10 < <(RUNS=1 run mem "$DRIVER" get "$URL" "$WORK/out" 10 | awk '{print $1, $3}')
truncate -s 8G "$WORK/www/huge.bin"
read -r w m8 < <(RUNS=1 run mem8 "$DRIVER" get "http://127.0.0.1:$PORT/huge.bin" "$WORK/out" 10 | awk '{print $1, $3}')
line "peak memory, 10 connections, $SIZE_MIB MiB" "$m10 KiB" "24576 KiB" "$(ratio "$m10" 24576)" "target 1.0"
line "peak memory, 10 connections, 8 GiB" "$m8 KiB" "$m10 KiB" "$(ratio "$m8" "$m10")" "flat in file size"
