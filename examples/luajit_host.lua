-- A host in LuaJIT, with its FFI: it loads an extension library, finds
-- "ping" in the table that ZDLL returns, and pings each target.
--
--   luajit luajit_host.lua LIBRARY HEADER [TARGET...]
--
-- LIBRARY is a full path (on Linux, `pkg-config --variable=module pingext`);
-- HEADER is the installed <pingext/host_interface.h>, which the C
-- preprocessor turns into the declarations ffi.cdef takes. Prints
-- "ping TARGET: N ms" for each TARGET (127.0.0.1 unless given), where N is
-- -1 when no valid reply came within a second.
local ffi = require("ffi")

local library_path, header = arg[1], arg[2]
if not header then
  io.stderr:write("usage: luajit luajit_host.lua LIBRARY HEADER [TARGET...]\n")
  os.exit(2)
end
local preprocessor = io.popen("cpp -P -DPINGEXT_DECLARATIONS_ONLY '" .. header .. "'")
ffi.cdef(preprocessor:read("*a"))
preprocessor:close()
local C = ffi.C
local library = ffi.load(library_path)

-- The library calls both services on the calling thread, at most once each,
-- before the call returns: a handle is this host's index into `texts`, and
-- the result slot points at an int32_t of the caller's.
local texts = {}
local get_string_argument = ffi.cast("PingextGetStringArgument", function(argument, area)
  local text = texts[tonumber(ffi.cast("intptr_t", argument))]:sub(1, C.PINGEXT_ARGUMENT_TEXT_CAPACITY)
  area.length = #text
  ffi.copy(area.text, text, #text)
end)
local set_integer_result = ffi.cast("PingextSetIntegerResult", function(value, result)
  ffi.cast("int32_t*", result)[0] = value
end)
local services = ffi.new("PingextHostService[?]", C.PINGEXT_HOST_SERVICES_MIN_COUNT)
services[C.PINGEXT_GET_STRING_ARGUMENT_ENTRY] = ffi.cast("PingextHostService", get_string_argument)
services[C.PINGEXT_SET_INTEGER_RESULT_ENTRY] = ffi.cast("PingextHostService", set_integer_result)

-- `function` is a Lua keyword: the field is row["function"].
local row = library.ZDLL()
while row["function"] ~= nil and ffi.string(row.name) ~= "ping" do
  row = row + 1
end
if row["function"] == nil then
  io.stderr:write("luajit_host: " .. library_path .. " offers no ping\n")
  os.exit(1)
end
local targets = { select(3, ...) }
if #targets == 0 then targets = { "127.0.0.1" } end
for _, target in ipairs(targets) do
  texts[1] = target
  local argument = ffi.new("PingextArgumentHandle[1]", ffi.cast("PingextArgumentHandle", 1))
  local result = ffi.new("int32_t[1]")
  if row["function"](services, result, 1, argument) ~= C.PINGEXT_CALL_CARRIED_OUT then
    io.stderr:write("luajit_host: ping refused " .. target .. "\n")
    os.exit(1)
  end
  print(string.format("ping %s: %d ms", target, result[0]))
end
