/* The calling convention between a host process and a pingext extension
 * library. C99 and later, C++98 and later, MSVC. Included as
 * <pingext/host_interface.h>.
 *
 * A host loads the library, calls its one export, `ZDLL` (no parameters), and
 * walks the table it returns up to the row whose two fields are both null.
 * Each row lists a function under a name; the host calls it with its own
 * table of services, an opaque slot for the result, and opaque handles for
 * the arguments. Everything here is fixed: rows, records and entry numbers
 * are laid out as below on every build, and checked where they are declared.
 * Every name declared here starts with Pingext or PINGEXT_, so the header fits
 * beside any system header (Windows' own declare a CountedString).
 *
 * Bindings: `cpp -P -DPINGEXT_DECLARATIONS_ONLY host_interface.h` leaves plain
 * C declarations, as LuaJIT's ffi.cdef and Python's cffi take them: no system
 * header, no compile-time check, and every number a host needs as an
 * enumerator, with the export `ZDLL` declared to be called by name. */
#ifndef PINGEXT_HOST_INTERFACE_H
#define PINGEXT_HOST_INTERFACE_H

#ifndef PINGEXT_DECLARATIONS_ONLY
#include <stddef.h>
#include <stdint.h>
#endif

/* The version of this contract and of the library it comes with.
 * PINGEXT_VERSION_NUMBER is MAJOR * 1000000 + MINOR * 1000 + PATCH, for
 * comparisons: #if PINGEXT_VERSION_NUMBER >= 2001000 for 2.1.0 or later. */
#define PINGEXT_VERSION_MAJOR 2
#define PINGEXT_VERSION_MINOR 2
#define PINGEXT_VERSION_PATCH 0
#define PINGEXT_VERSION_NUMBER 2002000

/* The calling convention of every function in the contract: `ZDLL`, each
 * listed function and the host's services. On 32-bit x86 it is cdecl, the C
 * default, written out so that a host compiled with another default (MSVC
 * /Gz, GCC -mrtd) still agrees with the library; elsewhere each processor has
 * one convention and this is empty. A 32-bit host declares its services with
 * it too. */
#if defined(_M_IX86) || (defined(__i386__) && !defined(__x86_64__))
#if defined(_MSC_VER) || defined(PINGEXT_DECLARATIONS_ONLY)
#define PINGEXT_CDECL __cdecl
#else
#define PINGEXT_CDECL __attribute__((__cdecl__))
#endif
#else
#define PINGEXT_CDECL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque to the library: it only hands them back to the host. */
typedef void* PingextArgumentHandle;
typedef void* PingextResultSlot;

/* The numbers a host relies on, told below. Enumerators, so that they
 * outlive preprocessing, of one type, so that they compare without warnings;
 * each is also defined as itself, for #ifdef. */
enum {
  PINGEXT_HOST_SERVICES_MIN_COUNT = 9,
  PINGEXT_GET_STRING_ARGUMENT_ENTRY = 6,
  PINGEXT_SET_INTEGER_RESULT_ENTRY = 8,
  PINGEXT_ARGUMENT_BUFFER_SIZE = 32784,
  PINGEXT_ARGUMENT_TEXT_CAPACITY = 32782
};
#define PINGEXT_HOST_SERVICES_MIN_COUNT PINGEXT_HOST_SERVICES_MIN_COUNT
#define PINGEXT_GET_STRING_ARGUMENT_ENTRY PINGEXT_GET_STRING_ARGUMENT_ENTRY
#define PINGEXT_SET_INTEGER_RESULT_ENTRY PINGEXT_SET_INTEGER_RESULT_ENTRY
#define PINGEXT_ARGUMENT_BUFFER_SIZE PINGEXT_ARGUMENT_BUFFER_SIZE
#define PINGEXT_ARGUMENT_TEXT_CAPACITY PINGEXT_ARGUMENT_TEXT_CAPACITY

/* The host's service table is a flat array of function addresses, owned and
 * filled by the host and indexed by position. Each entry is cast to its own
 * type, below, before it is called. Entry numbers are a promise: a host keeps
 * them where they are, or every library built against it breaks. A host's
 * table holds at least PINGEXT_HOST_SERVICES_MIN_COUNT entries (0 to 8); the
 * library reads entries 6 and 8 only, and refuses a call where either is
 * null. A listed function calls them synchronously, on the thread that called
 * it, each at most once, before it returns; it keeps no pointer to the table,
 * the handles or the area after it returns. */
typedef void(PINGEXT_CDECL* PingextHostService)(void);

/* A host's text value: a 16-bit length in native byte order, followed at once
 * by that many bytes of text, with no terminator. A function reserves
 * PINGEXT_ARGUMENT_BUFFER_SIZE bytes for it, the length included; the host
 * must store at most PINGEXT_ARGUMENT_TEXT_CAPACITY bytes of text.
 *
 * `ping`'s text is a host name or an address, its bytes handed unchanged to
 * the system's resolver, up to the first zero byte. On Linux that is the C
 * library's getaddrinfo without AI_IDN: a name matches a hosts file entry
 * byte for byte, and goes to DNS as it is, so an internationalized name
 * reaches DNS only in its ASCII form (xn--...). On Windows it is the ANSI
 * getaddrinfo: the bytes are read in the process's ANSI code page, which is
 * UTF-8 only where the process asks for it. */
typedef struct PingextCountedString {
  uint16_t length;
  char text[PINGEXT_ARGUMENT_TEXT_CAPACITY];
} PingextCountedString;

/* Entry 6: store the text of `argument` in `area`. Its return value is
 * ignored. */
typedef void(PINGEXT_CDECL* PingextGetStringArgument)(PingextArgumentHandle argument,
                                                      PingextCountedString* area);

/* Entry 8: the value comes first, the slot second. Its return value is
 * ignored. */
typedef void(PINGEXT_CDECL* PingextSetIntegerResult)(int32_t value, PingextResultSlot result);

/* What a listed function returns, an int32_t: PINGEXT_CALL_CARRIED_OUT when
 * it did its work and set a result, PINGEXT_CALL_REFUSED when it refused the
 * call and set none. PINGEXT_PING_FAILED is the result `ping` sets when no
 * valid reply came. As enumerators they are signed ints, like the int32_t
 * they are compared with. */
enum { PINGEXT_CALL_CARRIED_OUT = 0, PINGEXT_CALL_REFUSED = 1, PINGEXT_PING_FAILED = -1 };
typedef int32_t(PINGEXT_CDECL* PingextExtensionFunction)(const PingextHostService* services,
                                                         PingextResultSlot result,
                                                         int32_t argument_count,
                                                         const PingextArgumentHandle* arguments);

/* One row of the table `ZDLL` returns; a row of two nulls ends it. (`function`
 * is a keyword in Lua: a LuaJIT host reads it as row["function"].) */
typedef struct PingextFunctionTableEntry {
  PingextExtensionFunction function;
  const char* name;
} PingextFunctionTableEntry;

/* The type of the export, and its name, undecorated on every platform. */
typedef const PingextFunctionTableEntry*(PINGEXT_CDECL* PingextZdllFunction)(void);
#define PINGEXT_ENTRY_POINT_NAME "ZDLL"

#ifdef PINGEXT_DECLARATIONS_ONLY
const PingextFunctionTableEntry* PINGEXT_CDECL ZDLL(void);
#endif

/* The names of version 1.0, for a host written against them: define
 * PINGEXT_VERSION_1_NAMES before including this header. They may clash with
 * system headers, as Windows' CountedString does. */
#ifdef PINGEXT_VERSION_1_NAMES
typedef PingextArgumentHandle ArgumentHandle;
typedef PingextResultSlot ResultSlot;
typedef PingextCountedString CountedString;
typedef PingextExtensionFunction ExtensionFunction;
typedef PingextFunctionTableEntry FunctionTableEntry;
enum { kArgumentBufferSize = PINGEXT_ARGUMENT_BUFFER_SIZE };
#endif

/* The layout above, checked at compile time: with static_assert where the
 * language has it (MSVC reports an old __cplusplus unless asked), else with
 * an array type whose size is negative when the check fails. */
#ifndef PINGEXT_DECLARATIONS_ONLY
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSC_VER) && _MSC_VER >= 1600))
#define PINGEXT_CHECK(condition, what) static_assert(condition, #what)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define PINGEXT_CHECK(condition, what) _Static_assert(condition, #what)
#else
#define PINGEXT_CHECK(condition, what) typedef char pingext_check_##what[(condition) ? 1 : -1]
#endif
PINGEXT_CHECK(sizeof(PingextCountedString) == PINGEXT_ARGUMENT_BUFFER_SIZE,
              counted_string_fills_the_buffer);
PINGEXT_CHECK(PINGEXT_ARGUMENT_BUFFER_SIZE == 32784, argument_buffer_is_32784_bytes);
PINGEXT_CHECK(offsetof(PingextCountedString, text) == sizeof(uint16_t), text_right_after_length);
PINGEXT_CHECK(sizeof(PingextFunctionTableEntry) == 2 * sizeof(void*), two_fields_per_row);
PINGEXT_CHECK(offsetof(PingextFunctionTableEntry, name) == sizeof(void*), name_second);
PINGEXT_CHECK(sizeof(PingextHostService) == sizeof(void*), pointer_sized_entries);
PINGEXT_CHECK(sizeof(void*) != 8 || PINGEXT_GET_STRING_ARGUMENT_ENTRY * sizeof(void*) == 48,
              entry_6_at_byte_48_on_64_bit);
PINGEXT_CHECK(sizeof(void*) != 8 || PINGEXT_SET_INTEGER_RESULT_ENTRY * sizeof(void*) == 64,
              entry_8_at_byte_64_on_64_bit);
PINGEXT_CHECK(sizeof(void*) != 4 || PINGEXT_GET_STRING_ARGUMENT_ENTRY * sizeof(void*) == 24,
              entry_6_at_byte_24_on_32_bit);
PINGEXT_CHECK(sizeof(void*) != 4 || PINGEXT_SET_INTEGER_RESULT_ENTRY * sizeof(void*) == 32,
              entry_8_at_byte_32_on_32_bit);
PINGEXT_CHECK(PINGEXT_GET_STRING_ARGUMENT_ENTRY < PINGEXT_HOST_SERVICES_MIN_COUNT &&
                  PINGEXT_SET_INTEGER_RESULT_ENTRY < PINGEXT_HOST_SERVICES_MIN_COUNT,
              table_holds_both_entries);
PINGEXT_CHECK(PINGEXT_VERSION_NUMBER == PINGEXT_VERSION_MAJOR * 1000000L +
                                            PINGEXT_VERSION_MINOR * 1000L + PINGEXT_VERSION_PATCH,
              version_number_from_its_parts);
#undef PINGEXT_CHECK
#endif

#ifdef __cplusplus
}
#endif

#endif
