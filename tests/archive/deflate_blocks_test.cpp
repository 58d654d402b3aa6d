// The block walker against zlib's own inflater, which finds the same last block the slow way.
#include "archive/deflate_blocks.h"

#include <gtest/gtest.h>
#include <zlib.h>

#ifdef CRATELINE_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "gzip_support.h"

namespace crateline::archive {
namespace {

// The last block's header bit and the end, as zlib's inflate finds them block by block.
DeflateEnd ZlibEnd(const std::string& stream) {
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  std::vector<unsigned char> out(1 << 16);
  DeflateEnd end;
  for (;;) {
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z, Z_BLOCK);
    if (status == Z_STREAM_END) break;
    EXPECT_TRUE(status == Z_OK || status == Z_BUF_ERROR);
    if ((z.data_type & 128) != 0 && (z.data_type & 64) == 0) {
      end.lastHeaderBit =
          (stream.size() - z.avail_in) * 8 - static_cast<std::uint64_t>(z.data_type & 7);
    }
  }
  end.endBit = (stream.size() - z.avail_in) * 8;
  inflateEnd(&z);
  return end;
}

std::string Deflated(const std::string& data, int level, int strategy) {
  return testing::ZlibDeflate(data, level, -15, strategy);
}

std::vector<std::string> Inputs() {
  std::mt19937 random(11);
  std::string text, noise;
  while (text.size() < (3u << 20))
    text += "Subject: quarterly figures " + std::to_string(random() % 1000) + "\r\n";
  for (int i = 0; i < (1 << 20); ++i) noise += static_cast<char>(random());
  // Byte b about twice as rare as b - 1: Huffman codes up to the longest DEFLATE allows, past
  // the walker's tables.
  std::string skewed;
  for (int i = 0; i < 300000; ++i)
    skewed += static_cast<char>(std::countr_zero(random() | (1u << 20)));
  return {"",
          "x",
          text.substr(0, 100000),
          noise.substr(0, 70000),
          text,
          text.substr(0, 500000) + noise,
          skewed};
}

TEST(DeflateBlocks, FindsTheLastBlockAsInflateDoes) {
  std::vector<std::string> streams;
  for (const auto& input : Inputs()) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY}) {
      streams.push_back(Deflated(input, strategy == Z_DEFAULT_STRATEGY ? 6 : 1, strategy));
    }
    streams.push_back(Deflated(input, 0, Z_DEFAULT_STRATEGY));  // stored blocks
#ifdef CRATELINE_HAVE_LIBDEFLATE
    for (int level : {1, 6, 12}) {
      auto* compressor = libdeflate_alloc_compressor(level);
      std::string out(libdeflate_deflate_compress_bound(compressor, input.size()), '\0');
      out.resize(libdeflate_deflate_compress(compressor, input.data(), input.size(), out.data(),
                                             out.size()));
      libdeflate_free_compressor(compressor);
      streams.push_back(out);
    }
#endif
  }
  for (const auto& stream : streams) {
    const auto found =
        FindDeflateEnd(reinterpret_cast<const unsigned char*>(stream.data()), stream.size());
    ASSERT_TRUE(found.has_value()) << stream.size();
    const DeflateEnd expected = ZlibEnd(stream);
    EXPECT_EQ(found->lastHeaderBit, expected.lastHeaderBit) << stream.size();
    EXPECT_EQ((found->endBit + 7) / 8, stream.size());
    // Cut short, or changed in its first byte's block type: no whole stream.
    if (stream.size() > 8) {
      EXPECT_FALSE(
          FindDeflateEnd(reinterpret_cast<const unsigned char*>(stream.data()), stream.size() / 2));
    }
  }
  const unsigned char reserved[] = {0x07, 0x00};  // block type 3
  EXPECT_FALSE(FindDeflateEnd(reserved, sizeof reserved));
}

}  // namespace
}  // namespace crateline::archive
