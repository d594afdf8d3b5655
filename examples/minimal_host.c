/* A minimal host, in C99, for Linux and Windows alike: it loads an extension
 * library, finds "ping" in the table that ZDLL returns, and pings one target.
 *   minimal_host [LIBRARY [TARGET]]
 * LIBRARY: the installed library unless given; TARGET: 127.0.0.1 unless given.
 * Prints "ping TARGET: N ms", where N is -1 when no valid reply came within a
 * second. */
#include <pingext/host_interface.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <winsock2.h>
/* winsock2.h comes first */
#include <windows.h>
/* windows.h comes first */
#include <shellapi.h>
#else
#include <dlfcn.h>
#endif

/* Entry 6. This host's argument handles point at C strings. */
static void PINGEXT_CDECL get_text(PingextArgumentHandle argument, PingextCountedString* area) {
  size_t length = strlen((const char*)argument);
  if (length > PINGEXT_ARGUMENT_TEXT_CAPACITY) length = PINGEXT_ARGUMENT_TEXT_CAPACITY;
  area->length = (uint16_t)length;
  memcpy(area->text, argument, length);
}

/* Entry 8: the value first, the slot second. This host's slots are int32_t. */
static void PINGEXT_CDECL set_result(int32_t value, PingextResultSlot result) {
  *(int32_t*)result = value;
}

/* Loads exactly the file named: a name without a folder would be searched
 * for (on Windows the program's folder first, where anyone who can write
 * there could plant one). On Windows the path is the command line's own, in
 * UTF-16, made full, of any length. */
static PingextZdllFunction load(const char* path) {
  PingextZdllFunction zdll = NULL;
#if defined(_WIN32)
  static wchar_t full[32768]; /* the longest path Windows takes */
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  wchar_t given[MAX_PATH];
  const wchar_t* wide = count > 1 ? arguments[1] : given;
  DWORD length;
  HMODULE library;
  FARPROC found;
  /* The installed library's path, when none is given, as CMake wrote it. */
  if (count <= 1 && MultiByteToWideChar(CP_UTF8, 0, path, -1, given, MAX_PATH) == 0) return NULL;
  length = GetFullPathNameW(wide, 32768, full, NULL);
  library = length > 0 && length < 32768 ? LoadLibraryW(full) : NULL;
  LocalFree(arguments);
  found = library != NULL ? GetProcAddress(library, PINGEXT_ENTRY_POINT_NAME) : NULL;
#else
  char relative[4096];
  void* library = NULL;
  void* found = NULL;
  if (strchr(path, '/') == NULL) {
    if (snprintf(relative, sizeof relative, "./%s", path) >= (int)sizeof relative) return NULL;
    path = relative;
  }
  library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  found = library != NULL ? dlsym(library, PINGEXT_ENTRY_POINT_NAME) : NULL;
#endif
  /* Copied, not cast: ISO C has no conversion from an object pointer. */
  if (found != NULL) memcpy(&zdll, &found, sizeof zdll);
  return zdll;
}

int main(int argc, char** argv) {
#if defined(PINGEXT_MODULE)
  const char* path = argc > 1 ? argv[1] : PINGEXT_MODULE;
#else
  const char* path = argc > 1 ? argv[1] : NULL;
#endif
  static char loopback[] = "127.0.0.1";
  char* target = argc > 2 ? argv[2] : loopback;
  PingextHostService services[PINGEXT_HOST_SERVICES_MIN_COUNT] = {NULL};
  PingextZdllFunction zdll;
  const PingextFunctionTableEntry* row;

  if (path == NULL) {
    fputs("usage: minimal_host LIBRARY [TARGET]\n", stderr);
    return 2;
  }
#if defined(_WIN32)
  {
    WSADATA winsock; /* the host starts Winsock; the library never does */
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return 1;
  }
#endif
  zdll = load(path);
  if (zdll == NULL) {
    fprintf(stderr, "minimal_host: %s is no library with a ZDLL entry point\n", path);
    return 1;
  }
  services[PINGEXT_GET_STRING_ARGUMENT_ENTRY] = (PingextHostService)get_text;
  services[PINGEXT_SET_INTEGER_RESULT_ENTRY] = (PingextHostService)set_result;
  row = zdll();
  if (row == NULL) {
    fprintf(stderr, "minimal_host: %s returned no function table\n", path);
    return 1;
  }
  for (; row->function != NULL; ++row) {
    int32_t milliseconds = 0;
    PingextArgumentHandle argument = target;
    if (row->name == NULL || strcmp(row->name, "ping") != 0) continue;
    if (row->function(services, &milliseconds, 1, &argument) != PINGEXT_CALL_CARRIED_OUT) break;
    printf("ping %s: %ld ms\n", target, (long)milliseconds);
    return 0;
  }
  fprintf(stderr, "minimal_host: %s offers no ping\n", path);
  return 1;
}
