#include "archive/tar_format.h"

#include <cstring>
#include <stdexcept>

namespace crateline::archive::tar {
namespace {

void PutOctal(char* block, std::size_t offset, std::size_t fieldSize, std::uint64_t value) {
  if (value > MaxOctal(fieldSize)) throw std::out_of_range("a tar header value is out of range");
  // Zero-padded digits followed by a NUL, as GNU tar writes them.
  for (std::size_t i = fieldSize - 1; i-- > 0;) {
    block[offset + i] = static_cast<char>('0' + (value & 7));
    value >>= 3;
  }
  block[offset + fieldSize - 1] = '\0';
}

// One header block; the checksum is summed with its own field read as spaces.
std::string Header(const std::string& name, std::uint64_t size, std::int64_t mtime,
                   std::uint32_t mode, char typeflag) {
  std::string block(kBlockSize, '\0');
  std::memcpy(block.data() + kNameOffset, name.data(), std::min(name.size(), kNameSize));
  PutOctal(block.data(), kModeOffset, kModeSize, mode);
  PutOctal(block.data(), kUidOffset, kUidSize, 0);
  PutOctal(block.data(), kGidOffset, kGidSize, 0);
  PutOctal(block.data(), kSizeOffset, kSizeSize, size);
  PutOctal(block.data(), kMtimeOffset, kMtimeSize, static_cast<std::uint64_t>(mtime));
  block[kTypeflagOffset] = typeflag;
  std::memcpy(block.data() + kMagicOffset, kGnuMagic, kMagicSize);
  std::memset(block.data() + kChecksumOffset, ' ', kChecksumSize);
  unsigned sum = 0;
  for (unsigned char c : block) sum += c;
  // Six digits, a NUL and a space: GNU tar's own layout of this field.
  PutOctal(block.data(), kChecksumOffset, kChecksumSize - 1, sum);
  block[kChecksumOffset + kChecksumSize - 1] = ' ';
  return block;
}

}  // namespace

std::size_t PaddingFor(std::uint64_t size) {
  return static_cast<std::size_t>((kBlockSize - size % kBlockSize) % kBlockSize);
}

std::string FileHeader(const std::string& name, std::uint64_t size, std::int64_t mtime,
                       std::uint32_t mode) {
  if (mtime < 0) throw std::out_of_range("a tar entry's time is before 1970");
  std::string out;
  if (name.size() >= kNameSize) {
    // The importer drops the payload's last byte, which must therefore be the NUL.
    const std::uint64_t payload = name.size() + 1;
    out += Header(kLongLinkName, payload, 0, 0, kTypeLongName);
    out += name;
    out.append(1 + PaddingFor(payload), '\0');
  }
  out += Header(name, size, mtime, mode, kTypeRegular);
  return out;
}

std::string EndOfArchive() {
  return std::string(2 * kBlockSize, '\0');
}

}  // namespace crateline::archive::tar
