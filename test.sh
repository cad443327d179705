#!/usr/bin/env bash
# Installs everything the tests need, builds them with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/packages.sh
kv_install_packages "${KV_BUILD_PACKAGES[@]}" "${KV_RUN_PACKAGES[@]}" "${KV_TEST_PACKAGES[@]}"

cmake -G Ninja -UKV_AREAS -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON >/dev/null
cmake --build build-test

# The SSH peers: test users, client keys, and one start of sshd to show that it runs here. The
# tests start their own sshd and asyncssh instances from tests/servers/.
export KV_SSH_STATE="$PWD/build-test/servers/ssh"
if ! tests/servers/ssh-setup.sh "$KV_SSH_STATE"; then
    if [ "${CI:-}" = true ]; then
        echo "The SSH test servers cannot start here." >&2
        exit 1
    fi
    echo "The SSH test servers cannot start here: the ssh_servers tests will skip." >&2
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
cd build-test
ctest --output-on-failure --timeout 900 "$@"
