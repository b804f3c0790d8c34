# Sourced by tools/setup.sh and tools/test.sh. Installs through apt (Debian and Ubuntu) what
# building vexlo needs and the machine lacks, and makes virtual environments, since a
# distribution's own python3 refuses packages installed outside one.

as_root() {
    if [ "$(id -u)" = 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "vexlo: '$*' needs root; run it as root or install sudo" >&2
        exit 1
    fi
}

# Installs the named Debian packages; nothing when none are named.
apt_install() {
    [ $# -gt 0 ] || return 0
    if ! command -v apt-get >/dev/null; then
        echo "vexlo: missing $*; install them with your package manager" >&2
        exit 1
    fi
    echo "vexlo: installing $* through apt"
    apt_get update -qq
    apt_get install -y -qq "$@"
}

# Runs apt-get as root, its output dropped unless it fails. Another apt or dpkg run (an
# unattended upgrade, a parallel set-up) may hold the package locks: they are waited for, up to
# five minutes, rather than failing at once. apt-get waits for the dpkg lock itself when given a
# timeout, but not for the package lists' lock, so a run refused a lock is tried again.
apt_get() {
    local deadline=$((SECONDS + 300)) status err told=
    while :; do
        status=0
        err=$(as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get -o DPkg::Lock::Timeout=300 "$@" 2>&1 >/dev/null) || status=$?
        [ "$status" = 0 ] && return 0
        if [[ $err != *"Could not get lock"* ]] || [ "$SECONDS" -ge "$deadline" ]; then
            printf '%s\n' "$err" >&2
            return "$status"
        fi
        [ -n "$told" ] || echo "vexlo: waiting for another apt run to release its lock"
        told=1
        sleep 5
    done
}

# Whether the C++ compiler $1 builds C++23 code that uses std::expected (g++ 12 or newer).
cxx23_works() {
    command -v "$1" >/dev/null || return 1
    printf '#include <expected>\nint main() { std::expected<int, int> e{0}; return *e; }\n' |
        "$1" -std=c++23 -x c++ - -o /dev/null >/dev/null 2>&1
}

# A compiler, the Python headers and venv module, and the zlib and libdeflate headers; exports CXX when the
# default compiler is too old and a newer one had to be installed beside it.
install_build_prereqs() {
    local python=$1 missing=()
    cxx23_works "${CXX:-g++}" || missing+=(g++)
    "$python" -c 'import os, sysconfig, sys
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
        missing+=(python3-dev)
    "$python" -c 'import ensurepip, venv' 2>/dev/null || missing+=(python3-venv)
    [ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
    [ -f /usr/include/libdeflate.h ] || missing+=(libdeflate-dev)
    apt_install "${missing[@]}"
    if ! cxx23_works "${CXX:-g++}"; then
        # An older release's default g++ lacks C++23's <expected>; its g++-12 has it.
        cxx23_works g++-12 || apt_install g++-12
        export CXX=g++-12
    fi
}

# Makes the virtual environment $2 with interpreter $1 unless it is already there.
make_venv() {
    [ -x "$2/bin/python" ] || "$1" -m venv "${@:3}" "$2"
}
