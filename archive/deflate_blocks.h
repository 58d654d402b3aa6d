// Where the blocks of a raw DEFLATE stream (RFC 1951) begin, without decompressing it.
//
// libdeflate compresses a chunk into a complete stream whose last block carries the "final"
// bit; to chain chunks into one gzip member that bit must be cleared, so the last block's
// header has to be found. Inflating the chunk to find it costs as much as a fifth of a whole
// conversion; this walker reads the Huffman codes and skips over the symbols, writing nothing,
// several times faster.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace crateline::archive {

struct DeflateEnd {
  std::uint64_t lastHeaderBit = 0;  // where the final block's header (its BFINAL bit) is
  std::uint64_t endBit = 0;         // the bit after the final block's end-of-block code
};

// Walks the stream block by block; nothing when it is not a whole, valid DEFLATE stream.
std::optional<DeflateEnd> FindDeflateEnd(const unsigned char* data, std::size_t size);

}  // namespace crateline::archive
