// C++ names for the library's own code over the contract of
// extension/host_interface.h, which alone defines it. Not installed: hosts
// include the C header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "extension/host_interface.h"

namespace pingext {

using ArgumentHandle = PingextArgumentHandle;
using ResultSlot = PingextResultSlot;
using CountedString = PingextCountedString;
using ExtensionFunction = PingextExtensionFunction;
using FunctionTableEntry = PingextFunctionTableEntry;
using HostService = PingextHostService;
using GetStringArgument = PingextGetStringArgument;
using SetIntegerResult = PingextSetIntegerResult;
using ZdllFunction = PingextZdllFunction;

inline constexpr std::size_t kArgumentTextCapacity = PINGEXT_ARGUMENT_TEXT_CAPACITY;
inline constexpr std::size_t kGetStringArgumentEntry = PINGEXT_GET_STRING_ARGUMENT_ENTRY;
inline constexpr std::size_t kSetIntegerResultEntry = PINGEXT_SET_INTEGER_RESULT_ENTRY;
inline constexpr std::int32_t kCallCarriedOut = PINGEXT_CALL_CARRIED_OUT;
inline constexpr std::int32_t kCallRefused = PINGEXT_CALL_REFUSED;
inline constexpr const char* kEntryPointName = PINGEXT_ENTRY_POINT_NAME;

}  // namespace pingext
