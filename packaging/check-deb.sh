#!/usr/bin/env bash
# Builds the Debian package from a configured (and normally already built) build folder and
# checks it without touching the system: lintian reports no error and no warning, the desktop
# entry validates, apt accepts its dependencies, and corvale-sync runs from the unpacked files. With --install it also installs it for real (`apt install ./corvale_*.deb`,
# for a throwaway Debian 12 machine or container), checks the URL scheme's registration and
# removes the package again.
# Usage: packaging/check-deb.sh [BUILD_DIR] [--install]
set -euo pipefail
build=${1:-build/release}
install=${2:-}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

desktop-file-validate packaging/corvale.desktop
cmake --build "$build" -j2
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/corvale_*.deb | head -n1)
echo "package: $deb"
dpkg-deb --info "$deb" | grep -E "Package|Version|Depends|Recommends"
dpkg-deb --contents "$deb" | awk '{print $6}'

# Errors and warnings fail the check (as does lintian failing to run); notes (I:) and pedantic
# remarks (P:) are only shown.
if ! lintian --fail-on error,warning --tag-display-limit 0 "$deb"; then
    echo "lintian found errors or warnings" >&2
    exit 1
fi
echo "lintian: no errors, no warnings"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work"
desktop-file-validate "$work/usr/share/applications/corvale.desktop"
grep -q '^MimeType=x-scheme-handler/corvale;' "$work/usr/share/applications/corvale.desktop"
"$work/usr/bin/corvale-sync" --version
apt-get install --simulate -qq "./$deb" >/dev/null
echo "apt accepts the package's dependencies"

if [ "$install" = "--install" ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "./$deb" >/dev/null
    corvale-sync --version
    grep -q 'x-scheme-handler/corvale=corvale.desktop' /usr/share/applications/mimeinfo.cache
    echo "installed; the corvale URL scheme is registered"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -qq corvale >/dev/null
fi
