-- Wireshark dissector for the VELT oximeter's serial link, as `velt-capture --pcapng`
-- writes it: one packet per chunk of bytes read (link type USER0, 147), its direction
-- in the packet flags (inbound: device to program, outbound: program to device).
--
-- Framed protocols (1 and 2): FF, sequence (7 bits), type (7 bits), length, the payload
-- with FE escaping the next byte (its bit 7 set again), a 7-bit checksum, FB. Answers:
-- FD (taken) or FC (checksum wrong), the frame's sequence, FB. A frame may run over
-- several chunks: the bytes after a chunk's last whole frame are carried to the next
-- chunk of the same direction and shown there, whole.
--
-- Filter: velt (velt.direction, velt.type, velt.length, velt.sequence, velt.checksum,
-- velt.checksum_ok, velt.answer, velt.answer_sequence).
-- Installed where Wireshark loads Lua plugins; from a build tree:
--   tshark -X lua_script:packaging/velt.lua -r capture.pcapng
local velt = Proto("velt", "VELT oximeter serial link")

local directions = {[1] = "device to program", [2] = "program to device"}
local f = velt.fields
f.direction = ProtoField.uint8("velt.direction", "Direction", base.DEC, directions)
f.type = ProtoField.uint8("velt.type", "Frame type", base.DEC)
f.length = ProtoField.uint8("velt.length", "Payload length", base.DEC)
f.sequence = ProtoField.uint8("velt.sequence", "Sequence", base.DEC)
f.payload = ProtoField.bytes("velt.payload", "Payload (unescaped)")
f.checksum = ProtoField.uint8("velt.checksum", "Checksum", base.HEX)
f.checksum_ok = ProtoField.bool("velt.checksum_ok", "Checksum right")
f.answer = ProtoField.string("velt.answer", "Answer")
f.answer_sequence = ProtoField.uint8("velt.answer_sequence", "Answered sequence", base.DEC)
f.incomplete = ProtoField.bytes("velt.incomplete", "Cut short or stray bytes")

local flags_direction = Field.new("frame.packet_flags_direction")

-- The checksum of the sum of sequence, type, length and payload values.
local function checksum(sum)
    local s = sum % 65536
    local t = s >= 32768 and (s - 65536) or s
    t = math.floor(t / 16384)  -- arithmetic shift right by 14
    return bit32.band(bit32.bxor(s, bit32.rshift(s, 7), bit32.band(t, 0xFFFF)), 0x7F)
end

-- Per direction, the bytes carried into each packet from the one before (first pass).
local carried = {}
local pending = {[1] = "", [2] = "", [0] = ""}

function velt.init()
    carried = {}
    pending = {[1] = "", [2] = "", [0] = ""}
end

-- One framed record from bytes b (a Lua string) at i: its end (the byte after FB) and
-- its parts, or nil when b ends inside it.
local function frame_at(b, i)
    if #b < i + 3 then return nil end
    local seq, ftype, length = b:byte(i + 1) % 128, b:byte(i + 2) % 128, b:byte(i + 3)
    local payload, j, escape = {}, i + 4, 0
    while #payload < length do
        if j > #b then return nil end
        local c = b:byte(j)
        j = j + 1
        if c == 0xFE then
            escape = 0x80
        elseif c == 0xFF or c == 0xFB then
            return j - 1, {cut = true, seq = seq, type = ftype, length = length}
        else
            payload[#payload + 1] = bit32.bor(c, escape)
            escape = 0
        end
    end
    if j + 1 > #b then return nil end
    local sum = seq + ftype + length
    for _, v in ipairs(payload) do sum = sum + v end
    return j + 2, {seq = seq, type = ftype, length = length, payload = payload,
                   check = b:byte(j), want = checksum(sum), ended = b:byte(j + 1) == 0xFB}
end

function velt.dissector(tvb, pinfo, tree)
    local dir_field = flags_direction()
    local dir = dir_field and dir_field.value or 0
    if dir ~= 1 and dir ~= 2 then dir = 0 end
    local key = pinfo.number
    if not pinfo.visited then
        carried[key] = pending[dir]
    end
    local before = carried[key] or ""
    local bytes = before .. tvb:raw()
    local whole = before == "" and tvb or ByteArray.new(bytes, true):tvb("Reassembled")
    if #bytes == 0 then return 0 end
    pinfo.cols.protocol = "VELT"
    local root = tree:add(velt, whole(), "VELT serial link")
    root:add(f.direction, dir)
    local i, frames, answers, last_end = 1, 0, 0, 1
    local info = {}
    while i <= #bytes do
        local c = bytes:byte(i)
        if c == 0xFF then
            local stop, fr = frame_at(bytes, i)
            if stop == nil then break end  -- runs on into the next chunk
            local node = root:add(velt, whole(i - 1, stop - i),
                                  string.format("Frame type %d, sequence %d, %d bytes", fr.type,
                                                fr.seq, fr.length))
            node:add(f.sequence, whole(i, 1), fr.seq)
            node:add(f.type, whole(i + 1, 1), fr.type)
            node:add(f.length, whole(i + 2, 1), fr.length)
            if fr.cut then
                node:add(f.incomplete, whole(i - 1, stop - i))
                info[#info + 1] = string.format("type %d cut short", fr.type)
            else
                local ok = fr.check == fr.want
                node:add(f.checksum, whole(stop - 3, 1), fr.check)
                node:add(f.checksum_ok, whole(stop - 3, 1), ok)
                local text = string.format("type %d seq %d%s", fr.type, fr.seq, ok and "" or " BAD")
                info[#info + 1] = text
            end
            frames = frames + 1
            i = stop
            last_end = i
        elseif (c == 0xFD or c == 0xFC) and i + 2 <= #bytes and bytes:byte(i + 2) == 0xFB then
            local node = root:add(velt, whole(i - 1, 3), c == 0xFD and "Answer: taken" or
                                  "Answer: checksum wrong")
            node:add(f.answer, whole(i - 1, 1), c == 0xFD and "taken" or "checksum wrong")
            node:add(f.answer_sequence, whole(i, 1), bytes:byte(i + 1))
            info[#info + 1] = string.format("%s %d", c == 0xFD and "FD" or "FC", bytes:byte(i + 1))
            answers = answers + 1
            i = i + 3
            last_end = i
        elseif (c == 0xFD or c == 0xFC) and i + 2 > #bytes then
            break  -- an answer that goes on in the next chunk
        else
            i = i + 1  -- outside a frame: skipped as the program skips it
        end
    end
    if not pinfo.visited then
        -- What follows the last whole frame or answer goes on in the next chunk; bytes
        -- that cannot start one are dropped, as the receiver drops them.
        local rest = bytes:sub(last_end)
        local start = rest:find("[\255\253\252]")
        pending[dir] = start and rest:sub(start) or ""
        if #pending[dir] > 4096 then pending[dir] = "" end
    end
    pinfo.cols.info = (#info > 0 and table.concat(info, ", ") or "no whole frame") ..
                      (directions[dir] and (" (" .. directions[dir] .. ")") or "")
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, velt)
