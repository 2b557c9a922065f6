// file_image.cc: which image a slot's file gets.
#include "store/pager/file_image.h"

#include "store/pager/buffered_file.h"

namespace kvs {
namespace {

std::unique_ptr<FileImage> MakeBufferedFile(std::unique_ptr<StoreFile> file) {
  return std::make_unique<BufferedFile>(std::move(file));
}

FileImageMaker g_maker = MakeBufferedFile;

}  // namespace

std::unique_ptr<FileImage> MakeFileImage(std::unique_ptr<StoreFile> file) {
  return g_maker(std::move(file));
}

void SetFileImageMaker(FileImageMaker maker) {
  g_maker = maker != nullptr ? maker : MakeBufferedFile;
}

}  // namespace kvs
