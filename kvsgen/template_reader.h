// template_reader.h: reads a template file as text, byte for byte the same
// on every platform.
//
// The file is read in binary and translated here rather than by the C
// library's text mode, whose behaviour differs between platforms: a CR LF
// pair is delivered as one LF, a CR not followed by LF is delivered as it
// is, and a byte 0x1A ends the file. Reading goes through a buffer of its
// own, so the file is read in blocks.
#ifndef KVS_KVSGEN_TEMPLATE_READER_H
#define KVS_KVSGEN_TEMPLATE_READER_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <vector>

namespace kvsgen {

class TemplateReader {
 public:
  static constexpr int kEnd = -1;  // Get's result at the end of the file
  static constexpr std::size_t kDefaultBufferSize = 64 * 1024;

  // bufferSize (at least 1) is the size of the blocks read from the file.
  explicit TemplateReader(std::size_t bufferSize = kDefaultBufferSize);

  // Opens path for reading and reads its first block; false when it cannot
  // be opened or read (errno then tells why, as ReadError does).
  bool Open(const char *path);

  // Closes the file; Get then gives kEnd.
  void Close();

  // The errno of a read that failed, which ended the file early; 0 when
  // every read succeeded. Kept after Close.
  int ReadError() const { return readError_; }

  // The number of the line the next byte belongs to: 1 and one more for
  // every LF delivered (a CR LF pair counts once).
  std::size_t Line() const { return lineEnds_ + 1; }

  // The next translated byte (0 to 255), or kEnd. Once kEnd has been
  // returned it is returned for good.
  int Get();

  // Takes bytes into line until a LF has been taken (it stays in the line)
  // or limit bytes have been taken, then appends a NUL: line must hold
  // limit + 1 bytes. Returns the number of bytes taken; 0 means the file
  // was at its end.
  std::size_t ReadLine(char *line, std::size_t limit);

  // Takes up to count bytes into block, line ends included. Returns the
  // number taken, less than count only at the end of the file.
  std::size_t ReadBlock(char *block, std::size_t count);

  // Take bytes as ReadLine and ReadBlock do, without keeping them: the rest
  // of a line, its LF included, or up to count bytes. Return the number
  // taken.
  std::size_t SkipLine();
  std::size_t SkipBlock(std::size_t count);

 private:
  static constexpr int kEndOfFileMark = 0x1A;

  int RawGet();
  int RawPeek();
  bool Refill();
  // How many of the next buffered bytes, at most most, come before a CR,
  // the end-of-file mark or stop: bytes text mode delivers as they are.
  std::size_t PlainRun(std::size_t most, int stop) const;
  // Takes up to count bytes, into to unless it is null; with toLineEnd, up
  // to the first LF too.
  std::size_t Take(char *to, std::size_t count, bool toLineEnd);

  struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, FileCloser> file_;
  std::vector<unsigned char> buffer_;
  std::size_t position_ = 0;  // next unread byte of buffer_
  std::size_t filled_ = 0;    // bytes of buffer_ that hold file content
  bool fileDone_ = false;     // the file gave no more bytes (end or error)
  bool ended_ = false;        // kEnd has been delivered
  std::size_t lineEnds_ = 0;  // LFs delivered
  int readError_ = 0;
};

}  // namespace kvsgen

#endif  // KVS_KVSGEN_TEMPLATE_READER_H
