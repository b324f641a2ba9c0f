#!/usr/bin/env bash
# Builds and tests this checkout inside a Debian 13 system (Python 3.13,
# NumPy 2, g++ 14). The system is made once with debootstrap and cached
# outside the clone; each run copies the tracked files in afresh.
set -euo pipefail

ROOT=${QUORVEL_TRIXIE_ROOT:-/var/cache/quorvel/trixie}
MIRROR=${QUORVEL_TRIXIE_MIRROR:-http://deb.debian.org/debian}
PACKAGES=make,g++,pkg-config,meson,ninja-build,libgtest-dev,libfast-float-dev,python3-dev,python3-venv,python3-pip,python3-numpy,python3-mesonpy,python3-pytest,python3-hypothesis,python3-scipy
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "test-debian13: needs root (debootstrap, chroot and mounts)" >&2
    exit 1
fi

if [ ! -x "$ROOT/usr/bin/python3" ]; then
    command -v debootstrap >/dev/null || {
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
    }
    rm -rf "$ROOT.partial"
    mkdir -p "$(dirname "$ROOT")"
    echo "test-debian13: creating $ROOT with debootstrap (once)"
    debootstrap --variant=minbase --include="$PACKAGES" trixie "$ROOT.partial" "$MIRROR" \
        > "$(dirname "$ROOT")/debootstrap.log" 2>&1 || {
        tail -20 "$(dirname "$ROOT")/debootstrap.log" >&2
        exit 1
    }
    mv "$ROOT.partial" "$ROOT"
fi

# A fresh copy of the tracked files (and untracked, unignored ones).
rm -rf "$ROOT/src/quorvel"
mkdir -p "$ROOT/src/quorvel"
(cd "$here" && git ls-files -co --exclude-standard -z | tar cf - --null --ignore-failed-read -T - 2>/dev/null) \
    | tar xf - -C "$ROOT/src/quorvel"
cp /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true

mounted=()
cleanup() {
    for m in "${mounted[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; done
}
trap cleanup EXIT
for fs in proc dev sys; do
    mountpoint -q "$ROOT/$fs" || { mount --bind "/$fs" "$ROOT/$fs"; mounted=("$ROOT/$fs" "${mounted[@]}"); }
done

chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 CI="${CI:-}" \
    /bin/bash -c 'cd /src/quorvel && python3 --version && python3 -c "import numpy; print(\"numpy\", numpy.__version__)" && g++ --version | head -1 && make test'
