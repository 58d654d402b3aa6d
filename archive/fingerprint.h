// A message's bytes, told by their length and two independent checksums (CRC-32 and
// Adler-32): what verify compares the archive's entries and the source's messages by.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <tuple>

namespace crateline::archive {

using Fingerprint = std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>;

struct Digest {
  std::uint64_t size = 0;
  uLong crc = crc32(0, nullptr, 0);
  uLong adler = adler32(0, nullptr, 0);
  void Add(const unsigned char* data, std::size_t n) {
    size += n;
    crc = crc32(crc, data, static_cast<uInt>(n));
    adler = adler32(adler, data, static_cast<uInt>(n));
  }
  void Add(const char* data, std::size_t n) {
    Add(reinterpret_cast<const unsigned char*>(data), n);
  }
  Fingerprint Done() const {
    return {size, static_cast<std::uint32_t>(crc), static_cast<std::uint32_t>(adler)};
  }
};

}  // namespace crateline::archive
