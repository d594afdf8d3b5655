// The calling convention between a host process and this extension library.
// A host loads the library, calls its one export `ZDLL`, walks the returned
// table up to its null row, and calls listed functions by name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pingext {

using ArgumentHandle = void*;  // opaque to the library
using ResultSlot = void*;      // opaque to the library

// The host's service table: a flat array of function addresses owned by the
// host, indexed by position. Each entry is cast to its own type before a call.
using HostService = void (*)();

// A host's text value: a native-order 16-bit length followed at once by the
// bytes, with no terminator.
inline constexpr std::size_t kArgumentBufferSize = 32784;
inline constexpr std::size_t kArgumentTextCapacity = kArgumentBufferSize - sizeof(std::uint16_t);

struct CountedString {
  std::uint16_t length;
  char text[kArgumentTextCapacity];
};
static_assert(sizeof(CountedString) == kArgumentBufferSize);

// Entry 6: store the argument's text in the area. Its return value is ignored.
inline constexpr std::size_t kGetStringArgumentEntry = 6;
using GetStringArgument = void (*)(ArgumentHandle argument, CountedString* area);

// Entry 8: the value comes first, the slot second. Its return value is ignored.
inline constexpr std::size_t kSetIntegerResultEntry = 8;
using SetIntegerResult = void (*)(std::int32_t value, ResultSlot result);

// Returns 0 when the call was carried out and its result set, 1 when it was
// refused and no result set.
inline constexpr std::int32_t kCallCarriedOut = 0;
inline constexpr std::int32_t kCallRefused = 1;
using ExtensionFunction = std::int32_t (*)(const HostService* services, ResultSlot result,
                                           std::int32_t argument_count,
                                           const ArgumentHandle* arguments);

struct FunctionTableEntry {
  ExtensionFunction function;
  const char* name;
};

// The type of the exported `ZDLL`: it returns the table, which ends with a row
// whose fields are both null.
using ZdllFunction = const FunctionTableEntry* (*)();
inline constexpr const char* kEntryPointName = "ZDLL";

}  // namespace pingext
