#!/bin/sh
# A real nginx for tests, on a free loopback port.
#
#   nginx_fixture.sh start <state-dir> <root-dir>   serves <root-dir>; writes the port to
#                                                   <state-dir>/port and the root's absolute
#                                                   path to <state-dir>/root
#   nginx_fixture.sh stop <state-dir>               stops the nginx started with that state
#
# Uses Debian's nginx (package nginx-light), /usr/sbin/nginx unless KW_NGINX names another.
# KW_NGINX_PORT asks for that port instead of a free one (the demo serves on the port the
# program is built for).
# Works as root (workers then run as root, so they can read any root-dir) or as anyone else.
# Everything nginx writes (configuration, pid, logs, temporary files) stays in <state-dir>.
set -eu

nginx=${KW_NGINX:-/usr/sbin/nginx}

die() {
  echo "nginx_fixture: $*" >&2
  exit 1
}

stop() {
  state=$1
  pid_file=$state/nginx.pid
  [ -f "$pid_file" ] || return 0
  pid=$(cat "$pid_file")
  rm -f "$state/port"
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid"
    tries=0
    while kill -0 "$pid" 2>/dev/null; do
      tries=$((tries + 1))
      [ "$tries" -le 100 ] || die "nginx (pid $pid) did not stop"
      sleep 0.05
    done
  fi
  rm -f "$pid_file"
}

random_port() {
  # 20000-59999: above the usual service ports, below the kernel's ephemeral range.
  n=$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')
  echo $((20000 + n % 40000))
}

write_config() {
  state=$1 root=$2 port=$3
  user_line=
  if [ "$(id -u)" -eq 0 ]; then
    user_line="user $(id -un) $(id -gn);"
  fi
  cat >"$state/nginx.conf" <<EOF
daemon on;
master_process on;
worker_processes 1;
pid "$state/nginx.pid";
error_log "$state/error.log" warn;
$user_line
events {
  worker_connections 64;
}
http {
  access_log "$state/access.log";
  client_body_temp_path "$state/temp/body";
  proxy_temp_path "$state/temp/proxy";
  fastcgi_temp_path "$state/temp/fastcgi";
  uwsgi_temp_path "$state/temp/uwsgi";
  scgi_temp_path "$state/temp/scgi";
  default_type application/octet-stream;
  sendfile on;
  keepalive_timeout 75s;
  server {
    listen 127.0.0.1:$port;
    server_name localhost;
    root "$root";
  }
}
EOF
}

start() {
  [ -x "$nginx" ] || die "$nginx not found (install Debian's nginx-light)"
  mkdir -p "$1/temp" "$2"
  state=$(cd "$1" && pwd)
  root=$(cd "$2" && pwd)
  # A leftover from an interrupted run would hold on to its port.
  stop "$state"
  attempt=0
  while [ "$attempt" -lt 20 ]; do
    attempt=$((attempt + 1))
    port=${KW_NGINX_PORT:-$(random_port)}
    write_config "$state" "$root" "$port"
    : >"$state/error.log"
    # The master binds the port before it detaches, so once this returns nginx is listening.
    if "$nginx" -e "$state/error.log" -p "$state" -c "$state/nginx.conf" 2>"$state/start.log"; then
      echo "$port" >"$state/port"
      echo "$root" >"$state/root"
      echo "nginx_fixture: serving $root on 127.0.0.1:$port"
      return 0
    fi
    grep -q "Address already in use" "$state/start.log" "$state/error.log" ||
      { cat "$state/start.log" >&2; die "nginx did not start (see $state/error.log)"; }
    [ -z "${KW_NGINX_PORT:-}" ] || die "port $KW_NGINX_PORT is in use"
  done
  die "no free port found in $attempt attempts"
}

case "${1:-}" in
  start)
    [ $# -eq 3 ] || die "usage: $0 start <state-dir> <root-dir>"
    start "$2" "$3"
    ;;
  stop)
    [ $# -eq 2 ] || die "usage: $0 stop <state-dir>"
    stop "$2"
    ;;
  *)
    die "usage: $0 start <state-dir> <root-dir> | stop <state-dir>"
    ;;
esac
