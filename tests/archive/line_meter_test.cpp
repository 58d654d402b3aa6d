// The line check against the rule read byte by byte, on messages whose lines sit at the limit
// and pieces cut anywhere: the meter jumps ahead, and a jump that misses a line end, or one
// carried from a piece to the next, must show here.
#include "archive/line_meter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace crateline::archive {
namespace {

bool TooLongByteByByte(const std::string& message) {
  std::size_t run = 0;
  for (const char c : message) {
    if (c == '\r' || c == '\n') {
      run = 0;
    } else if (++run > LineMeter::kLimit) {
      return true;
    }
  }
  return false;
}

bool TooLongInPieces(const std::string& message, std::mt19937& random) {
  LineMeter meter;
  std::size_t at = 0;
  while (at < message.size()) {
    const std::size_t piece = std::min<std::size_t>(message.size() - at, 1 + random() % 12000);
    meter.Add(message.data() + at, piece);
    at += piece;
  }
  return meter.TooLong();
}

TEST(LineMeter, AgreesWithTheRuleReadByteByByte) {
  std::mt19937 random(7);
  const char* const ends[] = {"\r\n", "\n", "\r"};
  int tooLong = 0;
  for (int round = 0; round < 400; ++round) {
    std::string message;
    const int lines = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < lines; ++i) {
      // Lines around the limit, and short ones between them.
      const std::size_t length =
          random() % 3 == 0 ? LineMeter::kLimit - 2 + random() % 4 : random() % 200;
      message += std::string(length, static_cast<char>('a' + random() % 26));
      message += ends[random() % 3];
    }
    const bool expected = TooLongByteByByte(message);
    tooLong += expected ? 1 : 0;
    EXPECT_EQ(TooLongInPieces(message, random), expected) << "round " << round;
    LineMeter whole;
    whole.Add(message.data(), message.size());
    EXPECT_EQ(whole.TooLong(), expected) << "round " << round;
  }
  EXPECT_GT(tooLong, 20);  // both verdicts were tried
  EXPECT_LT(tooLong, 380);
}

TEST(LineMeter, ALineCarriedAcrossPiecesAndResetBetweenMessages) {
  LineMeter meter;
  const std::string half(LineMeter::kLimit / 2, 'x');
  meter.Add(half.data(), half.size());
  meter.Add("\r", 1);  // a CR at the end of one piece, its LF in the next
  meter.Add("\n", 1);
  meter.Add(half.data(), half.size());
  meter.Add(half.data(), half.size());  // exactly the limit: accepted
  EXPECT_FALSE(meter.TooLong());
  meter.Add("y", 1);
  EXPECT_TRUE(meter.TooLong());
  meter.Reset();  // the writer keeps one meter for all its messages
  meter.Add("x\r", 2);
  EXPECT_FALSE(meter.TooLong());
}

}  // namespace
}  // namespace crateline::archive
