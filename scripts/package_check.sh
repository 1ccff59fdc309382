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
# dpkg is, it also makes the Debian package with cpack, installs it (its
# dependency on the mail-filter library declared), builds and runs an example
# against the system copy, removes it and checks that no file is left.
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
    if [ -n "$deb_installed" ]; then dpkg --purge orvaclient >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    say "package check FAILED: $*"
    exit 1
}

step() { say "package check: $*"; }

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

# --- the Debian package ---------------------------------------------------
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
    if dpkg-query -W orvaclient >/dev/null 2>&1; then
        say "package check: Debian package step skipped (dpkg knows an orvaclient package here)"
        return
    fi
    step "Debian package: cpack, dpkg -i, use, dpkg -r"
    quietly cpack --config build-pkg/CPackConfig.cmake -G DEB -B "$work/deb"
    local deb
    deb=$(find "$work/deb" -maxdepth 1 -name 'orvaclient_*.deb' -print -quit)
    [ -n "$deb" ] || fail "cpack made no .deb"
    dpkg-deb -c "$deb" | awk '{ print $1, $6 }' | sed 's| \./| /|' >"$work/deb.contents"
    # Directories that exist already belong to the system and stay.
    local kind path
    : >"$work/deb.newdirs"
    while read -r kind path; do
        path=${path%/}
        case $kind in
        d*) [ -n "$path" ] && [ ! -e "$path" ] && printf '%s\n' "$path" >>"$work/deb.newdirs" ;;
        *) [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path exists before installing" ;;
        esac
    done <"$work/deb.contents"

    deb_installed=1
    quietly dpkg -i "$deb"
    /usr/bin/orvaclient -v 2>/dev/null || fail "installed orvaclient -v"
    [ "$(PKG_CONFIG_PATH='' pkg-config --modversion orvaclient)" = 1.0.0 ] ||
        fail "pkg-config does not find the installed package"
    man -w orvaclient >/dev/null 2>&1 || ! command -v man >/dev/null 2>&1 ||
        fail "man does not find orvaclient(1)"
    if [ "$milter" = 1 ]; then
        /usr/sbin/orvamilter -v >/dev/null || fail "installed orvamilter -v"
        man -w 8 orvamilter >/dev/null 2>&1 || ! command -v man >/dev/null 2>&1 ||
            fail "man does not find orvamilter(8)"
        local depends
        depends=$(dpkg-deb -f "$deb" Depends)
        grep -q libmilter <<<"$depends" ||
            fail "the package does not declare its dependency on libmilter ($depends)"
    fi
    quietly cmake -S /usr/share/doc/orvaclient/examples -B "$work/examples-system" \
        -DCMAKE_C_FLAGS="$warnings" -DCMAKE_CXX_FLAGS="$warnings"
    quietly cmake --build "$work/examples-system" --target scan_file
    local found
    found=$(ldd "$work/examples-system/scan_file" | sed -n 's/.*liborvaconn.so.1 => \([^ ]*\).*/\1/p')
    [ -n "$found" ] && [ "$(readlink -f "$found")" = "$(readlink -f /usr/lib/liborvaconn.so.1)" ] ||
        fail "the example does not find the system's liborvaconn.so.1 (found '$found')"

    # Remove, then purge: the package has maintainer scripts (ldconfig), so
    # dpkg keeps its record until it is purged.
    quietly dpkg -r orvaclient
    quietly dpkg --purge orvaclient
    deb_installed=
    if dpkg-query -W orvaclient >/dev/null 2>&1; then
        fail "dpkg still knows the package after dpkg -r and --purge"
    fi
    ! compgen -G '/var/lib/dpkg/info/orvaclient.*' >/dev/null ||
        fail "dpkg left its records of the package"
    while read -r kind path; do
        path=${path%/}
        case $kind in
        d*) ;;
        *) [ ! -e "$path" ] && [ ! -L "$path" ] || fail "dpkg -r left $path" ;;
        esac
    done <"$work/deb.contents"
    while read -r path; do
        [ ! -e "$path" ] || fail "dpkg -r left the directory $path"
    done <"$work/deb.newdirs"
}
deb_step

say "package check passed in $((SECONDS - started)) s"
