#!/usr/bin/env bash
# Runs the tool's main job on a sample: a client made by the repair test kit, broken in several
# ways (ordinary files deleted and changed, package blocks and package files changed), its repair
# server served by nginx on 127.0.0.1, and the tool pointed at it. With a display the tool runs in
# its window; without one (or with QN_DEMO_HEADLESS=1) a scripted user answers its dialogs and the
# status lines and the summary are printed. The repaired client is compared with the good one.
# Exits 0 only when the repair succeeded.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

bash scripts/install-deps.sh

echo "demo: building the tool and the repair test kit"
cmake --preset default >/dev/null
cmake --build build/default -j"${QN_DEMO_JOBS:-4}" --target QelRepair make_repair_fixture >/dev/null
tool_program="$repo/build/default/program/QelRepair.exe"
fixture_maker="$repo/build/default/tests/support/kit/make_repair_fixture"

work=$(mktemp -d "${TMPDIR:-/tmp}/qelrepair-demo.XXXXXX")
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  if [ "${QN_DEMO_KEEP:-0}" != 1 ]; then rm -rf "$work"; else echo "demo: kept $work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The kit's client F1 (100 ordinary files, a package of three data files) and its repair
# server; the damage row D-ALL deletes lib/core.dll, changes config/client.ini, a byte in two
# package blocks, the package's configuration and one of its folder files.
echo "demo: making the sample client and its repair server"
"$fixture_maker" "$work/fx" F1 --scenario D-ALL >/dev/null
good="$work/fx/client"
client="$work/fx/work"
docroot="$work/fx/www"

# nginx on a free loopback port, the cache-defeating tail of the tool's requests stripped.
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
mkdir -p "$work/nginx"
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  port=$((20000 + RANDOM % 30000))
  port_open "$port" && continue
  cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid "$work/nginx/nginx.pid";
error_log "$work/nginx/error.log" info;
events { worker_connections 128; }
http {
  default_type application/octet-stream;
  access_log "$work/nginx/access.log";
  client_body_temp_path "$work/nginx/body";
  proxy_temp_path "$work/nginx/proxy";
  fastcgi_temp_path "$work/nginx/fastcgi";
  uwsgi_temp_path "$work/nginx/uwsgi";
  scgi_temp_path "$work/nginx/scgi";
  sendfile off;
  server {
    listen 127.0.0.1:$port;
    root "$docroot";
    merge_slashes on;
    location / { rewrite "^(.*)/-?[0-9]+\.RefreshEveryTime\$" \$1 break; }
  }
}
CONF
  "$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>>"$work/nginx/start.log" &
  nginx_pid=$!
  for _ in $(seq 1 50); do
    port_open "$port" && break
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  if port_open "$port"; then break; fi
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=""
done
if [ -z "$nginx_pid" ]; then
  echo "demo: nginx did not start:" >&2
  cat "$work/nginx/error.log" "$work/nginx/start.log" >&2 2>/dev/null || true
  exit 1
fi
echo "demo: the repair server is http://127.0.0.1:$port/qelrepair/"

# The server's self-update index offers the tool's own version: no update, the tool goes on.
md5=$(md5sum "$tool_program" | cut -d' ' -f1)
cp "$tool_program" "$docroot/qelrepair/QelRepair.exe"
printf '[SelfUpdate]\r\nLastestVersionNumber=%s\r\nFileName=QelRepair.exe\r\nFileMD5=%s\r\n' \
  "$(sed -n 's/^project(QelRepair VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" "$md5" >"$docroot/qelrepair/qel_index.info"

# The tool starts from a download folder outside the client, as a user would start it; once the
# client folder is confirmed it copies itself there and goes on from there with "-i".
mkdir -p "$work/download" "$work/platform"
cp "$tool_program" "$work/download/QelRepair.exe"
settings=$(printf '[server]\r\nip=http://127.0.0.1:%s/qelrepair/\r\n' "$port")
printf '%s' "$settings" >"$work/download/repair_settings.ini"
printf '%s' "$settings" >"$client/repair_settings.ini"
export QN_PLATFORM_ROOT="$work/platform"

echo "demo: running the tool on the broken client $client/"
tool_status=0
if [ -n "${DISPLAY:-}" ] && [ "${QN_DEMO_HEADLESS:-0}" != 1 ]; then
  echo "demo: in its window: confirm the folder $client/ and click 开始修复"
  "$work/download/QelRepair.exe" | cat || tool_status=$?
else
  # The pipe stays open until the copy in the client folder has ended too.
  QN_UI=headless QN_SCRIPT_CLIENT_ROOT="$client/" timeout "${QN_DEMO_TIME_LIMIT:-300}" \
    "$work/download/QelRepair.exe" | tee "$work/run.log" || tool_status=$?
fi

status=0
if [ "$tool_status" -ne 0 ]; then
  echo "demo: the tool ended with status $tool_status" >&2
  status=1
fi
for part in bin/zhcn pakV3; do
  if ! diff -r -q "$good/$part" "$client/$part"; then status=1; fi
done
if [ -f "$work/run.log" ] && ! grep -q '^summary: 修复完成：.*失败0个。' "$work/run.log"; then status=1; fi
if [ "$status" -eq 0 ]; then
  echo "demo: the repaired client is byte for byte the good one: the repair succeeded"
else
  echo "demo: the repaired client differs from the good one: the repair failed" >&2
fi
exit "$status"
