-- Wireshark dissector for the VexaIM protocol between the VexaIMPlus library
-- (IM side) and the IM server.
--
-- Frame: four decimal digits of length (code plus payload, in bytes), four
-- digits of command code, the payload. Packets from the server carry one more
-- byte, not counted by the length (a zero). Payload fields are joined by
-- "!|!"; structured values are elements such as <nickname>...</nickname>,
-- nested for records. All text is GBK (code page 936): separators and markers
-- only count where a character begins, never inside a double-byte character.
--
-- Use: wireshark -X lua_script:vexaim.lua, or copy it to the personal plugins
-- folder. The server's TCP port is the preference "vexaim.port" (7788 by
-- default; Edit > Preferences > Protocols > VEXAIM, or -o vexaim.port:N).
-- A TLS listener's port is "vexaim.tls_port": its records go to the TLS
-- dissector, and what TLS decrypts (given the session keys, tls.keylog_file)
-- comes back here.

local vexaim = Proto("vexaim", "VexaIM protocol")

local DEFAULT_PORT = 7788
-- Bounds for hostile input: how deep records nest and how many items one
-- packet may add to the tree.
local MAX_DEPTH = 8
local MAX_ITEMS = 4000

vexaim.prefs.port = Pref.uint("Server TCP port", DEFAULT_PORT, "TCP port of the IM server")
vexaim.prefs.tls_port = Pref.uint("Server TLS port", 0,
    "TCP port of the IM server's TLS listener (0: none); decrypting needs the session keys (tls.keylog_file)")

local f = {
    direction = ProtoField.string("vexaim.direction", "Direction"),
    length = ProtoField.uint16("vexaim.length", "Length", base.DEC),
    code = ProtoField.uint16("vexaim.code", "Command code", base.DEC),
    code_name = ProtoField.string("vexaim.code_name", "Command"),
    payload = ProtoField.string("vexaim.payload", "Payload"),
    field = ProtoField.string("vexaim.field", "Field"),
    element = ProtoField.string("vexaim.element", "Element"),
    element_name = ProtoField.string("vexaim.element.name", "Element name"),
    element_value = ProtoField.string("vexaim.element.value", "Element value"),
    file_item = ProtoField.string("vexaim.file_item", "File item"),
    trailer = ProtoField.uint8("vexaim.trailer", "Trailing byte", base.HEX),
}
vexaim.fields = { f.direction, f.length, f.code, f.code_name, f.payload, f.field, f.element, f.element_name,
    f.element_value, f.file_item, f.trailer }

local ef_bad_length = ProtoExpert.new("vexaim.bad_length", "Length field is not a decimal number of at least 4",
    expert.group.MALFORMED, expert.severity.ERROR)
local ef_trailer = ProtoExpert.new("vexaim.trailer_not_zero", "Trailing byte is not zero",
    expert.group.PROTOCOL, expert.severity.WARN)
local ef_truncated = ProtoExpert.new("vexaim.too_many_items", "Too many fields or elements; rest not shown",
    expert.group.MALFORMED, expert.severity.WARN)
vexaim.experts = { ef_bad_length, ef_trailer, ef_truncated }

-- Requests from the library, with the names of their fields in order.
local requests = {
    [1] = { "Login", { "userId", "password" } },
    [3] = { "Chat", { "peer", "date", "fromId", "msgType", "body" } },
    [7] = { "KeepAlive", { "text" } },
    [21] = { "InitData", { "n" } },
    [23] = { "AskAddFriend", { "ownId", "user", "text" } },
    [24] = { "ReplyAddFriend", { "ownId", "user", "answer", "n|text", "text" } },
    [25] = { "AddBlacklist", { "ownId", "user", "n" } },
    [29] = { "DeleteFriend", { "ownId", "user" } },
    [31] = { "Invite", { "ownId", "user" } },
    [32] = { "ChangeStatus", { "ownId", "status", "note" } },
    [33] = { "ChangePosition", { "ownId", "position" } },
    [34] = { "ChangeUserInfo", { "ownId", "user" } },
    [36] = { "GetUserInfo", { "user" } },
    [40] = { "Ask1V1", { "ownId", "user" } },
    [41] = { "Reply1V1", { "user", "ownId", "answer" } },
    [43] = { "Stop1V1", { "ownId", "user" } },
    [44] = { "SendAskList", { "ownId" } },
    [99] = { "Exit", { "ownId" } },
}

-- Packets from the server.
local answers = {
    [2] = { "LoginResult" },
    [3] = { "ChatMessage" },
    [8] = { "KeepAliveAnswer" },
    [22] = { "FriendList" },
    [23] = { "FriendAsk" },
    [24] = { "FriendReply" },
    [26] = { "AddBlacklistResult" },
    [30] = { "DeleteFriendResult" },
    [31] = { "Invite" },
    [32] = { "StatusChange" },
    [33] = { "UserPosition" },
    [35] = { "ChangeInfoResult" },
    [37] = { "UserInfoResult" },
    [38] = { "FriendResult" },
    [39] = { "ServerSignal" },
    [40] = { "Ask1V1" },
    [42] = { "Reply1V1" },
    [43] = { "Stop1V1" },
    [45] = { "SendAskList" },
}

-- Decimal value of bytes as the C runtime's atoi reads them: leading blanks,
-- a sign, digits up to the first non-digit; nil when no digit is found.
local function atoi(bytes)
    local s = bytes:match("^[ \t\n\v\f\r]*([+-]?%d+)")
    if not s then return nil end
    return tonumber(s)
end

-- Length in bytes of the GBK character at position i (1 or 2).
local function char_len(bytes, i)
    local lead = bytes:byte(i)
    if lead and lead >= 0x81 and lead <= 0xFE then
        local trail = bytes:byte(i + 1)
        if trail and trail >= 0x40 and trail <= 0xFE and trail ~= 0x7F then return 2 end
    end
    return 1
end

-- First position at or after `from` where `needle` begins on a character
-- boundary; nil when there is none.
local function gbk_find(bytes, needle, from)
    local i, n, m = from, #bytes, #needle
    while i <= n - m + 1 do
        if bytes:sub(i, i + m - 1) == needle then return i end
        i = i + char_len(bytes, i)
    end
    return nil
end

local function is_name_char(b)
    return (b >= 0x30 and b <= 0x39) or (b >= 0x41 and b <= 0x5A) or (b >= 0x61 and b <= 0x7A) or b == 0x5F
end

-- GBK texts of one packet, decoded to UTF-8 together. Wireshark 4.0's
-- TvbRange:string(encoding) cuts the decoded text to the byte length of its
-- range, which loses the end of any Chinese text (two GBK bytes become three
-- UTF-8 bytes); stringz() has no such limit. So every text of a packet is
-- copied, NUL-terminated, into one buffer and decoded from there.
local function decode_all(raws)
    local out = {}
    if #raws == 0 then return out end
    local joined = table.concat(raws, "\0") .. "\0"
    local t = ByteArray.new(joined, true):tvb("GBK text")
    local off = 0
    for i, raw in ipairs(raws) do
        out[i] = #raw > 0 and t(off, #raw + 1):stringz(ENC_GB18030) or ""
        off = off + #raw + 1
    end
    return out
end

-- The elements found in bytes (which stand at `base` in the tvb), records
-- with their children. Each node's text is queued in raws for decoding.
-- Returns nil once the item budget is spent.
local function parse_elements(bytes, base, depth, budget, raws)
    local nodes, i = {}, 1
    while true do
        local open = gbk_find(bytes, "<", i)
        if not open then return nodes end
        local j = open + 1
        while j <= #bytes and is_name_char(bytes:byte(j)) do j = j + 1 end
        local name = bytes:sub(open + 1, j - 1)
        local close = nil
        if #name > 0 and bytes:sub(j, j) == ">" then close = gbk_find(bytes, "</" .. name .. ">", j + 1) end
        if not close then
            i = open + 1
        else
            budget.left = budget.left - 1
            if budget.left < 0 then return nil end
            local value = bytes:sub(j + 1, close - 1)
            raws[#raws + 1] = value
            local node = { name = name, start = base + open - 1, len = close + #name + 3 - open,
                value_start = base + j, value_len = #value, text = #raws }
            if name == "file" then
                -- The file description: items joined by "~|~". Here the
                -- character boundaries matter, since "~" is also a valid
                -- second byte of a GBK character.
                node.items = {}
                local k = 1
                while true do
                    budget.left = budget.left - 1
                    if budget.left < 0 then return nil end
                    local sep = gbk_find(value, "~|~", k)
                    local stop = sep and sep - 1 or #value
                    raws[#raws + 1] = value:sub(k, stop)
                    node.items[#node.items + 1] = { start = base + j + k - 1, len = stop - k + 1, text = #raws }
                    if not sep then break end
                    k = sep + 3
                end
            elseif depth < MAX_DEPTH and gbk_find(value, "<", 1) then
                node.children = parse_elements(value, base + j, depth + 1, budget, raws)
                if not node.children then return nil end
            end
            nodes[#nodes + 1] = node
            i = close + #name + 3
        end
    end
end

local function add_elements(tvb, tree, nodes, texts)
    for _, node in ipairs(nodes) do
        local value = texts[node.text]
        local item = tree:add(f.element, tvb(node.start, node.len), node.name .. " = " .. value)
        item:set_text(node.name .. ": " .. value)
        item:add(f.element_name, tvb(node.start + 1, #node.name), node.name)
        if node.value_len > 0 then
            item:add(f.element_value, tvb(node.value_start, node.value_len), value)
        else
            item:add(f.element_value, tvb(node.start, node.len), "")
        end
        if node.children then add_elements(tvb, item, node.children, texts) end
        for index, file_item in ipairs(node.items or {}) do
            local range = file_item.len > 0 and tvb(file_item.start, file_item.len) or tvb(node.value_start, 0)
            item:add(f.file_item, range, texts[file_item.text]):set_text("item " .. index .. ": " .. texts[file_item.text])
        end
    end
end

local function port() return vexaim.prefs.port end

local function tls_port() return vexaim.prefs.tls_port end

local function from_server(pinfo) return pinfo.src_port == port() or (tls_port() ~= 0 and pinfo.src_port == tls_port()) end

-- Bytes of the packet that starts at offset: length + 4, and one more from
-- the server. A length field that is not a number describes no packet: the
-- rest of the segment is taken and shown as malformed.
local function packet_length(tvb, pinfo, offset)
    local length = atoi(tvb(offset, 4):raw())
    if not length or length < 4 then return tvb:len() - offset end
    return length + 4 + (from_server(pinfo) and 1 or 0)
end

local function dissect_packet(tvb, pinfo, tree)
    local server = from_server(pinfo)
    local length = atoi(tvb(0, 4):raw())
    local subtree = tree:add(vexaim, tvb())
    subtree:add(f.direction, server and "answer" or "request"):set_generated()
    local length_item = subtree:add(f.length, tvb(0, 4), length or 0)
    if not length or length < 4 or tvb:len() < 8 then
        length_item:add_proto_expert_info(ef_bad_length)
        subtree:set_text("VexaIM: not a packet")
        return tvb:len()
    end
    local code = atoi(tvb(4, 4):raw()) or 0
    local known = (server and answers or requests)[code]
    local name = known and known[1] or "unknown"
    subtree:add(f.code, tvb(4, 4), code)
    subtree:add(f.code_name, tvb(4, 4), name)

    -- The payload is read as zero-terminated text, as the receivers read it.
    local payload_len = length - 4
    local bytes = payload_len > 0 and tvb(8, payload_len):raw() or ""
    local nul = bytes:find("\0", 1, true)
    if nul then bytes = bytes:sub(1, nul - 1) end
    if #bytes > 0 then
        -- Fields split at "!|!", each with the elements inside it.
        local raws, fields = { bytes }, {}
        local budget = { left = MAX_ITEMS }
        local truncated = false
        local start = 1
        while true do
            local sep = gbk_find(bytes, "!|!", start)
            local stop = sep and sep - 1 or #bytes
            local raw = bytes:sub(start, stop)
            raws[#raws + 1] = raw
            local field = { start = 8 + start - 1, len = #raw, sep = sep ~= nil, text = #raws }
            budget.left = budget.left - 1
            field.elements = budget.left >= 0 and parse_elements(raw, 8 + start - 1, 1, budget, raws) or nil
            fields[#fields + 1] = field
            if not field.elements then
                truncated = true
                break
            end
            if not sep then break end
            start = sep + 3
        end
        local texts = decode_all(raws)
        local payload_item = subtree:add(f.payload, tvb(8, payload_len), texts[1])
        if truncated then payload_item:add_proto_expert_info(ef_truncated) end
        local names = known and known[2] or {}
        for index, field in ipairs(fields) do
            local value = texts[field.text]
            local range = field.len > 0 and tvb(field.start, field.len) or tvb(field.start, field.sep and 3 or 0)
            local item = payload_item:add(f.field, range, value)
            item:set_text((names[index] or ("field " .. index)) .. ": " .. value)
            if field.elements then add_elements(tvb, item, field.elements, texts) end
        end
    end
    if server and tvb:len() > length + 4 then
        local trailer = subtree:add(f.trailer, tvb(length + 4, 1))
        if tvb(length + 4, 1):uint() ~= 0 then trailer:add_proto_expert_info(ef_trailer) end
    end

    local summary = string.format("%s %d %s", server and "Answer" or "Request", code, name)
    subtree:append_text(", " .. summary)
    pinfo.cols.protocol = "VexaIM"
    local info = tostring(pinfo.cols.info)
    if info:find("^Request ") or info:find("^Answer ") then
        pinfo.cols.info:append("; " .. summary)
    else
        pinfo.cols.info:set(summary)
    end
    return tvb:len()
end

function vexaim.dissector(tvb, pinfo, tree)
    dissect_tcp_pdus(tvb, tree, 4, packet_length, dissect_packet, true)
    return tvb:len()
end

local registered = nil
local registered_tls = nil
local function register()
    local tcp = DissectorTable.get("tcp.port")
    if registered then tcp:remove(registered, vexaim) end
    tcp:add(port(), vexaim)
    registered = port()
    local tls = Dissector.get("tls")
    local inside_tls = DissectorTable.get("tls.port")
    if registered_tls then
        tcp:remove(registered_tls, tls)
        inside_tls:remove(registered_tls, vexaim)
        registered_tls = nil
    end
    if tls_port() ~= 0 then
        tcp:add(tls_port(), tls)
        inside_tls:add(tls_port(), vexaim)
        registered_tls = tls_port()
    end
end

function vexaim.prefs_changed() register() end

register()
