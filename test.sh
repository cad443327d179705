#!/usr/bin/env bash
# Installs everything the tests need, builds them with AddressSanitizer and
# UndefinedBehaviorSanitizer (or, with --release, optimized), and runs every test. Exits non-zero
# on any failure.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/packages.sh
kv_install_packages "${KV_BUILD_PACKAGES[@]}" "${KV_RUN_PACKAGES[@]}" "${KV_TEST_PACKAGES[@]}"

# --release runs the same suite on an optimized build without sanitizers, as users run Kolvan:
# timing and order faults that the slow sanitizer build hides show there.
build=build-test
config=(-DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON)
if [ "${1:-}" = --release ]; then
    shift
    build=build-release-test
    config=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE=OFF)
fi
cmake -G Ninja -UKV_AREAS -S . -B "$build" "${config[@]}" >/dev/null
cmake --build "$build"

# The SSH peers: test users, client keys, and one start of sshd to show that it runs here. The
# tests start their own sshd and asyncssh instances from tests/servers/.
export KV_SSH_STATE="$PWD/$build/servers/ssh"
if ! tests/servers/ssh-setup.sh "$KV_SSH_STATE"; then
    if [ "${CI:-}" = true ]; then
        echo "The SSH test servers cannot start here." >&2
        exit 1
    fi
    echo "The SSH test servers cannot start here: the SSH tests will skip (and fail unless KV_ALLOW_SKIPS=1)." >&2
fi

# A skipped test reads as passed, so every skip fails unless its reason is in
# tests/allowed-skips.txt (what this kind of machine cannot do); KV_ALLOW_SKIPS=1 ./test.sh lets
# every skip pass outside CI. The allowed ones are listed at the end.
[ "${KV_ALLOW_SKIPS:-}" = 1 ] || export KV_STRICT_SKIPS=1
export KV_SKIP_LOG="$PWD/$build/allowed-skips.log"
rm -f "$KV_SKIP_LOG"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
cd "$build"
status=0
ctest --output-on-failure --timeout 900 "$@" || status=$?
if [ -s "$KV_SKIP_LOG" ]; then
    echo "Skips allowed by tests/allowed-skips.txt:"
    sed 's/^/    /' "$KV_SKIP_LOG"
fi
exit "$status"
