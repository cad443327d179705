#!/bin/sh
# Installs the build into a temporary root as a package would, checks the menu entry, icons
# and software-centre description with the desktop's own validators, and starts what was
# installed. Arguments: the build folder, the project version, the AppStream id.
set -eu
build=$1 version=$2 app_id=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/kv-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The installed program must not see the real user's files.
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" \
    XDG_CACHE_HOME="$work/cache" TMPDIR="$work/tmp"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$TMPDIR"

fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >"$work/install.log" || {
    cat "$work/install.log" >&2
    fail "cmake --install failed"
}
usr="$work/root/usr"

for file in bin/kolvan share/applications/kolvan.desktop share/metainfo/"$app_id".metainfo.xml \
    share/icons/hicolor/scalable/apps/kolvan.svg; do
    [ -f "$usr/$file" ] || fail "$file was not installed"
done
# The data-folder rule looks for the marker beside the program.
[ -f "$usr/bin/kolvan.appdata" ] || fail "the marker is not beside the installed program"

# Hints count too: a missing main category leaves the entry in a catch-all menu section.
report=$(desktop-file-validate "$usr/share/applications/kolvan.desktop" 2>&1) && [ -z "$report" ] ||
    fail "desktop-file-validate: $report"
appstreamcli validate --no-net "$usr/share/metainfo/$app_id.metainfo.xml" || fail "appstreamcli refused the metainfo"

# The entry, the icon and the description must name what was installed.
grep -qx 'Exec=kolvan %U' "$usr/share/applications/kolvan.desktop" || fail "Exec does not start kolvan"
grep -qx 'Icon=kolvan' "$usr/share/applications/kolvan.desktop" || fail "Icon is not kolvan"
grep -q '<launchable type="desktop-id">kolvan.desktop</launchable>' "$usr/share/metainfo/$app_id.metainfo.xml" ||
    fail "the metainfo does not launch kolvan.desktop"
grep -q "<release version=\"$version\"" "$usr/share/metainfo/$app_id.metainfo.xml" ||
    fail "the metainfo does not name release $version"

# Each PNG has the size its folder promises (width and height from the PNG header).
for size in 48 128 256; do
    png="$usr/share/icons/hicolor/${size}x$size/apps/kolvan.png"
    [ -f "$png" ] || fail "the $size px icon was not installed"
    dims=$(od -An -j16 -N8 -tu1 "$png" | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }')
    [ "$dims" = "${size}x$size" ] || fail "the $size px icon is $dims"
done

# --version and --help answer without a display: with the X11 platform forced and no
# DISPLAY, starting Qt would fail.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$usr/bin/kolvan" --version) ||
    fail "kolvan --version failed"
case "$out" in
"Kolvan $version (build "*")") ;;
*) fail "kolvan --version printed: $out" ;;
esac
env -u DISPLAY QT_QPA_PLATFORM=xcb "$usr/bin/kolvan" --help | grep -q '^Usage: kolvan' || fail "kolvan --help"

# The installed program starts with a folder and a bad argument, says what was wrong, and
# keeps running until it is stopped.
mkdir "$work/folder"
status=0
QT_QPA_PLATFORM=offscreen timeout 8 "$usr/bin/kolvan" "$work/folder" "$work/missing" 2>"$work/stderr" || status=$?
[ "$status" -eq 124 ] || { cat "$work/stderr" >&2; fail "the installed kolvan ended with $status before it was stopped"; }
grep -qx "kolvan: $work/missing: No such file or directory" "$work/stderr" || {
    cat "$work/stderr" >&2
    fail "no message for the missing folder"
}

# The Debian package: its dependencies and the files it puts in place.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log" >&2
    fail "cpack -G DEB failed"
}
deb=$(ls "$work/package"/kolvan_"$version"-*.deb) || fail "no kolvan_$version-*.deb"
[ "$(dpkg-deb -f "$deb" Package)" = kolvan ] || fail "the package is not named kolvan"
depends=$(dpkg-deb -f "$deb" Depends)
# libssh2 is opened at run time and the fonts and xdg-open by name, so dpkg-shlibdeps cannot
# see them; the Qt and C libraries come from it.
for needed in libssh2-1 xdg-utils fonts-dejavu-core libqt6widgets6 libc6; do
    echo "$depends" | tr ',' '\n' | sed 's/^ *//' | grep -q "^$needed\( \|$\)" ||
        fail "Depends lacks $needed: $depends"
done
dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/contents"
for file in ./usr/bin/kolvan ./usr/bin/kolvan.appdata ./usr/share/applications/kolvan.desktop \
    ./usr/share/metainfo/"$app_id".metainfo.xml ./usr/share/icons/hicolor/scalable/apps/kolvan.svg \
    ./usr/share/icons/hicolor/48x48/apps/kolvan.png; do
    grep -qx "$file" "$work/contents" || fail "the package lacks $file"
done
if grep -v '^\./$' "$work/contents" | grep -qv '^\./usr/'; then
    fail "the package puts files outside /usr: $(grep -v '^\./usr/' "$work/contents" | tr '\n' ' ')"
fi
echo "installed, validated, started and packaged"
