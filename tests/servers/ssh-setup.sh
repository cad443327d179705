#!/usr/bin/env bash
# Prepares the SSH test peers; safe to run many times, also by two test runs at once.
#   ssh-setup.sh STATE_DIR
# Makes one test user per login method (kvpw: password, kvkbd: keyboard-interactive, kvkey:
# public key, kvnone: an empty password that the "none" method accepts), client keys in
# STATE_DIR/keys (ed25519 without and with a passphrase, ECDSA, and RSA, which libssh2 1.10
# cannot use), and STATE_DIR/ssh.env with what the tests need. Then starts sshd once on a
# free port to show that it works, and stops it. Needs root (useradd). Exits non-zero when
# anything is missing.
set -euo pipefail
state=${1:?usage: ssh-setup.sh STATE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$state/keys"
state=$(cd "$state" && pwd)

for tool in /usr/sbin/sshd /usr/lib/openssh/sftp-server ssh-keygen sftp; do
    command -v "$tool" >/dev/null || { echo "ssh-setup: $tool is missing (openssh-server, openssh-sftp-server, openssh-client)" >&2; exit 1; }
done
/usr/bin/python3 -c 'import asyncssh' 2>/dev/null || { echo "ssh-setup: python3-asyncssh is missing" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "ssh-setup: needs root to make the test users" >&2; exit 1; }
mkdir -p /run/sshd
chmod 0755 /run/sshd

password_kvpw='Pw-1.secret'
password_kvkbd='Kbd-2.secret'
passphrase='Key-3.phrase'

make_user() {
    local user=$1
    if ! id "$user" >/dev/null 2>&1; then
        # Another run may be making the same user right now.
        useradd -m -s /bin/bash "$user" 2>/dev/null || id "$user" >/dev/null
    fi
    local home
    home=$(getent passwd "$user" | cut -d: -f6)
    mkdir -p "$home/.ssh"
    chown "$user:" "$home" "$home/.ssh"
    chmod 0755 "$home"
    chmod 0700 "$home/.ssh"
}

for user in kvpw kvkbd kvkey kvnone; do
    make_user "$user"
done
echo "kvpw:$password_kvpw" | chpasswd
echo "kvkbd:$password_kvkbd" | chpasswd
# The key user gets a password nobody uses, so that PAM counts the account as usable.
echo "kvkey:$(head -c 12 /dev/urandom | base64)" | chpasswd
passwd -d kvnone >/dev/null

# One user per login shell for the shell tests, with kvpw's password. A missing shell is an
# error like any missing tool: leaving its user out made its tests skip, and a skip reads as a
# pass.
for shell in dash zsh mksh ksh93; do
    path=$(command -v "$shell" || true)
    [ -n "$path" ] || { echo "ssh-setup: $shell is missing (package ${shell%93})" >&2; exit 1; }
    make_user "kvsh-$shell"
    usermod -s "$path" "kvsh-$shell"
    echo "kvsh-$shell:$password_kvpw" | chpasswd
    # Without a .zshrc zsh greets a new user with its set-up menu, which eats typed input.
    home=$(getent passwd "kvsh-$shell" | cut -d: -f6)
    touch "$home/.zshrc"
    chown "kvsh-$shell:" "$home/.zshrc"
    # sshd passes no locale here; in the C locale zsh's line editor mangles typed non-ASCII
    # names, where a real server's zsh user has a UTF-8 locale.
    if [ "$shell" = zsh ] && ! grep -qs '^export LANG=' "$home/.zshenv"; then
        echo 'export LANG=C.UTF-8' >>"$home/.zshenv"
        chown "kvsh-$shell:" "$home/.zshenv"
    fi
done

keys=$state/keys
make_key() {
    local file=$1 type=$2 phrase=$3 bits=${4:-}
    [ -s "$file" ] && [ -s "$file.pub" ] && return 0
    rm -f "$file" "$file.pub"
    ssh-keygen -q -t "$type" ${bits:+-b "$bits"} -N "$phrase" -C "kolvan test" -f "$file"
}
make_key "$keys/id_ed25519" ed25519 ""
make_key "$keys/id_ed25519_phrase" ed25519 "$passphrase"
make_key "$keys/id_ecdsa" ecdsa "" 256
make_key "$keys/id_rsa" rsa "" 2048
chmod 0600 "$keys"/id_*
chmod 0644 "$keys"/*.pub

# Lines are only added, never removed, so that runs at the same time do not undo each other.
authorized=/home/kvkey/.ssh/authorized_keys
touch "$authorized"
for pub in "$keys"/*.pub; do
    line=$(cat "$pub")
    grep -qxF "$line" "$authorized" || echo "$line" >>"$authorized"
done
chown kvkey: "$authorized"
chmod 0600 "$authorized"

cat >"$state/ssh.env" <<ENV
KV_SSH_PASSWORD_KVPW=$password_kvpw
KV_SSH_PASSWORD_KVKBD=$password_kvkbd
KV_SSH_PASSPHRASE=$passphrase
KV_SSH_KEYS=$keys
KV_SSH_SCRIPTS=$here
ENV

# One start and stop shows that sshd runs here.
probe=$state/probe
rm -rf "$probe"
port=$("$here/sshd.sh" start "$probe")
"$here/sshd.sh" stop "$probe"
echo "ssh-setup: sshd started on port $port and stopped; state in $state"
