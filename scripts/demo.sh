#!/usr/bin/env bash
# The main job: builds the client and the stand-in server if needed, starts
# the server on a socket in a temporary folder, and shows the client checking
# it, scanning a clean file, the standard anti-virus test file and a file
# with a warning, curing an infected letter, a folder scanned as a tree on
# several connections and files scanned over TCP; then the mail filter
# orvamilter checking its configuration and passing a clean and an infected
# message (the mail-filter library and miltertest are installed as root;
# without them the filter is left out and the demo says so). Every command is shown with its output
# and exit status. The servers and the folder are gone at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh

ensure_build_tools
# The mail filter's library and test tool: installed as root, named otherwise
# (the demo then leaves the filter out).
ensure_milter_tools || true
say "building the client, the stand-in server and the mail filter in build/ ..."
# Only the programs the demo runs; the test command builds the rest.
programs=(orvaclient orvaserver-standin)
with_milter=
if have_milter_library && command -v miltertest >/dev/null 2>&1; then
    with_milter=1
    programs+=(orvamilter)
fi
cmake -S . -B build -DORVA_WERROR=ON >/dev/null
cmake --build build --target "${programs[@]}" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/orva-demo-XXXXXX")
server_pid=
milter_pid=
cleanup() {
    local pid
    for pid in "$milter_pid" "$server_pid"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

heading() { printf '\n== %s ==\n' "$*"; }

# Shows a client command as a user would type it in the demo folder, runs
# it, and shows its exit status; a non-zero status is the point, not a failure.
client() {
    printf '\n$ orvaclient %s\n' "$*"
    local status=0
    "$root/build/orvaclient" "$@" || status=$?
    printf '[exit status %d]\n' "$status"
}

show_file() {
    printf -- '--- %s ---\n' "$1"
    cat "$1"
    printf -- '--- end ---\n'
}

# The server: the sample signatures and one key record.
socket=$work/standin.sock
"$root/build/orvaserver-standin" --socket "$socket" \
    --signatures "$root/standin/signatures.txt" \
    --key "1a2b-3c4d-5e6f 31122027 5 L 100" --tcp 0 >"$work/server.log" 2>&1 &
server_pid=$!
# The socket appears once the server accepts connections.
for _ in $(seq 100); do
    [ -S "$socket" ] && break
    if ! kill -0 "$server_pid" 2>/dev/null; then
        say "the stand-in server did not start:"
        cat "$work/server.log" >&2
        exit 1
    fi
    sleep 0.05
done
[ -S "$socket" ] || { say "the stand-in server did not come up within 5 seconds"; exit 1; }

# Sample files. The test file is written from two halves so that this script
# itself does not hold the complete test string.
cd "$work"
test_head='X5O!P%@AP[4\PZX54(P^)7CC)7}'
test_tail='$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'
printf 'Quarterly report\nAll figures are in order.\n' >report.txt
printf '%s%s' "$test_head" "$test_tail" >eicar.com
printf 'Dear reader,\n%s%s\nThe rest of this letter is harmless.\n' \
    "$test_head" "$test_tail" >letter.txt
printf 'Installer built with STANDIN-SAMPLE-PACKER\n' >setup.bin

printf 'orvaserver-standin (pid %s) listens on %s\n' "$server_pid" "$socket"
printf 'The demo runs in that folder: report.txt is clean, eicar.com is the standard\n'
printf 'anti-virus test file, letter.txt has the test file inside it, and setup.bin\n'
printf 'carries a pattern that the sample signatures report as a warning.\n'

heading "check mode: the server's database and key records"
client -p standin.sock -c

heading "scan mode: one line per file, then the names found; the status is the verdict's"
client -p standin.sock -s report.txt
client -p standin.sock -s eicar.com
client -p standin.sock -s setup.bin
printf "\nWith several files the exit status is the last file's:\n"
client -p standin.sock -s eicar.com report.txt

heading "cure: the server returns a cured copy, which replaces the file"
show_file letter.txt
client -p standin.sock -u -s letter.txt
show_file letter.txt
client -p standin.sock -s letter.txt

heading "a file that is nothing but the threat cannot be cured"
client -p standin.sock -u -s eicar.com

heading "a folder as a tree, on four connections; the status is the whole run's"
mkdir -p inbox/2024 inbox/2025
cp report.txt inbox/2024/report.txt
cp setup.bin inbox/2025/setup.bin
cp eicar.com inbox/2025/eicar.com
printf 'Minutes of the meeting\n' >inbox/minutes.txt
client -p standin.sock -r -j 4 -s inbox

heading "a scanning server over TCP: the files are uploaded when it asks"
port=$(sed -n 's/^tcp-port //p' "$work/server.log")
client -t "127.0.0.1:$port" -s report.txt eicar.com

heading "the mail filter: messages from a mail server, scanned on their way in"
if [ -z "$with_milter" ]; then
    printf 'skipped: it needs the mail-filter library and its test tool\n'
    printf '(sudo apt-get install libmilter-dev miltertest)\n'
else
    mkdir spool
    printf '\nFirst its configuration check: the spool folder, a probe file, the server.\n'
    printf '$ orvamilter -C -s %s -d %s\n' "$socket" "$work/spool"
    status=0
    "$root/build/orvamilter" -C -s "$socket" -d "$work/spool" || status=$?
    printf '[exit status %d]\n\n' "$status"
    "$root/build/orvamilter" -f -e -l "unix:$work/milter.sock" -s "$socket" -d "$work/spool" \
        2>"$work/milter.log" &
    milter_pid=$!
    wait_for_socket "$work/milter.sock" "$milter_pid" ||
        { cat "$work/milter.log" >&2; say "orvamilter did not start"; exit 1; }
    printf 'orvamilter (pid %s) listens on unix:%s and scans with the server above;\n' \
        "$milter_pid" "$work/milter.sock"
    printf 'miltertest plays the mail server and passes it two messages.\n'

    # session FILE ID EXPECT ANSWER [Content-Type]: one message through the
    # filter, with the answer it must give.
    session() {
        local kind=status
        [ "$3" = accept ] || kind=reply
        local args=(-s "$root/tests/milter/session.lua" -D "socket=unix:$work/milter.sock"
            -D "body=$1" -D "id=$2" -D "expect=$3" -D "$kind=$4" -D show=1)
        [ $# -lt 5 ] || args+=(-D "ctype=$5")
        printf '\n$ miltertest ... (message %s, body %s)\n' "$2" "$1"
        miltertest "${args[@]}" || say "unexpected answer from orvamilter"
    }
    printf 'Hello,\r\nthe quarterly figures are attached as text.\r\n' >clean.eml
    {
        printf -- '--b1\r\nContent-Type: text/plain\r\n\r\nSee the attachment.\r\n'
        printf -- '--b1\r\nContent-Type: application/octet-stream\r\n'
        printf 'Content-Disposition: attachment; filename="setup.com"\r\n'
        printf 'Content-Transfer-Encoding: base64\r\n\r\n'
        printf '%s%s' "$test_head" "$test_tail" | base64 | sed 's/$/\r/'
        printf -- '--b1--\r\n'
    } >attachment.eml
    session clean.eml DEMO1 accept OK
    printf '\nThe second one carries the test file as a base64 attachment:\n'
    sed 's/^/  /' attachment.eml | tr -d '\r'
    session attachment.eml DEMO2 reject "550 5.7.1 Message refused: INFECTED EICAR-Test-File" \
        'multipart/mixed; boundary="b1"'

    kill -TERM "$milter_pid"
    wait "$milter_pid" || true
    milter_pid=
    printf '\nThe filter logs one line per message (syslog, or standard error with -e):\n'
    sed 's/^/  /' "$work/milter.log"
    printf 'Its spool folder is empty again: %s\n' "$(ls -A spool | wc -l) files"
fi

heading "stopping the server"
kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=
if [ -e "$socket" ]; then
    printf 'the socket is still there\n'
else
    printf 'the server has ended and removed its socket\n'
fi
