#include "mailbox/mbox_split.h"

#include <cstring>
#include <vector>

#include "mailbox/message_headers.h"
#include "platform/file_io.h"

namespace crateline::mailbox {
namespace {

constexpr std::size_t kChunk = 4 * 1024 * 1024;
constexpr std::size_t kLongestFromLine = 4096;
constexpr std::size_t kLongestHead = 64 * 1024;
constexpr char kFrom[] = "From ";
constexpr std::size_t kFromSize = 5;

// A window on the file that slides forward: bytes from `base` on are in memory.
class Window {
 public:
  explicit Window(const std::string& path) : in_(path), buffer_(kChunk) {}

  // Makes the bytes up to `end` available as far as the file has them; when it has to read for
  // that, it first drops what lies before `keep` (only then: moving the window is a copy).
  void Fill(std::uint64_t keep, std::uint64_t end) {
    if (eof_ || base_ + size_ >= end) return;
    if (keep > base_) {
      const auto drop = static_cast<std::size_t>(std::min<std::uint64_t>(keep - base_, size_));
      std::memmove(buffer_.data(), buffer_.data() + drop, size_ - drop);
      size_ -= drop;
      base_ += drop;
    }
    while (!eof_ && base_ + size_ < end) {
      if (size_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
      const std::size_t n = in_.Read(buffer_.data() + size_, buffer_.size() - size_);
      if (n == 0) eof_ = true;
      size_ += n;
    }
  }

  const char* At(std::uint64_t position) const {
    return buffer_.data() + static_cast<std::size_t>(position - base_);
  }
  std::uint64_t Begin() const { return base_; }
  std::uint64_t End() const { return base_ + size_; }
  bool Eof() const { return eof_; }

  // The first LF at or after `from` and before End(), or End().
  std::uint64_t FindLf(std::uint64_t from) const {
    if (from >= End()) return End();
    const void* lf = std::memchr(At(from), '\n', static_cast<std::size_t>(End() - from));
    return lf == nullptr
               ? End()
               : from + static_cast<std::uint64_t>(static_cast<const char*>(lf) - At(from));
  }

 private:
  platform::InputFile in_;
  std::vector<char> buffer_;
  std::uint64_t base_ = 0;
  std::size_t size_ = 0;
  bool eof_ = false;
};

// The header section at `start`: up to and with the empty line that ends it, or what there is.
std::string HeadAt(const Window& window, std::uint64_t start) {
  const std::uint64_t limit = std::min<std::uint64_t>(window.End(), start + kLongestHead);
  std::uint64_t line = start;
  while (line < limit) {
    const std::uint64_t lf = std::min(window.FindLf(line), limit);
    const std::uint64_t length = lf - line;
    if (length == 0 || (length == 1 && *window.At(line) == '\r')) {  // the empty line
      return std::string(window.At(start),
                         static_cast<std::size_t>(std::min(lf + 1, window.End()) - start));
    }
    line = lf + 1;
  }
  return std::string(window.At(start), static_cast<std::size_t>(limit - start));
}

}  // namespace

bool LooksLikeMbox(const std::string& path) {
  try {
    platform::InputFile in(path);
    char start[kFromSize] = {};
    return in.Read(start, kFromSize) == kFromSize && std::memcmp(start, kFrom, kFromSize) == 0;
  } catch (const platform::FileError&) {
    return false;
  }
}

bool SplitMbox(const std::string& path, const std::function<void(const MboxMessage&)>& visit,
               const Tick& tick) {
  Window window(path);
  window.Fill(0, kFromSize);
  if (window.End() < kFromSize || std::memcmp(window.At(0), kFrom, kFromSize) != 0) return false;
  std::uint64_t from = 0;  // where the current message's "From " line begins
  for (;;) {
    if (tick) tick(path);
    MboxMessage message;
    window.Fill(from, from + kLongestFromLine);
    const std::uint64_t lineEnd = window.FindLf(from);
    message.fromLine.assign(window.At(from), static_cast<std::size_t>(std::min<std::uint64_t>(
                                                 lineEnd - from, kLongestFromLine)));
    if (!message.fromLine.empty() && message.fromLine.back() == '\r') message.fromLine.pop_back();
    const std::uint64_t start = std::min(lineEnd + 1, window.End());
    window.Fill(from, start + kLongestHead);
    message.head = HeadAt(window, start);

    // The next "From " line after an empty line, or the end of the file. A few bytes before
    // the search point stay in the window, for the look back at the empty line.
    const auto keep = [](std::uint64_t at) { return at >= 8 ? at - 8 : 0; };
    std::uint64_t scan = start;
    std::uint64_t end = 0;
    std::uint64_t next = 0;  // where the next "From " line begins; 0: none follows
    for (;;) {
      window.Fill(keep(scan), scan + kChunk);
      const std::uint64_t lf = window.FindLf(scan);
      if (lf == window.End()) {
        if (!window.Eof()) {
          scan = window.End();
          continue;
        }
        // The end of the file; the empty line that closes the last message is not its own.
        end = window.End();
        const auto tail = [&](const char* bytes, std::uint64_t n) {
          return end - start >= n && end - n >= window.Begin() &&
                 std::memcmp(window.At(end - n), bytes, static_cast<std::size_t>(n)) == 0;
        };
        if (tail("\r\n\r\n", 4)) {
          end -= 2;
        } else if (tail("\n\n", 2)) {
          end -= 1;
        }
        break;
      }
      if (lf + 1 + kFromSize > window.End() && !window.Eof()) {
        window.Fill(keep(lf), lf + 1 + kFromSize + kChunk);  // a candidate cut off: read on
      }
      if (lf + 1 + kFromSize <= window.End() &&
          std::memcmp(window.At(lf + 1), kFrom, kFromSize) == 0) {
        // The line that this LF ends is empty when the byte before it ends a line too (the
        // "From " line's own LF counts, for a message that is empty).
        if (lf >= 1 && *window.At(lf - 1) == '\n') {
          end = lf;
          next = lf + 1;
          break;
        }
        if (lf >= 2 && *window.At(lf - 1) == '\r' && *window.At(lf - 2) == '\n') {
          end = lf - 1;
          next = lf + 1;
          break;
        }
      }
      scan = lf + 1;
    }
    if (end < start) end = start;
    message.offset = start;
    message.length = end - start;
    visit(message);
    if (next == 0) return true;
    from = next;
  }
}

std::int64_t FromLineDate(const std::string& fromLine) {
  // "From " sender date: the date is what follows the sender.
  const auto sender = fromLine.find(' ');
  if (sender == std::string::npos) return 0;
  const auto date = fromLine.find(' ', fromLine.find_first_not_of(' ', sender));
  if (date == std::string::npos) return 0;
  return ParseMailDate(fromLine.substr(date)).value_or(0);
}

}  // namespace crateline::mailbox
