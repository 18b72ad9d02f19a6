-- wirekit.lua: shows wirekit's three wire formats in Wireshark (its Lua API of 4.0).
--
--   TCP messages     05 07, the body with every 05 doubled, 05 07
--   file offers      SENDFILE:<name>,<size> 05 06, the answer "accept" or
--                    "refuse" in the other direction, then <size> raw bytes
--   UDP datagrams    a message (header bytes B1 B2, sender identity,
--                    sequence, reply port, payload length, payload, check
--                    byte) or its 9-byte acknowledgement (B2 B1, sequence,
--                    "OK", check byte)
--
-- No port is wirekit's own: choose the ports under Preferences > Protocols >
-- wirekit (tshark: -o wirekit.tcp_ports:9000,9003 -o wirekit.udp_ports:9001),
-- or pick "wirekit" with Decode As.

local wirekit = Proto("wirekit", "wirekit messages, file transfers and datagrams")

local ESC, BOUNDARY, OFFER_END = 0x05, 0x07, 0x06
local ANSWER_BYTES = 6
local MESSAGE_OVERHEAD, PAYLOAD_OFFSET, ACK_LENGTH = 31, 30, 9

-- Fields ---------------------------------------------------------------------

local f = {
    message = ProtoField.none("wirekit.message", "Message"),
    length = ProtoField.uint32("wirekit.message.length", "Length", base.DEC,
                               nil, nil, "Body bytes once the doubled 05 bytes are undone"),
    body = ProtoField.bytes("wirekit.message.body", "Body"),
    text = ProtoField.string("wirekit.message.text", "Text"),
    stray = ProtoField.bytes("wirekit.stray", "Bytes outside a frame"),
    offer = ProtoField.none("wirekit.offer", "File offer"),
    header = ProtoField.string("wirekit.offer.header", "Header"),
    name = ProtoField.string("wirekit.offer.name", "Name"),
    size = ProtoField.int64("wirekit.offer.size", "Size"),
    answer = ProtoField.string("wirekit.answer", "Answer"),
    data = ProtoField.bytes("wirekit.file.data", "File data"),
    received = ProtoField.int64("wirekit.file.received", "Bytes so far",
                                base.DEC, nil, nil, "File bytes up to the end of this segment"),
    file_size = ProtoField.int64("wirekit.file.size", "Announced size"),
    after = ProtoField.bytes("wirekit.after_answer", "Bytes after the answer"),

    udp_message = ProtoField.none("wirekit.udp.message", "Message"),
    udp_ack = ProtoField.none("wirekit.udp.ack", "Acknowledgement"),
    udp_unknown = ProtoField.none("wirekit.udp.unknown", "Unknown datagram"),
    header1 = ProtoField.uint8("wirekit.udp.header1", "Header byte 1"),
    header2 = ProtoField.uint8("wirekit.udp.header2", "Header byte 2"),
    sender = ProtoField.string("wirekit.udp.sender", "Sender identity"),
    sequence = ProtoField.int32("wirekit.udp.sequence", "Sequence"),
    reply_port = ProtoField.int32("wirekit.udp.reply_port", "Reply port", base.DEC,
                                  nil, nil, "The port the acknowledgement goes to"),
    payload_length = ProtoField.int32("wirekit.udp.length", "Payload length"),
    payload = ProtoField.bytes("wirekit.udp.payload", "Payload"),
    marker = ProtoField.string("wirekit.udp.marker", "Marker"),
    ignored = ProtoField.bytes("wirekit.udp.ignored", "Ignored bytes"),
    check = ProtoField.uint8("wirekit.udp.check", "Check byte", base.HEX),
    check_status = ProtoField.string("wirekit.udp.check.status", "Check byte status"),
}
local field_list = {}
for _, field in pairs(f) do field_list[#field_list + 1] = field end
wirekit.fields = field_list

local e = {
    stray = ProtoExpert.new("wirekit.stray.expert", "Bytes outside a frame: the receiver delivers them as a message of their own",
                            expert.group.PROTOCOL, expert.severity.WARN),
    empty = ProtoExpert.new("wirekit.message.empty", "Empty message: the receiver drops it",
                            expert.group.PROTOCOL, expert.severity.NOTE),
    lone_mark = ProtoExpert.new("wirekit.offer.no_header", "End-of-offer mark with nothing before it: the receiver ignores it",
                                expert.group.PROTOCOL, expert.severity.NOTE),
    unusable_size = ProtoExpert.new("wirekit.offer.size.unusable",
                                    "The size is no decimal number, or a negative one: the receiver refuses the offer unseen",
                                    expert.group.PROTOCOL, expert.severity.WARN),
    answer = ProtoExpert.new("wirekit.answer.unknown", "Answer is neither accept nor refuse",
                             expert.group.PROTOCOL, expert.severity.WARN),
    after = ProtoExpert.new("wirekit.after_answer.expert", "Bytes after the answer",
                            expert.group.PROTOCOL, expert.severity.WARN),
    excess = ProtoExpert.new("wirekit.file.excess", "More file data than announced",
                             expert.group.PROTOCOL, expert.severity.WARN),
    refused = ProtoExpert.new("wirekit.file.refused", "File data after a refusal: the receiver does not write it",
                              expert.group.PROTOCOL, expert.severity.WARN),
    check = ProtoExpert.new("wirekit.udp.check.wrong", "Wrong check byte: the receiver discards the datagram",
                            expert.group.CHECKSUM, expert.severity.WARN),
    length = ProtoExpert.new("wirekit.udp.length.mismatch", "Length does not match the datagram",
                             expert.group.MALFORMED, expert.severity.WARN),
    unknown = ProtoExpert.new("wirekit.udp.header.unknown", "Header bytes are neither B1 B2 nor B2 B1",
                              expert.group.PROTOCOL, expert.severity.WARN),
}
local expert_list = {}
for _, item in pairs(e) do expert_list[#expert_list + 1] = item end
wirekit.experts = expert_list

-- Preferences and ports ------------------------------------------------------

wirekit.prefs.tcp_ports = Pref.range("TCP ports", "",
    "TCP ports that carry wirekit messages or file transfers, e.g. 9000,9003 or 9000-9010", 65535)
wirekit.prefs.udp_ports = Pref.range("UDP ports", "",
    "UDP ports of wirekit endpoints (both ends: messages go to one, acknowledgements to the other)", 65535)
wirekit.prefs.header1 = Pref.uint("Header byte 1", 55, "First header byte of a message (B1), decimal")
wirekit.prefs.header2 = Pref.uint("Header byte 2", 77, "Second header byte of a message (B2), decimal")

local registered = { tcp = "", udp = "" }

local function register_ports(table_name, key, ports)
    local dissector_table = DissectorTable.get(table_name)
    if registered[key] ~= "" then dissector_table:remove(registered[key], wirekit) end
    if ports ~= "" then dissector_table:add(ports, wirekit) end
    registered[key] = ports
end

function wirekit.prefs_changed()
    local tcp_ports = tostring(wirekit.prefs.tcp_ports or "")
    local udp_ports = tostring(wirekit.prefs.udp_ports or "")
    if tcp_ports ~= registered.tcp then register_ports("tcp.port", "tcp", tcp_ports) end
    if udp_ports ~= registered.udp then register_ports("udp.port", "udp", udp_ports) end
end

DissectorTable.get("tcp.port"):add_for_decode_as(wirekit)
DissectorTable.get("udp.port"):add_for_decode_as(wirekit)

-- Helpers --------------------------------------------------------------------

-- Printable ASCII (with tab, CR, LF) as text; nil for anything else.
local function as_text(bytes)
    if #bytes == 0 or bytes:find("[^\t\r\n\32-\126]") then return nil end
    return bytes
end

-- How the Info column shows a body: its text, or the first bytes in hex.
local function preview(bytes)
    local text = as_text(bytes)
    if text then
        text = text:gsub("[\r\n\t]", " ")
        return #text > 40 and text:sub(1, 40) .. "…" or text
    end
    local shown = bytes:sub(1, 16):gsub(".", function(c) return string.format("%02x", c:byte()) end)
    return #bytes > 16 and shown .. "…" or shown
end

-- A decoded byte string as a buffer of its own, shown in a tab of its own.
local function buffer_of(bytes, label)
    return ByteArray.new(bytes, true):tvb(label)
end

-- A Lua number as the value of a 64-bit field; values past the 64-bit
-- range saturate, as the receiver reads them.
local function int64(number)
    if number >= 2 ^ 63 then return Int64.max() end
    if number < -2 ^ 63 then return Int64.min() end
    return Int64.new(number)
end

-- The decimal text of a count or size.
local function decimal(number)
    return tostring(int64(number))
end

-- C's atoi on a number text: leading white space, a sign, digits; nil when
-- no digit follows the white space and the sign (atoi gives 0 there).
local function atoi(text)
    local digits = text:match("^%s*([+-]?%d+)")
    return digits and tonumber(digits)
end

-- TCP: framing ---------------------------------------------------------------

local NEED_MORE, MESSAGE, STRAY, OFFER = 0, 1, 2, 3

-- Reads one unit from `data` (a Lua string) at the 0-based `start`, the way
-- the receiver's decoder does: every 05 07 ends what was collected, 05 05 is
-- one 05, 05 X is kept as the two bytes, and 05 06 after collected bytes
-- ends an offer header (with nothing collected it is ignored). A unit is a
-- frame from its start mark to its end mark, a run of bytes outside a frame
-- (stopped before the 05 07 that follows it), or an offer header up to and
-- including its 05 06. Returns the kind, the 0-based end (exclusive), the
-- decoded bytes, the 0-based offset where the body starts and the offsets
-- of ignored end-of-offer marks; NEED_MORE when the unit is not complete.
local function scan_unit(data, start)
    local n = #data
    local i = start + 1
    local framed, body_start = false, start
    local parts, collected, lone_marks = {}, 0, {}
    while true do
        local esc = data:find("\5", i, true)
        if not esc or esc == n then return NEED_MORE end
        if esc > i then
            parts[#parts + 1] = data:sub(i, esc - 1)
            collected = collected + (esc - i)
        end
        local second = data:byte(esc + 1)
        if second == BOUNDARY then
            if framed then
                return MESSAGE, esc + 1, table.concat(parts), body_start, lone_marks
            elseif collected > 0 then
                return STRAY, esc - 1, table.concat(parts), start, lone_marks
            end
            framed, body_start = true, esc + 1
        elseif second == OFFER_END then
            if collected > 0 then
                return OFFER, esc + 1, table.concat(parts), start, lone_marks
            end
            lone_marks[#lone_marks + 1] = esc - 1
        elseif second == ESC then
            parts[#parts + 1] = "\5"
            collected = collected + 1
        else
            parts[#parts + 1] = data:sub(esc, esc + 1)
            collected = collected + 2
        end
        i = esc + 2
    end
end

-- The offer as the receiver reads it. The text ends at its first NUL byte.
-- The name lies between the first colon (or the start) and the last comma,
-- so commas in a name are kept; it is empty when no comma follows the
-- colon. The size is the text after the last comma (the whole text without
-- one), read as atoi does. A size text without a digit after the white
-- space and sign, or a negative size, makes the receiver refuse the offer
-- before its host hears of it.
local function parse_offer(header)
    local text = header:match("^[^%z]*")
    local colon = text:find(":", 1, true)
    local name_start = colon and colon + 1 or 1
    local last_comma = text:match(".*(),")
    local offer = { text = text, name = "" }
    if last_comma and last_comma >= name_start then
        offer.name = text:sub(name_start, last_comma - 1)
    end
    local size_text = last_comma and text:sub(last_comma + 1) or text
    local size = atoi(size_text)
    offer.size = size or 0
    offer.usable = size ~= nil and size >= 0
    return offer
end

-- What the first pass in capture order learnt: per connection, which side
-- offered a file, its announced size and how many data and answer bytes
-- have gone by; per packet, what its bytes were (file data up to a count,
-- or part of the answer), so that a later pass over any packet shows the
-- same. Packets of framed messages are simply decoded again.
local connections, packets = {}, {}

function wirekit.init()
    connections, packets = {}, {}
end

-- The file data from `offset` to the end of this packet; `so_far` counts the
-- file's bytes up to that end.
local function add_file_data(tree, tvb, offset, so_far, size, notes)
    local length = tvb:len() - offset
    local item = tree:add(f.data, tvb(offset, length))
    if size then
        item:set_text(string.format("File data, %s of %s bytes", decimal(so_far), decimal(size)))
        item:add(f.received, tvb(offset, length), int64(so_far)):set_generated()
        item:add(f.file_size, tvb(offset, length), int64(size)):set_generated()
        if so_far > size then
            item:add_proto_expert_info(e.excess, decimal(so_far - size) .. " bytes past the announced size")
        end
        notes[#notes + 1] = string.format("File data, %s of %s bytes", decimal(so_far), decimal(size))
    else
        item:set_text(string.format("File data, %d bytes (no size announced)", so_far))
        item:add(f.received, tvb(offset, length), int64(so_far)):set_generated()
        notes[#notes + 1] = string.format("File data, %d bytes", so_far)
    end
    return item
end

-- The offer header; returns its size, or nil when the receiver refuses it
-- for its size.
local function add_offer(tree, tvb, unit_start, unit_end, decoded, notes)
    local offer = parse_offer(decoded)
    local summary = offer.usable and string.format("%s, %s bytes", offer.name, decimal(offer.size))
                    or string.format("%s, no usable size", offer.name)
    local range = tvb(unit_start, unit_end - unit_start)
    local item = tree:add(f.offer, range)
    item:set_text("File offer: " .. summary)
    item:add(f.header, range, offer.text)
    item:add(f.name, range, offer.name)
    item:add(f.size, range, int64(offer.size))
    if not offer.usable then item:add_proto_expert_info(e.unusable_size) end
    notes[#notes + 1] = "File offer: " .. summary
    return offer.usable and offer.size or nil
end

local function dissect_tcp(tvb, pinfo, tree)
    local here = tostring(pinfo.src) .. ":" .. tostring(pinfo.src_port)
    local there = tostring(pinfo.dst) .. ":" .. tostring(pinfo.dst_port)
    local key = here < there and here .. " " .. there or there .. " " .. here
    local connection = connections[key]
    if not connection then
        connection = { sides = {} }
        connections[key] = connection
    end
    local side = connection.sides[here]
    if not side then
        side = { data_bytes = 0, answer_bytes = 0 }
        connection.sides[here] = side
    end

    local length = tvb:len()
    local notes = {}
    -- The protocol's item is added with the first unit that is complete.
    local root
    local function top()
        root = root or tree:add(wirekit, tvb())
        return root
    end
    local function finish()
        pinfo.cols.protocol = "wirekit"
        pinfo.cols.info = table.concat(notes, "; ")
        return length
    end

    -- What this packet carries when it follows an offer: learnt on the
    -- first pass, remembered for the others.
    local known = packets[pinfo.number]
    if not pinfo.visited then
        if side.in_data then
            side.data_bytes = side.data_bytes + length
            known = { data = side.data_bytes, size = side.size,
                      refused = connection.answer == "refuse" }
        elseif connection.offer_from and connection.offer_from ~= here then
            known = { answer = side.answer_bytes }
            if side.answer_bytes < ANSWER_BYTES then
                connection.answer = (connection.answer or "") ..
                                    tvb:raw(0, math.min(length, ANSWER_BYTES - side.answer_bytes))
            end
            side.answer_bytes = side.answer_bytes + length
        end
        packets[pinfo.number] = known
    end

    -- The file data that follows an offer header.
    if known and known.data then
        local item = add_file_data(top(), tvb, 0, known.data, known.size, notes)
        if known.refused then item:add_proto_expert_info(e.refused) end
        return finish()
    end

    -- The other direction of a connection that carries an offer: the answer.
    if known and known.answer then
        local position = known.answer
        local answer_bytes = math.max(0, math.min(ANSWER_BYTES - position, length))
        if answer_bytes > 0 then
            local answer = tvb:raw(0, answer_bytes)
            local item = top():add(f.answer, tvb(0, answer_bytes), answer)
            if answer_bytes < ANSWER_BYTES then
                item:append_text(" (part of the answer)")
            elseif answer ~= "accept" and answer ~= "refuse" then
                item:add_proto_expert_info(e.answer)
            end
            notes[#notes + 1] = "Answer: " .. answer
        end
        if length > answer_bytes then
            top():add(f.after, tvb(answer_bytes)):add_proto_expert_info(e.after)
            notes[#notes + 1] = "Bytes after the answer"
        end
        return finish()
    end

    local data = tvb:raw()
    local offset = 0
    while offset < length do
        local kind, unit_end, decoded, body_start, lone_marks = scan_unit(data, offset)
        if kind == NEED_MORE then
            -- The rest of this unit comes in later segments.
            -- What this segment holds of it stays with TCP, which shows it
            -- as a segment of a reassembled unit.
            pinfo.desegment_offset = offset
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            if #notes > 0 then finish() end
            return length
        end
        for _, mark in ipairs(lone_marks) do
            top():add(tvb(mark, 2), "End-of-offer mark without a header"):add_proto_expert_info(e.lone_mark)
        end
        if kind == MESSAGE then
            local item = top():add(f.message, tvb(offset, unit_end - offset))
            item:set_text(string.format("Message, %d bytes", #decoded))
            item:add(f.length, tvb(body_start, unit_end - 2 - body_start), #decoded)
            if #decoded > 0 then
                item:add(f.body, buffer_of(decoded, "Message body")())
                local text = as_text(decoded)
                if text then item:add(f.text, tvb(body_start, unit_end - 2 - body_start), text) end
                notes[#notes + 1] = string.format("Message (%d bytes): %s", #decoded, preview(decoded))
            else
                item:add_proto_expert_info(e.empty)
                notes[#notes + 1] = "Empty message"
            end
        elseif kind == STRAY then
            local item = top():add(f.stray, tvb(offset, unit_end - offset))
            item:add_proto_expert_info(e.stray)
            notes[#notes + 1] = string.format("Bytes outside a frame (%d)", unit_end - offset)
        else
            local size = add_offer(top(), tvb, offset, unit_end, decoded, notes)
            -- From here on this side sends file data, the other the answer.
            if not pinfo.visited then
                side.in_data, side.size = true, size
                side.data_bytes = length - unit_end
                connection.offer_from = here
            end
            if unit_end < length then
                add_file_data(top(), tvb, unit_end, length - unit_end, size, notes)
            end
            return finish()
        end
        offset = unit_end
    end
    return finish()
end

-- UDP ------------------------------------------------------------------------

-- The identity as braced text: the first field as a little-endian 32-bit
-- number, the next two as little-endian 16-bit numbers, then 8 bytes in order.
local function identity_text(range)
    return string.format("{%08X-%04X-%04X-%s-%s}", range(0, 4):le_uint(), range(4, 2):le_uint(),
                         range(6, 2):le_uint(), range(8, 2):bytes():tohex(), range(10, 6):bytes():tohex())
end

local function add_check(tree, tvb, notes)
    local length = tvb:len()
    local expected = 0
    for _, byte in ipairs({ tvb:raw(0, length - 1):byte(1, -1) }) do
        expected = bit32.bxor(expected, byte)
    end
    local actual = tvb(length - 1, 1):uint()
    local item = tree:add(f.check, tvb(length - 1, 1))
    if actual == expected then
        item:append_text(" (correct)")
        item:add(f.check_status, tvb(length - 1, 1), "correct"):set_generated()
    else
        item:append_text(string.format(" (wrong, the bytes before it give 0x%02x)", expected))
        item:add(f.check_status, tvb(length - 1, 1), "wrong"):set_generated()
        item:add_proto_expert_info(e.check)
        notes[#notes + 1] = "[wrong check byte]"
    end
end

local function dissect_message(tvb, tree, notes)
    local length = tvb:len()
    local item = tree:add(f.udp_message, tvb())
    item:add(f.header1, tvb(0, 1))
    item:add(f.header2, tvb(1, 1))
    if length < MESSAGE_OVERHEAD then
        item:add_proto_expert_info(e.length, string.format(
            "A message is at least %d bytes, this one is %d: the receiver discards it", MESSAGE_OVERHEAD, length))
        notes[#notes + 1] = "Message, too short [length does not match]"
        return
    end
    item:add(f.sender, tvb(2, 16), identity_text(tvb(2, 16)))
    local sequence = tvb(18, 4):le_int()
    item:add_le(f.sequence, tvb(18, 4))
    item:add_le(f.reply_port, tvb(22, 4))
    local declared = tvb(26, 4):le_int()
    local count_item = item:add_le(f.payload_length, tvb(26, 4))
    local room = length - MESSAGE_OVERHEAD
    if declared >= 0 and declared <= room then
        if declared > 0 then item:add(f.payload, tvb(PAYLOAD_OFFSET, declared)) end
        if declared < room then
            item:add(f.ignored, tvb(PAYLOAD_OFFSET + declared, room - declared))
            count_item:add_proto_expert_info(e.length, string.format(
                "The payload length is %d but %d bytes stand before the check byte: the receiver ignores the other %d",
                declared, room, room - declared))
        end
    else
        if room > 0 then item:add(f.payload, tvb(PAYLOAD_OFFSET, room)) end
        count_item:add_proto_expert_info(e.length, string.format(
            "The payload length is %d but only %d bytes stand before the check byte: the receiver discards the datagram",
            declared, room))
    end
    if declared >= 0 and declared <= room then
        local payload = tvb:raw(PAYLOAD_OFFSET, declared)
        item:set_text(string.format("Message, sequence %d, %d bytes", sequence, declared))
        notes[#notes + 1] = string.format("Message seq=%d (%d bytes): %s", sequence, declared, preview(payload))
        if declared < room then notes[#notes + 1] = "[length does not match]" end
    else
        item:set_text(string.format("Message, sequence %d, payload length %d", sequence, declared))
        notes[#notes + 1] = string.format("Message seq=%d, payload length %d [length does not match]",
                                          sequence, declared)
    end
    add_check(item, tvb, notes)
end

local function dissect_ack(tvb, tree, notes)
    local length = tvb:len()
    local item = tree:add(f.udp_ack, tvb())
    item:add(f.header2, tvb(0, 1))
    item:add(f.header1, tvb(1, 1))
    if length < 7 then
        item:add_proto_expert_info(e.length, string.format(
            "An acknowledgement is %d bytes, this one is %d: the receiver discards it", ACK_LENGTH, length))
        notes[#notes + 1] = "Acknowledgement, too short [length does not match]"
        return
    end
    local sequence = tvb(2, 4):le_int()
    item:add_le(f.sequence, tvb(2, 4))
    local problem
    if length >= ACK_LENGTH then
        local marker = tvb:raw(6, 2)
        local marker_item = item:add(f.marker, tvb(6, 2))
        if marker ~= "OK" then
            problem = "[marker is not OK]"
            marker_item:add_proto_expert_info(e.length, "The marker is not OK: the receiver discards the acknowledgement")
        end
    end
    if length ~= ACK_LENGTH then
        problem = problem or "[length does not match]"
        item:add_proto_expert_info(e.length, string.format(
            "An acknowledgement is %d bytes, this one is %d%s", ACK_LENGTH, length,
            length < ACK_LENGTH and ": the receiver takes it without the OK marker" or ""))
    end
    item:set_text(string.format("Acknowledgement, sequence %d", sequence))
    notes[#notes + 1] = string.format("Acknowledgement seq=%d", sequence)
    if problem then notes[#notes + 1] = problem end
    add_check(item, tvb, notes)
end

local function dissect_udp(tvb, pinfo, tree)
    local length = tvb:len()
    if length < 2 then return 0 end
    local b1, b2 = wirekit.prefs.header1, wirekit.prefs.header2
    local first, second = tvb(0, 1):uint(), tvb(1, 1):uint()
    local root = tree:add(wirekit, tvb())
    local notes = {}
    if first == b1 and second == b2 then
        dissect_message(tvb, root, notes)
    elseif first == b2 and second == b1 then
        dissect_ack(tvb, root, notes)
    else
        local item = root:add(f.udp_unknown, tvb())
        item:add_proto_expert_info(e.unknown, string.format(
            "The header bytes are %d %d; the preferences expect %d %d for a message", first, second, b1, b2))
        notes[#notes + 1] = string.format("Unknown header bytes %d %d", first, second)
    end
    pinfo.cols.protocol = "wirekit"
    pinfo.cols.info = table.concat(notes, " ")
    return length
end

function wirekit.dissector(tvb, pinfo, tree)
    if pinfo.port_type == 3 then return dissect_udp(tvb, pinfo, tree) end
    return dissect_tcp(tvb, pinfo, tree)
end
