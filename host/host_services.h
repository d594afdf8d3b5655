// The reference host's service table and the records behind its handles.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "extension/host_interface.hpp"

namespace exthost {

inline constexpr std::size_t kHostServiceCount = 16;

// What a text argument handle points to.
struct TextArgument {
  std::string text;
};

// What the result slot points to.
struct IntegerResult {
  bool set = false;
  std::int32_t value = 0;
};

// The host's table: entries 6 and 8 serve text arguments and integer results;
// every other entry records that it was called, since this host offers nothing
// else and a library calling one is broken.
const pingext::HostService* host_services();

// Index of the last unexpected entry called since the last reset, or -1.
int unexpected_service_called();
void reset_unexpected_service();

struct CallOutcome {
  std::int32_t return_code;
  IntegerResult result;
  int unexpected_service;  // -1 when none was called
};

// Calls `function` with text arguments through the host's table.
CallOutcome call_with_text(pingext::ExtensionFunction function,
                           const std::vector<TextArgument>& arguments);

}  // namespace exthost
