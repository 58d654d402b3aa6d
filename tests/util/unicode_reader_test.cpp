#include "util/unicode_reader.h"

#include <gtest/gtest.h>

#include <system_error>

#include "support/temp_dir.h"

namespace crateline::util {
namespace {

const std::u16string kCrLf = u"\r\n";

std::string Utf16(const std::u16string& text, bool mark = false) {
  std::string bytes = mark ? "\xff\xfe" : "";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

class ReaderTest : public ::testing::Test {
 protected:
  std::string File(const std::string& bytes) {
    return dir_.Write("f" + std::to_string(n_++), bytes).string();
  }
  std::vector<std::u16string> ReadAll(const std::string& bytes,
                                      const std::u16string& delimiter = kCrLf) {
    UnicodeReader reader;
    reader.OpenFile(File(bytes), delimiter);
    std::vector<std::u16string> lines;
    while (!reader.Eof()) lines.push_back(reader.ReadLine());
    return lines;
  }
  int ErrorOf(const std::function<void()>& call) {
    try {
      call();
    } catch (const UnicodeReaderError& e) {
      return e.number();
    }
    return 0;
  }
  testing::TempDir dir_;
  int n_ = 0;
};

using Lines = std::vector<std::u16string>;

TEST_F(ReaderTest, LinesWithAndWithoutMarkAndFinalDelimiterAndEmptyFiles) {
  UnicodeReader reader;
  reader.OpenFile(File(Utf16(u"a\r\nb\r\n", true)), kCrLf);
  EXPECT_EQ(reader.Length(), 6);
  EXPECT_EQ(reader.ReadLine(), u"a");
  EXPECT_FALSE(reader.Eof());
  EXPECT_EQ(reader.ReadLine(), u"b");
  EXPECT_TRUE(reader.Eof());
  EXPECT_EQ(ErrorOf([&] { reader.ReadLine(); }), kErrorInputPastEnd);
  EXPECT_EQ(ReadAll(Utf16(u"a\r\nb")), (Lines{u"a", u"b"}));
  EXPECT_EQ(ReadAll(Utf16(u"a\r\n\r\n")), (Lines{u"a", u""}));
  EXPECT_EQ(ReadAll(Utf16(u"\r\n")), (Lines{u""}));
  EXPECT_EQ(ReadAll(Utf16(u"x\r\ny\r\n"), u""), (Lines{u"x\r\ny\r\n"}));
  EXPECT_EQ(ReadAll(Utf16(u"a--b-c--", true), u"--"), (Lines{u"a", u"b-c"}));

  for (const std::string& bytes : {std::string(), std::string("\xff\xfe")}) {  // empty files
    UnicodeReader empty;
    empty.OpenFile(File(bytes), kCrLf);
    EXPECT_TRUE(empty.Eof());
    EXPECT_EQ(empty.Length(), 0);
    EXPECT_EQ(ErrorOf([&] { empty.ReadLine(); }), kErrorInputPastEnd);
  }
}

// FF then FE is the mark; FF 00 and FE FF are text ("\u00FF", "\uFFFE"). Half a unit at the
// end is read as the replacement character, and 2.5 units round to the even neighbour.
TEST_F(ReaderTest, OnlyBothBytesOfTheMarkAreAMarkAndAnOddByteIsReplaced) {
  EXPECT_EQ(ReadAll(std::string("\xff\x00", 2) + Utf16(u"a")), (Lines{u"\u00FFa"}));
  EXPECT_EQ(ReadAll(std::string("\xfe\xff", 2) + Utf16(u"a")), (Lines{u"\uFFFEa"}));
  UnicodeReader reader;
  reader.OpenFile(File(Utf16(u"ab") + "x"), kCrLf);
  EXPECT_EQ(reader.Length(), 2);
  EXPECT_EQ(reader.ReadLine(), u"ab\uFFFD");
  UnicodeReader three;
  three.OpenFile(File(Utf16(u"abc") + "x"), kCrLf);
  EXPECT_EQ(three.Length(), 4);  // 3.5 rounds to 4
}

TEST_F(ReaderTest, BlockBoundaries) {
  // A line of many blocks (carried from block to block, not copied each time) comes back once
  // and whole, with the delimiter astride two blocks after it.
  const std::u16string huge(16384 * 64 - 1, u'h');
  EXPECT_EQ(ReadAll(Utf16(huge + u"--" + u"x"), u"--"), (Lines{huge, u"x"}));

  // Exactly one block: its last line is final, no empty tail block is read.
  const std::u16string exact = std::u16string(100, u'c') + u"\r\n" + std::u16string(16282, u'd');
  ASSERT_EQ(Utf16(exact).size(), 32768u);
  EXPECT_EQ(ReadAll(Utf16(exact)), (Lines{std::u16string(100, u'c'), std::u16string(16282, u'd')}));

  // 32770 bytes: the last line starts in the block and ends in the two-byte tail.
  const std::u16string spill = std::u16string(10, u'e') + u"\r\n" + std::u16string(16373, u'f');
  ASSERT_EQ(Utf16(spill).size(), 32770u);
  UnicodeReader reader;
  reader.OpenFile(File(Utf16(spill)), kCrLf);
  EXPECT_EQ(reader.ReadLine(), std::u16string(10, u'e'));
  EXPECT_FALSE(reader.Eof());
  EXPECT_EQ(reader.ReadLine(), std::u16string(16373, u'f'));
  EXPECT_TRUE(reader.Eof());
}

TEST_F(ReaderTest, ReaderErrorsAndSystemErrorsStayApart) {
  UnicodeReader reader;
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(ErrorOf([&] { (void)reader.Eof(); }), kErrorBadFileNumber);
  EXPECT_EQ(ErrorOf([&] { (void)reader.Length(); }), kErrorBadFileNumber);
  EXPECT_EQ(ErrorOf([&] { reader.ReadLine(); }), kErrorBadFileNumber);
  EXPECT_THROW(reader.OpenFile(dir_.folder() + "missing.txt", kCrLf), std::system_error);
  EXPECT_FALSE(reader.IsOpen());

  const std::string first = File(Utf16(u"one\r\ntwo"));
  reader.OpenFile(first, kCrLf);
  EXPECT_EQ(ErrorOf([&] { reader.OpenFile(first, kCrLf); }), kErrorFileAlreadyOpen);
  EXPECT_EQ(reader.ReadLine(), u"one");  // the open file and its position are untouched
  EXPECT_EQ(reader.ReadLine(), u"two");
  reader.CloseFile();
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(ErrorOf([&] { (void)reader.Eof(); }), kErrorBadFileNumber);
  reader.OpenFile(first, kCrLf);  // a closed reader opens again, afresh after its end
  EXPECT_FALSE(reader.Eof());
  EXPECT_EQ(reader.ReadLine(), u"one");
}

#ifndef _WIN32  // a sparse file: no disk space for its 5 GiB
TEST_F(ReaderTest, LengthPastFourGigabytes) {
  const auto path = dir_.Write("huge", "");
  std::filesystem::resize_file(path, 5ull << 30);
  UnicodeReader reader;
  reader.OpenFile(path.string(), kCrLf);
  EXPECT_EQ(reader.Length(), std::int64_t{5} << 29);
}
#endif

TEST(SplitAt, PiecesAndDelimiters) {
  EXPECT_EQ(SplitAt(u",,", u","), (Lines{u"", u"", u""}));
  EXPECT_EQ(SplitAt(u"aaa", u"aa"), (Lines{u"", u"a"}));  // no overlap
  EXPECT_EQ(SplitAt(u"AbA", u"B"), (Lines{u"AbA"}));      // case-sensitive
}

}  // namespace
}  // namespace crateline::util
