#!/usr/bin/env bash
# The FTP servers of the network tests, on free loopback ports in a scratch folder.
#   ftp.sh start DIR          make certificates, the vsftpd user and configurations; start
#                             vsftpd twice (explicit and implicit FTPS, session reuse required),
#                             pyftpdlib plain (MLSD, faults) and pyftpdlib with explicit TLS and a
#                             self-signed certificate; write DIR/servers.env (NAME=VALUE lines)
#   ftp.sh pinned DIR CERT    restart the self-signed server on its port with DIR/CERT.crt
#   ftp.sh stop DIR           stop what was started, by PID
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
python=/usr/bin/python3
command="$1"
dir="$2"
# One local user per scratch folder, so runs side by side do not move each other's home.
user="kvftp-$(printf '%s' "$dir" | md5sum | cut -c1-8)"
password=kvftp-pass

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

vsftpd_config() { # NAME PORT IMPLICIT
    cat > "$dir/vsftpd-$1.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$2
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
pam_service_name=vsftpd
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir=$dir/empty
pasv_enable=YES
pasv_address=127.0.0.1
ssl_enable=YES
allow_anon_ssl=NO
force_local_logins_ssl=YES
force_local_data_ssl=YES
require_ssl_reuse=YES
ssl_ciphers=HIGH
implicit_ssl=$3
rsa_cert_file=$dir/srv.crt
rsa_private_key_file=$dir/srv.key
xferlog_enable=YES
vsftpd_log_file=$dir/vsftpd-$1.log
dual_log_enable=YES
log_ftp_protocol=YES
CONF
    chown root:root "$dir/vsftpd-$1.conf"
    chmod 600 "$dir/vsftpd-$1.conf"
}

start_pinned() { # CERT PORT
    "$python" "$here/pyftpd.py" "$2" tls "$dir/pinroot" "$dir/fault-pinned" "$dir/$1.crt" "$dir/$1.key" \
        >"$dir/pyftpd-pinned.log" 2>&1 &
    echo $! > "$dir/pinned.pid"
    wait_port "$2" "$(cat "$dir/pinned.pid")" "pyftpdlib (self-signed)"
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
    mkdir -p "$dir/empty" "$dir/vsroot" "$dir/pyroot" "$dir/pinroot"
    chmod 755 "$dir" "$dir/empty"
    "$python" "$here/certs.py" "$dir"
    # vsftpd logs in local users only; the user's home is this run's folder.
    if id "$user" >/dev/null 2>&1; then
        usermod -d "$dir/vsroot" "$user"
    else
        useradd -M -d "$dir/vsroot" -s /bin/bash "$user"
    fi
    echo "$user:$password" | chpasswd
    chown "$user" "$dir/vsroot"
    explicit=$(free_port); implicit=$(free_port); plain=$(free_port); pinned=$(free_port)
    vsftpd_config explicit "$explicit" NO
    vsftpd_config implicit "$implicit" YES
    for name in explicit implicit; do
        vsftpd "$dir/vsftpd-$name.conf" >"$dir/vsftpd-$name.out" 2>&1 &
        echo $! > "$dir/vsftpd-$name.pid"
    done
    "$python" "$here/pyftpd.py" "$plain" plain "$dir/pyroot" "$dir/fault-plain" >"$dir/pyftpd-plain.log" 2>&1 &
    echo $! > "$dir/pyftpd-plain.pid"
    wait_port "$explicit" "$(cat "$dir/vsftpd-explicit.pid")" "vsftpd (explicit)"
    wait_port "$implicit" "$(cat "$dir/vsftpd-implicit.pid")" "vsftpd (implicit)"
    wait_port "$plain" "$(cat "$dir/pyftpd-plain.pid")" "pyftpdlib (plain)"
    start_pinned self1 "$pinned"
    cat > "$dir/servers.env" <<ENV
VSFTPD_EXPLICIT_PORT=$explicit
VSFTPD_IMPLICIT_PORT=$implicit
VSFTPD_USER=$user
VSFTPD_PASSWORD=$password
VSFTPD_ROOT=$dir/vsroot
PYFTPD_PORT=$plain
PYFTPD_ROOT=$dir/pyroot
PYFTPD_FAULT=$dir/fault-plain
PINNED_PORT=$pinned
PINNED_ROOT=$dir/pinroot
CA_FILE=$dir/ca.crt
ENV
    ;;
pinned)
    port=$(sed -n 's/^PINNED_PORT=//p' "$dir/servers.env")
    stop_pid_file "$dir/pinned.pid"
    start_pinned "$3" "$port"
    ;;
stop)
    for file in "$dir"/*.pid; do
        stop_pid_file "$file"
    done
    # Sessions of clients that just left may still run as the user for a moment.
    for _ in $(seq 1 20); do
        id "$user" >/dev/null 2>&1 || break
        userdel "$user" 2>/dev/null || sleep 0.1
    done
    if id "$user" >/dev/null 2>&1; then
        userdel -f "$user" 2>/dev/null || true
    fi
    ;;
*)
    echo "usage: $0 start|pinned|stop DIR [CERT]" >&2
    exit 2
    ;;
esac
