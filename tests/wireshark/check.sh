#!/usr/bin/env bash
# Decodes the recorded capture (see record.sh) with tools/wireshark/wirekit.lua
# and checks the fields of known packets. Exits 77, which ctest counts as
# skipped, where tshark is not installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
capture=$root/tests/wireshark/wirekit.pcapng
if ! command -v tshark >/dev/null 2>&1; then
    echo "tshark is not installed (apt-get install tshark): the dissector check is skipped"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A configuration of its own: no personal preferences, and no copy of the
# dissector in a personal plugin folder loaded beside this one.
export HOME=$work WIRESHARK_CONFIG_DIR=$work XDG_CONFIG_HOME=$work

fields=(frame.number wirekit.message.body wirekit.message.length wirekit.stray
        wirekit.offer.name wirekit.offer.size wirekit.answer wirekit.file.received
        wirekit.file.size wirekit.udp.sequence wirekit.udp.sender wirekit.udp.marker
        wirekit.udp.check.status _ws.expert.message)
decode() {
    local args=(-n -X "lua_script:$root/tools/wireshark/wirekit.lua" -r "$capture"
                -o wirekit.tcp_ports:9000,9003 -o wirekit.udp_ports:9001,9002
                -Y wirekit -T fields -E separator='|' -E occurrence=a)
    for field in "${fields[@]}"; do args+=(-e "$field"); done
    tshark "${args[@]}" "$@"
}
# The second decode makes two passes over the packets; the second pass must
# show what a single pass showed.
if ! decode >"$work/one.txt" 2>"$work/stderr.txt" ||
   ! decode -2 >"$work/two.txt" 2>>"$work/stderr.txt"; then
    echo "FAIL: tshark could not decode the capture:"
    cat "$work/stderr.txt"
    exit 1
fi

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
if grep -qi "lua" "$work/stderr.txt" || grep -q "Lua Error" "$work/one.txt"; then
    fail "the script reported a Lua error:"
    grep -i "lua" "$work/stderr.txt" || true
    grep "Lua Error" "$work/one.txt" || true
fi
cmp -s "$work/one.txt" "$work/two.txt" || fail "a two-pass decode differs from a one-pass decode"

# expect FRAME FIELD VALUE: the field's value in that packet.
expect() {
    local column
    for column in "${!fields[@]}"; do [ "${fields[$column]}" = "$2" ] && break; done
    local got
    got=$(awk -F'|' -v frame="$1" -v column=$((column + 1)) '$1 == frame { print $column }' "$work/one.txt")
    [ "$got" = "$3" ] || fail "packet $1, $2: expected '$3', got '$got'"
}

# TCP messages: the body 41 05 42 05 05 43 travels with every 05 doubled.
expect 4 wirekit.message.body 68656c6c6f
expect 6 wirekit.message.body 410542050543
expect 6 wirekit.message.length 6
# Bytes before a start mark, and a frame whose end came in a later segment.
expect 14 wirekit.stray 7374726179
expect 14 _ws.expert.message "Bytes outside a frame: the receiver delivers them as a message of their own"
expect 16 wirekit.message.body 73706c6974206163726f73732074776f207365676d656e7473
# The offer (its 05 06 came in a segment of its own), the answer, the data.
expect 29 wirekit.offer.name notes.txt
expect 29 wirekit.offer.size 300
expect 31 wirekit.answer accept
expect 33 wirekit.file.received 300
expect 33 wirekit.file.size 300
# A UDP message and its acknowledgement.
expect 40 wirekit.udp.sequence 1
expect 40 wirekit.udp.sender "{741D540C-8524-40B3-AAB5-A37B8F37C7AD}"
expect 40 wirekit.udp.check.status correct
expect 41 wirekit.udp.sequence 1
expect 41 wirekit.udp.marker OK
expect 41 wirekit.udp.check.status correct
# Datagrams sent by hand: a wrong check byte, a payload length too large.
expect 42 wirekit.udp.sender "{03020100-0504-0706-0809-0A0B0C0D0E0F}"
expect 42 wirekit.udp.check.status wrong
expect 42 _ws.expert.message "Wrong check byte: the receiver discards the datagram"
expect 43 wirekit.udp.check.status correct
expect 43 _ws.expert.message \
    "The payload length is 13 but only 9 bytes stand before the check byte: the receiver discards the datagram"

# Offers sent by hand: a name with a comma is read whole, and a size that is
# no number is flagged, as the receiver refuses it.
expect 47 wirekit.offer.name "report, final.txt"
expect 47 wirekit.offer.size 3
expect 47 _ws.expert.message ""
expect 58 wirekit.offer.name size.txt
expect 58 _ws.expert.message \
    "The size is no decimal number, or a negative one: the receiver refuses the offer unseen"

if [ "$failures" -ne 0 ]; then
    echo "$failures failures; tshark decoded:"
    cat "$work/one.txt"
    exit 1
fi
echo "the dissector decoded every expected field"
