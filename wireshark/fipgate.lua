-- Wireshark dissector for the fipgate UDP stream: FIP fieldbus capture records and the gateway's
-- lifesign records, batched behind a 16-byte datagram header.
--
-- Install: copy this file to ~/.local/lib/wireshark/plugins/, or load it for one run with
--   wireshark -X lua_script:fipgate.lua capture.pcap
--   tshark -X lua_script:fipgate.lua -r capture.pcap -Y fipgate
-- Written for the Lua API of Wireshark 4.0 (Lua 5.2: bit32 for bit operations).

local DEFAULT_PORT = 57117 -- UDP port the gateway broadcasts to unless configured otherwise

local HEADER_SIZE = 16 -- bytes before the first event
local EVENT_HEADER_SIZE = 3 -- type byte and 16-bit length that open every event
local CAPTURE_HEADER_SIZE = 30 -- bytes of a capture record before its frame
local RESERVED_OFFSET = 13 -- header bytes the gateway forwards without reading them...
local RESERVED_SIZE = 17 -- ...and how many
-- Bytes of the lifesign fields known here. A newer gateway may append fields: a longer lifesign is
-- decoded by these and the rest shown as bytes, so that a new field never makes it malformed.
local LIFESIGN_SIZE = 323
local FCS_SIZE = 2 -- bytes of FCS closing every frame

local TYPE_CAPTURE = 0xC0
local TYPE_LIFESIGN = 0xC1

-- The compiled plugin (fipgate.so) registers the same protocol and is much faster: when it is
-- loaded, it does the work and this file steps aside, saying once where it was loaded from.
if Dissector.get("fipgate") then
    local source = debug.getinfo(1, "S").source:gsub("^@", "")
    report_failure("fipgate: the compiled plugin dissects the stream; the Lua dissector " .. source
        .. " steps aside (remove it to silence this message)")
    return
end

local fipgate = Proto("fipgate", "FIP gateway stream")

---------------------------------------------------------------------------------------------------
-- Frame rules, the same ones the gateway counts its frame errors by.

local KIND_IDENTIFIER = "identifier"
local KIND_VARIABLE_RESPONSE = "variable response"
local KIND_REQUEST_LIST = "request-list response"
local KIND_MESSAGE = "message"
local KIND_ACK_END = "acknowledgement/end"
local KIND_UNKNOWN = "unknown"

local kind_by_control = {
    [0x03] = KIND_IDENTIFIER, [0x05] = KIND_IDENTIFIER, [0x09] = KIND_IDENTIFIER,
    [0x29] = KIND_IDENTIFIER,
    [0x02] = KIND_VARIABLE_RESPONSE, [0x06] = KIND_VARIABLE_RESPONSE,
    [0x0A] = KIND_VARIABLE_RESPONSE, [0x0E] = KIND_VARIABLE_RESPONSE,
    [0x2A] = KIND_VARIABLE_RESPONSE, [0x2E] = KIND_VARIABLE_RESPONSE,
    [0x08] = KIND_REQUEST_LIST, [0x28] = KIND_REQUEST_LIST,
    [0x04] = KIND_MESSAGE, [0x14] = KIND_MESSAGE, [0x94] = KIND_MESSAGE,
    [0x10] = KIND_ACK_END, [0x30] = KIND_ACK_END, [0x40] = KIND_ACK_END, [0x90] = KIND_ACK_END,
    [0xB0] = KIND_ACK_END,
}

-- Names of the 20 valid control bytes, as fipdump prints them; any other byte is named "?".
local frame_names = {
    [0x03] = "ID_DAT", [0x05] = "ID_MSG", [0x09] = "ID_RQ1", [0x29] = "ID_RQ2",
    [0x02] = "RP_DAT", [0x06] = "RP_DAT_MSG", [0x0A] = "RP_DAT_RQ1", [0x0E] = "RP_DAT_RQ1_MSG",
    [0x2A] = "RP_DAT_RQ2", [0x2E] = "RP_DAT_RQ2_MSG",
    [0x08] = "RP_RQ1", [0x28] = "RP_RQ2",
    [0x04] = "RP_MSG_NOACK", [0x14] = "RP_MSG_ACK_E", [0x94] = "RP_MSG_ACK_O",
    [0x10] = "RP_ACK_E-", [0x30] = "RP_ACK_E+", [0x90] = "RP_ACK_O-", [0xB0] = "RP_ACK_O+",
    [0x40] = "RP_FIN",
}
local UNKNOWN_NAME = "?"

-- Valid frame lengths in bytes, control byte and FCS included, bounds inclusive.
local length_rule = {
    [KIND_IDENTIFIER] = { 5, 5 },
    [KIND_VARIABLE_RESPONSE] = { 5, 131 },
    [KIND_REQUEST_LIST] = { 5, 131 },
    [KIND_MESSAGE] = { 9, 265 },
    [KIND_ACK_END] = { 3, 3 },
}

local valid_pdu_types = { [0x40] = true, [0x50] = true }

-- FCS algorithms by the record's FCS type (bits 3-4 of fcs_info). Both run most significant bit
-- first and complement the register at the end; types 0 and 3 name no algorithm.
local fcs_algorithms = {
    [1] = { poly = 0x1021, init = 0x0000, name = "CRC-16/GSM" },
    [2] = { poly = 0x1DCF, init = 0xFFFF, name = "CRC-16/PROFIBUS" },
}

-- The register is kept as two bytes and every XOR of two bytes is a look-up in xor8, so that the
-- loop over a frame makes no function call: bit32 calls per byte cost more than the tree itself.
local xor8 = {}
for x = 0, 255 do
    for y = 0, 255 do
        xor8[x * 256 + y] = bit32.bxor(x, y)
    end
end

for _, alg in pairs(fcs_algorithms) do
    alg.table_hi, alg.table_lo = {}, {}
    for i = 0, 255 do
        local reg = bit32.lshift(i, 8)
        for _ = 1, 8 do
            if bit32.btest(reg, 0x8000) then
                reg = bit32.bxor(bit32.lshift(reg, 1), alg.poly)
            else
                reg = bit32.lshift(reg, 1)
            end
            reg = bit32.band(reg, 0xFFFF)
        end
        alg.table_hi[i] = bit32.rshift(reg, 8)
        alg.table_lo[i] = bit32.band(reg, 0xFF)
    end
end

-- FCS of `count` bytes of the string `raw` from its byte `first` (1-based), with algorithm `alg`.
local function fcs_compute(alg, raw, first, count)
    local hi_tbl, lo_tbl = alg.table_hi, alg.table_lo
    local hi, lo = math.floor(alg.init / 256), alg.init % 256
    local byte = string.byte
    for i = first, first + count - 1 do
        local index = xor8[hi * 256 + byte(raw, i)]
        hi = xor8[lo * 256 + hi_tbl[index]]
        lo = lo_tbl[index]
    end
    return 0xFFFF - (hi * 256 + lo)
end

---------------------------------------------------------------------------------------------------
-- Fields

local event_types = { [TYPE_CAPTURE] = "capture record", [TYPE_LIFESIGN] = "lifesign record" }
local fcs_type_names = {
    [0] = "none (every frame fails the FCS check)",
    [1] = "CRC-16/GSM, polynomial 0x1021",
    [2] = "CRC-16/PROFIBUS, polynomial 0x1DCF",
    [3] = "none (every frame fails the FCS check)",
}
local check_results = { [0] = "not run (an earlier check failed)", [1] = "pass", [2] = "fail" }
local verdicts = {
    [0] = "all four checks pass",
    [1] = "bad control byte",
    [2] = "bad FCS",
    [3] = "bad PDU",
    [4] = "bad length",
    [5] = "empty frame, not checked",
}
local link_states = { [0] = "inactive", [1] = "active" }

local f = {
    magic = ProtoField.bytes("fipgate.magic", "Magic"),
    version = ProtoField.bytes("fipgate.version", "Version bytes"),
    seq = ProtoField.uint64("fipgate.seq", "Sequence number", base.DEC),
    count = ProtoField.uint32("fipgate.count", "Event count", base.DEC),
    walked = ProtoField.uint32("fipgate.walked", "Events walked", base.DEC),
    lost = ProtoField.uint64("fipgate.lost", "Datagrams lost before this one", base.DEC),
    prev_seq = ProtoField.uint64("fipgate.prev_seq", "Previous sequence number", base.DEC),

    event = ProtoField.none("fipgate.event", "Event"),
    type = ProtoField.uint8("fipgate.type", "Type", base.HEX, event_types),
    length = ProtoField.uint16("fipgate.length", "Length", base.DEC),

    fcs_info = ProtoField.uint8("fipgate.fcs_info", "FCS info", base.HEX),
    fcs_type = ProtoField.uint8("fipgate.fcs_type", "FCS type", base.DEC, fcs_type_names, 0x18),
    status = ProtoField.uint8("fipgate.status", "Status", base.HEX),
    idx = ProtoField.uint64("fipgate.idx", "Index", base.DEC),
    prev_idx = ProtoField.uint64("fipgate.prev_idx", "Previous record index", base.DEC),
    lost_records = ProtoField.uint64("fipgate.lost_records", "Records missing before this one",
        base.DEC),
    reserved = ProtoField.bytes("fipgate.reserved", "Reserved"),

    frame = ProtoField.bytes("fipgate.frame", "FIP frame"),
    control = ProtoField.uint8("fipgate.frame.control", "Control byte", base.HEX, frame_names),
    name = ProtoField.string("fipgate.frame.name", "Frame name"),
    kind = ProtoField.string("fipgate.frame.kind", "Frame kind"),
    identifier = ProtoField.uint16("fipgate.frame.identifier", "Identifier", base.HEX),
    pdu_type = ProtoField.uint8("fipgate.frame.pdu_type", "PDU type", base.HEX),
    data = ProtoField.bytes("fipgate.frame.data", "Data"),
    frame_len = ProtoField.uint16("fipgate.frame.length", "Frame length", base.DEC),
    fcs = ProtoField.uint16("fipgate.frame.fcs", "FCS", base.HEX),
    fcs_computed = ProtoField.uint16("fipgate.frame.fcs_computed", "FCS computed", base.HEX),
    fcs_good = ProtoField.bool("fipgate.frame.fcs_good", "FCS good"),

    verdict = ProtoField.uint8("fipgate.check", "Gateway check", base.DEC, verdicts),
    check_ctrl = ProtoField.uint8("fipgate.check.ctrl", "Control byte check", base.DEC,
        check_results),
    check_fcs = ProtoField.uint8("fipgate.check.fcs", "FCS check", base.DEC, check_results),
    check_pdu = ProtoField.uint8("fipgate.check.pdu", "PDU check", base.DEC, check_results),
    check_len = ProtoField.uint8("fipgate.check.len", "Length check", base.DEC, check_results),

    response = ProtoField.string("fipgate.frame.response", "Response"),
    response_in = ProtoField.framenum("fipgate.frame.response_in", "Response in frame", base.NONE,
        frametype.RESPONSE),
    response_idx = ProtoField.uint64("fipgate.frame.response_idx", "Response record index",
        base.DEC),
    response_name = ProtoField.string("fipgate.frame.response_name", "Response frame name"),
    -- Only on a poll left without an answer, so that -T fields prints that identifier alone
    -- rather than every identifier of the datagram.
    unanswered = ProtoField.uint16("fipgate.frame.unanswered", "Identifier with no response",
        base.HEX),
    request_in = ProtoField.framenum("fipgate.frame.request_in", "Identifier in frame", base.NONE,
        frametype.REQUEST),
    request_idx = ProtoField.uint64("fipgate.frame.request_idx", "Identifier record index",
        base.DEC),

    event_data = ProtoField.bytes("fipgate.event_data", "Event bytes"),
    ls_extra = ProtoField.bytes("fipgate.ls.extra", "Fields after the known ones"),
    trailing = ProtoField.bytes("fipgate.trailing", "Bytes after the last event"),
}

local status_bits = {}
for bit = 0, 7 do
    local name = "Status bit " .. bit
    if bit == 7 then
        name = name .. " (not interpreted by the gateway)"
    end
    status_bits[bit] = ProtoField.bool("fipgate.status.bit" .. bit, name, 8, nil,
        bit32.lshift(1, bit))
    f["status_bit" .. bit] = status_bits[bit]
end

-- Lifesign record, offset by offset. Sizes in KB are of 1024 bytes; event buffer sizes are in
-- thousands of bytes. Dates are microseconds since 1970 of the gateway's local wall clock, so they
-- are shown as UTC: what reads as UTC is the gateway's local time.
local LS_U8, LS_U16, LS_U32, LS_U64, LS_FLOAT, LS_DATE, LS_DURATION, LS_LINK =
    1, 2, 3, 4, 5, 6, 7, 8

local lifesign_groups = {
    { title = "Lifesign", fields = {
        { 3, LS_U64, "counter", "Lifesign counter" },
        { 11, LS_DATE, "date", "Date built" },
        { 19, LS_U32, "sn", "Card serial number" },
    } },
    { title = "Host", fields = {
        { 23, LS_FLOAT, "cpu_load", "CPU load", "%" },
        { 27, LS_FLOAT, "cpu_temp", "CPU temperature", "°C" },
        { 31, LS_U32, "storage_total", "Storage total", "KB" },
        { 35, LS_U32, "storage_used", "Storage used", "KB" },
        { 39, LS_U32, "storage_avail", "Storage available", "KB" },
        { 43, LS_FLOAT, "storage_used_pct", "Storage used", "%" },
        { 47, LS_U32, "ram_total", "RAM total", "KB" },
        { 51, LS_U32, "ram_used", "RAM used", "KB" },
        { 55, LS_U32, "ram_avail", "RAM available", "KB" },
        { 59, LS_FLOAT, "ram_used_pct", "RAM used", "%" },
    } },
    { title = "Event buffer", fields = {
        { 63, LS_U32, "buffer_total", "Buffer size", "thousand bytes" },
        { 67, LS_U32, "buffer_used", "Buffer used", "thousand bytes" },
        { 71, LS_U32, "buffer_free", "Buffer free", "thousand bytes" },
        { 75, LS_FLOAT, "buffer_used_pct", "Buffer used", "%" },
    } },
    { title = "UDP link", fields = {
        { 79, LS_LINK, "udp.active", "UDP link" },
        { 80, LS_DURATION, "udp.total_act", "Total activity" },
        { 88, LS_DURATION, "udp.total_inact", "Total inactivity" },
        { 96, LS_DATE, "udp.last_start", "Last start" },
        { 104, LS_DATE, "udp.last_stop", "Last stop" },
        { 112, LS_DURATION, "udp.act", "Activity (current or last period)" },
        { 120, LS_DURATION, "udp.inact", "Inactivity (current or last period)" },
        { 128, LS_U16, "udp.loss_act_cnt", "Losses of activity" },
        { 130, LS_U64, "udp.pkt_rcvd", "Datagrams received" },
        { 138, LS_U32, "udp.pkt_rcvd_per_sec", "Datagrams received", "per second" },
        { 142, LS_U64, "udp.bytes_rcvd_per_sec", "Bytes received", "per second" },
        { 150, LS_U64, "udp.pkt_sent", "Datagrams sent" },
        { 158, LS_U32, "udp.pkt_sent_per_sec", "Datagrams sent", "per second" },
        { 162, LS_U64, "udp.bytes_sent_per_sec", "Bytes sent", "per second" },
    } },
    { title = "Fieldbus link", fields = {
        { 170, LS_LINK, "fip.active", "Fieldbus link" },
        { 171, LS_DURATION, "fip.total_act", "Total activity" },
        { 179, LS_DURATION, "fip.total_inact", "Total inactivity" },
        { 187, LS_DATE, "fip.last_start", "Last start" },
        { 195, LS_DATE, "fip.last_stop", "Last stop" },
        { 203, LS_DURATION, "fip.last_act", "Last activity" },
        { 211, LS_DURATION, "fip.last_inact", "Last inactivity" },
        { 219, LS_U16, "fip.loss_act_cnt", "Losses of activity" },
        { 221, LS_U64, "fip.frame_rcvd", "Capture records received" },
        { 229, LS_U32, "fip.frame_rcvd_per_sec", "Capture records received", "per second" },
        { 233, LS_U64, "fip.bytes_rcvd_per_sec", "Bytes received", "per second" },
        { 241, LS_U8, "fip.fcs_type", "FCS type of the last record" },
        { 242, LS_U8, "fip.aux_code", "Card auxiliary code" },
    } },
    { title = "Frame counters", fields = {
        { 243, LS_U64, "st0_cnt", "Records with status bit 0" },
        { 251, LS_U64, "st12_cnt", "Records with status bit 1 or 2" },
        { 259, LS_U64, "st3_cnt", "Records with status bit 3" },
        { 315, LS_U64, "st4_cnt", "Records with status bit 4" },
        { 307, LS_U64, "st5_cnt", "Records with status bit 5" },
        { 299, LS_U64, "st6_cnt", "Records with status bit 6" },
        { 267, LS_U64, "bad_ctrl_cnt", "Frames with a bad control byte" },
        { 275, LS_U64, "bad_fcs_cnt", "Frames with a bad FCS" },
        { 283, LS_U64, "bad_pdu_cnt", "Frames with a bad PDU" },
        { 291, LS_U64, "bad_len_cnt", "Frames with a bad length" },
    } },
}

local lifesign_sizes = { [LS_U8] = 1, [LS_U16] = 2, [LS_U32] = 4, [LS_U64] = 8, [LS_FLOAT] = 4,
    [LS_DATE] = 8, [LS_DURATION] = 8, [LS_LINK] = 1 }

for _, group in ipairs(lifesign_groups) do
    for _, def in ipairs(group.fields) do
        local kind, abbr, name, unit = def[2], "fipgate.ls." .. def[3], def[4], def[5]
        if unit and unit ~= "per second" then
            name = name .. " (" .. unit .. ")"
        elseif unit then
            name = name .. " " .. unit
        end
        local field
        if kind == LS_U8 then
            field = ProtoField.uint8(abbr, name, base.DEC)
        elseif kind == LS_U16 then
            field = ProtoField.uint16(abbr, name, base.DEC)
        elseif kind == LS_U32 then
            field = ProtoField.uint32(abbr, name, base.DEC)
        elseif kind == LS_U64 then
            field = ProtoField.uint64(abbr, name, base.DEC)
        elseif kind == LS_FLOAT then
            field = ProtoField.float(abbr, name)
        elseif kind == LS_DATE then
            field = ProtoField.absolute_time(abbr, name .. " (gateway local time)", base.UTC)
        elseif kind == LS_DURATION then
            field = ProtoField.relative_time(abbr, name)
        else
            field = ProtoField.uint8(abbr, name, base.DEC, link_states)
        end
        def.field = field
        def.size = lifesign_sizes[kind]
        def.kind = kind
        f["ls_" .. def[3]] = field
    end
end

local field_list = {}
for _, field in pairs(f) do
    field_list[#field_list + 1] = field
end
fipgate.fields = field_list

---------------------------------------------------------------------------------------------------
-- Expert information

local e = {
    bad_magic = ProtoExpert.new("fipgate.bad_magic", "Not a fipgate header",
        expert.group.MALFORMED, expert.severity.ERROR),
    short = ProtoExpert.new("fipgate.short", "Datagram shorter than its 16-byte header",
        expert.group.MALFORMED, expert.severity.ERROR),
    gap = ProtoExpert.new("fipgate.gap", "Datagram sequence gap",
        expert.group.SEQUENCE, expert.severity.WARN),
    restart = ProtoExpert.new("fipgate.restart", "Gateway restart",
        expert.group.SEQUENCE, expert.severity.NOTE),
    duplicate = ProtoExpert.new("fipgate.duplicate", "Duplicate datagram",
        expert.group.SEQUENCE, expert.severity.WARN),
    reordered = ProtoExpert.new("fipgate.reordered", "Datagram out of order",
        expert.group.SEQUENCE, expert.severity.WARN),
    malformed = ProtoExpert.new("fipgate.malformed", "Malformed event",
        expert.group.MALFORMED, expert.severity.ERROR),
    count = ProtoExpert.new("fipgate.count_mismatch", "Event count mismatch",
        expert.group.MALFORMED, expert.severity.ERROR),
    bad_fcs = ProtoExpert.new("fipgate.bad_fcs", "Bad FCS",
        expert.group.CHECKSUM, expert.severity.WARN),
    bad_control = ProtoExpert.new("fipgate.bad_control", "Bad control byte",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_pdu = ProtoExpert.new("fipgate.bad_pdu", "Bad PDU",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_length = ProtoExpert.new("fipgate.bad_length", "Bad length",
        expert.group.PROTOCOL, expert.severity.WARN),
    check = ProtoExpert.new("fipgate.check_failed", "Frame fails a gateway check",
        expert.group.PROTOCOL, expert.severity.WARN),
    index_break = ProtoExpert.new("fipgate.index_break", "Record index break",
        expert.group.SEQUENCE, expert.severity.WARN),
    no_response = ProtoExpert.new("fipgate.no_response", "No response",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
    lifesign_extra = ProtoExpert.new("fipgate.lifesign_extra", "Lifesign fields not decoded",
        expert.group.PROTOCOL, expert.severity.NOTE),
}
fipgate.experts = { e.bad_magic, e.short, e.gap, e.restart, e.duplicate, e.reordered,
    e.malformed, e.count, e.bad_fcs, e.bad_control, e.bad_pdu, e.bad_length, e.check,
    e.index_break, e.no_response, e.lifesign_extra }

---------------------------------------------------------------------------------------------------
-- Preferences and registration

fipgate.prefs.port = Pref.uint("UDP port", DEFAULT_PORT,
    "UDP port the gateway broadcasts to (its -p option or UdpPort setting)")

local udp_port_table = DissectorTable.get("udp.port")
local registered_port = nil

local function register_port(port)
    if registered_port == port then
        return
    end
    if registered_port then
        udp_port_table:remove(registered_port, fipgate)
    end
    if port ~= 0 then
        udp_port_table:add(port, fipgate)
    end
    registered_port = port
end

function fipgate.prefs_changed()
    register_port(fipgate.prefs.port)
end

---------------------------------------------------------------------------------------------------
-- Sequence tracking. The first pass walks the frames in order and remembers, per frame, what the
-- sequence number meant; later passes (and the GUI's random access) only read that verdict back.

local last_seq_by_stream = {}
local last_stream_by_address = {}
local seq_verdicts = {}

-- What the first pass concluded about the capture records of each datagram, by packet number:
-- the poll each record makes or answers and its index break (each indexed by the record's place
-- in the datagram), and the polls the tap counts.
local record_notes = {}
local record_breaks = {}
local polls_by_packet = {}
local record_tracks = {}

function fipgate.init()
    last_seq_by_stream = {}
    last_stream_by_address = {}
    seq_verdicts = {}
    record_notes = {}
    record_breaks = {}
    polls_by_packet = {}
    record_tracks = {}
end

local SEQ_FIRST, SEQ_NEXT, SEQ_GAP, SEQ_RESTART, SEQ_DUPLICATE, SEQ_REORDERED = 1, 2, 3, 4, 5, 6

-- The sender's address and port name one gateway run. A reload opens a new socket, so its first
-- datagram carries 1 from a new port of a known address: a restart, not a new gateway.
local function stream_key(pinfo)
    return tostring(pinfo.src) .. ":" .. tostring(pinfo.src_port) .. ">" .. tostring(pinfo.dst_port)
end

local function judge_sequence(pinfo, seq)
    local verdict = seq_verdicts[pinfo.number]
    if verdict then
        return verdict
    end
    local key = stream_key(pinfo)
    local address = tostring(pinfo.src) .. ">" .. tostring(pinfo.dst_port)
    local previous_stream = last_stream_by_address[address]
    last_stream_by_address[address] = key
    local prev = last_seq_by_stream[key]
    local one = UInt64(1)
    verdict = { prev = prev }
    if prev == nil then
        verdict.kind = SEQ_FIRST
        if previous_stream and seq == one then
            verdict.kind = SEQ_RESTART
            verdict.prev = last_seq_by_stream[previous_stream]
            verdict.prev_stream = previous_stream
        end
        last_seq_by_stream[key] = seq
    elseif seq == prev + one then
        verdict.kind = SEQ_NEXT
        last_seq_by_stream[key] = seq
    elseif seq == one then
        verdict.kind = SEQ_RESTART
        last_seq_by_stream[key] = seq
    elseif seq > prev then
        verdict.kind = SEQ_GAP
        verdict.lost = seq - prev - one
        last_seq_by_stream[key] = seq
    elseif seq == prev then
        verdict.kind = SEQ_DUPLICATE
    else
        -- A late datagram was already counted as lost by the gap before it; the highest number
        -- seen stays the reference so that the datagrams after it are not flagged too.
        verdict.kind = SEQ_REORDERED
    end
    seq_verdicts[pinfo.number] = verdict
    return verdict
end

---------------------------------------------------------------------------------------------------
-- Record index continuity and transactions. The first pass follows the capture records of each
-- gateway run in index order: a record whose index is not the previous one + 1 breaks the
-- sequence, and an identifier frame that passes the four checks (a poll) is paired with the next
-- record of the same run. Another identifier frame there, or no record at all up to the end of the
-- capture, means the producer was silent; any other frame is its response, bad when it fails a
-- check. A poll is never paired across an index break, an unnumbered record, a late datagram or a
-- gateway restart: its outcome is unknown, never counted as a silent station.

-- A capture holds millions of polls, so the first pass keeps each as one number in the list of
-- its datagram, updated in place when its outcome is found:
--   identifier + 2^16 * (outcome + 8 * (detail + 8 * (control + 256 * frames)))
-- `detail` is the failed check of a bad response or the reason of an unknown outcome; `control`
-- the control byte of the record after the poll; `frames` how many packets after the poll's
-- that record came. A response is always the record after its poll: its index is the poll's + 1.
local PENDING, RESPONSE, BAD, MISSING, UNKNOWN = 0, 1, 2, 3, 4
local outcome_names = { [PENDING] = "pending", [RESPONSE] = "response",
    [BAD] = "bad response", [MISSING] = "no response", [UNKNOWN] = "unknown" }
local unknown_reasons = { "datagram out of order", "unnumbered record", "unnumbered record follows",
    "record index break follows", "gateway restart follows" }
local LATE, UNNUMBERED, UNNUMBERED_FOLLOWS, BREAK_FOLLOWS, RESTART_FOLLOWS = 1, 2, 3, 4, 5
local MAX_FRAMES = 2 ^ 22 -- a larger distance is shown as this one

local function poll_code(id, outcome, detail, control, frames)
    return id + 65536 * (outcome + 8 * (detail + 8 * (control + 256 * math.min(frames, MAX_FRAMES))))
end

-- identifier, outcome, detail, control, frames
local function poll_fields(code)
    local id = code % 65536
    code = (code - id) / 65536
    local outcome = code % 8
    code = (code - outcome) / 8
    local detail = code % 8
    code = (code - detail) / 8
    local control = code % 256
    return id, outcome, detail, control, (code - control) / 256
end

local ZERO, ONE = UInt64(0), UInt64(1)

-- Settles the poll a track still waits for.
local function settle(track, outcome, detail, control, number)
    local packet = track.pending_packet
    if packet then
        local polls = polls_by_packet[packet]
        local id = poll_fields(polls[track.pending_slot])
        polls[track.pending_slot] = poll_code(id, outcome, detail, control, number - packet)
        track.pending_packet = nil
    end
end

-- The record track of this datagram's gateway run, or nil when its records are not followed:
-- a duplicate's were followed the first time (`duplicate` is then true), and a late datagram's
-- belong before records already followed.
local function records_track(pinfo, seq, verdict)
    local key = stream_key(pinfo)
    if verdict.kind == SEQ_DUPLICATE or verdict.kind == SEQ_REORDERED then
        return nil, verdict.kind == SEQ_DUPLICATE
    end
    local track = record_tracks[key]
    if verdict.kind == SEQ_RESTART then
        for _, old in ipairs({ key, verdict.prev_stream }) do
            if record_tracks[old] then
                settle(record_tracks[old], UNKNOWN, RESTART_FOLLOWS, 0, pinfo.number)
            end
        end
        track = nil
    end
    if not track then
        -- A gateway numbers its records from 1 at each start; joining a running stream, the
        -- first record seen becomes the reference.
        track = { prev_idx = ZERO, prev_n = 0, idx_known = seq == ONE }
        record_tracks[key] = track
    end
    return track
end

-- Above this, a record index is no longer exact as a Lua number.
local EXACT_LIMIT = 2 ^ 53

-- Adds a poll to the datagram's list; returns its place there.
local function add_poll(records, code)
    local polls = records.polls
    polls[#polls + 1] = code
    return #polls
end

-- First pass over one capture record of index `idx` (a UInt64; `idx_n` the same as a number).
-- Returns its note (the place of the poll it makes in the datagram's list, or minus one more
-- than how many packets back the poll it answers is, or nil) and its index break
-- ({ prev_idx, lost }, or nil).
local function follow_record(records, idx, idx_n, kind, verdict, control, identifier)
    local track = records.track
    local is_poll = kind == KIND_IDENTIFIER and verdict == 0
    if records.duplicate then
        return nil
    end
    if not track then
        if is_poll then
            return add_poll(records, poll_code(identifier, UNKNOWN, LATE, 0, 0))
        end
        return nil
    end
    local number = records.number
    if idx_n == 0 then
        settle(track, UNKNOWN, UNNUMBERED_FOLLOWS, 0, number)
        if is_poll then
            return add_poll(records, poll_code(identifier, UNKNOWN, UNNUMBERED, 0, 0))
        end
        return nil
    end
    local brk = nil
    if track.idx_known then
        local broken
        if idx_n < EXACT_LIMIT then
            broken = idx_n ~= track.prev_n + 1
        else
            broken = idx ~= track.prev_idx + ONE
        end
        if broken then
            brk = { prev_idx = track.prev_idx }
            if idx > track.prev_idx then
                brk.lost = idx - track.prev_idx - ONE
            end
            settle(track, UNKNOWN, BREAK_FOLLOWS, 0, number)
        end
    end
    track.prev_idx, track.prev_n = idx, idx_n
    track.idx_known = true
    local note = nil
    if kind == KIND_IDENTIFIER then
        settle(track, MISSING, 0, control, number)
        if is_poll then
            note = add_poll(records, poll_code(identifier, PENDING, 0, 0, 0))
            track.pending_packet, track.pending_slot = number, note
        end
    elseif track.pending_packet then
        note = -1 - (number - track.pending_packet)
        settle(track, verdict == 0 and RESPONSE or BAD, verdict, control or 0, number)
    end
    return note, brk
end

---------------------------------------------------------------------------------------------------
-- Dissection

-- Microseconds as an NSTime. Seconds are cut toward zero so that both parts carry the sign, the
-- form Wireshark prints a negative time in. Divided as 64-bit integers: a double would round a
-- value past 2^53 microseconds, and the compiled plugin shows every value exactly.
local function us_to_nstime(range)
    local us = range:int64()
    local secs = us / 1000000
    return NSTime(secs:tonumber(), (us - secs * 1000000):tonumber() * 1000)
end

local function add_lifesign(tree, tvb, off, len)
    for _, group in ipairs(lifesign_groups) do
        local first, last = len, 0
        for _, def in ipairs(group.fields) do
            if def[1] + def.size <= len then
                first = math.min(first, def[1])
                last = math.max(last, def[1] + def.size)
            end
        end
        if last == 0 then
            return
        end
        local sub = tree:add(tvb(off + first, last - first), group.title)
        for _, def in ipairs(group.fields) do
            local at = def[1]
            if at + def.size <= len then
                local range = tvb(off + at, def.size)
                local item
                if def.kind == LS_DATE or def.kind == LS_DURATION then
                    item = sub:add(def.field, range, us_to_nstime(range))
                else
                    item = sub:add(def.field, range)
                end
                if def.kind == LS_FLOAT and range:float() ~= range:float() then
                    item:append_text(" (not measured yet)")
                end
            end
        end
    end
end

-- The gateway's checks in its own order; returns the verdict number and the four results.
local function gateway_checks(control, kind, frame_len, fcs_ok, pdu_type)
    local results = { 0, 0, 0, 0 }
    local checks = {
        kind ~= KIND_UNKNOWN,
        fcs_ok,
        frame_len <= 2 or kind ~= KIND_VARIABLE_RESPONSE or valid_pdu_types[pdu_type] == true,
        true,
    }
    local rule = length_rule[kind]
    if rule then
        checks[4] = frame_len >= rule[1] and frame_len <= rule[2]
    end
    for i = 1, 4 do
        if checks[i] then
            results[i] = 1
        else
            results[i] = 2
            return i, results
        end
    end
    return 0, results
end

local function add_frame(tree, tvb, off, frame_len, fcs_type, summary)
    if frame_len == 0 then
        local empty = tree:add(tvb(off, 0), "FIP frame: empty")
        empty:add(f.frame_len, tvb(off, 0), 0):set_generated()
        empty:add(f.verdict, tvb(off, 0), 5):set_generated()
        summary.checks[5] = (summary.checks[5] or 0) + 1
        return 5, KIND_UNKNOWN, UNKNOWN_NAME, nil, nil, nil
    end
    local frame_range = tvb(off, frame_len)
    local ft = tree:add(f.frame, frame_range)
    ft:add(f.frame_len, frame_range, frame_len):set_generated()
    local control_range = tvb(off, 1)
    local control = control_range:uint()
    local kind = kind_by_control[control] or KIND_UNKNOWN
    local name = frame_names[control] or UNKNOWN_NAME
    ft:add(f.control, control_range)
    ft:add(f.name, control_range, name):set_generated()
    ft:add(f.kind, control_range, kind):set_generated()
    local identifier = nil

    -- Fields that would overlap the FCS are not read from it.
    local body_end = frame_len - FCS_SIZE
    local data_from = 1
    local pdu_type = nil
    if kind == KIND_IDENTIFIER and frame_len >= 3 + FCS_SIZE then
        local id_range = tvb(off + 1, 2)
        identifier = id_range:uint()
        -- Upper-case hex, the form fipdump and its metrics write an identifier in.
        ft:add(f.identifier, id_range):set_text(string.format("Identifier: 0x%04X", identifier))
        data_from = 3
    elseif kind == KIND_VARIABLE_RESPONSE and frame_len >= 2 + FCS_SIZE then
        pdu_type = tvb(off + 1, 1):uint()
        local pdu_item = ft:add(f.pdu_type, tvb(off + 1, 1))
        if not valid_pdu_types[pdu_type] then
            pdu_item:append_text(" [invalid: 0x40 or 0x50 expected]")
        end
        data_from = 2
    end
    if frame_len > 2 then
        pdu_type = pdu_type or tvb(off + 1, 1):uint()
    end
    if body_end > data_from then
        ft:add(f.data, tvb(off + data_from, body_end - data_from))
    end

    local fcs_ok = false
    if frame_len > FCS_SIZE then
        local fcs_range = tvb(off + body_end, FCS_SIZE)
        local received = fcs_range:uint()
        local fcs_item = ft:add(f.fcs, fcs_range)
        local alg = fcs_algorithms[fcs_type]
        if alg then
            local computed = fcs_compute(alg, frame_range:raw(), 1, body_end)
            fcs_ok = computed == received
            ft:add(f.fcs_computed, fcs_range, computed):set_generated()
            ft:add(f.fcs_good, fcs_range, fcs_ok):set_generated()
            if fcs_ok then
                fcs_item:append_text(" [correct, " .. alg.name .. "]")
            else
                fcs_item:append_text(" [incorrect, should be " .. string.format("0x%04x", computed)
                    .. "]")
                fcs_item:add_proto_expert_info(e.bad_fcs, string.format(
                    "Bad FCS: received 0x%04x, computed 0x%04x (%s)", received, computed, alg.name))
            end
        else
            ft:add(f.fcs_good, fcs_range, false):set_generated()
            fcs_item:add_proto_expert_info(e.bad_fcs, string.format(
                "Bad FCS: FCS type %d names no algorithm", fcs_type))
        end
    end
    local verdict, results = gateway_checks(control, kind, frame_len, fcs_ok, pdu_type)
    local vt = ft:add(f.verdict, frame_range, verdict)
    vt:set_generated()
    vt:add(f.check_ctrl, frame_range, results[1]):set_generated()
    vt:add(f.check_fcs, frame_range, results[2]):set_generated()
    vt:add(f.check_pdu, frame_range, results[3]):set_generated()
    vt:add(f.check_len, frame_range, results[4]):set_generated()
    if verdict ~= 0 then
        -- The bad FCS is flagged above whichever check comes first; the others are named here.
        if verdict == 1 then
            vt:add_proto_expert_info(e.bad_control, string.format(
                "Bad control byte: 0x%02x is none of the 20 frame control bytes", control))
        elseif verdict == 3 then
            vt:add_proto_expert_info(e.bad_pdu, string.format(
                "Bad PDU: type 0x%02x in a variable response, 0x40 or 0x50 expected", pdu_type))
        elseif verdict == 4 then
            local rule = length_rule[kind]
            local valid = rule[1] == rule[2] and tostring(rule[1])
                or (rule[1] .. " to " .. rule[2])
            vt:add_proto_expert_info(e.bad_length, string.format(
                "Bad length: %s frame of %d bytes, %s expected", name, frame_len, valid))
        end
        vt:add_proto_expert_info(e.check, "Gateway counts this frame as: " .. verdicts[verdict])
        ft:append_text(" (" .. name .. ", " .. kind .. ", " .. frame_len .. " bytes, "
            .. verdicts[verdict] .. ")")
    else
        ft:append_text(" (" .. name .. ", " .. kind .. ", " .. frame_len .. " bytes)")
    end
    summary.checks[verdict] = (summary.checks[verdict] or 0) + 1
    return verdict, kind, name, identifier, ft, control
end

-- The record notes of datagram `number`: made by the first pass, read back by the others.
local function records_context(pinfo, seq)
    local number = pinfo.number
    local records = { number = number, count = 0, notes = record_notes[number],
        breaks = record_breaks[number], polls = polls_by_packet[number] }
    if not records.notes then
        records.first_pass = true
        records.notes, records.breaks, records.polls = {}, {}, {}
        record_notes[number], record_breaks[number] = records.notes, records.breaks
        polls_by_packet[number] = records.polls
        records.track, records.duplicate = records_track(pinfo, seq, judge_sequence(pinfo, seq))
    end
    return records
end

-- A poll still open once the capture is read stays pending, as fipdump leaves it: the capture
-- ended before the producer's turn was over, which says nothing about the producer.
local function final_outcome(outcome, detail, control)
    if outcome == PENDING then
        return PENDING, "nothing follows in the capture"
    elseif outcome == MISSING then
        return MISSING, (frame_names[control] or UNKNOWN_NAME) .. " follows"
    elseif outcome == UNKNOWN then
        return UNKNOWN, unknown_reasons[detail]
    end
    return outcome
end

-- What each poll of the datagram got. An open poll on the first pass may still be answered by
-- the next datagram: it shows nothing until a later pass (tshark -2, or Wireshark once loaded).
local function add_poll_outcomes(records, visited)
    local shown = records.shown
    if not shown then
        return
    end
    for i = 1, #shown, 4 do
        local item, range, slot, idx = shown[i], shown[i + 1], shown[i + 2], shown[i + 3]
        local id, outcome, detail, control, frames = poll_fields(records.polls[slot])
        if outcome ~= PENDING or visited then
            local reason
            outcome, reason = final_outcome(outcome, detail, control)
            local r = item:add(f.response, range, outcome_names[outcome])
            r:set_generated()
            if outcome == RESPONSE or outcome == BAD then
                local name = frame_names[control] or UNKNOWN_NAME
                local frame, response_idx = records.number + frames, idx + ONE
                r:add(f.response_in, range, frame):set_generated()
                r:add(f.response_idx, range, response_idx):set_generated()
                r:add(f.response_name, range, name):set_generated()
                local text = string.format(" (%s, record %s in frame %d", name,
                    tostring(response_idx), frame)
                if outcome == BAD then
                    text = text .. ", " .. verdicts[detail]
                end
                r:append_text(text .. ")")
            else
                r:append_text(" (" .. reason .. ")")
            end
            if outcome == MISSING then
                local unanswered = r:add(f.unanswered, range, id)
                unanswered:set_text(string.format("Identifier with no response: 0x%04X", id))
                unanswered:set_generated()
                r:add_proto_expert_info(e.no_response, string.format(
                    "No response to identifier 0x%04X (%s)", id, reason))
            end
        end
    end
end

local function add_index_break(idx_item, idx_range, idx, brk)
    idx_item:add(f.prev_idx, idx_range, brk.prev_idx):set_generated()
    if brk.lost then
        idx_item:add(f.lost_records, idx_range, brk.lost):set_generated()
        idx_item:add_proto_expert_info(e.index_break, string.format(
            "Record index break: %s record(s) missing between %s and %s", tostring(brk.lost),
            tostring(brk.prev_idx), tostring(idx)))
    else
        idx_item:add_proto_expert_info(e.index_break, string.format(
            "Record index break: %s after %s", tostring(idx), tostring(brk.prev_idx)))
    end
end

local function add_capture(tree, tvb, off, len, summary, records)
    if len < CAPTURE_HEADER_SIZE then
        tree:add_proto_expert_info(e.malformed, string.format(
            "Capture record of %d bytes is shorter than its %d-byte header", len,
            CAPTURE_HEADER_SIZE))
        if len > EVENT_HEADER_SIZE then
            tree:add(f.event_data, tvb(off + EVENT_HEADER_SIZE, len - EVENT_HEADER_SIZE))
        end
        summary.malformed = summary.malformed + 1
        return
    end
    -- Each tvb() call makes a new range object: one per field, reused by its sub-items.
    local fcs_info_range = tvb(off + 3, 1)
    local info = tree:add(f.fcs_info, fcs_info_range)
    info:add(f.fcs_type, fcs_info_range)
    local fcs_type = math.floor(fcs_info_range:uint() / 8) % 4
    local status_range = tvb(off + 4, 1)
    local st = tree:add(f.status, status_range)
    for bit = 0, 7 do
        st:add(status_bits[bit], status_range)
    end
    local idx_range = tvb(off + 5, 8)
    local idx = idx_range:uint64()
    local idx_item = tree:add(f.idx, idx_range)
    tree:add(f.reserved, tvb(off + RESERVED_OFFSET, RESERVED_SIZE))
    local frame_len = len - CAPTURE_HEADER_SIZE
    local verdict, kind, name, identifier, frame_item, control =
        add_frame(tree, tvb, off + CAPTURE_HEADER_SIZE, frame_len, fcs_type, summary)
    tree:append_text(string.format(", idx %s, %s, %d-byte frame", tostring(idx), name, frame_len))

    local count = records.count + 1
    records.count = count
    local note, brk
    if records.first_pass then
        note, brk = follow_record(records, idx, idx:tonumber(), kind, verdict, control, identifier)
        records.notes[count], records.breaks[count] = note, brk
    else
        note, brk = records.notes[count], records.breaks[count]
    end
    if brk then
        summary.index_breaks = summary.index_breaks + 1
        add_index_break(idx_item, idx_range, idx, brk)
    end
    if not note or not frame_item then
        return
    end
    if note > 0 then
        -- Shown once the whole datagram is walked: a response later in it settles the poll.
        local shown = records.shown or {}
        records.shown = shown
        local n = #shown
        shown[n + 1], shown[n + 2], shown[n + 3], shown[n + 4] = frame_item, idx_range, note, idx
    else
        frame_item:add(f.request_in, idx_range, records.number + 1 + note):set_generated()
        frame_item:add(f.request_idx, idx_range, idx - ONE):set_generated()
    end
end

-- Walks the events; returns the summary used by the Info column.
local function dissect_events(tvb, pinfo, tree, records)
    local total = tvb:len()
    local summary = { walked = 0, captures = 0, lifesigns = 0, malformed = 0, checks = {},
        index_breaks = 0 }
    local off = HEADER_SIZE
    while off < total do
        local n = summary.walked + 1
        if total - off < EVENT_HEADER_SIZE then
            local item = tree:add(f.trailing, tvb(off))
            item:add_proto_expert_info(e.malformed, string.format(
                "Event %d: %d bytes left, too few for a type and a length", n, total - off))
            summary.malformed = summary.malformed + 1
            break
        end
        local type_range, length_range = tvb(off, 1), tvb(off + 1, 2)
        local etype = type_range:uint()
        local len = length_range:uint()
        if len < EVENT_HEADER_SIZE then
            local et = tree:add(f.event, tvb(off))
            et:set_text(string.format("Event %d: length %d", n, len))
            et:add(f.type, type_range)
            et:add(f.length, length_range)
            et:add_proto_expert_info(e.malformed, string.format(
                "Event %d: length %d is below 3, the events after it cannot be found", n, len))
            summary.malformed = summary.malformed + 1
            break
        end
        local past_end = off + len > total
        local avail = past_end and (total - off) or len
        local et = tree:add(f.event, tvb(off, avail))
        et:set_text(string.format("Event %d: %s", n, event_types[etype] or
            string.format("unknown type 0x%02x", etype)))
        et:add(f.type, type_range)
        et:add(f.length, length_range)
        summary.walked = n
        if past_end then
            et:add_proto_expert_info(e.malformed, string.format(
                "Event %d: length %d runs %d bytes past the end of the datagram", n, len,
                off + len - total))
            et:add(f.event_data, tvb(off + EVENT_HEADER_SIZE, avail - EVENT_HEADER_SIZE))
            summary.malformed = summary.malformed + 1
            break
        end
        if etype == TYPE_CAPTURE then
            summary.captures = summary.captures + 1
            add_capture(et, tvb, off, len, summary, records)
        elseif etype == TYPE_LIFESIGN then
            summary.lifesigns = summary.lifesigns + 1
            if len < LIFESIGN_SIZE then
                et:add_proto_expert_info(e.malformed, string.format(
                    "Lifesign record of %d bytes, shorter than its %d", len, LIFESIGN_SIZE))
                summary.malformed = summary.malformed + 1
            end
            add_lifesign(et, tvb, off, len)
            if len > LIFESIGN_SIZE then
                local extra = et:add(f.ls_extra, tvb(off + LIFESIGN_SIZE, len - LIFESIGN_SIZE))
                extra:add_proto_expert_info(e.lifesign_extra, string.format(
                    "Lifesign record of %d bytes: %d bytes after the known fields skipped", len,
                    len - LIFESIGN_SIZE))
            end
            if len >= 11 then
                et:append_text(", counter " .. tostring(tvb(off + 3, 8):uint64()))
            end
        else
            -- Every event opens with its length, so the walk can step over an unknown one.
            et:add_proto_expert_info(e.malformed, string.format(
                "Event %d: unknown type 0x%02x", n, etype))
            if len > EVENT_HEADER_SIZE then
                et:add(f.event_data, tvb(off + EVENT_HEADER_SIZE, len - EVENT_HEADER_SIZE))
            end
            summary.malformed = summary.malformed + 1
        end
        off = off + len
    end
    return summary
end

local function add_sequence(pinfo, tree, seq_range, seq_item, seq)
    local verdict = judge_sequence(pinfo, seq)
    if verdict.prev then
        tree:add(f.prev_seq, seq_range, verdict.prev):set_generated()
    end
    if verdict.kind == SEQ_GAP then
        tree:add(f.lost, seq_range, verdict.lost):set_generated()
        seq_item:add_proto_expert_info(e.gap, string.format(
            "Sequence gap: %s datagram(s) lost between %s and %s", tostring(verdict.lost),
            tostring(verdict.prev), tostring(seq)))
        return ", " .. tostring(verdict.lost) .. " lost"
    elseif verdict.kind == SEQ_RESTART then
        seq_item:add_proto_expert_info(e.restart, string.format(
            "Gateway restart: sequence back to 1 after %s", tostring(verdict.prev)))
        return ", restart"
    elseif verdict.kind == SEQ_DUPLICATE then
        seq_item:add_proto_expert_info(e.duplicate, "Duplicate of datagram " .. tostring(seq))
        return ", duplicate"
    elseif verdict.kind == SEQ_REORDERED then
        seq_item:add_proto_expert_info(e.reordered, string.format(
            "Datagram %s arrives after %s", tostring(seq), tostring(verdict.prev)))
        return ", out of order"
    end
    return ""
end

function fipgate.dissector(tvb, pinfo, tree)
    local total = tvb:len()
    pinfo.cols.protocol = "FIPGATE"
    local root = tree:add(fipgate, tvb())
    if total < HEADER_SIZE then
        root:add_proto_expert_info(e.short, string.format(
            "Datagram of %d bytes is shorter than its 16-byte header", total))
        pinfo.cols.info = "Malformed: " .. total .. "-byte datagram"
        return total
    end
    local magic_ok = tvb(0, 2):uint() == 0x4356 and tvb(2, 2):uint() == 0x0100
    local magic_item = root:add(f.magic, tvb(0, 2))
    root:add(f.version, tvb(2, 2))
    if not magic_ok then
        magic_item:add_proto_expert_info(e.bad_magic, "Header does not start with 43 56 01 00")
        pinfo.cols.info = "Not a fipgate datagram"
        return total
    end
    local seq = tvb(4, 8):uint64()
    local seq_item = root:add(f.seq, tvb(4, 8))
    local count = tvb(12, 4):uint()
    local count_item = root:add(f.count, tvb(12, 4))

    local seq_note = add_sequence(pinfo, root, tvb(4, 8), seq_item, seq)
    local records = records_context(pinfo, seq)
    local summary = dissect_events(tvb, pinfo, root, records)
    add_poll_outcomes(records, pinfo.visited)
    root:add(f.walked, tvb(12, 4), summary.walked):set_generated()
    if summary.walked ~= count then
        count_item:add_proto_expert_info(e.count, string.format(
            "Event count %d in the header, %d events walked", count, summary.walked))
    end

    root:append_text(string.format(", Seq: %s, Events: %d", tostring(seq), count))
    local info = string.format("Seq=%s Events=%d (%d capture, %d lifesign)", tostring(seq), count,
        summary.captures, summary.lifesigns)
    local bad_frames = 0
    for verdict, n in pairs(summary.checks) do
        if verdict ~= 0 and verdict ~= 5 then
            bad_frames = bad_frames + n
        end
    end
    if bad_frames > 0 then
        info = info .. ", " .. bad_frames .. " bad frame(s)"
    end
    if summary.index_breaks > 0 then
        info = info .. ", " .. summary.index_breaks .. " record index break(s)"
    end
    if summary.malformed > 0 or summary.walked ~= count then
        info = info .. ", MALFORMED"
    end
    pinfo.cols.info = info .. seq_note
    return total
end

-- Recognises the stream on any UDP port: magic, constant bytes, a non-zero event count and a
-- first event whose type is known and whose length fits the datagram.
local function heuristic(tvb, pinfo, tree)
    local total = tvb:len()
    if total < HEADER_SIZE + EVENT_HEADER_SIZE then
        return false
    end
    if tvb(0, 4):uint() ~= 0x43560100 or tvb(12, 4):uint() == 0 then
        return false
    end
    local etype = tvb(HEADER_SIZE, 1):uint()
    local len = tvb(HEADER_SIZE + 1, 2):uint()
    if etype ~= TYPE_CAPTURE and etype ~= TYPE_LIFESIGN then
        return false
    end
    if len < EVENT_HEADER_SIZE or HEADER_SIZE + len > total then
        return false
    end
    fipgate.dissector(tvb, pinfo, tree)
    return true
end

register_port(fipgate.prefs.port)
udp_port_table:add_for_decode_as(fipgate)
fipgate:register_heuristic("udp", heuristic)

---------------------------------------------------------------------------------------------------
-- Statistics: polls per identifier and what they got. tshark runs it with -z fipgate,ids[,filter]
-- and prints the table at the end; Wireshark shows it under Statistics > FIP gateway.

local STAT_NAME = "fipgate,ids"
local STAT_COLUMNS = { "Polls", "Responses", "Missing", "Bad", "Unknown", "Bad ctrl", "Bad FCS",
    "Bad PDU", "Bad len" }

-- The rows of the table from the polls of the packets tapped, sick identifiers first (most
-- missing and bad responses), then the busiest.
local function identifier_rows(tapped)
    local by_id, rows = {}, {}
    for _, polls in pairs(tapped) do
        for _, code in ipairs(polls) do
            local id, outcome, detail = poll_fields(code)
            local row = by_id[id]
            if not row then
                row = { id = id, 0, 0, 0, 0, 0, 0, 0, 0, 0 }
                by_id[id] = row
                rows[#rows + 1] = row
            end
            row[1] = row[1] + 1
            if outcome == RESPONSE then
                row[2] = row[2] + 1
            elseif outcome == MISSING then
                row[3] = row[3] + 1
            elseif outcome == PENDING then
                -- counted as a poll only: the capture ended before its answer could come
            elseif outcome == BAD then
                -- A bad answer is an answer all the same: the station spoke, the bus spoilt it.
                row[2] = row[2] + 1
                row[4] = row[4] + 1
                if detail >= 1 and detail <= 4 then
                    row[5 + detail] = row[5 + detail] + 1
                end
            else
                row[5] = row[5] + 1
            end
        end
    end
    table.sort(rows, function(a, b)
        local sick_a, sick_b = a[3] + a[4], b[3] + b[4]
        if sick_a ~= sick_b then
            return sick_a > sick_b
        elseif a[1] ~= b[1] then
            return a[1] > b[1]
        end
        return a.id < b.id
    end)
    return rows
end

local function identifier_report(tapped, filter)
    local rows = identifier_rows(tapped)
    local rule = string.rep("=", 10 + 11 * #STAT_COLUMNS)
    local lines = { rule, "FIP identifiers (" .. STAT_NAME .. ")", "Filter: " .. (filter or "none"),
        "Polls: identifier frames passing the four checks. Responses: every frame that answers a",
        "poll, bad ones included. Missing: polls followed by another identifier frame. Bad: the",
        "responses that fail a check, by the first one failed. Unknown: polls whose answer an",
        "index break, restart or late datagram hides. Polls = responses + missing + unknown, but",
        "for a last poll with nothing after it in the capture (pending: counted as a poll only).",
        "" }
    local header = string.format("%-10s", "Identifier")
    for _, column in ipairs(STAT_COLUMNS) do
        header = header .. string.format(" %10s", column)
    end
    lines[#lines + 1] = header
    local total = { 0, 0, 0, 0, 0, 0, 0, 0, 0 }
    for _, row in ipairs(rows) do
        local line = string.format("0x%04X    ", row.id)
        for i = 1, #STAT_COLUMNS do
            line = line .. string.format(" %10d", row[i])
            total[i] = total[i] + row[i]
        end
        lines[#lines + 1] = line
    end
    local line = string.format("%-10s", "Total")
    for i = 1, #STAT_COLUMNS do
        line = line .. string.format(" %10d", total[i])
    end
    lines[#lines + 1] = line
    lines[#lines + 1] = rule
    return table.concat(lines, "\n")
end

-- A listener over the packets that pass `filter` (any fipgate datagram without one); `show`
-- receives the table at each redraw.
local function start_identifier_stats(filter, show)
    local tapped = {}
    local listener = Listener.new(nil, filter and ("fipgate && (" .. filter .. ")") or "fipgate")
    function listener.packet(pinfo)
        local polls = polls_by_packet[pinfo.number]
        if polls and #polls > 0 then
            tapped[pinfo.number] = polls
        end
    end
    function listener.draw()
        show(identifier_report(tapped, filter))
    end
    function listener.reset()
        tapped = {}
    end
    return listener
end

register_stat_cmd_arg(STAT_NAME, function(arg)
    local filter = arg:match("^" .. STAT_NAME .. ",(.+)$")
    start_identifier_stats(filter, print)
end)

if gui_enabled() then
    register_menu("FIP gateway/Identifiers", function()
        local window = TextWindow.new("FIP identifiers")
        local listener = start_identifier_stats(nil, function(text)
            window:set(text)
        end)
        window:set_atclose(function()
            listener:remove()
        end)
        retap_packets()
    end, MENU_STAT_GENERIC)
end
