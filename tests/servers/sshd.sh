#!/usr/bin/env bash
# Starts or stops one OpenSSH sshd for the tests, on 127.0.0.1 and ::1.
#   sshd.sh start DIR [--port N] [--no-sftp] [--keyset NAME] [--rsa-only] [--host-keys TYPES]
#                     [--owner PID]
#       writes DIR/sshd_config, makes host keys in DIR/keys-NAME (kept, so a restart with the
#       same set shows the same keys and another set shows a changed key), offers the host keys
#       of TYPES ("ed25519 ecdsa" unless told, "rsa" with --rsa-only), starts sshd on the
#       given or a free port, waits until it answers, prints the port. DIR/pid has its PID.
#       With --owner, sshd is stopped when that process ends (a test binary that crashed).
#   sshd.sh stop DIR
#       stops that sshd (by its PID) and the connections it serves.
set -euo pipefail
command=${1:?usage: sshd.sh start|stop DIR [options]}
dir=${2:?usage: sshd.sh start|stop DIR [options]}
shift 2

descendants() {
    local pid=$1 child
    for child in $(cat /proc/"$pid"/task/*/children 2>/dev/null); do
        echo "$child"
        descendants "$child"
    done
}

if [ "$command" = stop ]; then
    [ -s "$dir/pid" ] || exit 0
    pid=$(cat "$dir/pid")
    if kill -0 "$pid" 2>/dev/null; then
        kids=$(descendants "$pid")
        kill "$pid" $kids 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" $kids 2>/dev/null || true
    fi
    rm -f "$dir/pid"
    exit 0
fi
[ "$command" = start ] || { echo "sshd.sh: unknown command $command" >&2; exit 2; }

port=""
sftp=yes
keyset=main
rsa_only=no
types=""
owner=""
while [ $# -gt 0 ]; do
    case $1 in
    --port) port=$2; shift 2 ;;
    --no-sftp) sftp=no; shift ;;
    --keyset) keyset=$2; shift 2 ;;
    --rsa-only) rsa_only=yes; shift ;;
    --host-keys) types=$2; shift 2 ;;
    --owner) owner=$2; shift 2 ;;
    *) echo "sshd.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

mkdir -p "$dir" /run/sshd
dir=$(cd "$dir" && pwd)
keys=$dir/keys-$keyset
mkdir -p "$keys"
if [ -z "$types" ]; then
    types="ed25519 ecdsa"
    [ "$rsa_only" = yes ] && types=rsa
fi
for type in $types; do
    [ -s "$keys/host_$type" ] || ssh-keygen -q -t "$type" -N "" -C "kolvan test host" -f "$keys/host_$type"
done

if [ -z "$port" ]; then
    port=$(/usr/bin/python3 -c '
import socket
for _ in range(50):
    s4 = socket.socket(); s4.bind(("127.0.0.1", 0)); port = s4.getsockname()[1]
    try:
        s6 = socket.socket(socket.AF_INET6); s6.bind(("::1", port)); s6.close(); break
    except OSError: pass
    finally: s4.close()
print(port)')
fi

{
    echo "Port $port"
    echo "ListenAddress 127.0.0.1"
    echo "ListenAddress ::1"
    for type in $types; do
        echo "HostKey $keys/host_$type"
    done
    cat <<CONF
PidFile $dir/sshd.pid
UsePAM yes
PasswordAuthentication yes
KbdInteractiveAuthentication yes
PubkeyAuthentication yes
AuthorizedKeysFile .ssh/authorized_keys
PermitRootLogin no
StrictModes no
PermitEmptyPasswords no
MaxStartups 200
MaxSessions 50
MaxAuthTries 10
LoginGraceTime 60
UseDNS no
LogLevel VERBOSE
CONF
    [ "$sftp" = yes ] && echo "Subsystem sftp /usr/lib/openssh/sftp-server"
    cat <<CONF
Match User kvpw
  AuthenticationMethods password
Match User kvsh-*
  AuthenticationMethods password
Match User kvkbd
  AuthenticationMethods keyboard-interactive
Match User kvkey
  AuthenticationMethods publickey
Match User kvnone
  PermitEmptyPasswords yes
CONF
} >"$dir/sshd_config"

/usr/sbin/sshd -t -f "$dir/sshd_config"
/usr/sbin/sshd -D -f "$dir/sshd_config" -E "$dir/sshd.log" </dev/null >/dev/null 2>&1 &
echo $! >"$dir/pid"
for _ in $(seq 100); do
    if /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $port), 0.2).close()" 2>/dev/null; then
        if [ -n "$owner" ]; then
            sshd_pid=$(cat "$dir/pid")
            # Watches by PID; ends with sshd when the test stops it first.
            (
                while kill -0 "$owner" 2>/dev/null && kill -0 "$sshd_pid" 2>/dev/null; do sleep 1; done
                kill -0 "$sshd_pid" 2>/dev/null && "$0" stop "$dir"
            ) </dev/null >/dev/null 2>&1 &
        fi
        echo "$port"
        exit 0
    fi
    kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
    sleep 0.1
done
echo "sshd.sh: sshd did not start on port $port; see $dir/sshd.log" >&2
cat "$dir/sshd.log" >&2 2>/dev/null || true
exit 1
