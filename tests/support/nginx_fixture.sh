#!/bin/sh
# A real nginx for tests, on a free loopback port.
#
#   nginx_fixture.sh start <state-dir> <root-dir>   serves <root-dir>; writes the port to
#                                                   <state-dir>/port and the root's absolute
#                                                   path to <state-dir>/root
#   nginx_fixture.sh start-tls <state-dir> <root-dir>
#                                                   the same, and https beside it: a test
#                                                   authority made here (<state-dir>/tls/ca.pem,
#                                                   ca.der), and three TLS ports, written to
#                                                   <state-dir>/tls_port (a certificate of that
#                                                   authority for 127.0.0.1; /to-http redirects
#                                                   to the plain port), other_name_port (of that
#                                                   authority, made out for other.test) and
#                                                   self_signed_port (for 127.0.0.1, self-signed)
#   nginx_fixture.sh stop <state-dir>               stops the nginx started with that state
#
# Uses Debian's nginx (package nginx-light), /usr/sbin/nginx unless KW_NGINX names another.
# KW_NGINX_PORT asks for that port instead of a free one (the demo serves on the port the
# program is built for); KW_NGINX_TLS_PORT does the same for start-tls's https port (tls_port).
# Works as root (workers then run as root, so they can read any root-dir) or as anyone else.
# Everything nginx writes (configuration, pid, logs, temporary files) stays in <state-dir>: its
# log of requests in access.log, and in bytes.log each response's status, the bytes it sent (head
# and body), those of its body, and its request line.
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

# The test authority and the servers' certificates, in <state>/tls. RSA, which every TLS stack
# (Wine's included) verifies; two days, so a stale one is never used.
make_certificates() {
  tls_dir=$1/tls
  mkdir -p "$tls_dir"
  (
    cd "$tls_dir"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout ca.key -out ca.pem \
      -subj "/CN=KW_Update test authority" -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    openssl x509 -in ca.pem -outform DER -out ca.der
    # The address as an IP entry for OpenSSL, and as a DNS entry too, the only kind Wine's
    # certificate checks compare.
    for name in server:127.0.0.1:IP:127.0.0.1,DNS:127.0.0.1 other:other.test:DNS:other.test; do
      file=${name%%:*} rest=${name#*:}
      cn=${rest%%:*} names=${rest#*:}
      printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
        "$names" >"$file.ext"
      openssl req -newkey rsa:2048 -nodes -keyout "$file.key" -out "$file.csr" -subj "/CN=$cn" \
        2>/dev/null
      openssl x509 -req -in "$file.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile "$file.ext" -out "$file.pem" 2>/dev/null
    done
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout self.key -out self.pem \
      -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1" 2>/dev/null
  ) || die "openssl could not make the test certificates"
}

tls_server() {
  cat <<EOF
  server {
    listen 127.0.0.1:$1 ssl;
    ssl_certificate "$state/tls/$2.pem";
    ssl_certificate_key "$state/tls/$2.key";
    root "$root";
    $3
  }
EOF
}

write_config() {
  state=$1 root=$2 port=$3
  tls_servers=
  if [ -n "$tls" ]; then
    tls_servers=$(
      tls_server "$tls_port" server "location = /to-http { return 302 http://127.0.0.1:$port/to-http; }"
      tls_server "$other_name_port" other ""
      tls_server "$self_signed_port" self ""
    )
  fi
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
  # What went over the wire, for bench/run: each response's status, its bytes (head and body),
  # its body's bytes, and its request.
  log_format kw_bytes '\$status \$bytes_sent \$body_bytes_sent "\$request"';
  access_log "$state/bytes.log" kw_bytes;
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
$tls_servers
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
  rm -f "$state/tls_port" "$state/other_name_port" "$state/self_signed_port"
  [ -z "$tls" ] || make_certificates "$state"
  attempt=0
  while [ "$attempt" -lt 20 ]; do
    attempt=$((attempt + 1))
    port=${KW_NGINX_PORT:-$(random_port)}
    tls_port=${KW_NGINX_TLS_PORT:-$(random_port)}
    other_name_port=$(random_port) self_signed_port=$(random_port)
    write_config "$state" "$root" "$port"
    : >"$state/error.log"
    # The master binds the port before it detaches, so once this returns nginx is listening.
    if "$nginx" -e "$state/error.log" -p "$state" -c "$state/nginx.conf" 2>"$state/start.log"; then
      echo "$port" >"$state/port"
      echo "$root" >"$state/root"
      if [ -n "$tls" ]; then
        echo "$tls_port" >"$state/tls_port"
        echo "$other_name_port" >"$state/other_name_port"
        echo "$self_signed_port" >"$state/self_signed_port"
      fi
      echo "nginx_fixture: serving $root on 127.0.0.1:$port"
      return 0
    fi
    grep -q "Address already in use" "$state/start.log" "$state/error.log" ||
      { cat "$state/start.log" >&2; die "nginx did not start (see $state/error.log)"; }
    # A port asked for is taken: no other try can help. (A random one: try others.)
    for asked in ${KW_NGINX_PORT:-} ${KW_NGINX_TLS_PORT:-}; do
      ! grep -q "127.0.0.1:$asked failed" "$state/start.log" "$state/error.log" ||
        die "port $asked is in use"
    done
  done
  die "no free port found in $attempt attempts"
}

tls=
case "${1:-}" in
  start)
    [ $# -eq 3 ] || die "usage: $0 start <state-dir> <root-dir>"
    start "$2" "$3"
    ;;
  start-tls)
    [ $# -eq 3 ] || die "usage: $0 start-tls <state-dir> <root-dir>"
    tls=1
    start "$2" "$3"
    ;;
  stop)
    [ $# -eq 2 ] || die "usage: $0 stop <state-dir>"
    stop "$2"
    ;;
  *)
    die "usage: $0 start|start-tls <state-dir> <root-dir> | stop <state-dir>"
    ;;
esac
