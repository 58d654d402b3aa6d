#include "util/unicode_reader.h"

#include <cerrno>
#include <system_error>

#include "util/utf8_path.h"

namespace crateline::util {
namespace {

std::u16string DecodeUtf16Le(const std::string& bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  if (bytes.size() % 2 != 0) text.push_back(u'\uFFFD');  // half a code unit at the very end
  return text;
}

[[noreturn]] void SystemFailure(const std::string& action, const std::string& fileName) {
  throw std::system_error(errno, std::generic_category(), action + " \"" + fileName + "\"");
}

}  // namespace

std::vector<std::u16string> SplitAt(std::u16string text, const std::u16string& delimiter,
                                    std::size_t from) {
  std::vector<std::u16string> pieces;
  std::size_t start = 0;
  if (!delimiter.empty()) {
    for (std::size_t at = text.find(delimiter, from); at != std::u16string::npos;
         at = text.find(delimiter, start)) {
      pieces.push_back(text.substr(start, at - start));
      start = at + delimiter.size();
    }
  }
  // The rest is moved, not copied: a line that spans many blocks is carried from block to
  // block, and copying it each time would make reading it quadratic.
  if (start == 0) {
    pieces.push_back(std::move(text));
  } else {
    pieces.push_back(text.substr(start));
  }
  return pieces;
}

UnicodeReader::~UnicodeReader() {
  if (IsOpen()) CloseFile();
}

void UnicodeReader::RequireOpen() const {
  if (!IsOpen()) throw UnicodeReaderError(kErrorBadFileNumber, "the reader has no file open");
}

bool UnicodeReader::Eof() const {
  RequireOpen();
  return atEnd_;
}

std::int64_t UnicodeReader::Length() const {
  RequireOpen();
  // Half a unit rounds to the even neighbour.
  std::int64_t units = byteLength_ / 2;
  if (byteLength_ % 2 != 0 && units % 2 != 0) ++units;
  return units;
}

void UnicodeReader::OpenFile(const std::string& fileName, const std::u16string& lineDelim) {
  if (IsOpen()) {
    throw UnicodeReaderError(kErrorFileAlreadyOpen,
                             "the reader already has \"" + fileName_ + "\" open");
  }
#ifdef _WIN32
  // The name is UTF-8; the narrow fopen would read it in the ANSI code page.
  std::FILE* file = _wfopen(PathFromUtf8(fileName).c_str(), L"rb");
#else
  std::FILE* file = std::fopen(fileName.c_str(), "rb");
#endif
  if (file == nullptr) SystemFailure("cannot open", fileName);
  if (std::fseek(file, 0, SEEK_END) != 0) {
    std::fclose(file);
    SystemFailure("cannot read", fileName);
  }
#ifdef _WIN32
  const std::int64_t length = _ftelli64(file);  // a long is 32 bits there
#else
  const std::int64_t length = std::ftell(file);
#endif
  std::rewind(file);
  file_ = file;
  fileName_ = fileName;
  byteLength_ = length < 0 ? 0 : length;
  lines_.clear();
  lineIndex_ = 0;
  atEnd_ = lastBlock_ = false;
  if (byteLength_ == 0) {
    atEnd_ = true;
    return;
  }
  if (byteLength_ >= 2) {
    unsigned char mark[2] = {0, 0};
    if (std::fread(mark, 1, 2, file_) == 2 && mark[0] == 0xFF && mark[1] == 0xFE) {
      byteLength_ -= 2;
    } else {
      std::rewind(file_);
    }
    if (byteLength_ == 0) {
      atEnd_ = true;
      return;
    }
  }
  delimiter_ = lineDelim;
  blocksLeft_ = byteLength_ / kBlockBytes;
  tailSize_ = static_cast<std::int32_t>(byteLength_ % kBlockBytes);
  blockSize_ = kBlockBytes;
  lines_.assign(1, std::u16string());
  LoadNextBlock();
}

void UnicodeReader::LoadNextBlock() {
  if (blocksLeft_ >= 1) {
    --blocksLeft_;
    if (blocksLeft_ == 0) lastBlock_ = tailSize_ == 0;
  } else {
    lastBlock_ = true;
    blockSize_ = tailSize_;
  }
  std::string bytes(static_cast<std::size_t>(blockSize_), '\0');
  const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file_);
  if (got != bytes.size()) {
    if (std::ferror(file_) != 0) SystemFailure("cannot read", fileName_);
    bytes.resize(got);  // the file shrank since it was opened: what is there is all there is
    lastBlock_ = true;
  }
  std::u16string joined = std::move(lines_.back());
  // The held-back piece holds no delimiter, but one may straddle it and the new block.
  const std::size_t from =
      joined.size() >= delimiter_.size() ? joined.size() - delimiter_.size() + 1 : 0;
  joined += DecodeUtf16Le(bytes);
  if (lastBlock_ && !delimiter_.empty() && joined.size() >= delimiter_.size() &&
      joined.compare(joined.size() - delimiter_.size(), delimiter_.size(), delimiter_) == 0) {
    joined.resize(joined.size() - delimiter_.size());
  }
  lines_ = SplitAt(std::move(joined), delimiter_, from);
  lineIndex_ = 0;
}

std::u16string UnicodeReader::ReadLine() {
  RequireOpen();
  if (atEnd_)
    throw UnicodeReaderError(kErrorInputPastEnd, "no line is left in \"" + fileName_ + "\"");
  while (lineIndex_ + 1 >= lines_.size() && !lastBlock_) LoadNextBlock();
  if (lineIndex_ + 1 >= lines_.size()) atEnd_ = true;
  return std::move(lines_[lineIndex_++]);
}

void UnicodeReader::CloseFile() {
  lines_.clear();
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

}  // namespace crateline::util
