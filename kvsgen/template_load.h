// template_load.h: the template loader for kvsgen itself, which names every
// group it cannot store.
//
// KvsLoadTemplate (template_loader.h) answers only whether a load
// succeeded; PutTemplate does its puts on a template that is already open
// and hands each group that did not reach the store to a callback, with the
// line it begins on and why. The compaction that follows is the caller's.
#ifndef KVS_KVSGEN_TEMPLATE_LOAD_H
#define KVS_KVSGEN_TEMPLATE_LOAD_H

#include <cstddef>
#include <functional>

#include "kvsgen/template_reader.h"
#include "store/store.h"

namespace kvsgen {

// A group of the template that is not in the store.
struct GroupFailure {
  std::size_t line;  // the line of its key line
  const char *key;   // the key it was to be stored under
  bool cutShort;     // the file ended before its N data bytes
  int cause;         // otherwise the failed put's BdbLastError()
};

struct PutOutcome {
  std::size_t stored = 0;  // groups put
  std::size_t failed = 0;  // groups handed to the callback
};

using GroupFailureReport = std::function<void(const GroupFailure &)>;

// Holds the store's writes (BdbHoldWrites), puts every group of the open
// template into it as KvsLoadTemplate does, and closes the template. Each
// group that is cut short by the end of the file or whose put fails goes to
// report, in template order. Throws std::bad_alloc when the buffers cannot
// be had.
PutOutcome PutTemplate(StoreHandle store, TemplateReader &reader,
                       const GroupFailureReport &report);

}  // namespace kvsgen

#endif  // KVS_KVSGEN_TEMPLATE_LOAD_H
