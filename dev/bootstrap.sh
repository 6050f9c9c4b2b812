#!/usr/bin/env bash
# Provides everything the project needs on a fresh Debian 12 or 13 machine:
# system packages (Eigen 3.4, compiler, PostgreSQL for the service tests), CPython 3.13
# with headers, the project's .venv with the pinned Python dependencies, and the evaluator's test
# sequences in the cache.
# A second run does no work.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${KELMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelmora}
venv=$repo/.venv
stamp=$venv/.requirements.stamp

log() { printf 'bootstrap: %s\n' "$*" >&2; }

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

apt_updated=0
apt_install() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ $apt_updated -eq 0 ]; then as_root apt-get update -qq; apt_updated=1; fi
    log "installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

debian_major=$(cut -d. -f1 /etc/debian_version 2>/dev/null || echo 0)
case "$debian_major" in
    12|13) ;;
    *) if grep -q '^trixie\|^forky\|^sid' /etc/debian_version 2>/dev/null; then debian_major=13; else
           log "unsupported system: $(cat /etc/debian_version 2>/dev/null || echo unknown)"; exit 1; fi ;;
esac

apt_install build-essential libeigen3-dev pkg-config
# OpenCV's cv2 module (opencv-python, pinned in requirements.txt) loads libGL and GLib at import;
# a minimal Debian has neither. GLib's package took a t64 suffix in Debian 13.
if [ "$debian_major" -ge 13 ]; then apt_install libgl1 libglib2.0-0t64; else apt_install libgl1 libglib2.0-0; fi

# PostgreSQL for the tests of shared tuning studies (make test-services), which start a server of
# their own in a temporary data directory. Debian's package would also create and start a
# system-wide "main" cluster; a drop-in read by postgresql-common's createcluster.conf turns that
# off before the package is installed.
if ! dpkg-query -W -f='${Status}' postgresql 2>/dev/null | grep -q 'install ok installed'; then
    as_root mkdir -p /etc/postgresql-common/createcluster.d
    printf '# Written by kelmora_cpp dev/bootstrap.sh: tests start their own servers.\ncreate_main_cluster = false\n' \
        | as_root tee /etc/postgresql-common/createcluster.d/kelmora-no-main-cluster.conf >/dev/null
    apt_install postgresql
fi

# unshare and mount: the wheel checks hide the compilers and Eigen in a mount namespace.
apt_install util-linux mount

# The first Debian mirror named in the machine's own apt configuration.
debian_mirror() {
    local uri
    uri=$(grep -h -E '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
            | awk '{print $2}' | grep -v -i security | head -n 1 || true)
    if [ -z "$uri" ]; then
        uri=$(grep -h -E '^\s*deb\s' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
                | grep -v -i security | awk '{for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' | head -n 1 || true)
    fi
    [ -n "$uri" ] || { log "no Debian mirror found in the apt configuration"; exit 1; }
    printf '%s\n' "$uri"
}

# CPython 3.13 with headers: from apt on Debian 13; on Debian 12 built once from
# the upstream tarball of Debian's python3.13 source package (trixie) into the cache.
build_python_from_debian_source() {
    local prefix=$1 work
    apt_install dpkg-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
        libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev xz-utils
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/sourceparts"
    printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s trixie main\n' \
        "$(debian_mirror)" > "$work/apt/sources.list"
    local aptopts=(-o "APT::Sandbox::User=root"
                   -o "Dir::Etc::SourceList=$work/apt/sources.list"
                   -o "Dir::Etc::SourceParts=$work/apt/sourceparts"
                   -o "Dir::State::Lists=$work/apt/lists"
                   -o "Dir::Cache=$work/apt/cache")
    log "fetching the python3.13 source package (trixie) through a private apt configuration"
    apt-get "${aptopts[@]}" update -qq
    (cd "$work" && apt-get "${aptopts[@]}" source --download-only -qq python3.13 >/dev/null)
    local tarball
    tarball=$(ls "$work"/python3.13_*.orig.tar.* | head -n 1)
    mkdir -p "$work/src"
    tar -xf "$tarball" -C "$work/src" --strip-components=1
    log "building CPython $(basename "$tarball" | sed 's/python3.13_\(.*\)\.orig.*/\1/') into $prefix (a few minutes, once)"
    (cd "$work/src" && ./configure -q --prefix="$prefix" --with-ensurepip=install >/dev/null \
        && make -s -j"$(nproc)" >/dev/null 2>&1 && make -s install >/dev/null 2>&1)
    "$prefix/bin/python3.13" -c 'import ssl, sqlite3, lzma, bz2, ctypes' \
        || { log "the CPython build lacks a standard module"; exit 1; }
}

if [ "$debian_major" -ge 13 ]; then
    apt_install python3.13 python3.13-dev python3.13-venv
    python=/usr/bin/python3.13
else
    prefix=$cache/cpython-3.13
    python=$prefix/bin/python3.13
    if [ ! -x "$python" ] || [ ! -f "$prefix/.complete" ]; then
        rm -rf "$prefix"
        build_python_from_debian_source "$prefix"
        touch "$prefix/.complete"
    fi
fi

# The project's virtual environment with the pinned dependencies.
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    rm -rf "$venv"
    log "creating .venv"
    "$python" -m venv "$venv"
fi
want=$(sha256sum "$repo/requirements.txt" | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    log "installing the pinned Python dependencies"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q -r "$repo/requirements.txt"
    printf '%s\n' "$want" > "$stamp"
fi

# Two real MOT15 sequences for the evaluator's tests (dev/fetch_tud.sh, once, into the cache).
bash "$repo/dev/fetch_tud.sh" >/dev/null
