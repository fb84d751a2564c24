-- Wireshark dissector for QUILVANE traffic: CAN / CAN FD packets on TCP and
-- UDP data connections, the UDP device search with its JSON and PELIX
-- replies, and the PELIX and VCI device probes.
--
-- Load it with  wireshark -X lua_script:tools/wireshark/quilvane.lua
-- or copy it to ~/.local/lib/wireshark/plugins/.
--
-- Data connections use whatever ports the user chose, so besides the port
-- preferences the dissector recognises CAN packets on any TCP or UDP port by
-- their content (heuristic "quilvane_tcp" / "quilvane_udp").
--
-- Where the library would treat a packet differently from how it looks
-- (a packet it skips, a checksum that stops its decoding, a datagram it takes
-- for a search reply), expert info says so: that is usually what one is
-- looking for when debugging a link.

local bit = bit32 or bit
local band, bor, bxor, lshift, rshift = bit.band, bit.bor, bit.bxor, bit.lshift, bit.rshift

local quilvane = Proto("quilvane", "QUILVANE CAN over IP")

---------------------------------------------------------------------------
-- Preferences

quilvane.prefs.tcp_ports = Pref.range("TCP data ports", "4001",
    "TCP ports of CAN data connections. Connections are set up by the user on any port; " ..
    "packets on other ports are still found by content when the heuristic is enabled.", 65535)
quilvane.prefs.udp_ports = Pref.range("UDP data ports", "4001",
    "UDP ports of CAN data connections. Datagrams on other ports are still found by content " ..
    "when the heuristic is enabled.", 65535)
quilvane.prefs.search_port = Pref.uint("Search port", 10550, "UDP port that device searches are sent to")
quilvane.prefs.pelix_port = Pref.uint("PELIX probe port", 10551, "UDP port that PELIX probes are sent to")
quilvane.prefs.vci_port = Pref.uint("VCI probe port", 58121, "UDP port that VCI probes are sent to")

---------------------------------------------------------------------------
-- Fields

local CLASSIC, FD = 0, 1
local RECORD_SIZE = { [CLASSIC] = 24, [FD] = 80 }
local HEADER = 6            -- sync, type, two reserved bytes, payload length
local SYNC = 0x55

local f = {
    sync = ProtoField.uint8("quilvane.sync", "Sync", base.HEX),
    type = ProtoField.uint8("quilvane.type", "Type", base.DEC,
        { [CLASSIC] = "CAN, 24-byte records", [FD] = "CAN FD, 80-byte records" }),
    reserved = ProtoField.uint8("quilvane.reserved", "Reserved (byte 2)", base.HEX),
    reserved2 = ProtoField.uint8("quilvane.reserved2", "Reserved (byte 3)", base.HEX),
    length = ProtoField.uint16("quilvane.length", "Payload length", base.DEC),
    records = ProtoField.uint16("quilvane.records", "Records", base.DEC),
    timestamp = ProtoField.uint64("quilvane.timestamp", "Timestamp", base.DEC),
    id = ProtoField.uint32("quilvane.id", "Identifier", base.HEX),
    flags = ProtoField.uint16("quilvane.flags", "Flags", base.HEX),
    flag_brs = ProtoField.bool("quilvane.flags.brs", "BRS", 16, nil, 0x0001),
    flag_esi = ProtoField.bool("quilvane.flags.esi", "ESI", 16, nil, 0x0002),
    flag_fdf = ProtoField.bool("quilvane.flags.fdf", "FDF", 16, nil, 0x0004),
    channel = ProtoField.uint8("quilvane.channel", "Channel", base.DEC),
    data_length = ProtoField.uint8("quilvane.data_length", "Data length", base.DEC),
    data = ProtoField.bytes("quilvane.data", "Data", base.SPACE),
    checksum = ProtoField.uint8("quilvane.checksum", "Checksum", base.HEX),
    checksum_status = ProtoField.uint8("quilvane.checksum.status", "Checksum status", base.DEC,
        { [0] = "Bad", [1] = "Good" }),

    search_request = ProtoField.bytes("quilvane.search.request", "Search request", base.SPACE),
    search_head = ProtoField.bytes("quilvane.search.head", "Leading bytes", base.SPACE),
    json_length = ProtoField.uint16("quilvane.search.json_length", "Text length", base.DEC),
    json = ProtoField.string("quilvane.search.json", "JSON text"),
    search_tail = ProtoField.bytes("quilvane.search.tail", "Trailing bytes", base.SPACE),
    model = ProtoField.string("quilvane.device.model", "ProMod"),
    kernel = ProtoField.string("quilvane.device.kernel_version", "KerVers"),
    software = ProtoField.string("quilvane.device.software_version", "SoftVers"),
    hardware = ProtoField.string("quilvane.device.hardware_version", "HardVers"),
    serial = ProtoField.string("quilvane.device.serial", "SerialNum"),
    name = ProtoField.string("quilvane.device.name", "ProName"),
    ipv4 = ProtoField.string("quilvane.device.ipv4", "IPv4"),
    mac = ProtoField.string("quilvane.device.mac", "MAC"),
    ipv4_bytes = ProtoField.string("quilvane.device.ipv4_bytes", "IPv4 bytes kept"),
    mac_bytes = ProtoField.string("quilvane.device.mac_bytes", "MAC bytes kept"),
    pelix_magic = ProtoField.bytes("quilvane.pelix.magic", "Record start", base.SPACE),
    pelix_data = ProtoField.bytes("quilvane.pelix.data", "Device bytes", base.SPACE),

    device_id = ProtoField.bytes("quilvane.probe.device_id", "Device identifier", base.COLON),
    pelix_fixed = ProtoField.bytes("quilvane.probe.pelix_fixed", "Fixed bytes", base.SPACE),
    probe_reply = ProtoField.bytes("quilvane.probe.reply", "PELIX probe reply", base.SPACE),
    vci_header = ProtoField.uint16("quilvane.vci.header", "Header", base.HEX,
        { [0xAA04] = "request", [0xAA84] = "reply" }),
    vci_inner = ProtoField.uint16("quilvane.vci.inner_header", "Inner header", base.HEX),
    vci_body_length = ProtoField.uint16("quilvane.vci.body_length", "Body length", base.DEC),
    vci_body = ProtoField.bytes("quilvane.vci.body", "Body", base.SPACE),
    vci_xor = ProtoField.uint8("quilvane.vci.xor", "XOR", base.HEX),
    vci_xor_status = ProtoField.uint8("quilvane.vci.xor.status", "XOR status", base.DEC,
        { [0] = "Bad", [1] = "Good" }),
    vci_crc = ProtoField.uint8("quilvane.vci.crc", "CRC-8", base.HEX),
    vci_crc_status = ProtoField.uint8("quilvane.vci.crc.status", "CRC-8 status", base.DEC,
        { [0] = "Bad", [1] = "Good" }),
    vci_accepted = ProtoField.bool("quilvane.vci.accepted", "Accepted by the library", base.NONE),
}
local field_list = {}
for _, field in pairs(f) do field_list[#field_list + 1] = field end
quilvane.fields = field_list

local function new_expert(abbr, text, group, severity)
    return ProtoExpert.new(abbr, text, expert.group[group], expert.severity[severity])
end
local ef = {
    bad_checksum = new_expert("quilvane.checksum.bad", "Bad checksum", "CHECKSUM", "ERROR"),
    skipped = new_expert("quilvane.skipped", "The library skips this packet", "PROTOCOL", "WARN"),
    partial_record = new_expert("quilvane.partial_record", "Payload is not a whole number of records",
        "MALFORMED", "WARN"),
    data_length = new_expert("quilvane.data_length.too_long", "Data length exceeds the data room",
        "MALFORMED", "WARN"),
    id_top_bits = new_expert("quilvane.id.top_bits", "Top three identifier bits set", "PROTOCOL", "NOTE"),
    incomplete = new_expert("quilvane.incomplete", "Incomplete packet", "MALFORMED", "WARN"),
    taken_as_reply = new_expert("quilvane.taken_as_reply", "The library takes this datagram for a search reply",
        "PROTOCOL", "WARN"),
    unexpected = new_expert("quilvane.unexpected", "Differs from what the library sends", "PROTOCOL", "NOTE"),
    not_reply = new_expert("quilvane.search.not_reply", "Not a search reply", "PROTOCOL", "NOTE"),
    json_too_long = new_expert("quilvane.search.json.too_long", "Text too long for the library", "PROTOCOL", "WARN"),
    json_malformed = new_expert("quilvane.search.json.malformed", "JSON text does not parse", "MALFORMED", "WARN"),
    value_cut = new_expert("quilvane.device.cut", "Value longer than the library keeps", "PROTOCOL", "NOTE"),
    vci_xor_bad = new_expert("quilvane.vci.xor.bad", "Bad XOR", "CHECKSUM", "ERROR"),
    vci_crc_bad = new_expert("quilvane.vci.crc.bad", "Bad CRC-8", "CHECKSUM", "ERROR"),
    vci_rejected = new_expert("quilvane.vci.rejected", "The library rejects this reply", "PROTOCOL", "WARN"),
    too_short = new_expert("quilvane.too_short", "Datagram too short", "MALFORMED", "ERROR"),
}
local expert_list = {}
for _, e in pairs(ef) do expert_list[#expert_list + 1] = e end
quilvane.experts = expert_list

---------------------------------------------------------------------------
-- Byte helpers

local function xor_of(tvb, offset, count)
    local bytes = tvb:bytes(offset, count)
    local sum = 0
    for i = 0, count - 1 do sum = bxor(sum, bytes:get_index(i)) end
    return sum
end

-- CRC-8 with polynomial 0x07, initial value 0, not reflected, final XOR 0x55.
local function crc8(tvb, offset, count)
    local bytes = tvb:bytes(offset, count)
    local crc = 0
    for i = 0, count - 1 do
        crc = bxor(crc, bytes:get_index(i))
        for _ = 1, 8 do
            if band(crc, 0x80) ~= 0 then
                crc = band(bxor(lshift(crc, 1), 0x07), 0xFF)
            else
                crc = band(lshift(crc, 1), 0xFF)
            end
        end
    end
    return bxor(crc, 0x55)
end

-- Search replies and PELIX probe requests travel with every byte rotated
-- left by 2 bits; rotating right gives the readable form, shown as a tab of
-- its own.
local function rotr(b)
    return band(bor(rshift(b, 2), lshift(b, 6)), 0xFF)
end

local function rotated_right(tvb, label)
    local bytes = tvb:bytes()
    for i = 0, bytes:len() - 1 do bytes:set_index(i, rotr(bytes:get_index(i))) end
    return bytes:tvb(label)
end

local function hex_of(tvb, offset, count)
    return tostring(tvb:bytes(offset, count)):lower()
end

local function status_item(tree, field, ok)
    local item = tree:add(field, ok and 1 or 0)
    item:set_generated()
    return item
end

---------------------------------------------------------------------------
-- Info column: one frame may carry several packets, and TCP calls the
-- dissector twice for a frame that ends one reassembled packet and starts
-- others, so the first text of a frame replaces the column and later ones
-- are appended.

local info_frame = nil
local function info(pinfo, text)
    if info_frame ~= pinfo.number then
        info_frame = pinfo.number
        pinfo.cols.info:set(text)
    else
        pinfo.cols.info:append("; " .. text)
    end
end

---------------------------------------------------------------------------
-- CAN packets

local function dissect_record(tvb, tree, offset, size, index)
    local room = size - 16
    local rec = tvb(offset, size)
    local id = tvb(offset + 8, 4):uint()
    local length = tvb(offset + 15, 1):uint()
    local sub = tree:add(rec, string.format("Record %d: channel %d, id 0x%x, %d data bytes",
        index, tvb(offset + 14, 1):uint(), id, length))
    sub:add(f.timestamp, tvb(offset, 8))
    local id_item = sub:add(f.id, tvb(offset + 8, 4))
    if id > 0x1FFFFFFF then
        id_item:add_proto_expert_info(ef.id_top_bits,
            "Top three identifier bits set: the library clears them on receive")
    end
    local flags = sub:add(f.flags, tvb(offset + 12, 2))
    flags:add(f.flag_brs, tvb(offset + 12, 2))
    flags:add(f.flag_esi, tvb(offset + 12, 2))
    flags:add(f.flag_fdf, tvb(offset + 12, 2))
    sub:add(f.channel, tvb(offset + 14, 1))
    local dl_item = sub:add(f.data_length, tvb(offset + 15, 1))
    if length > room then
        dl_item:add_proto_expert_info(ef.data_length,
            string.format("Data length %d exceeds the %d-byte data room", length, room))
        length = room
    end
    if length > 0 then
        sub:add(f.data, tvb(offset + 16, length))
    end
    return id
end

-- One whole packet; `tvb` starts at its sync byte and holds exactly its bytes.
local function dissect_packet(tvb, pinfo, tree, on_tcp)
    local n = tvb(4, 2):uint()
    local total = n + HEADER + 1
    local sync, ptype, reserved = tvb(0, 1):uint(), tvb(1, 1):uint(), tvb(2, 1):uint()
    local size = RECORD_SIZE[ptype]
    local item = tree:add(quilvane, tvb(0, total))

    local sync_item = item:add(f.sync, tvb(0, 1))
    local type_item = item:add(f.type, tvb(1, 1))
    local reserved_item = item:add(f.reserved, tvb(2, 1))
    item:add(f.reserved2, tvb(3, 1))
    local length_item = item:add(f.length, tvb(4, 2))

    local skipped, why = nil, nil
    if sync ~= SYNC then
        skipped, why = sync_item, "sync byte is not 0x55"
    elseif reserved ~= 0 then
        skipped, why = reserved_item, "reserved byte 2 is not 0"
    elseif not size then
        skipped, why = type_item, "type is neither 0 nor 1"
    end

    local summary
    local expected = xor_of(tvb, 0, n + HEADER)
    local ok = expected == tvb(n + HEADER, 1):uint()
    if skipped then
        summary = "skipped packet"
        -- The library reaches this check only when the checksum is right.
        if ok then
            skipped:add_proto_expert_info(ef.skipped, "The library skips this packet by its length: " .. why)
        end
        if n > 0 then item:add(tvb(HEADER, n), string.format("Payload (%d bytes)", n)) end
    else
        local count = math.ceil(n / size)
        item:add(f.records, count):set_generated()
        if n % size ~= 0 then
            length_item:add_proto_expert_info(ef.partial_record,
                string.format("Payload of %d bytes is not a whole number of %d-byte records", n, size))
        end
        local ids = {}
        for k = 0, count - 1 do
            local offset = HEADER + k * size
            if n - k * size >= size then
                local id = dissect_record(tvb, item, offset, size, k + 1)
                if #ids < 4 then ids[#ids + 1] = string.format("0x%x", id) end
            else
                item:add(tvb(offset, n - k * size), "Partial record")
            end
        end
        if count > 4 then ids[#ids + 1] = "..." end
        summary = string.format("%s, %d record%s", ptype == FD and "CAN FD" or "CAN", count,
            count == 1 and "" or "s")
        if #ids > 0 then summary = summary .. ": " .. table.concat(ids, " ") end
    end

    local checksum_item = item:add(f.checksum, tvb(n + HEADER, 1))
    status_item(item, f.checksum_status, ok)
    if not ok then
        checksum_item:add_proto_expert_info(ef.bad_checksum, string.format(
            "Bad checksum 0x%02x, should be 0x%02x: %s", tvb(n + HEADER, 1):uint(), expected,
            on_tcp and "the library decodes nothing more from this connection until its receive cache overflows"
                or "the library drops this packet and the rest of the datagram"))
        summary = summary .. " [BAD CHECKSUM]"
    end
    item:append_text(", " .. summary)
    info(pinfo, summary)
    return total
end

local function packet_length(tvb, pinfo, offset)
    return tvb(offset + 4, 2):uint() + HEADER + 1
end

local function dissect_tcp(tvb, pinfo, tree)
    pinfo.cols.protocol:set("QUILVANE")
    dissect_tcp_pdus(tvb, tree, HEADER, packet_length,
        function(pdu, pdu_pinfo, pdu_tree) return dissect_packet(pdu, pdu_pinfo, pdu_tree, true) end, true)
    return tvb:len()
end

-- The library sorts every datagram it receives on UDP: a search reply form
-- wins over CAN traffic, whatever port it came on.
local function reply_form(tvb)
    local n = tvb:len()
    if n > 6 and rotr(tvb(4, 1):uint()) * 256 + rotr(tvb(5, 1):uint()) + 10 == n then
        return "JSON"
    end
    if n == 29 and rotr(tvb(0, 1):uint()) == 0 and rotr(tvb(1, 1):uint()) == 2 and
        rotr(tvb(2, 1):uint()) == 0 and rotr(tvb(3, 1):uint()) == 2 then
        return "PELIX"
    end
    return nil
end

-- Each datagram is decoded on its own: whole packets one after another.
local function dissect_can_datagram(tvb, pinfo, tree)
    pinfo.cols.protocol:set("QUILVANE")
    local len = tvb:len()
    local form = reply_form(tvb)
    if form then
        local item = tree:add(quilvane, tvb())
        item:add_proto_expert_info(ef.taken_as_reply, string.format(
            "The library takes this datagram for a %s search reply: its frames are not delivered", form))
    end
    local offset = 0
    while offset < len do
        local left = len - offset
        if left < HEADER + 1 or packet_length(tvb, pinfo, offset) > left then
            local item = tree:add(quilvane, tvb(offset, left))
            item:append_text(", incomplete packet")
            item:add_proto_expert_info(ef.incomplete,
                string.format("Incomplete packet of %d bytes: the library drops it", left))
            info(pinfo, "incomplete packet")
            break
        end
        offset = offset + dissect_packet(tvb(offset, packet_length(tvb, pinfo, offset)):tvb(), pinfo, tree, false)
    end
    return len
end

---------------------------------------------------------------------------
-- Device search

local SEARCH_REQUEST = "86540800" .. "00ff649e" .. "d633"

-- A small JSON reader that finds the top-level members the way the library's
-- reader does: the first value of the text counts, what follows is ignored,
-- member names match without regard to letter case.
local json_value

local function utf8_char(code)
    if code < 0x80 then return string.char(code) end
    if code < 0x800 then
        return string.char(0xC0 + math.floor(code / 0x40), 0x80 + code % 0x40)
    end
    return string.char(0xE0 + math.floor(code / 0x1000), 0x80 + math.floor(code / 0x40) % 0x40,
        0x80 + code % 0x40)
end

local ESCAPES = { b = "\b", f = "\f", n = "\n", r = "\r", t = "\t", ['"'] = '"', ["\\"] = "\\", ["/"] = "/" }

local function json_string(s, i)
    local out, j = {}, i + 1
    while j <= #s do
        local c = s:sub(j, j)
        if c == '"' then return j + 1, table.concat(out) end
        if c == "\\" then
            local e = s:sub(j + 1, j + 1)
            if ESCAPES[e] then
                out[#out + 1] = ESCAPES[e]
                j = j + 2
            elseif e == "u" and s:sub(j + 2, j + 5):match("^%x%x%x%x$") then
                out[#out + 1] = utf8_char(tonumber(s:sub(j + 2, j + 5), 16))
                j = j + 6
            else
                return nil
            end
        else
            out[#out + 1] = c
            j = j + 1
        end
    end
    return nil
end

local function skip_space(s, i)
    return s:find("[^ \t\r\n]", i) or #s + 1
end

-- Returns the index after the value, its kind, its string value (strings
-- only) and, for an object, its members in order.
json_value = function(s, i)
    i = skip_space(s, i)
    local c = s:sub(i, i)
    if c == '"' then
        local after, text = json_string(s, i)
        return after, "string", text
    elseif c == "{" or c == "[" then
        local close = c == "{" and "}" or "]"
        local members = {}
        i = skip_space(s, i + 1)
        if s:sub(i, i) == close then return i + 1, c == "{" and "object" or "array", nil, members end
        while true do
            local key, key_at
            if c == "{" then
                i = skip_space(s, i)
                if s:sub(i, i) ~= '"' then return nil end
                key_at = i
                i, key = json_string(s, i)
                if not i then return nil end
                i = skip_space(s, i)
                if s:sub(i, i) ~= ":" then return nil end
                i = i + 1
            end
            local value_at = skip_space(s, i)
            local after, kind, text = json_value(s, i)
            if not after then return nil end
            if key then
                members[#members + 1] = { key = key, key_at = key_at, kind = kind, text = text,
                    first = value_at, last = after - 1 }
            end
            i = skip_space(s, after)
            local sep = s:sub(i, i)
            if sep == close then return i + 1, c == "{" and "object" or "array", nil, members end
            if sep ~= "," then return nil end
            i = i + 1
        end
    else
        for _, word in ipairs({ "null", "true", "false" }) do
            if s:sub(i, i + #word - 1) == word then return i + #word, word end
        end
        local number = s:match("^-?%d[%d%.eE+-]*", i)
        if number and tonumber(number) then return i + #number, "number" end
        return nil
    end
end

-- Text fields of the device record, with the room the library keeps.
local TEXT_KEYS = {
    { "ProMod", "model", 15 }, { "KerVers", "kernel", 7 }, { "SoftVers", "software", 7 },
    { "HardVers", "hardware", 7 }, { "SerialNum", "serial", 9 }, { "ProName", "name", 15 },
}

-- What the library keeps of an "IPv4" or "MAC" value: the dot-separated
-- numbers read like atoi, cut to 8 bits, at most `count` of them.
local function dotted_bytes(text, count)
    local out = {}
    for piece in text:gmatch("[^.]+") do
        if #out == count then break end
        local number = tonumber(piece:match("^%s*([+-]?%d+)") or "0") or 0
        out[#out + 1] = number % 256
    end
    return out
end

local function member(members, name)
    for _, m in ipairs(members) do
        if m.key:lower() == name:lower() then return m end
    end
    return nil
end

local function dissect_json_reply(rtvb, pinfo, tree)
    local n = rtvb(4, 2):uint()
    local sub = tree:add(rtvb(), "JSON search reply")
    sub:add(f.search_head, rtvb(0, 4))
    local length_item = sub:add(f.json_length, rtvb(4, 2))
    local text_item = sub:add(f.json, rtvb(6, n))
    sub:add(f.search_tail, rtvb(6 + n, 4))
    if n >= 1024 then
        length_item:add_proto_expert_info(ef.json_too_long,
            string.format("Text of %d bytes: the library drops replies of 1024 bytes or more", n))
        info(pinfo, "Search reply (JSON, too long)")
        return
    end

    -- The library reads the text up to its first NUL byte.
    local s = rtvb(6, n):raw()
    s = s:match("^[^%z]*")
    local after, kind, _, members = json_value(s, 1)
    if not after then
        text_item:add_proto_expert_info(ef.json_malformed,
            "JSON text does not parse: the library fills no field of the device record")
        info(pinfo, "Search reply (JSON, malformed)")
        return
    end
    members = kind == "object" and members or {}
    local name = nil
    local function value_range(m)
        return rtvb(6 + m.first - 1, m.last - m.first + 1)
    end
    for _, key in ipairs(TEXT_KEYS) do
        local m = member(members, key[1])
        if m and m.kind == "string" then
            local value_item = sub:add(f[key[2]], value_range(m), m.text)
            if #m.text > key[3] then
                value_item:add_proto_expert_info(ef.value_cut,
                    string.format("%d characters: the library keeps the first %d", #m.text, key[3]))
            end
            if key[1] == "ProName" then name = m.text end
        end
    end
    for _, key in ipairs({ { "IPv4", f.ipv4, f.ipv4_bytes, 4, "%d", "." },
        { "MAC", f.mac, f.mac_bytes, 6, "%02x", ":" } }) do
        local m = member(members, key[1])
        if m and m.kind == "string" then
            local value_item = sub:add(key[2], value_range(m), m.text)
            local kept = {}
            for _, b in ipairs(dotted_bytes(m.text, key[4])) do kept[#kept + 1] = string.format(key[5], b) end
            value_item:add(key[3], table.concat(kept, key[6])):set_generated()
        end
    end
    info(pinfo, "Search reply (JSON)" .. (name and (": " .. name) or ""))
end

local function dissect_pelix_record(rtvb, tree, label)
    local sub = tree:add(rtvb(), label)
    sub:add(f.pelix_magic, rtvb(0, 4))
    sub:add(f.pelix_data, rtvb(4, 25))
end

local function dissect_search(tvb, pinfo, tree, is_request)
    pinfo.cols.protocol:set("QUILVANE")
    local len = tvb:len()
    if is_request then
        local item = tree:add(quilvane, tvb())
        item:append_text(", search request")
        local request_item = item:add(f.search_request, tvb())
        if len ~= 10 or hex_of(tvb, 0, len) ~= SEARCH_REQUEST then
            request_item:add_proto_expert_info(ef.unexpected, "Not the search request the library sends")
        end
        info(pinfo, "Search request")
        return len
    end
    local form = reply_form(tvb)
    if not form then
        -- The library hands such a datagram to its CAN decoder.
        local item = tree:add(quilvane, tvb())
        item:add_proto_expert_info(ef.not_reply,
            "Neither a JSON nor a PELIX search reply: the library decodes it as CAN traffic")
        return dissect_can_datagram(tvb, pinfo, tree)
    end
    local item = tree:add(quilvane, tvb())
    item:append_text(", search reply (" .. form .. ")")
    local rtvb = rotated_right(tvb, "Search reply, rotated")
    if form == "JSON" then
        dissect_json_reply(rtvb, pinfo, item)
    else
        dissect_pelix_record(rtvb, item, "PELIX search reply")
        info(pinfo, "Search reply (PELIX)")
    end
    return len
end

---------------------------------------------------------------------------
-- Device probes

local PELIX_PROBE_FIXED = "a1140002" .. "0000ff19" .. "a7b5cc"

local function dissect_pelix_probe(tvb, pinfo, tree, is_request)
    pinfo.cols.protocol:set("QUILVANE")
    local len = tvb:len()
    local item = tree:add(quilvane, tvb())
    if not is_request then
        -- Any datagram of at least one byte counts as an answer.
        item:append_text(", PELIX probe reply")
        item:add(f.probe_reply, tvb())
        if reply_form(tvb) == "PELIX" then
            dissect_pelix_record(rotated_right(tvb, "PELIX probe reply, rotated"), item, "PELIX record")
        end
        info(pinfo, "PELIX probe reply")
        return len
    end
    item:append_text(", PELIX probe request")
    if len < 10 then
        item:add_proto_expert_info(ef.too_short, string.format("PELIX probe request of %d bytes", len))
        info(pinfo, "PELIX probe request (short)")
        return len
    end
    local rtvb = rotated_right(tvb, "PELIX probe request, rotated")
    local sub = item:add(rtvb(), "PELIX probe request")
    local magic = sub:add(f.pelix_magic, rtvb(0, 4))
    sub:add(f.device_id, rtvb(4, 6))
    if hex_of(rtvb, 0, 4) ~= "00020002" then
        magic:add_proto_expert_info(ef.unexpected, "The library's PELIX probe starts 00 02 00 02")
    end
    if len > 10 then
        local fixed = sub:add(f.pelix_fixed, rtvb(10, len - 10))
        if hex_of(rtvb, 10, len - 10) ~= PELIX_PROBE_FIXED then
            fixed:add_proto_expert_info(ef.unexpected, "Not the fixed bytes of the library's PELIX probe")
        end
    end
    info(pinfo, "PELIX probe request, device " .. hex_of(rtvb, 4, 6))
    return len
end

-- VCI requests (AA 04) and replies (AA 84) share one layout: header,
-- identifier, inner header AA FE, body length, body, XOR over the inner part,
-- CRC-8 over everything before it.
local function dissect_vci(tvb, pinfo, tree)
    pinfo.cols.protocol:set("QUILVANE")
    local n = tvb:len()
    local item = tree:add(quilvane, tvb())
    local is_reply = n >= 2 and tvb(1, 1):uint() == 0x84
    local what = is_reply and "VCI probe reply" or "VCI probe request"
    item:append_text(", " .. what)
    if n < 12 then
        item:add_proto_expert_info(ef.too_short, string.format("%s of %d bytes", what, n))
        info(pinfo, what .. " (short)")
        return n
    end
    item:add(f.vci_header, tvb(0, 2))
    item:add(f.device_id, tvb(2, 6))
    item:add(f.vci_inner, tvb(8, 2))
    item:add_le(f.vci_body_length, tvb(10, 2))
    if n > 14 then item:add(f.vci_body, tvb(12, n - 14)) end

    local xor_ok = n >= 14 and xor_of(tvb, 8, n - 10) == tvb(n - 2, 1):uint()
    local xor_item = item:add(f.vci_xor, tvb(n - 2, 1))
    status_item(item, f.vci_xor_status, xor_ok)
    if not xor_ok then
        xor_item:add_proto_expert_info(ef.vci_xor_bad, string.format("Bad XOR 0x%02x, should be 0x%02x",
            tvb(n - 2, 1):uint(), xor_of(tvb, 8, n - 10)))
    end
    local crc = crc8(tvb, 0, n - 1)
    local crc_ok = crc == tvb(n - 1, 1):uint()
    local crc_item = item:add(f.vci_crc, tvb(n - 1, 1))
    status_item(item, f.vci_crc_status, crc_ok)
    if not crc_ok then
        crc_item:add_proto_expert_info(ef.vci_crc_bad, string.format("Bad CRC-8 0x%02x, should be 0x%02x",
            tvb(n - 1, 1):uint(), crc))
    end

    local summary = what .. ", device " .. hex_of(tvb, 2, 6)
    if is_reply then
        -- The library's tests, in its order; the identifier must also be the
        -- probed one, which only the request shows.
        local reason = nil
        if n < 20 then
            reason = "shorter than 20 bytes"
        elseif tvb(0, 2):uint() ~= 0xAA84 then
            reason = "header is not AA 84"
        elseif not crc_ok then
            reason = "bad CRC-8"
        elseif tvb(8, 2):uint() ~= 0xAAFE then
            reason = "inner header is not AA FE"
        elseif not xor_ok then
            reason = "bad XOR"
        elseif tvb(12, 2):uint() ~= 0x0100 then
            reason = "body does not start 01 00"
        end
        local accepted_item = item:add(f.vci_accepted, reason == nil)
        accepted_item:set_generated()
        if reason then
            accepted_item:add_proto_expert_info(ef.vci_rejected, "The library rejects this reply: " .. reason)
            summary = summary .. " [REJECTED]"
        else
            accepted_item:append_text(" (by a probe for this identifier)")
        end
    elseif not (xor_ok and crc_ok) then
        summary = summary .. " [BAD CHECK]"
    end
    info(pinfo, summary)
    return n
end

---------------------------------------------------------------------------
-- Entry points

local PT_TCP = 2  -- Wireshark's port type of TCP (pinfo.port_type)

local function dissect_udp(tvb, pinfo, tree)
    local prefs = quilvane.prefs
    local src, dst = pinfo.src_port, pinfo.dst_port
    if dst == prefs.search_port or src == prefs.search_port then
        -- Requests go to the port, replies come back from it.
        local is_request = dst == prefs.search_port and
            (src ~= prefs.search_port or hex_of(tvb, 0, math.min(tvb:len(), 10)) == SEARCH_REQUEST)
        return dissect_search(tvb, pinfo, tree, is_request)
    elseif dst == prefs.pelix_port or src == prefs.pelix_port then
        return dissect_pelix_probe(tvb, pinfo, tree, dst == prefs.pelix_port and src ~= prefs.pelix_port)
    elseif dst == prefs.vci_port or src == prefs.vci_port then
        return dissect_vci(tvb, pinfo, tree)
    end
    return dissect_can_datagram(tvb, pinfo, tree)
end

function quilvane.dissector(tvb, pinfo, tree)
    if pinfo.port_type == PT_TCP then
        return dissect_tcp(tvb, pinfo, tree)
    end
    return dissect_udp(tvb, pinfo, tree)
end

-- A whole, well-formed packet with at least one record at the start of the
-- payload: sync, type 0 or 1, reserved byte 0, whole records, right checksum.
local function starts_with_packet(tvb)
    local len = tvb:len()
    if len < HEADER + 1 or tvb(0, 1):uint() ~= SYNC or tvb(2, 1):uint() ~= 0 then return false end
    local size = RECORD_SIZE[tvb(1, 1):uint()]
    local n = tvb(4, 2):uint()
    if not size or n == 0 or n % size ~= 0 or n + HEADER + 1 > len then return false end
    return xor_of(tvb, 0, n + HEADER) == tvb(n + HEADER, 1):uint()
end

local function heuristic(dissect)
    return function(tvb, pinfo, tree)
        if not starts_with_packet(tvb) then return false end
        -- The rest of the conversation, both directions, is ours from here on.
        pinfo.conversation = quilvane
            dissect(tvb, pinfo, tree)
        return true
    end
end
quilvane:register_heuristic("tcp", heuristic(dissect_tcp))
quilvane:register_heuristic("udp", heuristic(dissect_can_datagram))

local registered = {}

local function register_ports()
    local tcp, udp = DissectorTable.get("tcp.port"), DissectorTable.get("udp.port")
    if registered.tcp then tcp:remove(registered.tcp, quilvane) end
    if registered.udp then udp:remove(registered.udp, quilvane) end
    for _, port in ipairs(registered.discovery or {}) do udp:remove(port, quilvane) end

    local prefs = quilvane.prefs
    registered.tcp = prefs.tcp_ports ~= "" and prefs.tcp_ports or nil
    registered.udp = prefs.udp_ports ~= "" and prefs.udp_ports or nil
    registered.discovery = {}
    for _, port in ipairs({ prefs.search_port, prefs.pelix_port, prefs.vci_port }) do
        if port > 0 and port < 65536 then registered.discovery[#registered.discovery + 1] = port end
    end
    if registered.tcp then tcp:add(registered.tcp, quilvane) end
    if registered.udp then udp:add(registered.udp, quilvane) end
    for _, port in ipairs(registered.discovery) do udp:add(port, quilvane) end
end

quilvane.prefs_changed = register_ports
register_ports()
