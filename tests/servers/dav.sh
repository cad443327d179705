#!/usr/bin/env bash
# The WebDAV servers of the network tests, on free loopback ports in a scratch folder.
#   dav.sh start DIR   make certificates, users and configurations; start apache2 (mod_dav, Basic
#                      under /basic and /sub/dav, Digest MD5 with a 2-second nonce under /digest,
#                      no WebDAV at the root), lighttpd (mod_webdav, Digest SHA-256 under /sha,
#                      MD5 under /md5, both challenges under /both), nginx (DAV extension, Basic)
#                      and davfake.py; write DIR/servers.env (NAME=VALUE lines)
#   dav.sh stop DIR    stop what was started, by PID
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
python=/usr/bin/python3
command="$1"
dir="$2"
user=kvdav
password='kv:pässword'

free_port() {
    "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_port() { # PORT PID NAME
    local i
    for i in $(seq 1 100); do
        if ! kill -0 "$2" 2>/dev/null; then
            echo "$3 did not start; see $dir" >&2
            return 1
        fi
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    echo "$3 does not answer on port $1" >&2
    return 1
}

stop_pid_file() {
    local file="$1"
    [ -f "$file" ] || return 0
    local pid
    pid="$(cat "$file")"
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$file"
}

case "$command" in
start)
    mkdir -p "$dir/dav/basic" "$dir/dav/digest" "$dir/dav/sub/dav" "$dir/apache-run" \
        "$dir/ldav/sha" "$dir/ldav/md5" "$dir/ldav/both" "$dir/lrun" "$dir/ndav" "$dir/ndav-tmp"
    chmod 755 "$dir"
    "$python" "$here/certs.py" "$dir"
    chmod 644 "$dir"/*.key
    printf '%s:%s\n' "$user" "$(openssl passwd -apr1 "$password")" > "$dir/htpasswd"
    "$python" -c 'import hashlib, sys; u, p = sys.argv[1:]; print("%s:kvrealm:%s" % (u, hashlib.md5(("%s:kvrealm:%s" % (u, p)).encode()).hexdigest()))' \
        "$user" "$password" > "$dir/htdigest"
    printf '%s:%s\n' "$user" "$password" > "$dir/lpass"
    chown -R www-data:www-data "$dir/dav" "$dir/apache-run" "$dir/ldav" "$dir/lrun" "$dir/ndav" "$dir/ndav-tmp"
    apache=$(free_port); lighttpd=$(free_port); nginx=$(free_port); fake=$(free_port)
    sed -e "s#SCRATCH#$dir#g" -e "s#127.0.0.1:8443#127.0.0.1:$apache#" "$here/httpd.conf" > "$dir/httpd.conf"
    sed -e "s#SCRATCH#$dir#g" -e "s#8444#$lighttpd#" "$here/lighttpd.conf" > "$dir/lighttpd.conf"
    sed -e "s#SCRATCH#$dir#g" -e "s#127.0.0.1:8446#127.0.0.1:$nginx#" "$here/nginx.conf" > "$dir/nginx.conf"
    /usr/sbin/apache2 -f "$dir/httpd.conf" -DFOREGROUND >"$dir/apache.out" 2>&1 &
    echo $! > "$dir/apache.pid"
    /usr/sbin/lighttpd -D -f "$dir/lighttpd.conf" >"$dir/lighttpd.out" 2>&1 &
    echo $! > "$dir/lighttpd.pid"
    /usr/sbin/nginx -c "$dir/nginx.conf" -e "$dir/nginx-error.log" >"$dir/nginx.out" 2>&1 &
    echo $! > "$dir/nginx.pid"
    "$python" "$here/davfake.py" "$fake" "$dir/srv.crt" "$dir/srv.key" >"$dir/davfake.log" 2>&1 &
    echo $! > "$dir/davfake.pid"
    wait_port "$apache" "$(cat "$dir/apache.pid")" apache2
    wait_port "$lighttpd" "$(cat "$dir/lighttpd.pid")" lighttpd
    wait_port "$nginx" "$(cat "$dir/nginx.pid")" nginx
    wait_port "$fake" "$(cat "$dir/davfake.pid")" davfake.py
    cat > "$dir/servers.env" <<ENV
APACHE_PORT=$apache
APACHE_ROOT=$dir/dav
LIGHTTPD_PORT=$lighttpd
LIGHTTPD_ROOT=$dir/ldav
NGINX_PORT=$nginx
NGINX_ROOT=$dir/ndav
FAKE_PORT=$fake
DAV_USER=$user
DAV_PASSWORD=$password
CA_FILE=$dir/ca.crt
ENV
    ;;
stop)
    for file in "$dir"/*.pid; do
        stop_pid_file "$file"
    done
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
