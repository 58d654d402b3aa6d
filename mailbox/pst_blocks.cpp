// The checksums of an Outlook data file's data blocks, which libpff computes but does not
// report: a block whose bytes have changed is read as if they were right.
//
// Every data block is listed in the file's offsets index, a B-tree of pages whose root the
// header names; each block ends in a footer with a CRC-32 of its data (one without the usual
// inversions, so zlib's crc32 gives its complement). The walk reads the index and each block's
// data and footer once, through the platform's file layer; the layouts follow the three kinds
// of file (32-bit ANSI, 64-bit Unicode, 64-bit with 4 KiB pages).
#include <zlib.h>

#include <algorithm>
#include <set>

#include "mailbox/outlook.h"
#include "platform/file_io.h"

namespace crateline::mailbox::outlook {
namespace {

struct Layout {
  std::size_t page;         // an index page, its footer at its end
  std::size_t pageFooter;   // whose first bytes are the entry count and, later, the level
  std::size_t levelAt;      // the level's place in the footer
  bool wideCount;           // the entry count is 2 bytes (4 KiB pages)
  std::size_t idSize;       // identifiers and offsets: 4 or 8 bytes
  std::size_t rootAt;       // where the header gives the index's root page
  std::size_t blockStep;    // blocks take whole steps of this
  std::size_t blockFooter;  // and end in a footer this long
  std::size_t crcAt;        // the CRC's place in a block footer
};

constexpr Layout kAnsi{512, 16, 3, false, 4, 196, 64, 12, 8};
constexpr Layout kUnicode{512, 24, 3, false, 8, 240, 64, 16, 4};
constexpr Layout kFourK{4096, 40, 5, true, 8, 240, 512, 24, 4};
constexpr std::size_t kVersionAt = 10;
constexpr std::size_t kDeepestIndex = 16;
constexpr std::uint64_t kFewBlocks = 8;

std::uint64_t Little(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = n; i > 0; --i) v = (v << 8) | p[i - 1];
  return v;
}

class Checker {
 public:
  Checker(platform::InputFile& in, const Layout& layout, std::uint64_t size)
      : in_(in), layout_(layout), size_(size) {}

  BlockCheck Run() {
    const std::string header = Read(0, layout_.rootAt + layout_.idSize);
    if (header.size() < layout_.rootAt + layout_.idSize) return Fail("its header is cut short");
    Page(Little(Bytes(header) + layout_.rootAt, layout_.idSize), 0);
    return result_;
  }

 private:
  static const unsigned char* Bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
  }

  std::string Read(std::uint64_t at, std::size_t n) {
    std::string bytes(n, '\0');
    in_.Seek(at);
    std::size_t have = 0;
    while (have < n) {
      const std::size_t got = in_.Read(bytes.data() + have, n - have);
      if (got == 0) break;
      have += got;
    }
    bytes.resize(have);
    return bytes;
  }

  BlockCheck Fail(const std::string& why) {
    result_.checked = false;
    result_.why = why;
    return result_;
  }

  void Page(std::uint64_t at, std::size_t depth) {
    if (!result_.checked) return;
    if (depth > kDeepestIndex || at + layout_.page > size_ || !seen_.insert(at).second) {
      Fail("its index of blocks is damaged");
      return;
    }
    const std::string page = Read(at, layout_.page);
    if (page.size() < layout_.page) {
      Fail("its index of blocks is cut short");
      return;
    }
    const unsigned char* footer = Bytes(page) + layout_.page - layout_.pageFooter;
    const std::size_t count = layout_.wideCount ? Little(footer, 2) : footer[0];
    const std::size_t entrySize = footer[layout_.wideCount ? 4 : 2];
    const unsigned level = footer[layout_.levelAt];
    if (entrySize == 0 || count * entrySize > layout_.page - layout_.pageFooter) {
      Fail("its index of blocks is damaged");
      return;
    }
    for (std::size_t i = 0; i < count && result_.checked; ++i) {
      const unsigned char* entry = Bytes(page) + i * entrySize;
      if (level > 0) {  // identifier, back pointer, the page's offset
        Page(Little(entry + 2 * layout_.idSize, layout_.idSize), depth + 1);
      } else {  // identifier, offset, size
        Block(Little(entry + layout_.idSize, layout_.idSize),
              Little(entry + 2 * layout_.idSize, 2));
      }
    }
  }

  void Block(std::uint64_t at, std::size_t size) {
    ++result_.blocks;
    std::size_t whole = (size + layout_.blockStep - 1) / layout_.blockStep * layout_.blockStep;
    if (whole - size < layout_.blockFooter) whole += layout_.blockStep;
    if (at + whole > size_) {
      ++result_.bad;
      return;
    }
    const std::string block = Read(at, whole);
    const unsigned char* footer = Bytes(block) + whole - layout_.blockFooter;
    const auto stored = static_cast<std::uint32_t>(Little(footer + layout_.crcAt, 4));
    if (stored == 0) return;  // none was written
    const auto crc =
        static_cast<std::uint32_t>(~crc32(0xFFFFFFFFUL, Bytes(block), static_cast<uInt>(size)));
    if (crc != stored) ++result_.bad;
  }

  platform::InputFile& in_;
  const Layout& layout_;
  std::uint64_t size_;
  BlockCheck result_;
  std::set<std::uint64_t> seen_;
};

}  // namespace

BlockCheck CheckBlocks(const std::string& path) {
  try {
    platform::InputFile in(path);
    std::string head(kVersionAt + 2, '\0');
    head.resize(in.Read(head.data(), head.size()));
    if (head.size() < kVersionAt + 2 || !HasSignature(head)) {
      return {0, 0, false, "it is no Outlook data file"};
    }
    const auto version = static_cast<unsigned>(
        Little(reinterpret_cast<const unsigned char*>(head.data()) + kVersionAt, 2));
    // As libpff tells them apart; between 15 and 21 it asks more than the version.
    const Layout* layout = version <= 15   ? &kAnsi
                           : version >= 36 ? &kFourK
                           : version >= 21 ? &kUnicode
                                           : nullptr;
    if (layout == nullptr) {
      return {0, 0, false, "its format (version " + std::to_string(version) + ") is not known"};
    }
    BlockCheck check = Checker(in, *layout, in.Status().size).Run();
    // Every block failing says the layout is not this file's (a kind no sample showed), not
    // that the file is damaged throughout, which libpff would not have read.
    if (check.blocks > kFewBlocks && check.bad == check.blocks) {
      return {check.blocks, 0, false, "its blocks are not laid out as expected"};
    }
    return check;
  } catch (const platform::FileError& error) {
    return {0, 0, false, error.what()};
  }
}

std::string BadBlocks(const BlockCheck& check) {
  return std::to_string(check.bad) + " of its " + std::to_string(check.blocks) +
         " data blocks fail their checksum: the messages made from them may hold damaged bytes";
}

}  // namespace crateline::mailbox::outlook
