// compile.cc: a kvsgen run and its reports.
#include "kvsgen/compile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "kvsgen/kvs_facade.h"
#include "kvsgen/messages.h"
#include "kvsgen/template_load.h"
#include "kvsgen/template_reader.h"

namespace kvsgen {
namespace {

// Reports the groups that did not reach the store: each one as it comes,
// except those refused for want of space (the store at its 2 GiB limit),
// which may be very many and are counted in one line at the end.
class GroupReporter {
 public:
  explicit GroupReporter(std::string templateName) : templateName_(std::move(templateName)) {}

  void Report(const GroupFailure &failure) {
    const std::string where = At(failure.line) + ": key " + Quoted(failure.key);
    if (failure.cutShort) {
      Complain(where + ": cut short by the end of the file, not stored");
    } else if (failure.cause == BDB_NO_SPACE) {
      if (noSpace_++ == 0) firstNoSpace_ = At(failure.line) + ", key " + Quoted(failure.key);
    } else {
      Complain(where + ": not stored: " + BdbErrorText(failure.cause));
    }
  }

  void ReportNoSpace(const std::string &storeName) const {
    if (noSpace_ == 0) return;
    Complain(storeName + ": " + BdbErrorText(BDB_NO_SPACE) + ": " + std::to_string(noSpace_) +
             (noSpace_ == 1 ? " group" : " groups") + " not stored, the first at " +
             firstNoSpace_);
  }

 private:
  std::string At(std::size_t line) const { return templateName_ + ":" + std::to_string(line); }

  std::string templateName_;
  std::size_t noSpace_ = 0;
  std::string firstNoSpace_;
};

// Compacts the store after the run's puts. A compaction that fails writes
// the puts to the store as it stands instead, or keeps them for a later
// try when that fails too: a flush then tells whether they reached the
// file. Returns the status.
int Compact(StoreHandle store, const char *storePath) {
  if (BdbCompact(store) == 1) return kEveryGroupStored;
  ComplainAboutStore(storePath, "cannot compact");
  if (BdbFlush(store) == 1) return kSomeGroupsNotStored;
  ComplainAboutStore(storePath, "cannot write");
  return kStoreNotWritten;
}

// Loads the template into the open store, compacts it and reports what
// failed; the store stays open. *written tells whether the run's puts
// reached the store's file.
int LoadAndReport(StoreHandle store, TemplateReader &reader, const char *templatePath,
                  const char *storePath, bool *written) {
  GroupReporter reporter(templatePath);
  const PutOutcome outcome = PutTemplate(
      store, reader, [&reporter](const GroupFailure &failure) { reporter.Report(failure); });
  reporter.ReportNoSpace(storePath);
  int status = outcome.failed > 0 ? kSomeGroupsNotStored : kEveryGroupStored;
  if (reader.ReadError() != 0) {
    Complain(std::string(templatePath) + ": cannot read: " + std::strerror(reader.ReadError()));
    status = kSomeGroupsNotStored;
  }
  *written = false;
  if (outcome.stored == 0) return status;  // nothing to compact
  const int compacted = Compact(store, storePath);
  *written = compacted != kStoreNotWritten;
  return std::max(status, compacted);
}

}  // namespace

int CompileTemplate(const char *templatePath, const char *storePath) {
  TemplateReader reader;
  if (!reader.Open(templatePath)) {
    Complain(std::string(templatePath) + ": cannot open: " + std::strerror(errno));
    return kStoreNotWritten;
  }
  StoreHandle store = KvsOpen(storePath);
  if (store == nullptr) {
    ComplainAboutStore(storePath, "cannot open");
    return kStoreNotWritten;
  }
  int status = kStoreNotWritten;
  bool written = false;
  try {
    status = LoadAndReport(store, reader, templatePath, storePath, &written);
  } catch (const std::bad_alloc &) {
    std::fputs("kvsgen: out of memory\n", stderr);
  }
  // A compaction that could not read its new file back lets the handle go;
  // it has been reported.
  if (BdbClose(store) == 0 && BdbLastError() != BDB_INVALID_HANDLE) {
    ComplainAboutStore(storePath, "cannot close");
    status = written ? std::max(status, kSomeGroupsNotStored) : kStoreNotWritten;
  }
  return status;
}

}  // namespace kvsgen
