#!/usr/bin/env bash
# Checks a Debian package of Mirelune: its files, its computed dependencies, that the
# programs start from a copy unpacked into a temporary folder, and that the menu entry
# and the AppStream metadata validate. Usage: bash scripts/check-package.sh DEB
set -euo pipefail
deb="${1:?usage: $0 DEB}"
failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

contents="$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')"
expected=(
    /usr/bin/mirelune
    /usr/bin/mirelune-room
    /usr/share/applications/org.mirelune.Mirelune.desktop
    /usr/share/metainfo/org.mirelune.Mirelune.metainfo.xml
    /usr/share/icons/hicolor/scalable/apps/mirelune.svg
    /usr/share/man/man1/mirelune-room.1
    /usr/share/mirelune/Sounds/bell.wav
)
for size in 16 24 32 48 64 128 256; do
    expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/mirelune.png")
done
for file in "${expected[@]}"; do
    grep -qx -- "$file" <<<"$contents" || fail "the package lacks $file"
done
# Nothing of the build tree (tests, benchmark programs, static libraries) goes in.
if grep -E '\.(a|h)$|_tests$|/bin/mirelune-(load|bench|resource)' <<<"$contents"; then
    fail "the package holds build-only files"
fi

depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
for library in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6network6 libqt6widgets6 libqt6multimedia6 libqt6dbus6 \
    libminiupnpc17 libssl3; do
    tr ',' '\n' <<<"$depends" | awk '{print $1}' | grep -qxF "$library" || fail "Depends lacks $library"
done

# Fonts are recommended, not required: the programs run without them, but Japanese
# text and colour emoji need them to show.
recommends="$(dpkg-deb -f "$deb" Recommends)"
for font in fonts-ipafont-gothic fonts-noto-color-emoji; do
    tr ',|' '\n\n' <<<"$recommends" | awk '{print $1}' | grep -qxF "$font" || fail "Recommends lacks $font"
done

root="$(mktemp -d "${TMPDIR:-/tmp}/mirelune-deb.XXXXXX")"
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
version="$(dpkg-deb -f "$deb" Version)"
# No display is needed to ask either program for its version.
for program in mirelune-room mirelune; do
    out="$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$program" --version)" || fail "$program --version failed"
    grep -qF "$version" <<<"$out" || fail "$program --version printed '$out', not $version"
done
env -u DISPLAY "$root/usr/bin/mirelune" --help | grep -q -- '--version' || fail "mirelune --help"

desktop-file-validate "$root/usr/share/applications/org.mirelune.Mirelune.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.mirelune.Mirelune.metainfo.xml" || fail "appstreamcli"
if command -v man >/dev/null; then
    man -l "$root/usr/share/man/man1/mirelune-room.1" >/dev/null 2>&1 || fail "the man page does not format"
fi

if [ "$failed" -ne 0 ]; then
    exit 1
fi
echo "package $(basename "$deb") checked: ${#expected[@]} files, programs start, validators pass"
