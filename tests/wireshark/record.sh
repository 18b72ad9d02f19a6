#!/usr/bin/env bash
# Records tests/wireshark/wirekit.pcapng, the capture that check.sh decodes.
# Run it again (as root, with tcpdump and editcap installed) only when a wire
# format changes, then update the expected fields in check.sh.
#
# On loopback, with fixed ports: TCP messages to 9000 (one with 05 bytes in
# its body, then a raw peer's stray bytes and a frame split over two
# segments), a 300-byte file to 9003, a UDP message from 9002 to 9001 with its
# acknowledgement, two datagrams sent by hand: one with a wrong check byte,
# one whose payload length is larger than its payload, and two offers sent
# by hand to 9003: a name with a comma and a size that is no number.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cli=${WIREKIT_CLI:-$root/build/tools/wirekit}
out=${1:-$root/tests/wireshark/wirekit.pcapng}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Polls a condition for at most 10 seconds.
wait_for() {
    for _ in $(seq 100); do
        eval "$1" && return 0
        sleep 0.1
    done
    echo "record.sh: timed out waiting for: $1" >&2
    return 1
}

tcpdump -i lo -U -w "$work/raw.pcap" 'port 9000 or port 9001 or port 9002 or port 9003' \
        2>"$work/tcpdump.err" &
dump=$!
wait_for "grep -q listening '$work/tcpdump.err'"

"$cli" tcp listen 9000 >"$work/tcp.out" 2>&1 &
listener=$!
wait_for "ss -ltn | grep -q ':9000 '"
printf 'hello\nA\005B\005\005C\n' | "$cli" tcp send 127.0.0.1 9000
python3 - <<'PY'
import socket, time
s = socket.create_connection(("127.0.0.1", 9000))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
s.sendall(b"stray\x05\x07split ")
time.sleep(0.2)  # lets the first part leave as a segment of its own
s.sendall(b"across two segments\x05\x07")
s.close()
PY
wait_for "grep -q 'split across' '$work/tcp.out'"
kill -INT "$listener"
wait "$listener" || true

mkdir "$work/inbox"
head -c 300 /dev/zero | tr '\0' 'x' >"$work/notes.txt"
"$cli" file receive 9003 "$work/inbox" --yes >"$work/file.out" 2>&1 &
receiver=$!
wait_for "ss -ltn | grep -q ':9003 '"
"$cli" file send 127.0.0.1 9003 "$work/notes.txt"
wait "$receiver"

"$cli" udp listen 9001 >"$work/udp.out" 2>&1 &
listener=$!
wait_for "ss -lun | grep -q ':9001 '"
"$cli" udp send 127.0.0.1 9001 hello over udp --from 9002
python3 - <<'PY'
import functools, socket, struct
def check(data): return functools.reduce(lambda a, b: a ^ b, data, 0)
def message(sequence, payload, declared):
    return (bytes([55, 77]) + bytes(range(16)) +
            struct.pack("<iii", sequence, 9002, declared) + payload)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 9002))
m = message(7, b"corrupted", 9)
s.sendto(m + bytes([check(m) ^ 0xFF]), ("127.0.0.1", 9001))
m = message(8, b"corrupted", 13)
s.sendto(m + bytes([check(m)]), ("127.0.0.1", 9001))
s.close()
PY
kill -INT "$listener"
wait "$listener" || true

# Offers from a raw peer: a name with a comma, which the receiver keeps
# whole, and a size that is no number, which it refuses unseen.
"$cli" file receive 9003 "$work/inbox" --yes --keep >"$work/keep.out" 2>&1 &
receiver=$!
wait_for "ss -ltn | grep -q ':9003 '"
python3 - <<'PY'
import socket
def offer(header, data):
    s = socket.create_connection(("127.0.0.1", 9003))
    s.sendall(header + b"\x05\x06")
    if s.recv(6) == b"accept":
        s.sendall(data)
    s.shutdown(socket.SHUT_WR)
    s.recv(16)  # returns once the receiver has closed its end
    s.close()
offer(b"SENDFILE:report, final.txt,3", b"abc")
offer(b"SENDFILE:size.txt,abc", b"")
PY
kill -INT "$receiver"
wait "$receiver" || true

# tcpdump writes out what it has seen when interrupted.
kill -INT "$dump"
wait "$dump" || true
editcap -F pcapng "$work/raw.pcap" "$out"
echo "recorded $out ($(stat -c %s "$out") bytes)"
