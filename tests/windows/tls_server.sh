#!/usr/bin/env bash
# A TLS server on 127.0.0.1 for the WinINet tests, run by socat with a certificate made for the
# run: every request is read whole, its body appended to <dir>/bodies as one line, and answered
# "200 OK".
# Usage: tls_server.sh start DIR | stop DIR | serve DIR (one connection, on socat's stdio)
set -euo pipefail
action=$1 dir=$(realpath -m "$2")
case $action in
  start)
    mkdir -p "$dir"
    : >"$dir/bodies"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/key.pem" -out "$dir/cert.pem" -days 2 \
      -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1
    # An ephemeral port that is free now.
    for _ in $(seq 20); do
      port=$((20000 + RANDOM % 20000))
      socat OPENSSL-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork,cert="$dir/cert.pem",key="$dir/key.pem",verify=0 \
        EXEC:"$0 serve $dir" </dev/null >/dev/null 2>&1 &
      pid=$!
      sleep 0.3
      if kill -0 "$pid" 2>/dev/null; then
        echo "$pid" >"$dir/pid"
        echo "$port" >"$dir/port"
        exit 0
      fi
    done
    echo "no TLS server could be started" >&2
    exit 1
    ;;
  stop)
    [ -f "$dir/pid" ] && kill "$(cat "$dir/pid")" 2>/dev/null || true
    rm -f "$dir/pid" "$dir/port"
    ;;
  serve)
    # A connection that ends before its request line (a refused handshake) leaves no body.
    IFS= read -r request || exit 0
    [ -n "${request%$'\r'}" ] || exit 0
    length=0
    while IFS= read -r line; do
      line=${line%$'\r'}
      [ -z "$line" ] && break
      case ${line,,} in content-length:*) length=${line#*:}; length=${length// /} ;; esac
    done
    body=$(head -c "$length")
    printf '%s\n' "$body" >>"$dir/bodies"
    printf 'HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok'
    ;;
esac
