#!/usr/bin/env bash
# Starts or stops a Telnet server for the tests on 127.0.0.1, logging in through /bin/login.
#   telnetd.sh start DIR busybox|inetutils   prints "PORT PID"; makes the user kvtelnet
#   telnetd.sh stop DIR                      stops it by its PID
# busybox telnetd listens itself; inetutils telnetd serves one connection on its standard
# input, so socat accepts and hands each connection over (nofork: the socket is stdin).
set -euo pipefail
command=${1:?usage: telnetd.sh start|stop DIR [busybox|inetutils]}
dir=${2:?usage: telnetd.sh start|stop DIR [busybox|inetutils]}
mkdir -p "$dir"

if [ "$command" = stop ]; then
    [ -s "$dir/pid" ] || exit 0
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    exit 0
fi

kind=${3:?usage: telnetd.sh start DIR busybox|inetutils}
[ "$(id -u)" -eq 0 ] || { echo "telnetd.sh: needs root to make the test user" >&2; exit 1; }
if ! id kvtelnet >/dev/null 2>&1; then
    useradd -m -s /bin/bash kvtelnet 2>/dev/null || id kvtelnet >/dev/null
fi
echo 'kvtelnet:Tn-5.secret' | chpasswd

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
case "$kind" in
busybox)
    command -v busybox >/dev/null || { echo "telnetd.sh: busybox is missing (busybox-static)" >&2; exit 1; }
    busybox telnetd -F -p "$port" -b 127.0.0.1 -l /bin/login >"$dir/telnetd.log" 2>&1 &
    ;;
inetutils)
    [ -x /usr/sbin/telnetd ] || { echo "telnetd.sh: /usr/sbin/telnetd is missing (inetutils-telnetd)" >&2; exit 1; }
    command -v socat >/dev/null || { echo "telnetd.sh: socat is missing" >&2; exit 1; }
    socat "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork" "EXEC:/usr/sbin/telnetd -h,nofork" \
        >"$dir/telnetd.log" 2>&1 &
    ;;
*) echo "telnetd.sh: unknown server $kind" >&2; exit 1 ;;
esac
pid=$!
echo "$pid" >"$dir/pid"
for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || { echo "telnetd.sh: $kind did not start; see $dir" >&2; exit 1; }
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        echo "$port $pid"
        exit 0
    fi
    sleep 0.05
done
echo "telnetd.sh: $kind did not answer" >&2
exit 1
