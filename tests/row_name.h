// A table row's name as GoogleTest takes a test's name: letters, digits and _.
#pragma once

#include <cctype>
#include <string>

namespace pingext::testing {

inline std::string test_name_of(const std::string& row) {
  std::string name;
  for (const char c : row) name += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
  return name;
}

}  // namespace pingext::testing
