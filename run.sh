#!/usr/bin/env bash
# Installs what Kolvan needs, builds it in release mode and starts it.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/packages.sh
kv_install_packages "${KV_BUILD_PACKAGES[@]}" "${KV_RUN_PACKAGES[@]}"

cmake -G Ninja -UKV_AREAS -S . -B build -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF >/dev/null
cmake --build build

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<'MSG'
Kolvan is built (build/kolvan) but there is no display to show it on.
Start it inside a virtual one with:   xvfb-run -s "-screen 0 1280x800x24" ./run.sh
(xvfb-run comes with the Debian package xvfb.)
MSG
    exit 1
fi
exec ./build/kolvan "$@"
