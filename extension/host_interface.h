/* The calling convention between a host process and a pingext extension
 * library. C99 and later, any C++, MSVC.
 *
 * A host loads the library, calls its one export, `ZDLL` (no parameters), and
 * walks the table it returns up to the row whose two fields are both null.
 * Each row lists a function under a name; the host calls it with its own
 * table of services, an opaque slot for the result, and opaque handles for
 * the arguments. Everything here is fixed: rows, records and entry numbers
 * are laid out as below on every build, and checked where they are declared. */
#ifndef PINGEXT_HOST_INTERFACE_H
#define PINGEXT_HOST_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque to the library: it only hands them back to the host. */
typedef void* ArgumentHandle;
typedef void* ResultSlot;

/* The host's service table is a flat array of function addresses, owned and
 * filled by the host and indexed by position. Each entry is cast to its own
 * type, below, before it is called. Entry numbers are a promise: a host keeps
 * them where they are, or every library built against it breaks. */
typedef void (*PingextHostService)(void);

/* A host's text value: a 16-bit length in native byte order, followed at once
 * by that many bytes of text, with no terminator. A function reserves
 * kArgumentBufferSize bytes for it, the length included; the host must store
 * at most PINGEXT_ARGUMENT_TEXT_CAPACITY bytes of text. */
enum { kArgumentBufferSize = 32784 };
#define PINGEXT_ARGUMENT_TEXT_CAPACITY (kArgumentBufferSize - 2)

typedef struct CountedString {
  uint16_t length;
  char text[PINGEXT_ARGUMENT_TEXT_CAPACITY];
} CountedString;

/* Entry 6: store the text of `argument` in `area`. Its return value is
 * ignored. */
#define PINGEXT_GET_STRING_ARGUMENT_ENTRY 6
typedef void (*PingextGetStringArgument)(ArgumentHandle argument, CountedString* area);

/* Entry 8: the value comes first, the slot second. Its return value is
 * ignored. */
#define PINGEXT_SET_INTEGER_RESULT_ENTRY 8
typedef void (*PingextSetIntegerResult)(int32_t value, ResultSlot result);

/* A listed function returns PINGEXT_CALL_CARRIED_OUT when it did its work and
 * set a result, PINGEXT_CALL_REFUSED when it refused the call and set none. */
#define PINGEXT_CALL_CARRIED_OUT 0
#define PINGEXT_CALL_REFUSED 1
typedef int32_t (*ExtensionFunction)(const PingextHostService* services, ResultSlot result,
                                     int32_t argument_count, const ArgumentHandle* arguments);

/* One row of the table `ZDLL` returns; a row of two nulls ends it. */
typedef struct FunctionTableEntry {
  ExtensionFunction function;
  const char* name;
} FunctionTableEntry;

/* The type of the export, and its name, undecorated on every platform. */
typedef const FunctionTableEntry* (*PingextZdllFunction)(void);
#define PINGEXT_ENTRY_POINT_NAME "ZDLL"

/* The layout above, checked at compile time in C and C++. */
#if defined(__cplusplus)
#define PINGEXT_CHECK(condition, what) static_assert(condition, #what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define PINGEXT_CHECK(condition, what) _Static_assert(condition, #what)
#else
#define PINGEXT_CHECK(condition, what) typedef char pingext_check_##what[(condition) ? 1 : -1]
#endif
PINGEXT_CHECK(sizeof(CountedString) == 32784, counted_string_is_32784_bytes);
PINGEXT_CHECK(offsetof(CountedString, text) == sizeof(uint16_t), text_right_after_length);
PINGEXT_CHECK(sizeof(FunctionTableEntry) == 2 * sizeof(void*), two_fields_per_row);
PINGEXT_CHECK(offsetof(FunctionTableEntry, name) == sizeof(void*), name_second);
PINGEXT_CHECK(sizeof(PingextHostService) == sizeof(void*), pointer_sized_entries);
#if UINTPTR_MAX > 0xFFFFFFFFu
PINGEXT_CHECK(PINGEXT_GET_STRING_ARGUMENT_ENTRY * sizeof(PingextHostService) == 48,
              entry_6_at_byte_48);
PINGEXT_CHECK(PINGEXT_SET_INTEGER_RESULT_ENTRY * sizeof(PingextHostService) == 64,
              entry_8_at_byte_64);
#endif
#undef PINGEXT_CHECK

#ifdef __cplusplus
}
#endif

#endif
