# Shared steps of the project's scripts: checking the tools and building.
# Sourced by demo.sh, test.sh and bench.sh; defines functions only.

say() { printf '%s\n' "$*" >&2; }

# Installs the Debian packages given when running as root, or names them and
# fails otherwise.
install_packages() {
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        say "installing: $*"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >&2 && apt-get install -y -qq "$@" >&2 && return 0
        say "apt-get could not install: $*"
        return 1
    fi
    say "missing tools; install them with: sudo apt-get install $*"
    return 1
}

have_header() { [ -f "/usr/include/$1" ] || [ -f "/usr/local/include/$1" ]; }

have_library() {
    local found
    for found in /usr/lib/*/"$1".* /usr/lib/"$1".* /usr/local/lib/"$1".*; do
        [ -e "$found" ] && return 0
    done
    return 1
}

# cmake, make, a C and C++ compiler and GoogleTest.
ensure_build_tools() {
    local missing=()
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    command -v make >/dev/null 2>&1 || missing+=(make)
    command -v g++ >/dev/null 2>&1 || missing+=(g++)
    command -v gcc >/dev/null 2>&1 || missing+=(gcc)
    { have_header gtest/gtest.h && have_library libgtest; } || missing+=(libgtest-dev)
    [ ${#missing[@]} = 0 ] || install_packages "${missing[@]}"
}

# The system's mail-filter library, which orvamilter is built on, and
# miltertest, which plays the mail server in its tests; and HAProxy, the
# load balancer that the test of several scanning servers runs in front of
# stand-ins (its package's service is not needed: the test starts its own).
have_milter_library() { have_header libmilter/mfapi.h && have_library libmilter; }

ensure_milter_tools() {
    local missing=()
    have_milter_library || missing+=(libmilter-dev)
    command -v miltertest >/dev/null 2>&1 || missing+=(miltertest)
    [ -x /usr/sbin/haproxy ] || command -v haproxy >/dev/null 2>&1 || missing+=(haproxy)
    [ ${#missing[@]} = 0 ] || install_packages "${missing[@]}"
}

# Postfix, for the mail filter's end-to-end test and its benchmark, which run
# private instances of their own. As root it is installed without a
# configuration and without being started (a policy-rc.d that refuses is put
# in place for the install where there is none), under the lock of the
# machine-global steps; otherwise the test says why it skips.
ensure_postfix() {
    [ -x /usr/sbin/postfix ] && [ -x /usr/sbin/smtp-source ] && return 0
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        say "Postfix is not installed: its end-to-end test skips (sudo apt-get install postfix)"
        return 0
    fi
    (
        flock 9
        local policy=/usr/sbin/policy-rc.d added=
        if [ ! -e "$policy" ]; then
            printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod 755 "$policy" && added=1
        fi
        echo 'postfix postfix/main_mailer_type select No configuration' | debconf-set-selections
        install_packages postfix || true
        [ -z "$added" ] || rm -f "$policy"
    ) 9>/tmp/orva-global.lock
}

# wait_for_socket PATH PID: waits up to five seconds for the program PID to
# listen on the Unix socket PATH; fails when it ends first or the time is up.
wait_for_socket() {
    local _
    for _ in $(seq 100); do
        [ -S "$1" ] && return 0
        kill -0 "$2" 2>/dev/null || return 1
        sleep 0.05
    done
    [ -S "$1" ]
}

# clang with its sanitizer runtime, for the sanitizer build of the tests.
ensure_clang_sanitizers() {
    local missing=()
    command -v clang++ >/dev/null 2>&1 || missing+=(clang)
    compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan-*.a' >/dev/null ||
        missing+=(libclang-rt-dev)
    [ ${#missing[@]} = 0 ] || install_packages "${missing[@]}"
}

# g++ able to build and link 32-bit x86 programs, and the GoogleTest sources
# that a 32-bit build of the tests compiles (the installed libraries are
# 64-bit only).
ensure_m32_tools() {
    local missing=() probe
    probe=$(mktemp)
    printf 'int main() { return 0; }\n' | g++ -m32 -x c++ - -o "$probe" >/dev/null 2>&1 ||
        missing+=(g++-multilib)
    rm -f "$probe"
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
    [ ${#missing[@]} = 0 ] || install_packages "${missing[@]}"
    ensure_m32_execution
}

# Some kernels are built or booted without 32-bit emulation ("Exec format
# error"). There the 32-bit test programs run under qemu's user-mode
# emulator, registered with binfmt_misc so that the programs the tests start
# (the client, the stand-in server) run through it too.
ensure_m32_execution() {
    local probe ok=1
    probe=$(mktemp)
    printf 'int main() { return 0; }\n' | g++ -m32 -x c++ - -o "$probe" >/dev/null 2>&1
    "$probe" >/dev/null 2>&1 || ok=0
    if [ $ok = 0 ]; then
        say "this kernel does not run 32-bit programs; running them under qemu-i386"
        command -v qemu-i386-static >/dev/null 2>&1 || install_packages qemu-user-static
        register_qemu_i386
        "$probe" >/dev/null 2>&1 && ok=1
    fi
    rm -f "$probe"
    [ $ok = 1 ] || { say "32-bit programs cannot run here (no qemu-i386 binfmt handler)"; return 1; }
}

register_qemu_i386() {
    local binfmt=/proc/sys/fs/binfmt_misc
    [ "$(id -u)" = 0 ] || { say "registering qemu-i386 with binfmt_misc needs root"; return 1; }
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" || return 1
    [ -e "$binfmt/qemu-i386" ] && return 0
    # The ELF header of an i386 executable or shared object (PIE), as qemu's
    # own binfmt configuration matches it. F opens the emulator now, so it
    # also serves programs started in other mount namespaces; P keeps the
    # program name (argv[0]) as the caller gave it.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FP' \
        >"$binfmt/register"
}

# configure_and_build DIR [cmake options...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)"
}
