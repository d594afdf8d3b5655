#include "host/library_loader.h"

#if defined(_WIN32)
// winsock2.h must come before windows.h.
#include <winsock2.h>
//
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace exthost {

#if defined(_WIN32)

LoadedLibrary load_library(const std::string& path) {
  LoadedLibrary library;
  library.handle = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
  if (library.handle == nullptr) {
    library.error = "LoadLibrary failed with error " + std::to_string(GetLastError());
  }
  return library;
}

pingext::ZdllFunction find_entry_point(const LoadedLibrary& library) {
  const FARPROC entry =
      GetProcAddress(static_cast<HMODULE>(library.handle), pingext::kEntryPointName);
  return reinterpret_cast<pingext::ZdllFunction>(reinterpret_cast<void (*)()>(entry));
}

void unload_library(LoadedLibrary& library) {
  if (library.handle != nullptr) FreeLibrary(static_cast<HMODULE>(library.handle));
  library.handle = nullptr;
}

std::filesystem::path program_path() {
  static wchar_t path[32768];  // the longest path Windows takes
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  return length > 0 && length < 32768 ? std::filesystem::path(path) : std::filesystem::path();
}

bool start_sockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void stop_sockets() { WSACleanup(); }

#else

LoadedLibrary load_library(const std::string& path) {
  LoadedLibrary library;
  library.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library.handle == nullptr) library.error = dlerror();
  return library;
}

pingext::ZdllFunction find_entry_point(const LoadedLibrary& library) {
  return reinterpret_cast<pingext::ZdllFunction>(dlsym(library.handle, pingext::kEntryPointName));
}

void unload_library(LoadedLibrary& library) {
  if (library.handle != nullptr) dlclose(library.handle);
  library.handle = nullptr;
}

std::filesystem::path program_path() {
  std::error_code ignored;
  return std::filesystem::read_symlink("/proc/self/exe", ignored);
}

bool start_sockets() { return true; }
void stop_sockets() {}

#endif

}  // namespace exthost
