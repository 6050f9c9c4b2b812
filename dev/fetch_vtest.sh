#!/usr/bin/env bash
# Provides vtest.avi, the pedestrian clip that `make demo-video` tracks, and prints its path.
# It comes from Debian's opencv-doc package (examples/data): the .deb is fetched once with
# `apt-get download`, only that one file is extracted into the cache folder outside the
# repository, and the .deb is deleted. Later runs find the file and do nothing.
set -euo pipefail

cache=${KELMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelmora}
dest=$cache/opencv-doc/vtest.avi

log() { printf 'fetch_vtest: %s\n' "$*" >&2; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if [ -s "$dest" ]; then
    printf '%s\n' "$dest"
    exit 0
fi

mkdir -p "$(dirname "$dest")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A machine whose package lists were never fetched knows no opencv-doc yet.
if ! apt-cache show opencv-doc >/dev/null 2>&1; then
    log "updating the package lists"
    as_root apt-get update -qq
fi
log "downloading Debian's opencv-doc package (about 100 MB, once)"
# The download runs as the calling user: apt's unprivileged sandbox user cannot write here.
(cd "$work" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" opencv-doc >/dev/null)
deb=$(ls "$work"/opencv-doc_*.deb)

# The clip's path inside the package, compressed or not, whatever the release's layout.
member=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -E '/examples/data/vtest\.avi(\.gz)?$' | head -n 1 || true)
[ -n "$member" ] || { log "no examples/data/vtest.avi in $(basename "$deb")"; exit 1; }

# Extract to a temporary name in the cache folder and rename, so that an interrupted run
# never leaves a truncated clip that a later run would take for the real one.
tmp=$dest.tmp.$$
trap 'rm -rf "$work" "$tmp"' EXIT
if [[ $member == *.gz ]]; then
    dpkg-deb --fsys-tarfile "$deb" | tar -x -O -f - "$member" | gzip -dc > "$tmp"
else
    dpkg-deb --fsys-tarfile "$deb" | tar -x -O -f - "$member" > "$tmp"
fi
[ -s "$tmp" ] || { log "extracted an empty $member"; exit 1; }
mv "$tmp" "$dest"
log "cached $dest ($(stat -c %s "$dest") bytes, from $(basename "$deb"))"
printf '%s\n' "$dest"
