# Shell helpers shared by scripts/ and bench/ (sourced, not run):
#   qn_install_missing PACKAGE...        installs, with apt-get, the Debian packages that are missing
#   qn_nginx_start DIR ROOT [NAME=VALUE...]
#                                        nginx on a free loopback port serving ROOT, from the
#                                        configuration scripts/nginx.conf.in
#   qn_nginx_stop                        ends the nginx that qn_nginx_start started
# Each expects `set -euo pipefail` in the script that sources it.

QN_SCRIPTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The settings the benchmarks serve with: a master process and two workers, sendfile, nginx's
# own defaults for the rest.
QN_NGINX_BENCH=(master=on workers=2 connections=256 error_level=error keepalive=75s sendfile=on
  default_type=text/plain)

qn_install_missing() {
  local p missing=() sudo_cmd=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  # sudo resets the environment, so the front end is set on apt-get's own command line.
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  echo "$(basename "$0" .sh): installing ${missing[*]}" >&2
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# True when something accepts connections on 127.0.0.1:$1.
qn_port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# qn_nginx_start DIR ROOT [NAME=VALUE...]: writes DIR/nginx.conf and starts nginx in the
# background, its pid, logs and temporary files in DIR. Sets QN_NGINX_PORT and QN_NGINX_PID
# once it accepts connections; fails, with its logs on stderr, when it does not come up within
# 5 s on any of ten ports. Settings (defaults are the tests' ones):
#   tail=strip|404|literal  what a path ending in the cache-defeating tail gets (strip)
#   log=FORMAT|off          the access log DIR/access.log in a format of the configuration (qn)
#   master=on|off workers=N connections=N error_level=LEVEL keepalive=TIME sendfile=on|off
#   default_type=TYPE       (off, 1, 128, info, 5s, off, application/octet-stream)
qn_nginx_start() {
  local dir=$1 root=$2
  shift 2
  local tail=strip log=qn master=off workers=1 connections=128 error_level=info keepalive=5s
  local sendfile=off default_type=application/octet-stream setting
  for setting in "$@"; do
    case $setting in
      tail=strip | tail=404 | tail=literal) tail=${setting#*=} ;;
      log=* | master=* | workers=* | connections=* | error_level=* | keepalive=* | sendfile=* | default_type=*)
        local "$setting" ;;
      *) echo "qn_nginx_start: unknown setting $setting" >&2; return 1 ;;
    esac
  done
  local strip='#' not_found='#' user='' access_log=off
  [ "$tail" = strip ] && strip=''
  [ "$tail" = 404 ] && not_found=''
  [ "$log" != off ] && access_log="\"$dir/access.log\" $log"
  [ "$master" = on ] && [ "$(id -u)" -eq 0 ] && user='user root;'
  local nginx_bin template
  nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
  template=$(<"$QN_SCRIPTS_DIR/nginx.conf.in")
  mkdir -p "$dir"

  local attempt port conf
  QN_NGINX_PID=""
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    port=$((20000 + RANDOM % 30000))
    qn_port_open "$port" && continue
    conf=$template
    conf=${conf//@DIR@/"$dir"}
    conf=${conf//@ROOT@/"$root"}
    conf=${conf//@PORT@/"$port"}
    conf=${conf//@STRIP@/"$strip"}
    conf=${conf//@NOT_FOUND@/"$not_found"}
    conf=${conf//@USER@/"$user"}
    conf=${conf//@MASTER@/"$master"}
    conf=${conf//@WORKERS@/"$workers"}
    conf=${conf//@CONNECTIONS@/"$connections"}
    conf=${conf//@ERROR_LEVEL@/"$error_level"}
    conf=${conf//@KEEPALIVE@/"$keepalive"}
    conf=${conf//@SENDFILE@/"$sendfile"}
    conf=${conf//@DEFAULT_TYPE@/"$default_type"}
    conf=${conf//@ACCESS_LOG@/"$access_log"}
    if [[ $conf =~ @[A-Z_]+@ ]]; then
      echo "qn_nginx_start: scripts/nginx.conf.in has a field it does not know: ${BASH_REMATCH[0]}" >&2
      return 1
    fi
    printf '%s\n' "$conf" >"$dir/nginx.conf"
    "$nginx_bin" -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" 2>>"$dir/start.log" &
    QN_NGINX_PID=$!
    local _
    for _ in $(seq 1 50); do
      qn_port_open "$port" && break
      kill -0 "$QN_NGINX_PID" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$QN_NGINX_PID" 2>/dev/null && qn_port_open "$port"; then
      QN_NGINX_PORT=$port
      return 0
    fi
    qn_nginx_stop
  done
  echo "nginx did not start:" >&2
  cat "$dir/error.log" "$dir/start.log" >&2 2>/dev/null || true
  return 1
}

qn_nginx_stop() {
  if [ -n "${QN_NGINX_PID:-}" ]; then
    kill "$QN_NGINX_PID" 2>/dev/null || true
    wait "$QN_NGINX_PID" 2>/dev/null || true
  fi
  QN_NGINX_PID=""
}

# qn_build_download_driver OUT ROOT TREE: the download benchmark driver of source tree ROOT
# (its loopback server included), compiled against the download library of TREE, a source tree
# whose default preset is built. The benchmarks that compare two builds of the library run the
# one driver source against each.
qn_build_download_driver() {
  local out=$1 root=$2 tree=$3
  local b="$tree/build/default"
  g++ -std=c++20 -O2 -o "$out" "$root/bench/download_bench.cpp" \
    "$root/tests/support/fixtures/loopback_http_server.cpp" "$root/tests/support/fixtures/qn_url_path.cpp" \
    -I"$tree/download" -I"$tree/support" -I"$tree/platform" -I"$root/tests/support/fixtures" \
    "$b/download/libqn_download.a" "$b/support/libqn_support.a" "$b/platform/libqn_platform.a" \
    -lhttp_parser -lz -lpthread -ldl
}
