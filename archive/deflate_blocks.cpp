// A DEFLATE walker after RFC 1951 and the canonical decoding of Mark Adler's puff.c. It keeps no
// window and writes no output, so its tables hold only how many bits each code and its extra
// bits take; codes too long for them (rare) are decoded a bit at a time.
#include "archive/deflate_blocks.h"

#include <array>
#include <bit>
#include <cstring>
#include <memory>

namespace crateline::archive {
namespace {

constexpr int kMaxBits = 15;
constexpr int kMaxLiteralCodes = 288;
constexpr int kMaxDistanceCodes = 30;

constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};

// Bits of the stream, least significant first. Refill() tops the buffer up to at least 56
// bits, eight bytes at a time where the input allows (enough for a whole length and distance
// with their extra bits); past the end it makes up zero bytes and counts them, so that a cut
// stream is told from a whole one and a walk through made-up zeros stops.
class Bits {
 public:
  Bits(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

  // The whole state, for a loop that keeps it in locals.
  struct State {
    const unsigned char* data;
    std::size_t size;
    std::size_t next;
    std::uint64_t buffer;
    int count;
  };
  State Save() const { return {data_, size_, next_, buffer_, count_}; }
  void Restore(const State& state) {
    next_ = state.next;
    buffer_ = state.buffer;
    count_ = state.count;
  }
  // Eight bytes at `at`, the first the least significant.
  static std::uint64_t Word(const unsigned char* at) {
    std::uint64_t word = 0;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&word, at, sizeof word);
    } else {
      for (int i = 7; i >= 0; --i) word = (word << 8) | at[i];
    }
    return word;
  }

  // False once more than a few bytes past the end were needed. Nothing to do while at least
  // `enough` bits are there.
  bool Refill(int enough = 56) {
    if (count_ >= enough) return true;
    if (next_ + 8 <= size_) {
      buffer_ |= Word(data_ + next_) << count_;
      next_ += static_cast<std::size_t>((63 - count_) >> 3);
      count_ |= 56;
      return true;
    }
    while (count_ <= 56) {
      if (next_ < size_) buffer_ |= std::uint64_t{data_[next_]} << count_;
      ++next_;  // past the end too: the made-up zeros count, so Position() goes past it
      count_ += 8;
    }
    return next_ <= size_ + 16;
  }
  std::uint32_t Peek(int n) const {
    return static_cast<std::uint32_t>(buffer_ & ((std::uint64_t{1} << n) - 1));
  }
  void Drop(int n) {
    buffer_ >>= n;
    count_ -= n;
  }
  std::uint32_t Take(int n) {
    if (count_ < n) Refill();
    const std::uint32_t value = Peek(n);
    Drop(n);
    return value;
  }
  // To the next byte boundary (for a stored block).
  void Align() { Drop(count_ % 8); }
  // The position of the next unread bit; past the input when zeros were made up.
  std::uint64_t Position() const {
    return std::uint64_t{next_} * 8 - static_cast<std::uint64_t>(count_);
  }
  bool Overrun() const { return Position() > std::uint64_t{size_} * 8; }
  // Skips whole bytes (a stored block's data): the buffer is empty at a byte boundary after.
  bool SkipBytes(std::size_t n) {
    while (n > 0 && count_ >= 8) {
      Drop(8);
      --n;
    }
    if (n == 0) return !Overrun();
    if (next_ > size_ || n > size_ - next_) return false;
    next_ += n;
    // Above its count the buffer holds the bytes a refill read ahead, now skipped: clear them.
    buffer_ &= count_ == 0 ? 0 : (std::uint64_t{1} << count_) - 1;
    return true;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t next_ = 0;
  std::uint64_t buffer_ = 0;
  int count_ = 0;
};

class Huffman {
 public:
  // From the code lengths of `n` symbols; false when they make no valid code (over-subscribed,
  // or incomplete beyond the one case DEFLATE allows: a single code).
  bool Build(const std::uint8_t* lengths, int n) {
    count_.fill(0);
    for (int s = 0; s < n; ++s) ++count_[lengths[s]];
    count_[0] = 0;
    int left = 1;
    for (int len = 1; len <= kMaxBits; ++len) {
      left <<= 1;
      left -= count_[len];
      if (left < 0) return false;
    }
    std::array<std::uint16_t, kMaxBits + 1> offsets{};
    for (int len = 1; len < kMaxBits; ++len) offsets[len + 1] = offsets[len] + count_[len];
    for (int s = 0; s < n; ++s) {
      if (lengths[s] != 0) symbols_[offsets[lengths[s]]++] = static_cast<std::uint16_t>(s);
    }
    return true;
  }

  // Calls visit(reversed code, length, symbol) for every code up to `maxLength` bits long, the
  // code reversed because codes are sent most significant bit first.
  template <typename Visit>
  void ForEachShortCode(int maxLength, Visit visit) const {
    std::uint32_t code = 0;
    int index = 0;
    for (int len = 1; len <= maxLength; ++len) {
      for (int k = 0; k < count_[len]; ++k, ++code, ++index) {
        std::uint32_t reversed = 0;
        for (int b = 0; b < len; ++b) reversed |= ((code >> b) & 1u) << (len - 1 - b);
        visit(reversed, len, symbols_[index]);
      }
      code <<= 1;
    }
  }

  // The next symbol decoded a bit at a time (canonically), or -1 when the bits make no code.
  // For the codes too long for the tables below, and the bits that make no code.
  int DecodeSlowly(Bits& bits) const {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxBits; ++len) {
      code |= static_cast<int>(bits.Take(1));
      const int count = count_[len];
      if (code - count < first) return symbols_[index + (code - first)];
      index += count;
      first += count;
      first <<= 1;
      code <<= 1;
    }
    return -1;
  }

 private:
  std::array<std::uint16_t, kMaxBits + 1> count_{};
  std::array<std::uint16_t, kMaxLiteralCodes> symbols_{};
};

// What the skipping needs of a block's codes, looked up by the next bits as they come: how many
// bits to drop, and what they were. A literal/length entry covers one literal, or two when both
// codes fit in the index (most literal runs then take half the lookups), or a length code with
// its extra bits; a distance entry covers the code and its extra bits. Entries that cannot say
// (a code longer than the index, or bits that make no code) send the walk to DecodeSlowly.
class SkipTables {
 public:
  static constexpr int kLiteralBits = 12;
  static constexpr int kDistanceBits = 10;
  enum Kind : std::uint16_t { kLiterals = 0, kLength = 1 << 5, kEnd = 2 << 5, kSlow = 3 << 5 };
  static constexpr std::uint16_t kCountMask = 31;
  static constexpr std::uint16_t kKindMask = 3 << 5;

  bool Build(const std::uint8_t* literalLengths, int nlen, const std::uint8_t* distanceLengths,
             int ndist) {
    if (!literals_.Build(literalLengths, nlen) || !distances_.Build(distanceLengths, ndist)) {
      return false;
    }
    literal_.fill(kSlow);
    literals_.ForEachShortCode(kLiteralBits, [&](std::uint32_t code, int len, int symbol) {
      std::uint16_t entry = kSlow;
      if (symbol < 256) {
        entry = static_cast<std::uint16_t>(kLiterals | len);
      } else if (symbol == 256) {
        entry = static_cast<std::uint16_t>(kEnd | len);
      } else if (symbol - 257 < 29) {
        entry = static_cast<std::uint16_t>(kLength | (len + kLengthExtra[symbol - 257]));
      }
      for (std::uint32_t at = code; at < (1u << kLiteralBits); at += 1u << len)
        literal_[at] = entry;
    });
    // Pairs: a literal whose code leaves room in the index for the whole of a second one.
    for (std::uint32_t at = 0; at < (1u << kLiteralBits); ++at) {
      const std::uint16_t first = literal_[at];
      if ((first & kKindMask) != kLiterals) continue;
      const int len = first & kCountMask;
      if (len > kLiteralBits - 1) continue;
      const std::uint16_t second = literal_[at >> len];
      const int secondLen = second & kCountMask;
      if ((second & kKindMask) == kLiterals && len + secondLen <= kLiteralBits) {
        literal_[at] = static_cast<std::uint16_t>(kLiterals | (len + secondLen));
      }
    }
    distance_.fill(0);
    distances_.ForEachShortCode(kDistanceBits, [&](std::uint32_t code, int len, int symbol) {
      const auto entry =
          static_cast<std::uint16_t>(symbol < kMaxDistanceCodes ? len + kDistanceExtra[symbol] : 0);
      for (std::uint32_t at = code; at < (1u << kDistanceBits); at += 1u << len)
        distance_[at] = entry;
    });
    return true;
  }

  // Drops the symbols up to and including the end-of-block code; false when the bits make no
  // valid symbol or the stream ends first.
  bool Skip(Bits& bits) const {
    for (;;) {
      SkipQuickly(bits);
      // One symbol the quick loop left: a code too long for the tables, the end of the block,
      // or the last bytes of the input.
      if (!bits.Refill(48)) return false;
      const std::uint16_t entry = literal_[bits.Peek(kLiteralBits)];
      const std::uint16_t kind = entry & kKindMask;
      if (kind == kLiterals) {
        bits.Drop(entry & kCountMask);
        continue;
      }
      int lengthBits = entry & kCountMask;
      if (kind != kLength) {
        if (kind == kEnd) {
          bits.Drop(lengthBits);
          return !bits.Overrun();
        }
        const int symbol = literals_.DecodeSlowly(bits);
        if (symbol < 256) {
          if (symbol < 0) return false;
          continue;
        }
        if (symbol == 256) return !bits.Overrun();
        if (symbol - 257 >= 29) return false;
        lengthBits = kLengthExtra[symbol - 257];
      }
      bits.Drop(lengthBits);
      const std::uint16_t distance = distance_[bits.Peek(kDistanceBits)];
      if (distance != 0) {
        bits.Drop(distance);
        continue;
      }
      const int symbol = distances_.DecodeSlowly(bits);
      if (symbol < 0 || symbol >= kMaxDistanceCodes) return false;
      bits.Drop(kDistanceExtra[symbol]);
    }
  }

 private:
  // Literals, and lengths with their distances, while the tables know them and eight bytes of
  // input are left to refill from: the walk's hot loop, on locals the compiler keeps in
  // registers. Stops before anything else, leaving it to Skip.
  void SkipQuickly(Bits& bits) const {
    Bits::State state = bits.Save();
    if (state.size < 8) return;
    const std::size_t lastWord = state.size - 8;
    std::uint64_t buffer = state.buffer;
    int count = state.count;
    std::size_t next = state.next;
    for (;;) {
      if (count < 48) {
        if (next > lastWord) break;
        buffer |= Bits::Word(state.data + next) << count;
        next += static_cast<std::size_t>((63 - count) >> 3);
        count |= 56;
      }
      const std::uint16_t entry = literal_[buffer & ((1u << kLiteralBits) - 1)];
      const int n = entry & kCountMask;
      if ((entry & kKindMask) == kLiterals) {
        buffer >>= n;
        count -= n;
        continue;
      }
      if ((entry & kKindMask) != kLength) break;
      const std::uint16_t distance = distance_[(buffer >> n) & ((1u << kDistanceBits) - 1)];
      if (distance == 0) break;
      buffer >>= n + distance;
      count -= n + distance;
    }
    state.buffer = buffer;
    state.count = count;
    state.next = next;
    bits.Restore(state);
  }

  Huffman literals_;
  Huffman distances_;
  std::array<std::uint16_t, 1 << kLiteralBits> literal_{};
  std::array<std::uint16_t, 1 << kDistanceBits> distance_{};
};

bool FixedCodes(SkipTables& tables) {
  std::uint8_t lengths[kMaxLiteralCodes];
  std::memset(lengths, 8, 144);
  std::memset(lengths + 144, 9, 112);
  std::memset(lengths + 256, 7, 24);
  std::memset(lengths + 280, 8, 8);
  std::uint8_t distance[kMaxDistanceCodes];
  std::memset(distance, 5, kMaxDistanceCodes);
  return tables.Build(lengths, kMaxLiteralCodes, distance, kMaxDistanceCodes);
}

bool DynamicCodes(Bits& bits, SkipTables& tables) {
  const int nlen = static_cast<int>(bits.Take(5)) + 257;
  const int ndist = static_cast<int>(bits.Take(5)) + 1;
  const int ncode = static_cast<int>(bits.Take(4)) + 4;
  if (nlen > 286 || ndist > kMaxDistanceCodes) return false;
  std::uint8_t lengths[kMaxLiteralCodes + kMaxDistanceCodes] = {};
  for (int i = 0; i < ncode; ++i)
    lengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(bits.Take(3));
  Huffman codeLengths;
  if (!codeLengths.Build(lengths, 19)) return false;
  std::memset(lengths, 0, sizeof lengths);
  for (int i = 0; i < nlen + ndist;) {
    if (!bits.Refill()) return false;
    int symbol = codeLengths.DecodeSlowly(bits);
    if (symbol < 0 || bits.Overrun()) return false;
    if (symbol < 16) {
      lengths[i++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    std::uint8_t value = 0;
    int repeat = 0;
    if (symbol == 16) {
      if (i == 0) return false;
      value = lengths[i - 1];
      repeat = 3 + static_cast<int>(bits.Take(2));
    } else if (symbol == 17) {
      repeat = 3 + static_cast<int>(bits.Take(3));
    } else {
      repeat = 11 + static_cast<int>(bits.Take(7));
    }
    if (i + repeat > nlen + ndist) return false;
    while (repeat-- > 0) lengths[i++] = value;
  }
  if (lengths[256] == 0) return false;  // no end-of-block code
  return tables.Build(lengths, nlen, lengths + nlen, ndist);
}

}  // namespace

std::optional<DeflateEnd> FindDeflateEnd(const unsigned char* data, std::size_t size) {
  Bits bits(data, size);
  static const SkipTables fixed = [] {
    SkipTables tables;
    FixedCodes(tables);
    return tables;
  }();
  auto dynamic = std::make_unique<SkipTables>();
  for (;;) {
    DeflateEnd end;
    end.lastHeaderBit = bits.Position();
    const bool final = bits.Take(1) != 0;
    const std::uint32_t type = bits.Take(2);
    bool ok = true;
    if (type == 0) {
      bits.Align();
      const std::uint32_t length = bits.Take(16);
      const std::uint32_t inverse = bits.Take(16);
      ok = (length ^ 0xFFFFu) == inverse && bits.SkipBytes(length);
    } else if (type == 1) {
      ok = fixed.Skip(bits);
    } else if (type == 2) {
      ok = DynamicCodes(bits, *dynamic) && dynamic->Skip(bits);
    } else {
      ok = false;
    }
    if (!ok || bits.Overrun()) return std::nullopt;
    if (final) {
      end.endBit = bits.Position();
      return end;
    }
  }
}

}  // namespace crateline::archive
