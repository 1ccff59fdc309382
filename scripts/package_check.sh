#!/usr/bin/env bash
# Checks the package as a user gets it. A Release build in build-pkg is
# installed into a temporary prefix; the examples installed with it are built
# against it (CMake find_package, and the C one also with pkg-config) and run,
# with the installed client, against the installed stand-in server (Unix
# socket and TCP) on a clean file, the standard anti-virus test file and a
# curable one; the shared
# library must export exactly the functions its headers declare, and the
# static one must have no other global names; the manual
# pages must render without warnings; the installed mail filter must start
# against the installed stand-in and stop cleanly on SIGTERM (where the
# system's mail-filter library is, so that it was built). Run as root where
# dpkg is, it also makes the Debian packages with cpack (client, library,
# development files, stand-in, mail filter) and installs, uses and purges
# each in turn: the filter's package must make its user, group and spool
# folder, start as its service starts it (systemd-analyze verify checks the
# unit where it is), and leave nothing behind when purged.
#
# Usage: scripts/package_check.sh
#   ORVA_PACKAGE_DEB=0  skips the Debian package step.
# Takes well under two minutes; leaves only build-pkg behind.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/orva-package.XXXXXX")
server_pid=
deb_installed=

cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    if [ -n "$deb_installed" ]; then deb_purge_all; fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    say "package check FAILED: $*"
    exit 1
}

step() { say "package check: $*"; }

# still_running PID: the process exists and has not exited (a zombie that
# waits to be reaped has exited).
still_running() {
    [ -r "/proc/$1/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

# Runs a command with its output kept in $work/out; fails with it shown when
# the command fails.
quietly() {
    if ! "$@" >"$work/out" 2>&1; then
        cat "$work/out" >&2
        fail "command failed: $*"
    fi
}

# The tools: a compiler and make for the build, pkg-config and nm for the
# checks. The manual pages need man or groff, installed below if missing.
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v make >/dev/null 2>&1 || missing+=(make)
command -v gcc >/dev/null 2>&1 || missing+=(gcc)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v pkg-config >/dev/null 2>&1 || missing+=(pkgconf)
command -v nm >/dev/null 2>&1 || missing+=(binutils)
[ ${#missing[@]} = 0 ] || install_packages "${missing[@]}"

warnings="-Wall -Wextra -Wpedantic -Wshadow -Werror"
jobs=$(nproc 2>/dev/null || echo 2)

# --- build and install ---------------------------------------------------
step "Release build in build-pkg"
quietly cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DORVA_BUILD_TESTS=OFF \
    -DORVA_WERROR=ON
quietly cmake --build build-pkg -j "$jobs"

prefix=$work/prefix
quietly cmake --install build-pkg --prefix "$prefix"
pc_file=$(find "$prefix" -name orvaclient.pc -print -quit)
[ -n "$pc_file" ] || fail "no orvaclient.pc installed"
libdir=$(cd "$(dirname "$pc_file")/.." && pwd)

for file in bin/orvaclient bin/orvaserver-standin include/orvaclient/client/connection.h \
    include/orvaclient/client/connect.h include/orvaclient/client/commands.h \
    include/orvaclient/client/result_codes.h include/orvaclient/client/scan.h \
    include/orvaclient/client/transfer.h include/orvaclient/client/server_list.h \
    include/orvaclient/digest/md5.h \
    share/man/man1/orvaclient.1 share/man/man1/orvaserver-standin.1 share/man/man3/liborvaconn.3 \
    share/doc/orvaclient/examples/CMakeLists.txt share/doc/orvaclient/examples/scan_file.c \
    share/doc/orvaclient/examples/scan_file.cpp share/doc/orvaclient/examples/scan_many.c \
    share/orvaclient/signatures.txt; do
    [ -e "$prefix/$file" ] || fail "not installed: $file"
done
# The mail filter is built where the system's mail-filter library is.
milter=0
if have_milter_library; then
    milter=1
    for file in sbin/orvamilter share/man/man8/orvamilter.8; do
        [ -e "$prefix/$file" ] || fail "not installed: $file"
    done
else
    say "package check: no libmilter-dev here; orvamilter is not checked"
fi
# The internal headers stay in the source tree.
for file in include/orvaclient/client/internal.h include/orvaclient/digest/md5_text.h; do
    [ ! -e "$prefix/$file" ] || fail "installed, though internal: $file"
done
for file in liborvaconn.a liborvaconn.so liborvaconn.so.1 cmake/orvaclient/orvaclientConfig.cmake \
    cmake/orvaclient/orvaclientConfigVersion.cmake cmake/orvaclient/orvaclientTargets.cmake; do
    [ -e "$libdir/$file" ] || fail "not installed: ${libdir#"$prefix"/}/$file"
done

# --- the shared library's interface ---------------------------------------
step "exported symbols (shared and static) and soname"
soname=$(LC_ALL=C readelf -d "$libdir/liborvaconn.so" 2>/dev/null |
    sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
[ "$soname" = liborvaconn.so.1 ] || fail "soname is '$soname', not liborvaconn.so.1"
# The functions that the installed headers declare: a line that starts with
# the return type and names a lower-case function before "(". Both
# directions must match: each declared function exported, and nothing
# exported that the headers do not declare (the internal helpers included).
grep -hE '^[A-Za-z_][A-Za-z0-9_ ]*[ *][a-z_][a-z0-9_]*\(' "$prefix"/include/orvaclient/*/*.h |
    grep -vE '^(typedef|struct) ' |
    sed -E 's/^[^(]*[ *]([a-z_][a-z0-9_]*)\(.*/\1/' | sort -u >"$work/declared"
nm -D --defined-only "$libdir/liborvaconn.so" |
    awk '$2 ~ /^[TWDBRGSVi]$/ { sub(/@.*/, "", $3); print $3 }' | sort -u >"$work/exported"
[ -s "$work/declared" ] || fail "no function found in the installed headers"
if ! diff "$work/declared" "$work/exported" >"$work/symbols.diff"; then
    say "< declared in the headers but not exported, > exported but not declared:"
    cat "$work/symbols.diff" >&2
    fail "liborvaconn.so does not export exactly the C API"
fi
# The static library's global names are the same functions and no others: a
# program that links it may define any other name (write_all, say).
nm -g --defined-only "$libdir/liborvaconn.a" |
    awk 'NF == 3 && $2 ~ /^[TWDBRGSVi]$/ { print $3 }' | sort -u >"$work/static"
if ! diff "$work/declared" "$work/static" >"$work/static.diff"; then
    say "< declared in the headers but not defined, > global in liborvaconn.a but not declared:"
    cat "$work/static.diff" >&2
    fail "liborvaconn.a does not define exactly the C API as its global names"
fi

# --- the examples ---------------------------------------------------------
step "examples with find_package"
examples=$prefix/share/doc/orvaclient/examples
quietly cmake -S "$examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="$warnings" -DCMAKE_CXX_FLAGS="$warnings"
quietly cmake --build "$work/examples" -j "$jobs"
# (Outputs are kept before grep -q looks at them: an early exit of grep would
# fail the pipe.)
libraries=$(ldd "$work/examples/scan_file")
grep -q "liborvaconn.so.1 => $libdir/" <<<"$libraries" ||
    fail "scan_file does not use the installed shared library"
libraries=$(ldd "$work/examples/scan_file_cpp")
if grep -q liborvaconn <<<"$libraries"; then
    fail "scan_file_cpp should link the static library"
fi

step "C example with pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion orvaclient)" = 1.0.0 ] || fail "pkg-config version"
# shellcheck disable=SC2046,SC2086 # the flags are words
quietly gcc -std=c99 $warnings $(pkg-config --cflags orvaclient) "$examples/scan_file.c" \
    -o "$work/scan_file_pc" $(pkg-config --libs orvaclient) \
    -Wl,-rpath,"$(pkg-config --variable=libdir orvaclient)"

# --- against the installed stand-in server --------------------------------
step "examples and client against the installed stand-in server"
socket=$work/standin.sock
"$prefix/bin/orvaserver-standin" --socket "$socket" --tcp 0 \
    --signatures "$prefix/share/orvaclient/signatures.txt" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
    [ -S "$socket" ] && grep -q '^tcp-port ' "$work/server.log" && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.log" >&2; fail "server ended"; }
    sleep 0.1
done
[ -S "$socket" ] || fail "the stand-in server did not listen on $socket"
tcp_port=$(sed -n 's/^tcp-port \([0-9]*\)$/\1/p' "$work/server.log")
[ -n "$tcp_port" ] || fail "the stand-in server did not print its TCP port"

mkdir "$work/files"
printf 'nothing to see here\n' >"$work/files/clean.txt"
# The standard anti-virus test file, assembled so that this script is not one.
printf '%s%s\n' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-' \
    'ANTIVIRUS-TEST-FILE!$H+H*' >"$work/files/test-virus.com"

# A file with the test file inside it, which the server can cure.
{
    printf 'a message\n'
    cat "$work/files/test-virus.com"
    printf 'the end\n'
} >"$work/files/curable.txt"
# A pattern that the sample signatures report as a warning.
printf 'built with STANDIN-SAMPLE-PACKER\n' >"$work/files/packed.bin"

# check_example PROGRAM ADDRESS FILE [cure] STATUS LINE... : runs an example
# and compares its standard output and exit status.
check_example() {
    local program=$1 address=$2 file=$3 cure=() status=0
    shift 3
    if [ "$1" = cure ]; then
        cure=(cure)
        shift
    fi
    local want_status=$1
    shift
    "$program" "$address" "$file" "${cure[@]}" >"$work/got" 2>"$work/err" || status=$?
    printf '%s\n' "$@" >"$work/want"
    if [ "$status" != "$want_status" ] || ! cmp -s "$work/got" "$work/want"; then
        say "$(basename "$program") $file: status $status, want $want_status; output:"
        cat "$work/got" "$work/err" >&2
        say "wanted:"
        cat "$work/want" >&2
        fail "unexpected output from $(basename "$program")"
    fi
}
cd "$work/files"
files=$(pwd -P)
test_digest=$(md5sum test-virus.com | awk '{ print toupper($1) }')
for program in "$work/examples/scan_file" "$work/examples/scan_file_cpp" "$work/scan_file_pc"; do
    check_example "$program" "$socket" clean.txt 0 "clean.txt OK"
    check_example "$program" "$socket" test-virus.com 1 "test-virus.com INFECTED" \
        "infected EICAR-Test-File $files/test-virus.com"
    check_example "$program" "$socket" packed.bin 1 "packed.bin WARNING" \
        "warning Sample.Packer $files/packed.bin"
    # Over TCP the file is uploaded; the server names it by its digest.
    check_example "$program" "127.0.0.1:$tcp_port" test-virus.com 1 "test-virus.com INFECTED" \
        "infected EICAR-Test-File $test_digest"
    # The cured copy replaces the file, which then scans clean.
    cp curable.txt cured.txt
    check_example "$program" "$socket" cured.txt cure 1 "cured.txt CURED" \
        "cured EICAR-Test-File $files/cured.txt"
    check_example "$program" "$socket" cured.txt 0 "cured.txt OK"
    [ "$(wc -c <cured.txt)" = "$(wc -c <curable.txt)" ] || fail "the cured copy has another size"
done

# The caller-owned poll loop: three files at once, over both transports.
status=0
"$work/examples/scan_many" "$socket,127.0.0.1:$tcp_port" clean.txt test-virus.com packed.bin \
    >"$work/got" 2>&1 || status=$?
printf 'clean.txt OK\ntest-virus.com INFECTED\npacked.bin WARNING\n' >"$work/want"
cmp -s "$work/got" "$work/want" && [ "$status" = 1 ] || {
    cat "$work/got" >&2
    fail "scan_many: status $status"
}

# The installed client itself: scan, exit statuses, check mode.
client=$prefix/bin/orvaclient
status=0
"$client" -p "$socket" -s clean.txt test-virus.com >"$work/got" 2>&1 || status=$?
printf 'clean.txt OK\ntest-virus.com INFECTED\nLINFECTED EICAR-Test-File\n' >"$work/want"
cmp -s "$work/got" "$work/want" && [ "$status" = 4 ] || {
    cat "$work/got" >&2
    fail "orvaclient -s: status $status"
}
status=0
"$client" -p "$socket" -c >"$work/got" 2>&1 || status=$?
[ "$status" = 0 ] && grep -q '^RECORDS [0-9]' "$work/got" || {
    cat "$work/got" >&2
    fail "orvaclient -c: status $status"
}
cd - >/dev/null

# The installed mail filter: it listens, then SIGTERM ends it with status 0
# and its socket gone.
if [ "$milter" = 1 ]; then
    step "orvamilter against the installed stand-in server"
    mkdir "$work/spool"
    "$prefix/sbin/orvamilter" -f -e -l "unix:$work/milter.sock" -s "$socket" -d "$work/spool" \
        >"$work/milter.log" 2>&1 &
    milter_pid=$!
    wait_for_socket "$work/milter.sock" "$milter_pid" ||
        { cat "$work/milter.log" >&2; fail "orvamilter did not listen"; }
    kill -TERM "$milter_pid"
    status=0
    wait "$milter_pid" || status=$?
    [ "$status" = 0 ] && [ ! -e "$work/milter.sock" ] || {
        cat "$work/milter.log" >&2
        fail "orvamilter did not stop cleanly (status $status)"
    }
fi

kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=
[ ! -e "$socket" ] || fail "the stand-in server left its socket behind"

# --- manual pages ---------------------------------------------------------
step "manual pages"
if ! command -v man >/dev/null 2>&1 && ! command -v groff >/dev/null 2>&1; then
    install_packages man-db groff-base || true
fi
pages=("$prefix"/share/man/man1/orvaclient.1 "$prefix"/share/man/man1/orvaserver-standin.1
    "$prefix"/share/man/man3/liborvaconn.3)
names=(orvaclient orvaserver-standin)
if [ "$milter" = 1 ]; then
    pages+=("$prefix"/share/man/man8/orvamilter.8)
    names+=(orvamilter)
fi
if command -v groff >/dev/null 2>&1; then
    for page in "${pages[@]}"; do
        groff -man -ww -z "$page" 2>"$work/groff.err"
        [ ! -s "$work/groff.err" ] || { cat "$work/groff.err" >&2; fail "warnings in $page"; }
    done
fi
if command -v man >/dev/null 2>&1; then
    for name in "${names[@]}"; do
        MANWIDTH=80 man -P cat -M "$prefix/share/man" "$name" 2>/dev/null >"$work/page" || true
        grep -q 'EXIT STATUS' "$work/page" || fail "man $name does not render from the prefix"
    done
    MANWIDTH=80 man -P cat -M "$prefix/share/man" 3 liborvaconn 2>/dev/null >"$work/page" || true
    grep -q 'RETURN VALUE' "$work/page" || fail "man liborvaconn does not render from the prefix"
elif command -v groff >/dev/null 2>&1; then
    for page in "${pages[@]}"; do
        groff -man -Tutf8 "$page" >"$work/page" 2>&1 || true
        grep -qE 'EXIT|RETURN' "$work/page" || fail "$page does not render"
    done
else
    say "package check: neither man nor groff available; manual pages not rendered"
fi

# --- the Debian packages --------------------------------------------------
# Each package is installed, used and purged in turn (the stand-in first, for
# the others to talk to), under the lock of the machine-global steps; after
# each purge nothing of it may be left: no file, no folder it made, and for
# the mail filter no user, group or spool folder.
deb_packages=(orvaserver-standin orvaclient liborvaconn1 liborvaconn-dev orvamilter)

deb_purge_all() {
    local package
    for package in orvamilter liborvaconn-dev liborvaconn1 orvaclient orvaserver-standin; do
        dpkg --purge "$package" >/dev/null 2>&1 || true
    done
}

# deb_contents PACKAGE: its files, and the folders that do not exist yet.
deb_contents() {
    local deb=$1 kind path
    dpkg-deb -c "$deb" | awk '{ print $1, $6 }' | sed 's| \./| /|' >"$work/contents.$2"
    : >"$work/newdirs.$2"
    while read -r kind path; do
        path=${path%/}
        case $kind in
        d*) [ -n "$path" ] && [ ! -e "$path" ] && printf '%s\n' "$path" >>"$work/newdirs.$2" ;;
        *) [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path exists before installing $2" ;;
        esac
    done <"$work/contents.$2"
}

# deb_gone PACKAGE: dpkg forgot it and nothing of it stayed.
deb_gone() {
    local package=$1 kind path
    ! dpkg-query -W "$package" >/dev/null 2>&1 || fail "dpkg still knows $package after --purge"
    ! compgen -G "/var/lib/dpkg/info/$package.*" >/dev/null ||
        fail "dpkg left its records of $package"
    while read -r kind path; do
        path=${path%/}
        case $kind in
        d*) ;;
        *) [ ! -e "$path" ] && [ ! -L "$path" ] || fail "purging $package left $path" ;;
        esac
    done <"$work/contents.$package"
    while read -r path; do
        [ ! -e "$path" ] || fail "purging $package left the directory $path"
    done <"$work/newdirs.$package"
}

deb_install() {
    local package=$1
    deb_contents "$work/deb/${package}_1.0.0_"*.deb "$package"
    deb_installed=1
    quietly dpkg -i "$work/deb/${package}_1.0.0_"*.deb
}

deb_purge() {
    quietly dpkg --purge "$1"
    deb_gone "$1"
}

deb_uses() {
    local socket=$work/deb-standin.sock pid status found
    # The stand-in, which the other packages' programs then talk to. Its
    # socket is open to the filter's user.
    deb_install orvaserver-standin
    chmod 755 "$work"
    /usr/bin/orvaserver-standin --socket "$socket" \
        --signatures /usr/share/orvaclient/signatures.txt >"$work/deb-standin.log" 2>&1 &
    server_pid=$!
    wait_for_socket "$socket" "$server_pid" || fail "the installed stand-in did not listen"
    chmod 666 "$socket"

    deb_install orvaclient
    status=0
    /usr/bin/orvaclient -p "$socket" -s "$work/files/test-virus.com" >"$work/got" || status=$?
    [ "$status" = 4 ] && grep -q '^LINFECTED EICAR-Test-File$' "$work/got" ||
        fail "the installed orvaclient: status $status"
    man -w orvaclient >/dev/null 2>&1 || ! command -v man >/dev/null 2>&1 ||
        fail "man does not find orvaclient(1)"

    deb_install liborvaconn1
    deb_install liborvaconn-dev
    [ "$(PKG_CONFIG_PATH='' pkg-config --modversion orvaclient)" = 1.0.0 ] ||
        fail "pkg-config does not find the installed package"
    quietly cmake -S /usr/share/doc/orvaclient/examples -B "$work/examples-system" \
        -DCMAKE_C_FLAGS="$warnings" -DCMAKE_CXX_FLAGS="$warnings"
    quietly cmake --build "$work/examples-system" --target scan_file
    found=$(ldd "$work/examples-system/scan_file" | sed -n 's/.*liborvaconn.so.1 => \([^ ]*\).*/\1/p')
    [ -n "$found" ] && [ "$(readlink -f "$found")" = "$(readlink -f /usr/lib/liborvaconn.so.1)" ] ||
        fail "the example does not find the system's liborvaconn.so.1 (found '$found')"
    check_example "$work/examples-system/scan_file" "$socket" "$work/files/clean.txt" 0 \
        "$work/files/clean.txt OK"

    if [ "$milter" = 1 ]; then
        deb_install orvamilter
        local depends
        depends=$(dpkg-deb -f "$work/deb/orvamilter_1.0.0_"*.deb Depends)
        grep -q libmilter <<<"$depends" ||
            fail "orvamilter does not declare its dependency on libmilter ($depends)"
        getent passwd orvamilter >/dev/null && getent group orvamilter >/dev/null ||
            fail "installing orvamilter made no user and group orvamilter"
        [ "$(stat -c '%U:%G %a' /var/spool/orvamilter)" = "orvamilter:orvamilter 750" ] ||
            fail "the spool folder is $(stat -c '%U:%G %a' /var/spool/orvamilter)"
        grep -q '^ORVAMILTER_OPTIONS=' /etc/default/orvamilter || fail "no /etc/default/orvamilter"
        if command -v systemd-analyze >/dev/null 2>&1; then
            systemd-analyze verify /usr/lib/systemd/system/orvamilter.service >"$work/verify" 2>&1 ||
                { cat "$work/verify" >&2; fail "systemd-analyze verify orvamilter.service"; }
        fi
        # As the service starts it, on the installed stand-in.
        quietly /usr/sbin/orvamilter -C -u orvamilter:orvamilter -s "$socket" -d /var/spool/orvamilter
        mkdir -p "$work/run"
        status=0
        /usr/sbin/orvamilter -u orvamilter:orvamilter -P "$work/run/orvamilter.pid" \
            -l "unix:$work/run/orvamilter.sock" -s "$socket" -d /var/spool/orvamilter \
            2>"$work/deb-milter.err" || status=$?
        [ "$status" = 0 ] || { cat "$work/deb-milter.err" >&2; fail "the installed orvamilter: status $status"; }
        pid=$(cat "$work/run/orvamilter.pid")
        [ -S "$work/run/orvamilter.sock" ] || fail "the installed orvamilter does not listen"
        [ "$(stat -c %U "/proc/$pid")" = orvamilter ] || fail "orvamilter does not run as its user"
        kill -TERM "$pid"
        # The daemon's parent is the system's first process, which may reap
        # it late: a process that has exited counts as stopped.
        for _ in $(seq 100); do still_running "$pid" || break; sleep 0.05; done
        ! still_running "$pid" || fail "the installed orvamilter did not stop"
        deb_purge orvamilter
        ! getent passwd orvamilter >/dev/null && ! getent group orvamilter >/dev/null ||
            fail "purging orvamilter left its user or group"
        [ ! -e /var/spool/orvamilter ] && [ ! -e /var/lib/orvamilter ] ||
            fail "purging orvamilter left its spool or state folder"
    fi
    deb_purge liborvaconn-dev
    deb_purge liborvaconn1
    deb_purge orvaclient
    kill "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    server_pid=
    deb_purge orvaserver-standin
    deb_installed=
}

deb_step() {
    if [ "${ORVA_PACKAGE_DEB:-1}" = 0 ]; then
        say "package check: Debian package step skipped (ORVA_PACKAGE_DEB=0)"
        return
    fi
    if [ "$(id -u)" != 0 ] || ! command -v dpkg >/dev/null 2>&1 ||
        ! command -v cpack >/dev/null 2>&1; then
        say "package check: Debian package step skipped (needs root, dpkg and cpack)"
        return
    fi
    local package
    for package in "${deb_packages[@]}"; do
        if dpkg-query -W "$package" >/dev/null 2>&1; then
            say "package check: Debian package step skipped (dpkg knows a $package package here)"
            return
        fi
    done
    if [ "$milter" = 1 ] && { getent passwd orvamilter || getent group orvamilter; } >/dev/null; then
        say "package check: Debian package step skipped (a user or group orvamilter exists)"
        return
    fi
    step "Debian packages: cpack, then dpkg -i, use and dpkg --purge of each"
    quietly cpack --config build-pkg/CPackConfig.cmake -G DEB -B "$work/deb"
    for package in "${deb_packages[@]}"; do
        [ "$package" != orvamilter ] || [ "$milter" = 1 ] || continue
        compgen -G "$work/deb/${package}_1.0.0_*.deb" >/dev/null || fail "cpack made no $package"
    done
    # dpkg and the system user are the machine's: one package check at a time.
    exec 8>/tmp/orva-global.lock
    flock 8
    deb_uses
    flock -u 8
}
deb_step

say "package check passed in $((SECONDS - started)) s"
