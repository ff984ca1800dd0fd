-- kestal.lua: Wireshark dissector for the link between KestalHostComm and the scan head's
-- controller (protocol "KESTAL", display filter "kestal").
--
-- Decodes the frames carried over TCP: a 12-byte header (start tag FF FF FF FF, payload length,
-- message type, all u32 little-endian), the payload, and a u32 additive checksum over the length,
-- type and payload bytes (Y images carry 0, original image pieces are not checked). Orders and
-- order ACKs, config ACKs, controller status, image pieces, Y images, firmware chunks and their
-- ACKs are broken down into fields. Several frames in one TCP segment and frames spread over many
-- segments are handled; bytes in front of a start tag are shown and skipped, as the library
-- skips them.
--
-- Install: copy this file into Wireshark's personal Lua plugin folder
--   Linux:    ~/.local/lib/wireshark/plugins/
--   Windows:  %APPDATA%\Wireshark\plugins\
-- or load it for a single run:
--   tshark -X lua_script:tools/wireshark/kestal.lua -r capture.pcap
-- TCP ports 28992 and 29372 (the device's defaults) are decoded automatically. For any other
-- port use Analyze > Decode As... (TCP port -> KESTAL) or tshark -d tcp.port==N,kestal.

local kestal = Proto("KESTAL", "Kestal device link")

local START_TAG = "\255\255\255\255"
local HEADER_LEN = 12
local MAX_PAYLOAD = 0xFFF0 -- 65520: header + payload + checksum fill one 64 KiB buffer

-- Value names ------------------------------------------------------------------------------

local msg_types = {
  [1] = "Arm message", [2] = "Y image", [3] = "Original image piece", [4] = "Write config",
  [5] = "Read config", [6] = "Order", [7] = "Controller status", [8] = "Y original image piece",
  [9] = "Update firmware",
}

local order_types = {
  [0] = "HeartBeat", [1] = "StartScan", [2] = "StopScan", [3] = "StartScanAlt",
  [4] = "StopScanAlt", [21] = "SetExposure", [22] = "SetGain", [27] = "TriggerSingle",
  [28] = "TriggerContinue", [29] = "EnterOriginalImage", [30] = "EnterYImage",
  [70] = "SetCommType", [80] = "SetSensorReg", [81] = "GetSensorRegMap",
  [82] = "GetDeviceStaticInfo", [83] = "GetFpgaTemp",
}

local device_states = {
  [0] = "Working normally", [1] = "Device not found", [2] = "Open failed", [3] = "I/O error",
  [4] = "Device inserted", [5] = "Device removed", [6] = "Device communication timeout",
  [7] = "Invalid",
}

local comm_types = { [0] = "Storage", [1] = "Network", [3] = "Network (second port)" }

-- Same numbering as Wireshark's own checksum status fields.
local CK_BAD, CK_GOOD, CK_UNVERIFIED = 0, 1, 2
local checksum_states = { [CK_BAD] = "Bad", [CK_GOOD] = "Good", [CK_UNVERIFIED] = "Unverified" }

-- Fields -----------------------------------------------------------------------------------

local F = ProtoField
local f = {
  tag             = F.uint32("kestal.tag", "Start tag", base.HEX),
  length          = F.uint32("kestal.length", "Payload length", base.DEC),
  type            = F.uint32("kestal.type", "Message type", base.DEC, msg_types),
  checksum        = F.uint32("kestal.checksum", "Checksum", base.HEX),
  checksum_calc   = F.uint32("kestal.checksum.calculated", "Calculated checksum", base.HEX),
  checksum_status = F.uint8("kestal.checksum.status", "Checksum status", base.DEC, checksum_states),
  garbage         = F.bytes("kestal.garbage", "Bytes before a frame"),
  payload         = F.bytes("kestal.payload", "Payload"),
  seq_no          = F.uint16("kestal.seq_no", "Sequence number", base.DEC),

  sub_type        = F.uint16("kestal.order.sub_type", "Order sub type", base.DEC, order_types),
  param_len       = F.uint32("kestal.order.param_length", "Parameter length", base.DEC),
  params          = F.bytes("kestal.order.params", "Parameters"),
  comm_type       = F.uint32("kestal.order.comm_type", "Comm type", base.DEC, comm_types),
  ack_header      = F.bytes("kestal.ack.header", "Reply header (not interpreted)"),
  ack_reply       = F.bytes("kestal.ack.reply", "Reply data"),
  ack_fpga_temp   = F.uint32("kestal.ack.fpga_temp", "FPGA temperature (raw)", base.DEC),
  app_version     = F.string("kestal.ack.app_version", "Application version"),
  fpga_version    = F.string("kestal.ack.fpga_version", "FPGA version"),
  sm_roi_height   = F.bytes("kestal.ack.sensor.roi_height", "Sensor map: ROI height"),
  sm_start        = F.bytes("kestal.ack.sensor.start", "Sensor map: start"),
  sm_flip         = F.bytes("kestal.ack.sensor.flip", "Sensor map: flip"),
  sm_exposure     = F.bytes("kestal.ack.sensor.exposure", "Sensor map: exposure"),
  sm_gain         = F.bytes("kestal.ack.sensor.gain", "Sensor map: gain"),
  sm_temp         = F.bytes("kestal.ack.sensor.temp", "Sensor map: temperature"),

  cfg_sub_type    = F.uint16("kestal.config.sub_type", "Sub type", base.DEC),
  cfg_ack_code    = F.uint16("kestal.config.ack_code", "ACK code", base.DEC),
  cfg_file_len    = F.uint32("kestal.config.file_length", "Config file length", base.DEC),
  cfg_file        = F.bytes("kestal.config.file", "Config file"),
  cfg_data        = F.bytes("kestal.config.data", "Order data"),

  fw_type         = F.uint16("kestal.fw.type", "Firmware type", base.DEC),
  fw_file_len     = F.uint32("kestal.fw.file_length", "File length", base.DEC),
  fw_check        = F.uint32("kestal.fw.check", "File check (byte sum)", base.DEC_HEX),
  fw_total_len    = F.uint32("kestal.fw.total_length", "Total length", base.DEC),
  fw_offset       = F.uint32("kestal.fw.offset", "Chunk offset", base.DEC),
  fw_chunk_len    = F.uint32("kestal.fw.chunk_length", "Chunk length", base.DEC),
  fw_data         = F.bytes("kestal.fw.data", "Chunk data"),
  fw_ack_code     = F.uint16("kestal.fw.ack_code", "ACK code", base.DEC),
  fw_progress     = F.uint8("kestal.fw.progress", "Progress", base.DEC),
  fw_step         = F.uint8("kestal.fw.step", "Step", base.DEC),

  st_scanner      = F.uint32("kestal.status.scanner_state", "Scanner state", base.DEC,
                             device_states),
  st_fpga_bytes   = F.uint32("kestal.status.fpga_bytes", "FPGA bytes", base.DEC),
  st_fpga_fps     = F.uint32("kestal.status.fpga_fps", "FPGA fps", base.DEC),
  st_arm_state    = F.uint32("kestal.status.arm_state", "Arm state", base.DEC, device_states),
  st_arm_fps      = F.uint32("kestal.status.arm_fps", "Arm fps", base.DEC),
  st_host_send    = F.uint32("kestal.status.host_send_bytes", "Host send bytes", base.DEC),
  st_host_recv    = F.uint32("kestal.status.host_recv_bytes", "Host receive bytes", base.DEC),
  st_fpga_temp    = F.uint32("kestal.status.fpga_temp", "FPGA temperature (raw)", base.DEC),
  st_rest         = F.bytes("kestal.status.reserved", "Not interpreted"),

  img_header      = F.bytes("kestal.image.header", "Image header"),
  img_header_size = F.uint32("kestal.image.header_size", "Image size (image header)", base.DEC),
  img_size        = F.uint32("kestal.image.size", "Image size", base.DEC),
  img_offset      = F.uint32("kestal.image.offset", "Piece offset", base.DEC),
  img_length      = F.uint32("kestal.image.length", "Piece length", base.DEC),
  img_data        = F.bytes("kestal.image.data", "Piece data"),

  y_header        = F.bytes("kestal.yimage.header", "Y image header"),
  y_data_len      = F.uint32("kestal.yimage.data_length", "Y data length", base.DEC),
  y_data          = F.bytes("kestal.yimage.data", "Y data"),

  arm_data        = F.bytes("kestal.arm.data", "Arm message"),
}
kestal.fields = f

local e = {
  bad_checksum = ProtoExpert.new("kestal.checksum.bad", "Bad checksum",
                                 expert.group.CHECKSUM, expert.severity.ERROR),
  garbage      = ProtoExpert.new("kestal.garbage.skipped", "Bytes before a frame skipped",
                                 expert.group.PROTOCOL, expert.severity.WARN),
  too_long     = ProtoExpert.new("kestal.length.too_large",
                                 "Payload length above 65520: start tag skipped",
                                 expert.group.MALFORMED, expert.severity.ERROR),
  short        = ProtoExpert.new("kestal.short", "Payload too short for its layout",
                                 expert.group.MALFORMED, expert.severity.WARN),
  inconsistent = ProtoExpert.new("kestal.inconsistent", "Lengths in the payload do not agree",
                                 expert.group.PROTOCOL, expert.severity.WARN),
}
kestal.experts = e

-- Helpers ----------------------------------------------------------------------------------

-- Unsigned little-endian value of `size` bytes at `off` in the payload, nil past its end.
local function u(pl, off, size)
  if off + size > pl:len() then return nil end
  return pl(off, size):le_uint()
end

local function celsius(raw) return string.format(" (%.2f °C)", raw * 0.01 - 40) end

local function short(t) t:add_proto_expert_info(e.short); return false end

-- Adds the fields of `layout`, entries {field, offset, size[, note(value)]}, in order; stops
-- with a warning at the first one that the payload does not hold.
local function add_fields(t, pl, layout)
  for _, d in ipairs(layout) do
    local fld, off, size, note = d[1], d[2], d[3], d[4]
    if off + size > pl:len() then return short(t) end
    local item = t:add_le(fld, pl(off, size))
    if note then item:append_text(note(pl(off, size):le_uint())) end
  end
  return true
end

-- Adds `count` bytes (all the rest when nil) from `off` as a bytes field, clipped to the
-- payload; warns when the payload holds fewer than `count`.
local function add_rest(t, fld, pl, off, count)
  local avail = pl:len() - off
  if avail < 0 then avail = 0 end
  local n = count or avail
  if n > avail then n = avail; t:add_proto_expert_info(e.short) end
  if n > 0 then t:add(fld, pl(off, n)) end
end

local function agree(t, ok, what)
  if not ok then t:add_proto_expert_info(e.inconsistent, what) end
end

local function sub_name(v) return order_types[v] or ("sub type " .. v) end

-- Sum of `n` bytes from `off`, modulo 2^32.
local function byte_sum(tvb, off, n)
  if n == 0 then return 0 end
  local raw, s = tvb:raw(off, n), 0
  for i = 1, n, 4096 do
    local b = { raw:byte(i, math.min(i + 4095, n)) }
    for j = 1, #b do s = s + b[j] end
  end
  return s % 4294967296
end

-- True when the frame comes from the device, false when it goes to it, nil when the port
-- that selected this dissector does not tell.
local function from_device(pinfo)
  local port = pinfo.match_uint
  if port == pinfo.src_port and port ~= pinfo.dst_port then return true end
  if port == pinfo.dst_port and port ~= pinfo.src_port then return false end
  return nil
end

-- Payloads, one function per message type: (tree, payload range, from device) -> Info text ---

local decode = {}

decode[1] = function(t, pl)
  add_rest(t, f.arm_data, pl, 0)
  return string.format("Arm message (%d bytes)", pl:len())
end

decode[2] = function(t, pl)
  if not add_fields(t, pl, { { f.y_header, 0, 68 }, { f.y_data_len, 68, 4 } }) then
    return "Y image (short)"
  end
  local n = u(pl, 68, 4)
  agree(t, 72 + n == pl:len(), "Y data length does not match the payload length")
  add_rest(t, f.y_data, pl, 72, n)
  return string.format("Y image %d bytes", n)
end

local function image_piece(t, pl, name)
  if not add_fields(t, pl, { { f.img_header, 0, 76 }, { f.img_header_size, 76, 4 },
      { f.img_size, 80, 4 }, { f.img_offset, 84, 4 }, { f.img_length, 88, 4 } }) then
    return name .. " (short)"
  end
  local hsize, size, off, len = u(pl, 76, 4), u(pl, 80, 4), u(pl, 84, 4), u(pl, 88, 4)
  agree(t, hsize == size, "Image size of the piece differs from the image header's")
  agree(t, off + len <= size, "Piece reaches past the end of the image")
  agree(t, 92 + len == pl:len(), "Piece length does not match the payload length")
  add_rest(t, f.img_data, pl, 92, len)
  return string.format("%s %d+%d/%d%s", name, off, len, size, off + len == size and " (last)" or "")
end
decode[3] = function(t, pl) return image_piece(t, pl, "Image piece") end
decode[8] = function(t, pl) return image_piece(t, pl, "Y original image piece") end

local function config(t, pl, dev, name)
  if not add_fields(t, pl, { { f.seq_no, 0, 2 }, { f.cfg_sub_type, 2, 2 } }) then
    return name .. " (short)"
  end
  local seq = u(pl, 0, 2)
  if dev == false then -- the order itself is the application's; shown as bytes
    add_rest(t, f.cfg_data, pl, 4)
    return string.format("%s seq %d", name, seq)
  end
  if not add_fields(t, pl, { { f.cfg_ack_code, 4, 2 } }) then return name .. " ACK (short)" end
  local text = string.format("%s ACK seq %d code %d", name, seq, u(pl, 4, 2))
  if name == "Read config" then
    if not add_fields(t, pl, { { f.cfg_file_len, 6, 4 } }) then return text end
    local n = u(pl, 6, 4)
    agree(t, 10 + n == pl:len(), "Config file length does not match the payload length")
    add_rest(t, f.cfg_file, pl, 10, n)
    text = text .. string.format(" file %d bytes", n)
  end
  return text
end
decode[4] = function(t, pl, dev) return config(t, pl, dev, "Write config") end
decode[5] = function(t, pl, dev) return config(t, pl, dev, "Read config") end

local function version(pl, off)
  return string.format("%d.%d.%d.%04d", u(pl, off, 1), u(pl, off + 1, 1), u(pl, off + 2, 2),
                       u(pl, off + 4, 2))
end

-- Reply data of an order ACK, from payload offset 10, as the host reads it.
local ack_reply = {
  [81] = function(t, pl)
    add_fields(t, pl, { { f.sm_roi_height, 11, 2 }, { f.sm_start, 13, 2 }, { f.sm_flip, 50, 1 },
      { f.sm_exposure, 52, 3 }, { f.sm_gain, 113, 1 }, { f.sm_temp, 136, 2 } })
  end,
  [82] = function(t, pl)
    if pl:len() < 22 then return short(t) end
    t:add(f.app_version, pl(10, 6), version(pl, 10))
    t:add(f.fpga_version, pl(16, 6), version(pl, 16))
    return " app " .. version(pl, 10) .. " fpga " .. version(pl, 16)
  end,
  [83] = function(t, pl)
    if add_fields(t, pl, { { f.ack_fpga_temp, 10, 4, celsius } }) then
      return celsius(u(pl, 10, 4))
    end
  end,
}

decode[6] = function(t, pl, dev)
  local len = pl:len()
  if dev == nil then -- no port to go by: an order's length agrees with its parameter length
    local n = u(pl, 4, 4)
    dev = not (n and n + 8 == len)
  end
  if not add_fields(t, pl, { { f.seq_no, 0, 2 }, { f.sub_type, 2, 2 } }) then
    return (dev and "Order ACK" or "Order") .. " (short)"
  end
  local sub = u(pl, 2, 2)
  local text = string.format("%s seq %d %s", dev and "Order ACK" or "Order", u(pl, 0, 2),
                             sub_name(sub))
  if not dev then
    if not add_fields(t, pl, { { f.param_len, 4, 4 } }) then return text end
    local n = u(pl, 4, 4)
    agree(t, n + 8 == len, "Parameter length does not match the payload length")
    if sub == 70 and n == 4 and len >= 12 then
      t:add_le(f.comm_type, pl(8, 4))
    else
      add_rest(t, f.params, pl, 8, n)
    end
    return text
  end
  if not add_fields(t, pl, { { f.ack_header, 4, 6 } }) then return text end
  if len > 10 then t:add(f.ack_reply, pl(10, len - 10)) end
  local reply = ack_reply[sub]
  return text .. (reply and reply(t, pl) or "")
end

decode[7] = function(t, pl)
  local whole = add_fields(t, pl, { { f.st_scanner, 0, 4 }, { f.st_fpga_bytes, 4, 4 },
    { f.st_fpga_fps, 8, 4 }, { f.st_arm_state, 12, 4 }, { f.st_arm_fps, 16, 4 },
    { f.st_host_send, 20, 4 }, { f.st_host_recv, 24, 4 }, { f.st_fpga_temp, 28, 4, celsius },
    { f.st_rest, 32, 24 } })
  if pl:len() > 56 then t:add(f.payload, pl(56, pl:len() - 56)) end
  return whole and "Controller status" or "Controller status (short)"
end

decode[9] = function(t, pl, dev)
  if dev == nil then dev = pl:len() < 24 end -- a chunk has a 24-byte header, an ACK 8 bytes
  if dev then
    add_fields(t, pl, { { f.seq_no, 0, 2 }, { f.fw_type, 2, 2 }, { f.fw_ack_code, 4, 2 },
      { f.fw_progress, 6, 1 }, { f.fw_step, 7, 1 } })
    if pl:len() < 8 then return "Firmware ACK (short)" end
    return string.format("Firmware ACK seq %d code %d progress %d step %d", u(pl, 0, 2),
                         u(pl, 4, 2), u(pl, 6, 1), u(pl, 7, 1))
  end
  if not add_fields(t, pl, { { f.seq_no, 0, 2 }, { f.fw_type, 2, 2 }, { f.fw_file_len, 4, 4 },
      { f.fw_check, 8, 4 }, { f.fw_total_len, 12, 4 }, { f.fw_offset, 16, 4 },
      { f.fw_chunk_len, 20, 4 } }) then
    return "Firmware chunk (short)"
  end
  local off, n = u(pl, 16, 4), u(pl, 20, 4)
  agree(t, 24 + n == pl:len(), "Chunk length does not match the payload length")
  add_rest(t, f.fw_data, pl, 24, n)
  return string.format("Firmware chunk seq %d %d+%d/%d", u(pl, 0, 2), off, n, u(pl, 4, 4))
end

-- Frames -----------------------------------------------------------------------------------

-- One whole frame of payload length `len` at `pos`; returns its Info text.
local function dissect_frame(tvb, pinfo, root, pos, len)
  local mtype = tvb(pos + 8, 4):le_uint()
  local t = root:add(kestal, tvb(pos, len + 16))
  t:add_le(f.tag, tvb(pos, 4))
  t:add_le(f.length, tvb(pos + 4, 4))
  t:add_le(f.type, tvb(pos + 8, 4))

  local text
  local pl = tvb(pos + HEADER_LEN, len) -- may be empty
  if decode[mtype] then
    text = decode[mtype](t, pl, from_device(pinfo))
  else
    if len > 0 then t:add(f.payload, pl) end
    text = string.format("Type 0x%08x (%d bytes)", mtype, len)
  end

  -- Y images (2) carry 0, original image pieces (3) anything; the comparison is on all 32 bits
  -- of the type, so 0x00010002 is checked like any other type.
  local ck = tvb(pos + HEADER_LEN + len, 4)
  local sent = ck:le_uint()
  local expected = (mtype == 2 or mtype == 3) and 0 or byte_sum(tvb, pos + 4, len + 8)
  local status = mtype == 3 and CK_UNVERIFIED or (sent == expected and CK_GOOD or CK_BAD)
  local item = t:add_le(f.checksum, ck)
  if mtype ~= 3 then t:add(f.checksum_calc, ck, expected):set_generated() end
  t:add(f.checksum_status, ck, status):set_generated()
  if status == CK_BAD then
    item:append_text(string.format(" [incorrect, should be 0x%08x]", expected))
    item:add_proto_expert_info(e.bad_checksum)
    text = text .. " [bad checksum]"
  end
  t:append_text(", " .. text)
  return text
end

-- Offset of the next start tag at or after `pos`; when there is none, the offset of trailing
-- FF bytes that may begin one (or the end of the data).
local function next_tag(tvb, pos, n)
  local raw = tvb:raw(pos, n - pos)
  local i = raw:find(START_TAG, 1, true)
  if i then return pos + i - 1 end
  local k = 0
  while k < 3 and k < #raw and raw:byte(#raw - k) == 255 do k = k + 1 end
  return n - k
end

function kestal.dissector(tvb, pinfo, root)
  local n, pos, info = tvb:len(), 0, {}
  while pos < n do
    if n - pos < 4 or tvb(pos, 4):le_uint() ~= 0xFFFFFFFF then
      local tag = next_tag(tvb, pos, n)
      if tag > pos then
        local t = root:add(kestal, tvb(pos, tag - pos), "Kestal device link, bytes before a frame")
        t:add(f.garbage, tvb(pos, tag - pos)):add_proto_expert_info(e.garbage)
        info[#info + 1] = string.format("[%d bytes skipped]", tag - pos)
        pos = tag
      end
      if pos >= n then break end
    end
    if n - pos < HEADER_LEN then -- the header continues in a later segment
      pinfo.desegment_offset, pinfo.desegment_len = pos, DESEGMENT_ONE_MORE_SEGMENT
      break
    end
    local len = tvb(pos + 4, 4):le_uint()
    if len > MAX_PAYLOAD then
      -- Not a frame: show the header and look for the next start tag after this one.
      local t = root:add(kestal, tvb(pos, HEADER_LEN), "Kestal device link, bad header")
      t:add_le(f.tag, tvb(pos, 4))
      t:add_le(f.length, tvb(pos + 4, 4)):add_proto_expert_info(e.too_long)
      t:add_le(f.type, tvb(pos + 8, 4))
      info[#info + 1] = string.format("[payload length %d too large]", len)
      pos = pos + 4
    elseif n - pos < len + 16 then -- the frame continues in later segments
      pinfo.desegment_offset, pinfo.desegment_len = pos, len + 16 - (n - pos)
      break
    else
      info[#info + 1] = dissect_frame(tvb, pinfo, root, pos, len)
      pos = pos + len + 16
    end
  end

  if #info > 0 then
    local text = table.concat(info, ", ")
    -- A segment can reach this function several times (the end of a reassembled frame, then
    -- the frames behind it): the first call sets the columns, the later ones append.
    if pinfo.private.kestal_seen then
      pinfo.cols.info:append(", " .. text)
    else
      pinfo.private.kestal_seen = "1"
      pinfo.cols.protocol:set("KESTAL")
      pinfo.cols.info:set(text)
    end
  end
  return n
end

local tcp_port = DissectorTable.get("tcp.port")
tcp_port:add(28992, kestal)
tcp_port:add(29372, kestal)
