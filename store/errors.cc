// errors.cc: the per-thread cause of the last failing call, and its text.
#include "store/errors.h"

namespace kvs {

thread_local constinit int t_lastError = BDB_OK;

void NoteSystemError(bool noSpace, bool noMemory) {
  NoteError(noSpace ? BDB_NO_SPACE : noMemory ? BDB_NO_MEMORY : BDB_IO);
}

}  // namespace kvs

extern "C" int BdbLastError(void) { return kvs::CurrentError(); }

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
