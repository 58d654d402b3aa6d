// GNU tar framing, written by us.
//
// We write these bytes ourselves instead of asking a general tar library: the importer reads
// long names only as a typeflag 'L' entry named exactly "././@LongLink", and a widely used
// library's GNU writer changed that entry's name in a later version to one the importer does
// not recognise (the message then lands under a name cut at 100 bytes). Our archives must not
// change with a library's version.
//
// What we write: regular-file entries only; numbers in octal only (never base-256, never the
// ustar prefix field, never PAX or 'K' entries); names of 100 bytes or more through one 'L'
// entry (size = name length + 1, payload = name + NUL); two zero records at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace crateline::archive::tar {

inline constexpr std::size_t kBlockSize = 512;

// Header fields: offset and size of each, as GNU tar lays them out.
inline constexpr std::size_t kNameOffset = 0, kNameSize = 100;
inline constexpr std::size_t kModeOffset = 100, kModeSize = 8;
inline constexpr std::size_t kUidOffset = 108, kUidSize = 8;
inline constexpr std::size_t kGidOffset = 116, kGidSize = 8;
inline constexpr std::size_t kSizeOffset = 124, kSizeSize = 12;
inline constexpr std::size_t kMtimeOffset = 136, kMtimeSize = 12;
inline constexpr std::size_t kChecksumOffset = 148, kChecksumSize = 8;
inline constexpr std::size_t kTypeflagOffset = 156;
inline constexpr std::size_t kLinknameOffset = 157, kLinknameSize = 100;
inline constexpr std::size_t kMagicOffset = 257, kMagicSize = 8;  // "ustar  \0": GNU's magic
inline constexpr std::size_t kUnameOffset = 265, kUnameSize = 32;
inline constexpr std::size_t kGnameOffset = 297, kGnameSize = 32;

inline constexpr char kTypeRegular = '0';
inline constexpr char kTypeLongName = 'L';
inline constexpr const char* kLongLinkName = "././@LongLink";
inline constexpr char kGnuMagic[kMagicSize] = {'u', 's', 't', 'a', 'r', ' ', ' ', '\0'};

// The largest value an octal field of that size holds (size - 1 digits and a NUL).
constexpr std::uint64_t MaxOctal(std::size_t fieldSize) {
  std::uint64_t max = 1;
  for (std::size_t i = 0; i + 1 < fieldSize; ++i) max *= 8;
  return max - 1;
}
inline constexpr std::uint64_t kMaxSize = MaxOctal(kSizeSize);
inline constexpr std::int64_t kMaxMtime = static_cast<std::int64_t>(MaxOctal(kMtimeSize));

// The header block(s) of one regular file: an 'L' entry first when the name needs one. The
// name is used as given; size, mtime and mode must fit their octal fields.
std::string FileHeader(const std::string& name, std::uint64_t size, std::int64_t mtime,
                       std::uint32_t mode);

// Zero bytes that pad size bytes of data up to a whole block.
std::size_t PaddingFor(std::uint64_t size);

// Two zero records: the end of the archive.
std::string EndOfArchive();

}  // namespace crateline::archive::tar
