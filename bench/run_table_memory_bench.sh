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
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qn_table_mem_XXXXXX")
trap 'kill ${NGINX_PID:-} 2>/dev/null || true; rm -rf "$WORK"' EXIT

cmake --preset default >/dev/null
cmake --build --preset default -- -j4 >/dev/null
B="$ROOT/build/default"
DRIVER="$WORK/package_bench"
g++ -std=c++20 -O2 -o "$DRIVER" "$ROOT/bench/package_bench.cpp" \
  -I"$ROOT/repair" -I"$ROOT/download" -I"$ROOT/support" -I"$ROOT/platform" \
  "$B/repair/libqn_repair.a" "$B/download/libqn_download.a" "$B/support/libqn_support.a" \
  "$B/platform/libqn_platform.a" -lhttp_parser -lz -lpthread -ldl

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
D="$WORK/p$MIB"
"$DRIVER" gen "$D" "$MIB"
cat > "$WORK/nginx.conf" <<CONF
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
worker_processes 2; daemon off; pid $WORK/nginx.pid; error_log $WORK/error.log;
events { worker_connections 256; }
http { access_log off; sendfile on; client_body_temp_path $WORK/t1; proxy_temp_path $WORK/t2;
  fastcgi_temp_path $WORK/t3; uwsgi_temp_path $WORK/t4; scgi_temp_path $WORK/t5;
  server { listen 127.0.0.1:$PORT; root $D/www;
    rewrite ^(.*)/[0-9-]+\.RefreshEveryTime\$ \$1 last; } }
CONF
nginx -p "$WORK" -c "$WORK/nginx.conf" & NGINX_PID=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$PORT/pak/Repair.REP" && break; sleep 0.05; done

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
