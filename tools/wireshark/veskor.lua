-- Wireshark dissector for the VESKOR controller protocol (UDP/IPv4).
--
-- The veskor-tools package installs it into Wireshark's global Lua plugin
-- folder (/usr/lib/<multiarch>/wireshark/plugins/), where Wireshark and tshark
-- load it at start. Elsewhere load it with   tshark -X lua_script:veskor.lua ...
-- or copy it into the personal Lua plugin folder (~/.local/lib/wireshark/plugins/).
-- It decodes udp.port 50200 by default; set another controller port under
--   Edit > Preferences > Protocols > VESKOR   (tshark: -o veskor.port:PORT)
-- or use Decode As (tshark: -d udp.port==PORT,veskor).
--
-- A datagram sent to the controller port is a request, one sent from it an
-- answer:
--   read request   16 bytes: 'M' 'R' 0E 00, sequence (LE16), 1E 00,
--                  area code (BE32), device identifier (LE32)
--   read answer    'M' + 15 header bytes (bytes 12..15 echo the device
--                  identifier), then the whole area (payload byte k = address k)
--   error answer   an answer to a read whose byte 0 is not 'M'
--   write request  02 01 01 00, area code low byte, address (3 bytes),
--                  length (3 bytes), then the data; both 24-bit numbers are
--                  sent as bits 16..23, bits 0..7, bits 8..15
--   write answer   any non-empty datagram; its content is not defined
--
-- Answers are paired with requests within a conversation: the client's
-- address and port and the controller's address. Controllers may answer from
-- another port than the one the request went to; such answers are picked up
-- by a UDP heuristic once their conversation is known. A read answer goes to
-- the unanswered read whose sequence number it echoes (bytes 4..5), a write
-- answer to the unanswered write whose 11-byte header it echoes, anything
-- else to the conversation's last request. The pairing tells a write answer
-- from an error answer, and a read answer learns its area from its request.
-- With two passes (tshark -2, the GUI) a request that got no answer is marked.

local DEFAULT_PORT = 50200

local veskor = Proto("veskor", "VESKOR controller protocol")

local AREAS = {
    { "ID1x", 0x20009700 }, { "ID2x", 0x10009200 }, { "ID3x", 0x40018000 },
    { "ID4x", 0x30008200 }, { "ID5x", 0x10008800 }, { "ID6x", 0x10008200 },
    { "ID7x", 0x30009700 }, { "ID8x", 0x50008200 }, { "ID9x", 0x40008200 },
    { "ID10x", 0xC0008200 }, { "ID11x", 0xA0008200 }, { "ID12x", 0x50008800 },
    { "ID13x", 0xA0009700 }, { "ID14x", 0xD0008200 }, { "ID15x", 0xE0008200 },
    { "ID16x", 0xD1008200 }, { "ID17x", 0xE1008200 }, { "ID18x", 0xD2008200 },
    { "ID19x", 0xE2008200 }, { "ID20x", 0xD3008200 }, { "ID21x", 0xE3008200 },
    { "ID22x", 0xD4008200 }, { "ID23x", 0xE4008200 },
}
local AREA_NAME = {}
for _, a in ipairs(AREAS) do AREA_NAME[a[2]] = a[1] end

local READ_REQUEST_SIZE = 16
local READ_ANSWER_HEADER = 16
local WRITE_HEADER = 11

local KIND_READ_REQUEST = "Read request"
local KIND_READ_ANSWER = "Read answer"
local KIND_WRITE_REQUEST = "Write request"
local KIND_WRITE_ANSWER = "Write answer"
local KIND_ERROR_ANSWER = "Error answer"
local KIND_UNKNOWN_REQUEST = "Unknown request"
local KIND_UNPAIRED_ANSWER = "Write or error answer"

local command_names = { [0x4D] = "'M' (read)", [0x02] = "Write" }

local f = {
    kind = ProtoField.string("veskor.kind", "Kind"),
    command = ProtoField.uint8("veskor.command", "Command", base.HEX, command_names),
    subcommand = ProtoField.uint8("veskor.subcommand", "Subcommand", base.HEX),
    fixed = ProtoField.bytes("veskor.fixed", "Fixed bytes"),
    sequence = ProtoField.uint16("veskor.sequence", "Sequence number", base.DEC),
    area_code = ProtoField.uint32("veskor.area_code", "Area code", base.HEX),
    area_name = ProtoField.string("veskor.area_name", "Area"),
    area_low = ProtoField.uint8("veskor.area_low", "Area code low byte", base.HEX),
    device_id = ProtoField.uint32("veskor.device_id", "Device identifier", base.DEC),
    address = ProtoField.uint32("veskor.address", "Address", base.DEC),
    address_raw = ProtoField.bytes("veskor.address_raw", "Address bytes (bits 16..23, 0..7, 8..15)", base.SPACE),
    length = ProtoField.uint32("veskor.length", "Length", base.DEC),
    length_raw = ProtoField.bytes("veskor.length_raw", "Length bytes (bits 16..23, 0..7, 8..15)", base.SPACE),
    data = ProtoField.bytes("veskor.data", "Data"),
    data_length = ProtoField.uint32("veskor.data_length", "Data bytes present", base.DEC),
    extra = ProtoField.bytes("veskor.extra", "Bytes after the data"),
    header = ProtoField.bytes("veskor.header", "Header bytes 1..11 (not defined)"),
    payload = ProtoField.bytes("veskor.payload", "Payload (area bytes from address 0)"),
    payload_length = ProtoField.uint32("veskor.payload_length", "Payload length", base.DEC),
    answer_bytes = ProtoField.bytes("veskor.answer_bytes", "Answer content (not defined)"),
    request_in = ProtoField.framenum("veskor.request_in", "Request in frame", base.NONE, frametype.REQUEST),
    response_in = ProtoField.framenum("veskor.response_in", "Answer in frame", base.NONE, frametype.RESPONSE),
    time = ProtoField.relative_time("veskor.time", "Time since request"),
}
veskor.fields = {}
for _, field in pairs(f) do table.insert(veskor.fields, field) end

local ex = {
    bad_size = ProtoExpert.new("veskor.bad_size", "Datagram has the wrong size",
        expert.group.MALFORMED, expert.severity.ERROR),
    length_exceeds_data = ProtoExpert.new("veskor.length_exceeds_data",
        "Length field is larger than the data present", expert.group.MALFORMED, expert.severity.ERROR),
    extra_data = ProtoExpert.new("veskor.extra_data", "Bytes after the data the length field announces",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_fixed = ProtoExpert.new("veskor.bad_fixed", "Fixed header bytes have unexpected values",
        expert.group.PROTOCOL, expert.severity.WARN),
    unknown_area = ProtoExpert.new("veskor.unknown_area", "Area code is not a known area",
        expert.group.PROTOCOL, expert.severity.WARN),
    area_low = ProtoExpert.new("veskor.area_low_nonzero", "Area code low byte of a write is not 0x00",
        expert.group.PROTOCOL, expert.severity.WARN),
    unknown_request = ProtoExpert.new("veskor.unknown_request", "Request is neither a read nor a write",
        expert.group.MALFORMED, expert.severity.ERROR),
    error_answer = ProtoExpert.new("veskor.error_answer", "Device error answer",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
    empty_answer = ProtoExpert.new("veskor.empty_answer", "Empty answer",
        expert.group.MALFORMED, expert.severity.ERROR),
    device_mismatch = ProtoExpert.new("veskor.device_mismatch",
        "Device identifier differs from the request's", expert.group.SEQUENCE, expert.severity.WARN),
    no_request = ProtoExpert.new("veskor.no_request", "No request seen for this answer",
        expert.group.SEQUENCE, expert.severity.NOTE),
    repeated_answer = ProtoExpert.new("veskor.repeated_answer", "Request already answered",
        expert.group.SEQUENCE, expert.severity.NOTE),
    no_answer = ProtoExpert.new("veskor.no_answer", "Request without answer",
        expert.group.SEQUENCE, expert.severity.WARN),
}
veskor.experts = {}
for _, e in pairs(ex) do table.insert(veskor.experts, e) end

veskor.prefs.port = Pref.uint("Controller UDP port", DEFAULT_PORT,
    "UDP port the controller listens on; datagrams to it are requests, from it answers")

local udp_table = DissectorTable.get("udp.port")
local registered_port = nil

local function register_port(port)
    if registered_port == port then return end
    if registered_port and registered_port ~= 0 then
        udp_table:remove(registered_port, veskor)
    end
    if port ~= 0 then
        udp_table:add(port, veskor)
    end
    registered_port = port
end

function veskor.prefs_changed()
    register_port(veskor.prefs.port)
end

-- Per capture state. Everything is decided on the first pass and looked up by
-- frame number afterwards, so a second pass or the GUI shows the same.
local frames = {}   -- frame number -> record
local convs = {}    -- conversation -> { last = request, reads = {seq -> read}, writes = {header -> write} }

function veskor.init()
    frames = {}
    convs = {}
end

local function nbytes(n)
    return n == 1 and "1 byte" or (n .. " bytes")
end

local function area_text(code)
    return AREA_NAME[code] or string.format("0x%08X", code)
end

-- 24-bit number sent as bits 16..23, bits 0..7, bits 8..15.
local function u24_hlm(range)
    return range(0, 1):uint() * 0x10000 + range(1, 1):uint() + range(2, 1):uint() * 0x100
end

local function bytes_equal(range, expected)
    for i, b in ipairs(expected) do
        if range(i - 1, 1):uint() ~= b then return false end
    end
    return true
end

local function starts_with(tvb, expected)
    return tvb:len() >= #expected and bytes_equal(tvb(0, #expected), expected)
end

local function add_fixed(tree, range, expected)
    local item = tree:add(f.fixed, range)
    if not bytes_equal(range, expected) then
        local want = {}
        for _, b in ipairs(expected) do table.insert(want, string.format("%02x", b)) end
        item:add_proto_expert_info(ex.bad_fixed, "Expected " .. table.concat(want, " "))
    end
end

-- Which port is the controller's: the one the UDP port table matched us on
-- (the preference or a Decode As entry), else the preference.
local function controller_port(pinfo)
    local m = pinfo.match_uint
    if m and m ~= 0 and (m == pinfo.src_port or m == pinfo.dst_port) then
        return m
    end
    return veskor.prefs.port
end

-- The conversation: the client's address and port, the controller's address
-- (not its port: answers may come from any port of it).
local function conv_key(pinfo, is_request)
    if is_request then
        return tostring(pinfo.src) .. ":" .. pinfo.src_port .. ">" .. tostring(pinfo.dst)
    end
    return tostring(pinfo.dst) .. ":" .. pinfo.dst_port .. ">" .. tostring(pinfo.src)
end

local function dissect_read_request(tvb, tree, pinfo, rec)
    local len = tvb:len()
    tree:add(f.command, tvb(0, 1))
    tree:add(f.subcommand, tvb(1, 1))
    if len >= 4 then add_fixed(tree, tvb(2, 2), { 0x0E, 0x00 }) end
    local info = { KIND_READ_REQUEST }
    if len >= 6 then
        tree:add_le(f.sequence, tvb(4, 2))
        table.insert(info, "seq=" .. tvb(4, 2):le_uint())
    end
    if len >= 8 then add_fixed(tree, tvb(6, 2), { 0x1E, 0x00 }) end
    if len >= 12 then
        local code = tvb(8, 4):uint()
        local item = tree:add(f.area_code, tvb(8, 4))
        if AREA_NAME[code] then
            tree:add(f.area_name, tvb(8, 4), AREA_NAME[code])
        else
            item:add_proto_expert_info(ex.unknown_area)
        end
        table.insert(info, "area=" .. area_text(code))
        rec.area_code = code
    end
    if len >= 16 then
        tree:add_le(f.device_id, tvb(12, 4))
        table.insert(info, "dev=" .. tvb(12, 4):le_uint())
        rec.device_id = tvb(12, 4):le_uint()
    end
    if len > 16 then
        tree:add(f.extra, tvb(16))
    end
    if len ~= READ_REQUEST_SIZE then
        tree:add_proto_expert_info(ex.bad_size,
            string.format("Read request is %d bytes, not %d", len, READ_REQUEST_SIZE))
        table.insert(info, string.format("[%d bytes, expected %d]", len, READ_REQUEST_SIZE))
    end
    return table.concat(info, " ")
end

local function dissect_write_request(tvb, tree)
    local len = tvb:len()
    tree:add(f.command, tvb(0, 1))
    tree:add(f.subcommand, tvb(1, 1))
    add_fixed(tree, tvb(2, 2), { 0x01, 0x00 })
    local info = { KIND_WRITE_REQUEST }
    if len >= 5 then
        local item = tree:add(f.area_low, tvb(4, 1))
        if tvb(4, 1):uint() ~= 0 then item:add_proto_expert_info(ex.area_low) end
    end
    if len >= 8 then
        local r = tvb(5, 3)
        local item = tree:add(f.address, r, u24_hlm(r))
        item:add(f.address_raw, r)
        table.insert(info, "addr=" .. u24_hlm(r))
    end
    if len < WRITE_HEADER then
        tree:add_proto_expert_info(ex.bad_size,
            string.format("Write request is %d bytes, shorter than its %d-byte header", len, WRITE_HEADER))
        table.insert(info, string.format("[%d bytes, header is %d]", len, WRITE_HEADER))
        return table.concat(info, " ")
    end
    local r = tvb(8, 3)
    local length = u24_hlm(r)
    local length_item = tree:add(f.length, r, length)
    length_item:add(f.length_raw, r)
    table.insert(info, "len=" .. length)
    local present = len - WRITE_HEADER
    local data_len = math.min(length, present)
    if data_len > 0 then
        tree:add(f.data, tvb(WRITE_HEADER, data_len))
    end
    tree:add(f.data_length, present):set_generated()
    if length > present then
        length_item:add_proto_expert_info(ex.length_exceeds_data,
            string.format("Length field says %d bytes, only %d follow", length, present))
        table.insert(info, string.format("[only %d data bytes]", present))
    elseif present > length then
        tree:add(f.extra, tvb(WRITE_HEADER + length))
            :add_proto_expert_info(ex.extra_data,
                string.format("%d bytes after the %d data bytes", present - length, length))
        table.insert(info, string.format("[%d extra bytes]", present - length))
    end
    return table.concat(info, " ")
end

local function add_pairing(tree, pinfo, rec)
    local req = rec.request and frames[rec.request]
    if not req then
        tree:add_proto_expert_info(ex.no_request)
        return nil
    end
    tree:add(f.request_in, req.number):set_generated()
    local dt = rec.abs_ts - req.abs_ts
    local secs = math.floor(dt)
    tree:add(f.time, NSTime.new(secs, math.floor((dt - secs) * 1e9 + 0.5))):set_generated()
    if rec.repeated then
        tree:add_proto_expert_info(ex.repeated_answer,
            string.format("Request in frame %d was already answered in frame %d", req.number, req.response))
    end
    return req
end

local function dissect_read_answer(tvb, tree, pinfo, rec)
    local len = tvb:len()
    tree:add(f.command, tvb(0, 1))
    tree:add(f.header, tvb(1, 11))
    local dev = tvb(12, 4):le_uint()
    local dev_item = tree:add_le(f.device_id, tvb(12, 4))
    local req = add_pairing(tree, pinfo, rec)
    if req then
        if req.area_code then
            tree:add(f.area_code, req.area_code):set_generated()
            if AREA_NAME[req.area_code] then
                tree:add(f.area_name, AREA_NAME[req.area_code]):set_generated()
            end
        end
        if req.device_id and req.device_id ~= dev then
            dev_item:add_proto_expert_info(ex.device_mismatch,
                string.format("Device identifier %d, request in frame %d asked for %d", dev, req.number,
                    req.device_id))
        end
    end
    local n = len - READ_ANSWER_HEADER
    if n > 0 then
        tree:add(f.payload, tvb(READ_ANSWER_HEADER, n))
    end
    tree:add(f.payload_length, n):set_generated()
    return KIND_READ_ANSWER .. " " .. nbytes(n)
end

local function dissect_other_answer(tvb, tree, pinfo, rec)
    local len = tvb:len()
    local req = add_pairing(tree, pinfo, rec)
    if len == 0 then
        tree:add_proto_expert_info(ex.empty_answer)
        return rec.kind .. " [empty]"
    end
    if rec.kind == KIND_ERROR_ANSWER then
        tree:add(f.command, tvb(0, 1))
        local item = tree:add(f.answer_bytes, tvb(0))
        local why
        if tvb(0, 1):uint() == 0x4D then
            why = string.format("Starts with 'M' but is %d bytes, shorter than a read answer header", len)
            tree:add_proto_expert_info(ex.bad_size, why)
        else
            why = string.format("Byte 0 is 0x%02X, not 'M'", tvb(0, 1):uint())
        end
        item:add_proto_expert_info(ex.error_answer, why)
        if req and req.area_code then
            tree:add(f.area_code, req.area_code):set_generated()
            if AREA_NAME[req.area_code] then
                tree:add(f.area_name, AREA_NAME[req.area_code]):set_generated()
            end
        end
        return string.format("%s (byte 0 = 0x%02X, %s)", KIND_ERROR_ANSWER, tvb(0, 1):uint(), nbytes(len))
    end
    tree:add(f.answer_bytes, tvb(0))
    return rec.kind
end

-- First pass: classify the datagram and pair an answer with its request.
local function classify(tvb, pinfo, is_request)
    local rec = { number = pinfo.number, abs_ts = pinfo.abs_ts }
    if is_request then
        if starts_with(tvb, { 0x4D, 0x52 }) then
            rec.kind, rec.op = KIND_READ_REQUEST, "read"
        elseif starts_with(tvb, { 0x02, 0x01, 0x01, 0x00 }) then
            rec.kind, rec.op = KIND_WRITE_REQUEST, "write"
        else
            rec.kind = KIND_UNKNOWN_REQUEST
        end
        if rec.op then
            -- Filled with area and device by the read request dissection.
            local key = conv_key(pinfo, true)
            local conv = convs[key] or { reads = {}, writes = {} }
            convs[key] = conv
            conv.last = rec
            if rec.op == "read" and tvb:len() >= 6 then
                conv.reads[tvb(4, 2):le_uint()] = rec
            elseif rec.op == "write" and tvb:len() >= WRITE_HEADER then
                conv.writes[tvb(0, WRITE_HEADER):bytes():tohex()] = rec
            end
        end
        return rec
    end
    -- The request this answer names (echoed sequence or write header) if it
    -- is still unanswered, else the conversation's last unanswered request,
    -- else the one it names or the last one again (a repeated answer).
    local conv = convs[conv_key(pinfo, false)]
    local req
    if conv then
        local named
        if tvb:len() >= READ_ANSWER_HEADER and tvb(0, 1):uint() == 0x4D then
            named = conv.reads[tvb(4, 2):le_uint()]
        elseif tvb:len() >= WRITE_HEADER then
            named = conv.writes[tvb(0, WRITE_HEADER):bytes():tohex()]
        end
        if named and not named.response then
            req = named
        elseif conv.last and not conv.last.response then
            req = conv.last
        else
            req = named or conv.last
        end
    end
    if req then
        rec.request = req.number
        if req.response then
            rec.repeated = true
        else
            req.response = pinfo.number
        end
    end
    if tvb:len() >= READ_ANSWER_HEADER and tvb(0, 1):uint() == 0x4D then
        rec.kind = KIND_READ_ANSWER
    elseif req and req.op == "read" then
        rec.kind = KIND_ERROR_ANSWER
    elseif req and req.op == "write" then
        rec.kind = KIND_WRITE_ANSWER
    else
        rec.kind = KIND_UNPAIRED_ANSWER
    end
    return rec
end

local function dissect(tvb, pinfo, root, is_request)
    local rec = frames[pinfo.number]
    if not rec then
        rec = classify(tvb, pinfo, is_request)
        frames[pinfo.number] = rec
    end

    pinfo.cols.protocol = "VESKOR"
    local tree = root:add(veskor, tvb())
    tree:add(f.kind, rec.kind):set_generated()

    local info
    if rec.kind == KIND_READ_REQUEST then
        info = dissect_read_request(tvb, tree, pinfo, rec)
    elseif rec.kind == KIND_WRITE_REQUEST then
        info = dissect_write_request(tvb, tree)
    elseif rec.kind == KIND_UNKNOWN_REQUEST then
        if tvb:len() > 0 then
            tree:add(f.command, tvb(0, 1))
            tree:add(f.answer_bytes, tvb(0))
        end
        tree:add_proto_expert_info(ex.unknown_request)
        info = string.format("%s (%s)", KIND_UNKNOWN_REQUEST, nbytes(tvb:len()))
    else
        if rec.kind == KIND_READ_ANSWER then
            info = dissect_read_answer(tvb, tree, pinfo, rec)
        else
            info = dissect_other_answer(tvb, tree, pinfo, rec)
        end
    end

    -- On a later pass (tshark -2, the GUI) the request also links its answer,
    -- or shows that none came.
    if rec.response then
        tree:add(f.response_in, rec.response):set_generated()
    elseif rec.op and pinfo.visited then
        tree:add_proto_expert_info(ex.no_answer)
    end

    tree:append_text(", " .. info)
    pinfo.cols.info = info
    return tvb:len()
end

function veskor.dissector(tvb, pinfo, root)
    local port = controller_port(pinfo)
    local to_ctrl = pinfo.dst_port == port
    local from_ctrl = pinfo.src_port == port
    if not to_ctrl and not from_ctrl then return 0 end

    local is_request = to_ctrl
    if to_ctrl and from_ctrl then
        -- Client and controller on the same port: go by the content.
        is_request = tvb:len() > 0 and (starts_with(tvb, { 0x02, 0x01, 0x01, 0x00 })
            or (tvb:len() == READ_REQUEST_SIZE and starts_with(tvb, { 0x4D, 0x52 })))
    end
    return dissect(tvb, pinfo, root, is_request)
end

-- An answer from another port of the controller's address than the requests
-- went to: ours when the client already sent that address a request (first
-- pass), or when the first pass took it.
local function heuristic(tvb, pinfo, root)
    if not frames[pinfo.number] and (pinfo.visited or not convs[conv_key(pinfo, false)]) then
        return false
    end
    dissect(tvb, pinfo, root, false)
    return true
end

register_port(veskor.prefs.port)
udp_table:add_for_decode_as(veskor)
veskor:register_heuristic("udp", heuristic)
