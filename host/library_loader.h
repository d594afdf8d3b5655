// Loading an extension library and finding its entry point, on either platform.
#pragma once

#include <filesystem>
#include <string>

#include "extension/host_interface.hpp"

namespace exthost {

struct LoadedLibrary {
  void* handle = nullptr;
  std::string error;  // the loader's own message when loading failed
};

LoadedLibrary load_library(const std::string& path);
pingext::ZdllFunction find_entry_point(const LoadedLibrary& library);
void unload_library(LoadedLibrary& library);

// The path of the running program, or an empty one.
std::filesystem::path program_path();

// The host must start the platform's socket library before a probe runs
// (Winsock 2.2 on Windows; nothing elsewhere).
bool start_sockets();
void stop_sockets();

}  // namespace exthost
