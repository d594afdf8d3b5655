/* A hostile iphlpapi.dll, as an attacker would plant it beside a host
 * program. Should it ever be loaded, its DllMain leaves a mark (the file that
 * PINGEXT_PLANTED_MARK names), and its ICMP helper answers every echo at
 * once with a round trip of 65,000 ms that no real exchange gives here. */
#include <windows.h>
/* windows.h comes first */
#include <iphlpapi.h>
/* iphlpapi.h before icmpapi.h */
#include <icmpapi.h>
#include <string.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  char mark[MAX_PATH];
  DWORD length;
  (void)instance;
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  length = GetEnvironmentVariableA("PINGEXT_PLANTED_MARK", mark, sizeof mark);
  if (length > 0 && length < sizeof mark) {
    HANDLE file = CreateFileA(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  return TRUE;
}

__declspec(dllexport) HANDLE WINAPI IcmpCreateFile(void) { return (HANDLE)(INT_PTR)1; }

__declspec(dllexport) BOOL WINAPI IcmpCloseHandle(HANDLE handle) {
  (void)handle;
  return TRUE;
}

__declspec(dllexport) DWORD WINAPI IcmpSendEcho(HANDLE handle, IPAddr destination, LPVOID data,
                                                WORD size, PIP_OPTION_INFORMATION options,
                                                LPVOID replies, DWORD replies_size, DWORD timeout) {
  ICMP_ECHO_REPLY* reply = (ICMP_ECHO_REPLY*)replies;
  (void)handle;
  (void)options;
  (void)timeout;
  if (replies_size < sizeof *reply + size) return 0;
  memset(reply, 0, sizeof *reply);
  reply->Address = destination;
  reply->Status = IP_SUCCESS;
  reply->RoundTripTime = 65000;
  reply->DataSize = size;
  reply->Data = (unsigned char*)replies + sizeof *reply;
  memcpy(reply->Data, data, size);
  return 1;
}
