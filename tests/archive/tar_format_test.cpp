// The header's bytes at GNU tar's own offsets, written out here rather than taken from the
// writer, so that a wrong offset in the writer shows.
#include "archive/tar_format.h"

#include <gtest/gtest.h>

namespace crateline::archive::tar {
namespace {

// The checksum as a reader sums it: its own field counted as spaces.
unsigned Checksum(const std::string& block) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < 512; ++i)
    sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(block[i]);
  return sum;
}

TEST(TarFormat, ShortNameIsOneGnuHeader) {
  const std::string h = FileHeader("Inbox/a.eml", 1234, 1583223300, 0644);
  ASSERT_EQ(h.size(), 512u);
  EXPECT_EQ(h.substr(0, 12), std::string("Inbox/a.eml\0", 12));
  EXPECT_EQ(h.substr(100, 8), std::string("0000644\0", 8));
  EXPECT_EQ(h.substr(124, 12), std::string("00000002322\0", 12));
  EXPECT_EQ(h.substr(136, 12), std::string("13627411004\0", 12));
  EXPECT_EQ(h[156], '0');
  EXPECT_EQ(h.substr(257, 8), std::string("ustar  \0", 8));
  EXPECT_EQ(h.substr(154, 2), std::string("\0 ", 2));  // GNU's six digits, NUL, space
  EXPECT_EQ(std::stoul(h.substr(148, 6), nullptr, 8), Checksum(h));
  // Nothing in the ustar prefix field, ever.
  EXPECT_EQ(h.find_first_not_of('\0', 345), std::string::npos);
}

TEST(TarFormat, LongNamesGoThroughOneLongLinkEntry) {
  EXPECT_EQ(FileHeader(std::string(95, 'a') + ".eml", 1, 1, 0644).size(), 512u);  // 99 bytes

  // 100 bytes, with a two-byte character across byte 100.
  const std::string name100 = std::string(98, 'b') + "\xc3\xa4";
  const std::string h = FileHeader(name100, 5, 1, 0444);
  ASSERT_EQ(h.size(), 3 * 512u);
  EXPECT_EQ(h.substr(0, 14), std::string("././@LongLink\0", 14));
  EXPECT_EQ(h[156], 'L');
  EXPECT_EQ(h.substr(124, 12), std::string("00000000145\0", 12));  // 101
  EXPECT_EQ(std::stoul(h.substr(148, 6), nullptr, 8), Checksum(h));
  EXPECT_EQ(h.substr(512, 512), name100 + std::string(512 - 100, '\0'));
  const std::string real = h.substr(2 * 512);
  EXPECT_EQ(real.substr(0, 100), name100.substr(0, 100));
  EXPECT_EQ(real[156], '0');

  // A name that fills the payload's block exactly still ends in its NUL.
  const std::string h511 = FileHeader(std::string(511, 'c'), 1, 1, 0644);
  ASSERT_EQ(h511.size(), 3 * 512u);
  EXPECT_EQ(h511[512 + 511], '\0');
}

TEST(TarFormat, NumbersStayOctal) {
  // Eleven octal digits hold at most 8^11 - 1.
  constexpr std::uint64_t kTooLarge = std::uint64_t{1} << 33;
  constexpr std::int64_t kTooLate = std::int64_t{1} << 33;
  EXPECT_THROW(FileHeader("a.eml", kTooLarge, 1, 0644), std::out_of_range);
  EXPECT_THROW(FileHeader("a.eml", 1, kTooLate, 0644), std::out_of_range);
  EXPECT_THROW(FileHeader("a.eml", 1, -1, 0644), std::out_of_range);
  EXPECT_NO_THROW(FileHeader("a.eml", kTooLarge - 1, kTooLate - 1, 0644));
  EXPECT_EQ(PaddingFor(0), 0u);
  EXPECT_EQ(PaddingFor(1), 511u);
  EXPECT_EQ(PaddingFor(512), 0u);
  EXPECT_EQ(EndOfArchive(), std::string(1024, '\0'));
}

}  // namespace
}  // namespace crateline::archive::tar
