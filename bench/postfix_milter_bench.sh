#!/usr/bin/env bash
# The mail filter in front of a real Postfix: messages per second that a
# private Postfix on loopback takes from Postfix's own load tool smtp-source
# (20 sessions, 4 KiB messages, delivered to the discard: transport), through
# a listener with orvamilter and through one without it, alternately in one
# run. The scanning server is the stand-in. Prints the medians, their ratio
# and the target (the filter keeps at least 0.80 of the plain rate).
#
# Usage: bench/postfix_milter_bench.sh ORVAMILTER STANDIN [--quick]
# Needs root (Postfix's master starts as root) and the Debian package
# postfix; says why it skips otherwise. Leaves nothing running or behind.
set -euo pipefail

milter_binary=$1
standin_binary=$2
quick=${3:-}
target=0.80
messages=2000
rounds=5
if [ "$quick" = --quick ]; then
    messages=400
    rounds=3
fi
label="Postfix + orvamilter, 20 sessions, 4 KiB (msg/s)"

skip() {
    printf '%-44s skipped: %s\n' "$label" "$*"
    exit 0
}
[ "$(id -u)" = 0 ] || skip "Postfix's master must be started as root"
[ -x /usr/sbin/postfix ] && [ -x /usr/sbin/smtp-source ] ||
    skip "Postfix is not installed (Debian package postfix)"
getent passwd postfix >/dev/null || skip "no user postfix"

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null ||
        shuf -i 20000-60000 -n 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/orva-postfix-bench.XXXXXX")
chmod 755 "$work"
server_pid=
milter_pid=
postfix_started=
cleanup() {
    if [ -n "$postfix_started" ]; then
        postfix -c "$work/conf" stop >/dev/null 2>&1 || true
        for _ in $(seq 100); do
            [ -e "$work/queue/pid/master.pid" ] && kill -0 "$(cat "$work/queue/pid/master.pid")" 2>/dev/null ||
                break
            sleep 0.1
        done
    fi
    local pid
    for pid in "$milter_pid" "$server_pid"; do
        [ -z "$pid" ] || { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
    done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/conf" "$work/queue" "$work/data" "$work/spool"
chown postfix "$work/data"
"$standin_binary" --socket "$work/scanner.sock" >"$work/standin.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -S "$work/scanner.sock" ] && break; sleep 0.05; done
"$milter_binary" -f -e -l "unix:$work/milter.sock" -s "$work/scanner.sock" -d "$work/spool" \
    -M 0666 2>"$work/milter.log" &
milter_pid=$!
for _ in $(seq 100); do grep -q ' listening on ' "$work/milter.log" && break; sleep 0.05; done
grep -q ' listening on ' "$work/milter.log" || { cat "$work/milter.log" >&2; skip "orvamilter did not start"; }

plain_port=$(free_port)
filtered_port=$(free_port)
cat >"$work/conf/main.cf" <<CONF
compatibility_level = 3.6
queue_directory = $work/queue
data_directory = $work/data
inet_interfaces = loopback-only
inet_protocols = ipv4
myhostname = bench.orva.test
mydestination =
mynetworks = 127.0.0.0/8
relay_domains = bench.test
default_transport = discard:
relay_transport = discard:
alias_maps =
alias_database =
in_flow_delay = 0s
milter_default_action = tempfail
CONF
cat >"$work/conf/master.cf" <<CONF
127.0.0.1:$plain_port inet n - n - - smtpd
127.0.0.1:$filtered_port inet n - n - - smtpd -o smtpd_milters=unix:$work/milter.sock
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
CONF
postfix -c "$work/conf" start >"$work/postfix.log" 2>&1 || { cat "$work/postfix.log" >&2; skip "Postfix did not start"; }
postfix_started=1

# One load run against PORT: messages per second, once every message has been
# accepted and the queue has drained again.
load() {
    local port=$1 start end
    start=$(date +%s.%N)
    smtp-source -s 20 -l 4096 -m "$messages" -f sender@src.test -t user@bench.test \
        "127.0.0.1:$port" >"$work/source.log" 2>&1 ||
        { cat "$work/source.log" >&2; skip "smtp-source failed"; }
    end=$(date +%s.%N)
    [ ! -s "$work/source.log" ] || { cat "$work/source.log" >&2; skip "smtp-source reported errors"; }
    for _ in $(seq 200); do
        postqueue -c "$work/conf" -p 2>/dev/null | grep -q 'Mail queue is empty' && break
        sleep 0.05
    done
    awk -v n="$messages" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f\n", n / (e - s) }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

load "$plain_port" >/dev/null # warm-up: processes started, caches filled
plain=()
filtered=()
for _ in $(seq "$rounds"); do
    plain+=("$(load "$plain_port")")
    filtered+=("$(load "$filtered_port")")
done
scanned=$(grep -c ': verdict=OK ' "$work/milter.log" || true)
[ "$scanned" -ge "$((messages * rounds))" ] ||
    skip "only $scanned of $((messages * rounds)) messages went through the filter"

plain_median=$(printf '%s\n' "${plain[@]}" | median)
filtered_median=$(printf '%s\n' "${filtered[@]}" | median)
ratio=$(awk -v a="$filtered_median" -v b="$plain_median" 'BEGIN { printf "%.2f", a / b }')
met=$(awk -v r="$ratio" -v t="$target" 'BEGIN { print (r >= t) ? "met" : "NOT MET" }')
printf '%-44s %12s %12s %9s  %s\n' "mail filter in Postfix" "orvamilter" "no filter" "ratio" "target"
printf '%-44s %12s %12s %9s  %-19s %s\n' "$label" "$filtered_median" "$plain_median" "$ratio" \
    ">= $target" "$met"
printf '(%d runs of %d messages each, alternating; rates: filter %s, plain %s)\n' "$rounds" \
    "$messages" "${filtered[*]}" "${plain[*]}"
[ "$met" = met ]
