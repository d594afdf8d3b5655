"""A host in Python, with ctypes alone: it loads an extension library, finds
"ping" in the table that ZDLL returns, and pings each target.

    python3 python_host.py LIBRARY [TARGET...]

LIBRARY is a full path (on Linux, `pkg-config --variable=module pingext`).
Prints "ping TARGET: N ms" for each TARGET (127.0.0.1 unless given), where N is
-1 when no valid reply came within a second. The declarations below are those
of <pingext/host_interface.h>; ctypes cannot read a header.
"""
import ctypes
import sys

if sys.platform == "win32":
    import socket  # noqa: F401  (starts Winsock, which the host must do)

GET_STRING_ARGUMENT_ENTRY = 6
SET_INTEGER_RESULT_ENTRY = 8
HOST_SERVICES_MIN_COUNT = 9
ARGUMENT_TEXT_CAPACITY = 32782
CALL_CARRIED_OUT = 0


class CountedString(ctypes.Structure):
    _fields_ = [("length", ctypes.c_uint16), ("text", ctypes.c_char * ARGUMENT_TEXT_CAPACITY)]


# CFUNCTYPE is cdecl on every platform, as the contract is.
HostService = ctypes.CFUNCTYPE(None)
GetStringArgument = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(CountedString))
SetIntegerResult = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_void_p)
ExtensionFunction = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.POINTER(HostService), ctypes.c_void_p,
                                     ctypes.c_int32, ctypes.POINTER(ctypes.c_void_p))


class FunctionTableEntry(ctypes.Structure):
    _fields_ = [("function", ExtensionFunction), ("name", ctypes.c_char_p)]


# The library calls both services on the calling thread, at most once each,
# before the call returns: a handle is this host's index into `texts`, and the
# result slot points at an int32 of the caller's.
texts = []


def get_string_argument(argument, area):
    text = texts[argument or 0][:ARGUMENT_TEXT_CAPACITY]
    area.contents.length = len(text)
    ctypes.memmove(ctypes.addressof(area.contents) + CountedString.text.offset, text, len(text))


def set_integer_result(value, result):
    ctypes.c_int32.from_address(result).value = value


# Kept alive as long as the library may call them.
services_kept = (GetStringArgument(get_string_argument), SetIntegerResult(set_integer_result))
services = (HostService * HOST_SERVICES_MIN_COUNT)()
services[GET_STRING_ARGUMENT_ENTRY] = ctypes.cast(services_kept[0], HostService)
services[SET_INTEGER_RESULT_ENTRY] = ctypes.cast(services_kept[1], HostService)


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: python_host.py LIBRARY [TARGET...]")
    library = ctypes.CDLL(sys.argv[1])
    library.ZDLL.restype = ctypes.POINTER(FunctionTableEntry)
    table = library.ZDLL()
    row = 0  # up to the row of two nulls
    while table[row].function and table[row].name != b"ping":
        row += 1
    ping = table[row].function
    if not ping:
        sys.exit(f"python_host: {sys.argv[1]} offers no ping")
    for target in sys.argv[2:] or ["127.0.0.1"]:
        # The bytes the system's resolver takes: on Windows, in the ANSI code page.
        texts[:] = [target.encode("mbcs" if sys.platform == "win32" else "utf-8")]
        argument = ctypes.c_void_p(0)
        result = ctypes.c_int32(0)
        if ping(services, ctypes.addressof(result), 1, ctypes.byref(argument)) != CALL_CARRIED_OUT:
            sys.exit(f"python_host: ping refused {target}")
        print(f"ping {target}: {result.value} ms")


main()
