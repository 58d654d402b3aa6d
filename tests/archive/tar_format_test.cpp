#include "archive/tar_format.h"

#include <gtest/gtest.h>

namespace crateline::archive::tar {
namespace {

unsigned Checksum(const std::string& block) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    sum += (i >= kChecksumOffset && i < kChecksumOffset + kChecksumSize)
               ? ' '
               : static_cast<unsigned char>(block[i]);
  }
  return sum;
}

std::string Field(const std::string& block, std::size_t offset, std::size_t size) {
  return block.substr(offset, size);
}

TEST(TarFormat, ShortNameIsOneGnuHeader) {
  const std::string h = FileHeader("Inbox/a.eml", 1234, 1583223300, 0644);
  ASSERT_EQ(h.size(), kBlockSize);
  EXPECT_EQ(h.substr(0, 12), std::string("Inbox/a.eml\0", 12));
  EXPECT_EQ(Field(h, kMagicOffset, kMagicSize), std::string("ustar  \0", 8));
  EXPECT_EQ(Field(h, kModeOffset, kModeSize), std::string("0000644\0", 8));
  EXPECT_EQ(Field(h, kSizeOffset, kSizeSize), std::string("00000002322\0", 12));
  EXPECT_EQ(Field(h, kMtimeOffset, kMtimeSize), std::string("13627411004\0", 12));
  EXPECT_EQ(h[kTypeflagOffset], '0');
  const std::string stored = Field(h, kChecksumOffset, kChecksumSize);
  EXPECT_EQ(stored[6], '\0');
  EXPECT_EQ(stored[7], ' ');
  EXPECT_EQ(std::stoul(stored.substr(0, 6), nullptr, 8), Checksum(h));
  // Nothing in the ustar prefix field, ever.
  EXPECT_EQ(h.find_first_not_of('\0', 345), std::string::npos);
}

TEST(TarFormat, LongNamesGoThroughOneLongLinkEntry) {
  const std::string name99(95, 'a');
  EXPECT_EQ(FileHeader(name99 + ".eml", 1, 1, 0644).size(), kBlockSize);  // 99 bytes

  // 100 bytes, with a two-byte character across byte 100.
  const std::string name100 = std::string(98, 'b') + "\xc3\xa4";
  const std::string h = FileHeader(name100, 5, 1, 0444);
  ASSERT_EQ(h.size(), 3 * kBlockSize);
  EXPECT_EQ(h.substr(0, 14), std::string("././@LongLink\0", 14));
  EXPECT_EQ(h[kTypeflagOffset], 'L');
  EXPECT_EQ(Field(h, kSizeOffset, kSizeSize), std::string("00000000145\0", 12));  // 101
  EXPECT_EQ(h.substr(kBlockSize, 101), name100 + '\0');
  EXPECT_EQ(h.substr(kBlockSize + 101, kBlockSize - 101), std::string(kBlockSize - 101, '\0'));
  const std::string real = h.substr(2 * kBlockSize);
  EXPECT_EQ(real.substr(0, 100), name100.substr(0, 100));
  EXPECT_EQ(real[kTypeflagOffset], '0');
  EXPECT_EQ(std::stoul(real.substr(kChecksumOffset, 6), nullptr, 8), Checksum(real));
  EXPECT_EQ(std::stoul(h.substr(kChecksumOffset, 6), nullptr, 8), Checksum(h));

  // A name that fills the payload's block exactly still ends in its NUL.
  const std::string name511(511, 'c');
  const std::string h511 = FileHeader(name511, 1, 1, 0644);
  ASSERT_EQ(h511.size(), 3 * kBlockSize);
  EXPECT_EQ(h511[kBlockSize + 511], '\0');
}

TEST(TarFormat, NumbersStayOctal) {
  EXPECT_THROW(FileHeader("a.eml", kMaxSize + 1, 1, 0644), std::out_of_range);
  EXPECT_THROW(FileHeader("a.eml", 1, kMaxMtime + 1, 0644), std::out_of_range);
  EXPECT_THROW(FileHeader("a.eml", 1, -1, 0644), std::out_of_range);
  EXPECT_NO_THROW(FileHeader("a.eml", 1, kMaxMtime, 0644));
  EXPECT_EQ(PaddingFor(0), 0u);
  EXPECT_EQ(PaddingFor(1), 511u);
  EXPECT_EQ(PaddingFor(512), 0u);
  EXPECT_EQ(EndOfArchive(), std::string(1024, '\0'));
}

}  // namespace
}  // namespace crateline::archive::tar
