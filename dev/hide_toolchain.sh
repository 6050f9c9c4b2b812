#!/usr/bin/env bash
# Runs a command as if on a machine without a C/C++ compiler and/or without Eigen: in a private
# mount namespace (nothing outside it changes), the compiler drivers are covered with /dev/null
# and the compilers' own directories and the system's header directories with empty read-only
# tmpfs mounts; Eigen's headers, CMake files and pkg-config file likewise. Before running the
# command it checks that no compiler still compiles and no Eigen header is left, and refuses to
# run it otherwise. Needs root, or unprivileged user namespaces.
#   dev/hide_toolchain.sh [--no-compiler] [--no-eigen] -- COMMAND [ARG...]
set -euo pipefail

usage() { echo "usage: dev/hide_toolchain.sh [--no-compiler] [--no-eigen] -- COMMAND [ARG...]" >&2; exit 2; }

no_compiler=0
no_eigen=0
args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
        --no-compiler) no_compiler=1 ;;
        --no-eigen) no_eigen=1 ;;
        --) shift; break ;;
        *) usage ;;
    esac
    shift
done
[ $# -gt 0 ] || usage
[ $((no_compiler + no_eigen)) -gt 0 ] || usage

# First pass: enter a new mount namespace and run this script again inside it. The second
# pass mounts only when its namespace differs from the one it was started from.
outer_ns=${KELMORA_HIDE_TOOLCHAIN_FROM:-}
if [ -z "$outer_ns" ]; then
    userns=()
    [ "$(id -u)" -eq 0 ] || userns=(--map-root-user)
    exec unshare --mount --propagation private "${userns[@]}" \
        env KELMORA_HIDE_TOOLCHAIN_FROM="$(readlink /proc/self/ns/mnt)" bash "${BASH_SOURCE[0]}" "${args[@]}"
fi
unset KELMORA_HIDE_TOOLCHAIN_FROM
if [ "$(readlink /proc/self/ns/mnt)" = "$outer_ns" ]; then
    echo "hide_toolchain: not in a mount namespace of its own: nothing hidden" >&2; exit 1
fi

log() { printf 'hide_toolchain: %s\n' "$*" >&2; }
hidden=()

# An empty read-only directory over DIR.
hide_dir() {
    [ -d "$1" ] || return 0
    mount -t tmpfs -o ro,size=4k,mode=0755 hidden "$1"
    hidden+=("$1/")
}

# /dev/null over FILE (over what a symlink points to): it reads as empty and cannot be executed.
hide_file() {
    [ -e "$1" ] || return 0
    local target
    target=$(realpath "$1")
    [ -f "$target" ] || return 0
    # Several names (cc, gcc, x86_64-linux-gnu-gcc-12) often lead to one file.
    for h in "${hidden[@]}"; do [ "$h" = "$target" ] && return 0; done
    mount --bind /dev/null "$target"
    hidden+=("$target")
}

shopt -s nullglob
if [ $no_eigen -eq 1 ]; then
    for d in /usr/include/eigen3 /usr/local/include/eigen3 /usr/share/eigen3 /usr/local/share/eigen3 \
             /usr/lib/cmake/eigen3 /usr/local/lib/cmake/eigen3 /usr/lib/*-linux-gnu*/cmake/eigen3 \
             "${HOME:-/root}/.cmake/packages/Eigen3"; do
        hide_dir "$d"
    done
    for f in /usr/share/pkgconfig/eigen3.pc /usr/local/share/pkgconfig/eigen3.pc \
             /usr/lib/pkgconfig/eigen3.pc /usr/lib/*-linux-gnu*/pkgconfig/eigen3.pc; do
        hide_file "$f"
    done
fi
compilers=(cc c++ gcc g++ cpp clang clang++)
if [ $no_compiler -eq 1 ]; then
    for dir in /usr/bin /usr/local/bin; do
        for name in "${compilers[@]}" c89 c99; do
            for f in "$dir/$name" "$dir/$name"-[0-9]* "$dir"/*-linux-gnu*-"$name" "$dir"/*-linux-gnu*-"$name"-[0-9]*; do
                hide_file "$f"
            done
        done
    done
    # cc1, cc1plus, collect2 and the linker plugins, and every C and C++ header (Eigen's among them).
    for d in /usr/lib/gcc /usr/libexec/gcc /usr/local/lib/gcc /usr/local/libexec/gcc /usr/include /usr/local/include; do
        hide_dir "$d"
    done
fi

# Refuse to run the command unless the hiding worked.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void) { return 0; }\n' > "$probe/probe.c"
printf '#include <Eigen/Core>\nint main() { return Eigen::Matrix2d::Identity()(0, 0) == 1.0 ? 0 : 1; }\n' > "$probe/probe.cpp"
for c in "${compilers[@]}"; do
    command -v "$c" >/dev/null 2>&1 || continue
    if [ $no_compiler -eq 1 ] && "$c" -x c "$probe/probe.c" -o "$probe/a.out" >/dev/null 2>&1; then
        log "$c still compiles a program: not running the command"; exit 1
    fi
    case "$c" in c++|g++|clang++) ;; *) continue ;; esac
    if [ $no_eigen -eq 1 ] && "$c" -fsyntax-only -I/usr/include/eigen3 -I/usr/local/include/eigen3 \
            "$probe/probe.cpp" >/dev/null 2>&1; then
        log "$c still finds Eigen's headers: not running the command"; exit 1
    fi
done
for f in /usr/include/eigen3/Eigen/Core /usr/local/include/eigen3/Eigen/Core /usr/share/eigen3/cmake/Eigen3Config.cmake; do
    if [ $no_eigen -eq 1 ] && [ -s "$f" ]; then log "$f is still there: not running the command"; exit 1; fi
done
rm -rf "$probe"
trap - EXIT

what=()
[ $no_compiler -eq 1 ] && what+=("no compiler")
[ $no_eigen -eq 1 ] && what+=("no Eigen")
log "$(IFS=,; echo "${what[*]}" | sed 's/,/, /g'): ${#hidden[@]} paths hidden"
exec "$@"
