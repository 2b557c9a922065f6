// errors.cc: the per-thread cause of the last failing call, and its text.
#include "store/errors.h"

#include <cstdio>

namespace kvs {

thread_local constinit int t_lastError = BDB_OK;
thread_local constinit int t_lastSystemError = 0;

void NoteSystemError(int systemCode, bool noSpace, bool noMemory) {
  if (t_lastError != BDB_OK) return;  // a consequence of the cause noted first
  NoteError(noSpace ? BDB_NO_SPACE : noMemory ? BDB_NO_MEMORY : BDB_IO);
  t_lastSystemError = systemCode;
}

}  // namespace kvs

extern "C" int BdbLastError(void) { return kvs::CurrentError(); }

extern "C" int BdbLastSystemError(void) { return kvs::CurrentSystemError(); }

extern "C" const char* BdbErrorText(int code) {
  switch (code) {
    case BDB_OK:
      return "no error";
    case BDB_ABSENT:
      return "key absent";
    case BDB_INVALID_ARGUMENT:
      return "invalid argument";
    case BDB_INVALID_HANDLE:
      return "invalid handle";
    case BDB_NOT_A_STORE:
      return "not a store";
    case BDB_DAMAGED:
      return "damaged store";
    case BDB_LOCKED:
      return "locked";
    case BDB_IO:
      return "I/O error";
    case BDB_NO_SPACE:
      return "no space";
    case BDB_NO_MEMORY:
      return "out of memory";
    case BDB_TOO_MANY_STORES:
      return "too many open stores";
    case BDB_READ_ONLY:
      return "opened read-only";
    default:
      return "unknown error";
  }
}

extern "C" const char* BdbSystemErrorText(int code) {
  if (code == 0) return "no error";
  if (const char* text = kvs::SystemErrorText(code)) return text;
  thread_local char unknown[32];
  std::snprintf(unknown, sizeof unknown, "system error %d", code);
  return unknown;
}
