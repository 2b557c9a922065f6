// version.cc: the library's version as a string.
#include "store/store.h"

extern "C" const char* BdbVersion(void) { return KVSTORE_VERSION_STRING; }
