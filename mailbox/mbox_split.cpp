#include "mailbox/mbox_split.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "mailbox/content.h"
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
  char ByteAt(std::uint64_t position) const { return *At(position); }
  std::uint64_t Begin() const { return base_; }
  std::uint64_t End() const { return base_ + size_; }
  bool Eof() const { return eof_; }
  std::string_view View(std::uint64_t from, std::uint64_t to) const {
    return {At(from), static_cast<std::size_t>(to - from)};
  }

  // The first line end at or after `from` and before End(), or End().
  std::uint64_t FindEnd(std::uint64_t from, char eol) const {
    if (from >= End()) return End();
    const void* at = std::memchr(At(from), eol, static_cast<std::size_t>(End() - from));
    return at == nullptr
               ? End()
               : from + static_cast<std::uint64_t>(static_cast<const char*>(at) - At(from));
  }

 private:
  platform::InputFile in_;
  std::vector<char> buffer_;
  std::uint64_t base_ = 0;
  std::size_t size_ = 0;
  bool eof_ = false;
};

// The header section at `start`: up to and with the empty line that ends it, or what there is.
std::string HeadAt(const Window& window, std::uint64_t start, char eol) {
  const std::uint64_t limit = std::min<std::uint64_t>(window.End(), start + kLongestHead);
  std::uint64_t line = start;
  while (line < limit) {
    const std::uint64_t end = std::min(window.FindEnd(line, eol), limit);
    const std::uint64_t length = end - line;
    if (length == 0 || (eol == '\n' && length == 1 && window.ByteAt(line) == '\r')) {
      return std::string(window.View(start, std::min(end + 1, window.End())));
    }
    line = end + 1;
  }
  return std::string(window.View(start, limit));
}

// The length of the line that ends with the line end at `end`, when that line is empty (the
// byte before it ends a line too: the "From " line's own end counts); 0 when it is not empty.
std::uint64_t EmptyLineEndingAt(const Window& window, std::uint64_t end, char eol) {
  if (end < 1 || end - 1 < window.Begin()) return 0;
  if (window.ByteAt(end - 1) == eol) return 1;
  if (eol == '\n' && end >= 2 && end - 2 >= window.Begin() && window.ByteAt(end - 1) == '\r' &&
      window.ByteAt(end - 2) == '\n') {
    return 2;
  }
  return 0;
}

}  // namespace

bool SplitMbox(const std::string& path, const std::function<void(const MboxMessage&)>& visit,
               const std::function<void(const std::string& where)>& tick) {
  Window window(path);
  window.Fill(0, kLongestFromLine);
  if (window.End() < kFromSize || std::memcmp(window.At(0), kFrom, kFromSize) != 0) return false;
  const char eol = MboxLineEnd(window.View(0, window.End()));
  // A few bytes before the search point stay in the window, for the look back at the empty line.
  const auto keep = [](std::uint64_t at) { return at >= 8 ? at - 8 : 0; };
  std::uint64_t from = 0;  // where the current message's "From " line begins
  for (;;) {
    if (tick) tick(path);
    MboxMessage message;
    window.Fill(from, from + kLongestFromLine);
    std::uint64_t lineEnd = window.FindEnd(from, eol);
    message.fromLine =
        std::string(window.View(from, std::min<std::uint64_t>(lineEnd, from + kLongestFromLine)));
    if (!message.fromLine.empty() && message.fromLine.back() == '\r') message.fromLine.pop_back();
    while (lineEnd == window.End() && !window.Eof()) {  // a "From " line longer than the window
      const std::uint64_t at = window.End();
      window.Fill(keep(at), at + kChunk);
      lineEnd = window.FindEnd(at, eol);
    }
    const std::uint64_t start = std::min(lineEnd + 1, window.End());
    window.Fill(from, start + kLongestHead);
    message.head = HeadAt(window, start, eol);

    // The next "From " line that begins a message, or the end of the file.
    std::uint64_t scan = start;
    std::uint64_t end = 0;
    std::uint64_t next = 0;  // where the next "From " line begins; 0: none follows
    // The "From " line's own end comes first: a separator may follow it at once.
    bool atFromLineEnd = lineEnd < window.End();
    for (;;) {
      std::uint64_t lf = lineEnd;
      if (!atFromLineEnd) {
        window.Fill(keep(scan), scan + kChunk);
        lf = window.FindEnd(scan, eol);
      }
      atFromLineEnd = false;
      if (lf == window.End()) {
        if (!window.Eof()) {
          scan = window.End();
          continue;
        }
        // The end of the file; the empty line that closes the last message is not its own.
        end = window.End();
        if (end > start && window.ByteAt(end - 1) == eol)
          end -= EmptyLineEndingAt(window, end - 1, eol);
        break;
      }
      // The whole next line, as far as an envelope line may run, to tell whether it is one.
      window.Fill(keep(lf), lf + 2 + kLongestEnvelope);
      if (lf + 1 + kFromSize <= window.End() &&
          std::memcmp(window.At(lf + 1), kFrom, kFromSize) == 0) {
        const std::uint64_t lineAfter =
            std::min<std::uint64_t>(window.FindEnd(lf + 1, eol), lf + 2 + kLongestEnvelope);
        const std::uint64_t empty = EmptyLineEndingAt(window, lf, eol);
        if (IsMboxSeparator(window.View(lf + 1, lineAfter), empty > 0)) {
          end = lf + 1 - empty;
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
