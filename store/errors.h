// errors.h: why a public call failed, kept per thread for BdbLastError.
//
// Every public call starts by forgetting the cause of the call before it.
// The step that meets a failure notes its cause where it is best known (the
// platform file knows a full disk, the chain walk a damaged record); the
// first cause noted in a call is the one reported, since the steps above it
// only see its consequence. A call that succeeds reports BDB_OK. A cause
// noted from a failed system call also keeps the system's own code for it
// (BdbLastSystemError); any other cause leaves that code 0.
#ifndef KVS_STORE_ERRORS_H
#define KVS_STORE_ERRORS_H

#include <new>

#include "store/store.h"

namespace kvs {

// The cause noted in this thread's current (or last) public call. Constant
// initialised, so that every use is a plain access to thread storage.
extern thread_local constinit int t_lastError;
// The system's code behind t_lastError (errno, or GetLastError on
// Windows); 0 when the cause came from no system call.
extern thread_local constinit int t_lastSystemError;

// Sets the cause unconditionally (BDB_OK at the start of a call).
inline void SetError(int code) {
  t_lastError = code;
  t_lastSystemError = 0;
}
// Notes the cause of a failure, unless one was noted earlier in this call.
inline void NoteError(int code) {
  if (t_lastError == BDB_OK) t_lastError = code;
}
inline int CurrentError() { return t_lastError; }
inline int CurrentSystemError() { return t_lastSystemError; }
// Notes the cause behind a failed system call, from what the platform's
// code for it means: a full disk, memory, or any other I/O failure; the
// code itself is kept with the cause.
void NoteSystemError(int systemCode, bool noSpace, bool noMemory);
// The platform's text for one of its codes, without a line end; null when
// it has none. Kept in this thread's storage until the next use.
const char* SystemErrorText(int systemCode);

// Runs the body of a public call: no exception leaves it (a failed
// allocation reports BDB_NO_MEMORY), success reports BDB_OK, and a failure
// nothing explained reports fallback. failed is the body's failure result.
template <typename Result, typename Body>
Result PublicCall(Result failed, int fallback, Body&& body) noexcept {
  SetError(BDB_OK);
  Result result = failed;
  try {
    result = body();
  } catch (const std::bad_alloc&) {
    NoteError(BDB_NO_MEMORY);
  } catch (...) {
    NoteError(BDB_IO);
  }
  if (result != failed) {
    SetError(BDB_OK);
  } else {
    NoteError(fallback);
  }
  return result;
}

}  // namespace kvs

#endif  // KVS_STORE_ERRORS_H
