// version.cc: the library's version as a string.
#include "store/errors.h"
#include "store/store.h"

extern "C" const char* BdbVersion(void) {
  kvs::SetError(BDB_OK);  // a call that cannot fail
  return KVSTORE_VERSION_STRING;
}
