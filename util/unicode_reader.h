// UnicodeReader: reads a UTF-16 little-endian text file line by line, in blocks of 32768 bytes,
// so that a file of any size is read in bounded memory.
//
// OpenFile(name, delimiter), then ReadLine() until Eof(). A leading byte-order mark FF FE is
// skipped; there is no guessing of other encodings. The last piece of each loaded block is
// held back, since the line it starts may go on in the next block; it becomes a line only once
// the last block is in. A delimiter that ends the file makes no empty last line.
//
// Errors: the reader's own are UnicodeReaderError with number() 52 (the reader is not open),
// 55 (a file is already open) or 62 (read past the final line). The file system's own errors
// come as std::system_error, which carries the system's code and names the file; the two kinds
// never mix, so a caller tells them apart by type.
//
// A file with an odd number of bytes after the byte-order mark ends in half a code unit: that
// last byte becomes U+FFFD, the replacement character, so the damage shows instead of vanishing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace crateline::util {

class UnicodeReaderError : public std::runtime_error {
 public:
  UnicodeReaderError(int number, const std::string& message)
      : std::runtime_error(message), number_(number) {}
  int number() const { return number_; }

 private:
  int number_;
};

inline constexpr int kErrorBadFileNumber = 52;
inline constexpr int kErrorFileAlreadyOpen = 55;
inline constexpr int kErrorInputPastEnd = 62;

class UnicodeReader {
 public:
  static constexpr std::int32_t kBlockBytes = 32768;

  UnicodeReader() = default;
  ~UnicodeReader();
  UnicodeReader(const UnicodeReader&) = delete;
  UnicodeReader& operator=(const UnicodeReader&) = delete;

  void OpenFile(const std::string& fileName, const std::u16string& lineDelim);
  std::u16string ReadLine();
  void CloseFile();

  bool Eof() const;  // the final line has been returned
  bool IsOpen() const { return file_ != nullptr; }
  // Code units in the file (without the byte-order mark); 64 bits, since a file may hold more
  // than 2^31 of them.
  std::int64_t Length() const;

 private:
  void LoadNextBlock();
  void RequireOpen() const;

  bool atEnd_ = false;
  bool lastBlock_ = false;
  std::u16string delimiter_;
  std::FILE* file_ = nullptr;
  std::string fileName_;
  std::int64_t blocksLeft_ = 0;
  std::int64_t byteLength_ = 0;
  std::size_t lineIndex_ = 0;
  std::int32_t tailSize_ = 0;
  std::int32_t blockSize_ = 0;
  std::vector<std::u16string> lines_;  // the last one is the held-back piece
};

// Splits text at every occurrence of delimiter, left to right without overlap: n occurrences
// give n + 1 pieces; an empty delimiter gives the text itself. The search for the first
// occurrence starts at `from` (the caller knows there is none before it).
std::vector<std::u16string> SplitAt(std::u16string text, const std::u16string& delimiter,
                                    std::size_t from = 0);

}  // namespace crateline::util
