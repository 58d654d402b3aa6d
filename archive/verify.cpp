#include "archive/verify.h"

#include <zlib.h>

#include "util/utf8_path.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <tuple>

namespace crateline::archive {
namespace {

constexpr std::size_t kRecord = 512;
constexpr std::size_t kLineLimit = 10240;
constexpr std::uint64_t kMessageLimit = std::uint64_t{1} << 31;

// A message's bytes, by length and two independent checksums.
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
  Fingerprint Done() const {
    return {size, static_cast<std::uint32_t>(crc), static_cast<std::uint32_t>(adler)};
  }
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string TrimRight(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// UTF-16 length of UTF-8 text; -1 when the text is not valid UTF-8.
long Utf16Length(const std::string& text) {
  long units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return -1;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return -1;
    }
    units += n == 4 ? 2 : 1;
    i += n;
  }
  return units;
}

// Why the importer would reject a folder name, or "" when it takes it.
std::string FolderNameFault(const std::string& name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == ':' || c == '"') return "holds a character Zimbra does not allow";
    if (c == 0xEF && i + 2 < name.size() && static_cast<unsigned char>(name[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(name[i + 2]) == 0xBE ||
         static_cast<unsigned char>(name[i + 2]) == 0xBF)) {
      return "holds U+FFFE or U+FFFF";
    }
  }
  const std::string trimmed = TrimRight(name);
  if (trimmed.empty() || trimmed == "." || trimmed == "..") return "is empty or reserved";
  const long units = Utf16Length(trimmed);
  if (units < 0) return "is not valid UTF-8";
  if (units > 255) return "is longer than 255 characters";
  return {};
}

const char* SystemFolder(const std::string& lowerTrimmed) {
  static const std::map<std::string, const char*> kMail = {
      {"inbox", "Inbox"}, {"sent", "Sent"},   {"drafts", "Drafts"},
      {"junk", "Junk"},   {"trash", "Trash"}, {"chats", "Chats"}};
  const auto it = kMail.find(lowerTrimmed);
  return it == kMail.end() ? nullptr : it->second;
}

bool TakesNoMail(const std::string& lowerTrimmed) {
  static const char* kNoMail[] = {"contacts", "emailed contacts", "calendar",
                                  "tasks",    "briefcase",        "files shared with me"};
  return std::any_of(std::begin(kNoMail), std::end(kNoMail),
                     [&](const char* n) { return lowerTrimmed == n; });
}

std::uint64_t ParseOctal(const unsigned char* field, std::size_t size, bool& ok) {
  std::uint64_t value = 0;
  ok = true;
  std::size_t i = 0;
  while (i < size && field[i] == ' ') ++i;
  bool any = false;
  for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i) {
    value = value * 8 + (field[i] - '0');
    any = true;
  }
  for (; i < size; ++i) {
    if (field[i] != ' ' && field[i] != '\0') ok = false;
  }
  if (!any) value = 0;
  return value;
}

class ImportReader {
 public:
  explicit ImportReader(VerifyResult& result) : r_(result) {}

  // Takes the next piece of the uncompressed stream.
  void Feed(const unsigned char* data, std::size_t size) {
    while (size > 0 && !stopped_) {
      if (remaining_ > 0) {
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, size));
        Data(data, take);
        data += take, size -= take, remaining_ -= take;
        if (remaining_ == 0) EndData();
        continue;
      }
      const std::size_t take = std::min(kRecord - block_.size(), size);
      block_.append(reinterpret_cast<const char*>(data), take);
      data += take, size -= take;
      if (block_.size() == kRecord) {
        Header(reinterpret_cast<const unsigned char*>(block_.data()));
        block_.clear();
      }
    }
    if (ended_) {
      for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != 0) trailingData_ = true;
      }
    }
  }

  void Finish() {
    if (!ended_) {
      if (!stopped_) r_.problems.push_back("the archive ends without its end-of-archive records");
    } else if (trailingData_) {
      r_.problems.push_back("entries after the first zero record are never imported");
    }
  }

  const std::multiset<Fingerprint>& Messages() const { return fingerprints_; }

 private:
  enum class Kind { kSkip, kLongName, kMessage };

  void Header(const unsigned char* h) {
    if (std::all_of(h, h + kRecord, [](unsigned char c) { return c == 0; })) {
      ended_ = true;  // the importer stops here, silently
      stopped_ = true;
      return;
    }
    bool ok = true;
    const std::uint64_t stored = ParseOctal(h + 148, 8, ok);
    unsigned sum = 0;
    for (std::size_t i = 0; i < kRecord; ++i) sum += (i >= 148 && i < 156) ? ' ' : h[i];
    if (!ok || stored != sum)
      r_.problems.push_back("a header's checksum is wrong (at \"" + RawName(h) + "\")");
    if ((h[124] & 0x80) != 0) {
      r_.problems.push_back("a size in base-256 (at \"" + RawName(h) +
                            "\"): the importer loses its place");
      stopped_ = true;
      return;
    }
    const std::uint64_t size = ParseOctal(h + 124, 12, ok);
    if (!ok) r_.problems.push_back("a size that is not octal (at \"" + RawName(h) + "\")");
    const std::uint64_t mtime = ParseOctal(h + 136, 12, ok);
    const std::uint64_t mode = ParseOctal(h + 100, 8, ok);
    const char type = static_cast<char>(h[156]);
    std::string name = longName_.empty() ? RawName(h) : longName_;
    const bool hadLongName = !longName_.empty();
    longName_.clear();
    if (std::any_of(h + 345, h + 500, [](unsigned char c) { return c != 0; }) &&
        std::memcmp(h + 257, "ustar\0", 6) == 0) {
      r_.problems.push_back("\"" + name +
                            "\" uses the ustar prefix field, which the importer ignores");
    }

    remaining_ = size;
    padding_ = (kRecord - size % kRecord) % kRecord;
    kind_ = Kind::kSkip;
    if (type == 'L') {
      if (RawName(h) != "././@LongLink") {
        r_.problems.push_back("a long-name entry named \"" + RawName(h) +
                              "\": the importer knows only \"././@LongLink\"");
      }
      kind_ = Kind::kLongName;
      payload_.clear();
    } else if (type == 'x' || type == 'g' || type == 'K') {
      r_.problems.push_back(std::string("a '") + type + "' header (\"" + name +
                            "\") would be imported as a file");
    } else if (type == '1' || type == '2') {
      r_.problems.push_back("\"" + name + "\" is a link entry, which arrives as an empty message");
    } else if (type == '5') {
      if (name.empty() || name.back() != '/') {
        r_.problems.push_back("the folder entry \"" + name + "\" does not end in '/'");
      }
    } else if (type == '0' || type == '\0') {
      (void)hadLongName;
      Entry(name, size, mtime, mode);
    } else {
      r_.problems.push_back(std::string("\"") + name + "\" has the entry type '" + type + "'");
    }
    if (remaining_ == 0) EndData();
  }

  static std::string RawName(const unsigned char* h) {
    const auto* end = std::find(h, h + 100, 0);
    return std::string(reinterpret_cast<const char*>(h), static_cast<std::size_t>(end - h));
  }

  void Entry(const std::string& name, std::uint64_t size, std::uint64_t mtime, std::uint64_t mode) {
    const auto slash = name.rfind('/');
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash);
    if (base.size() < 4 || base.compare(base.size() - 4, 4, ".eml") != 0) {
      r_.problems.push_back("\"" + name +
                            "\" is not a message: Zimbra makes it a Briefcase document, "
                            "and fails the messages after it in that folder");
      return;
    }
    std::string fault = FolderFault(folder);
    if (!fault.empty()) {
      r_.problems.push_back("\"" + name + "\": " + fault);
      return;
    }
    if (size == 0) r_.problems.push_back("\"" + name + "\" is empty; Zimbra rejects it");
    if (size >= kMessageLimit) r_.problems.push_back("\"" + name + "\" is 2 GiB or larger");
    if (mtime == 0)
      r_.problems.push_back("\"" + name + "\" has the time 0: it would show 1970-01-01");
    if ((mode & 0200) == 0) ++r_.unread;
    ++r_.messages;
    Count(folder);
    kind_ = Kind::kMessage;
    current_ = name;
    digest_ = {};
    line_ = longest_ = 0;
  }

  std::string FolderFault(const std::string& folder) {
    if (folder == "." || folder.rfind("./", 0) == 0) {
      return "a leading \"./\": the importer fails every such entry";
    }
    std::vector<std::string> segments;
    std::size_t start = folder.empty() ? std::string::npos : 0;
    if (!folder.empty() && folder[0] == '/') start = 1;  // a leading '/' is harmless
    while (start != std::string::npos && start <= folder.size()) {
      const auto next = folder.find('/', start);
      segments.push_back(
          folder.substr(start, next == std::string::npos ? std::string::npos : next - start));
      start = next == std::string::npos ? std::string::npos : next + 1;
    }
    for (const auto& segment : segments) {
      if (segment.empty()) return "an empty folder name in the path";
      const std::string why = FolderNameFault(segment);
      if (!why.empty()) return "the folder name \"" + segment + "\" " + why;
    }
    if (!segments.empty()) {
      const std::string top = Lower(TrimRight(segments.front()));
      if (TakesNoMail(top)) return "Zimbra's " + segments.front() + " folder takes no mail";
      if (top == "junk" && segments.size() > 1) return "Zimbra's Junk folder takes no subfolders";
    }
    return {};
  }

  void Count(const std::string& folder) {
    std::string shown;
    std::string key;
    std::size_t start = !folder.empty() && folder[0] == '/' ? 1 : 0;
    bool first = true;
    while (start <= folder.size() && !folder.empty()) {
      const auto next = folder.find('/', start);
      std::string segment = TrimRight(
          folder.substr(start, next == std::string::npos ? std::string::npos : next - start));
      if (first) {
        if (const char* system = SystemFolder(Lower(segment))) segment = system;
      }
      shown += (first ? "" : "/") + segment;
      key += (first ? "" : "/") + Lower(segment);
      first = false;
      if (next == std::string::npos) break;
      start = next + 1;
    }
    if (shown.empty()) {
      shown = "Inbox";  // entries at the root go to the Inbox
      key = "inbox";
    }
    auto it = index_.find(key);
    if (it == index_.end()) {
      it = index_.emplace(key, r_.folders.size()).first;
      r_.folders.push_back({shown, 0});
    }
    ++r_.folders[it->second].messages;
  }

  void Data(const unsigned char* data, std::size_t n) {
    if (kind_ == Kind::kLongName) {
      payload_.append(reinterpret_cast<const char*>(data), n);
    } else if (kind_ == Kind::kMessage) {
      digest_.Add(data, n);
      for (std::size_t i = 0; i < n; ++i) {
        if (data[i] == '\n') {
          longest_ = std::max(longest_, line_);
          line_ = 0;
        } else {
          ++line_;
        }
      }
    }
  }

  void EndData() {
    if (kind_ == Kind::kLongName) {
      if (payload_.empty() || payload_.back() != '\0') {
        r_.problems.push_back(
            "a long name does not end in NUL; the importer drops its last character");
      }
      longName_ = payload_.empty() ? std::string() : payload_.substr(0, payload_.size() - 1);
      if (longName_.empty()) longName_ = "?";
    } else if (kind_ == Kind::kMessage) {
      longest_ = std::max(longest_, line_);
      if (longest_ > kLineLimit) {
        r_.warnings.push_back("\"" + current_ +
                              "\" has a line longer than 10,240 bytes; Zimbra rejects it");
      }
      fingerprints_.insert(digest_.Done());
    }
    kind_ = Kind::kSkip;
    // The padding to the next record is skipped as data of no entry.
    remaining_ = padding_;
    padding_ = 0;
  }

  VerifyResult& r_;
  std::string block_;
  std::uint64_t remaining_ = 0;
  std::uint64_t padding_ = 0;
  Kind kind_ = Kind::kSkip;
  std::string payload_;
  std::string longName_;
  std::string current_;
  Digest digest_;
  std::size_t line_ = 0, longest_ = 0;
  bool ended_ = false;
  bool stopped_ = false;
  bool trailingData_ = false;
  std::map<std::string, std::size_t> index_;
  std::multiset<Fingerprint> fingerprints_;
};

void CompareWithSource(const std::string& source, const std::multiset<Fingerprint>& archived,
                       VerifyResult& result) {
  namespace fs = std::filesystem;
  std::error_code error;
  auto remaining = archived;
  std::vector<std::string> missing;
  fs::recursive_directory_iterator it(util::PathFromUtf8(source), fs::directory_options::none,
                                      error);
  if (error) {
    result.problems.push_back("cannot read the source folder \"" + source +
                              "\": " + error.message());
    return;
  }
  std::vector<char> buffer(1 << 20);
  for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (error) {
      result.problems.push_back("cannot read all of the source folder: " + error.message());
      return;
    }
    const auto status = it->symlink_status(error);
    if (error || !fs::is_regular_file(status)) continue;
    const std::string name = util::Utf8FromPath(it->path().filename());
    if (name.size() <= 4 || Lower(name.substr(name.size() - 4)) != ".eml") continue;
    std::ifstream in(it->path(), std::ios::binary);
    Digest digest;
    while (in) {
      in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      digest.Add(reinterpret_cast<const unsigned char*>(buffer.data()),
                 static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
      result.problems.push_back("cannot read the source message \"" +
                                util::Utf8FromPath(it->path()) + "\"");
      continue;
    }
    if (digest.size == 0 || digest.size >= kMessageLimit) continue;  // no archive can hold these
    const auto found = remaining.find(digest.Done());
    if (found == remaining.end()) {
      missing.push_back(util::Utf8FromPath(it->path()));
    } else {
      remaining.erase(found);
    }
  }
  std::sort(missing.begin(), missing.end());
  for (const auto& path : missing) {
    result.problems.push_back("the message \"" + path +
                              "\" is not in the archive with the same bytes");
  }
}

}  // namespace

VerifyResult VerifyArchive(const std::string& archivePath, const std::string& sourceFolder) {
  VerifyResult result;
  std::ifstream file(util::PathFromUtf8(archivePath), std::ios::binary);
  if (!file) {
    result.problems.push_back("cannot open \"" + archivePath + "\"");
    return result;
  }
  z_stream z{};
  if (inflateInit2(&z, 16 + 15) != Z_OK) {  // gzip only, one member at a time
    result.problems.push_back("zlib could not be set up");
    return result;
  }
  ImportReader reader(result);
  std::vector<unsigned char> in(1 << 20);
  std::vector<unsigned char> out(1 << 20);
  bool memberEnded = false;
  bool damaged = false;
  std::uint64_t afterMember = 0;
  bool secondMember = false;
  while (!damaged) {
    file.read(reinterpret_cast<char*>(in.data()), static_cast<std::streamsize>(in.size()));
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got == 0) break;
    if (memberEnded) {
      afterMember += got;
      continue;
    }
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(got);
    while (z.avail_in > 0 && !memberEnded) {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      const int status = inflate(&z, Z_NO_FLUSH);
      reader.Feed(out.data(), out.size() - z.avail_out);
      if (status == Z_STREAM_END) {
        memberEnded = true;
        if (z.avail_in >= 2 && z.next_in[0] == 0x1f && z.next_in[1] == 0x8b) secondMember = true;
        afterMember += z.avail_in;
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        result.problems.push_back(std::string("the gzip data is damaged: ") +
                                  (z.msg != nullptr ? z.msg : "unknown error"));
        damaged = true;
        break;
      }
    }
  }
  inflateEnd(&z);
  if (!damaged && !memberEnded) result.problems.push_back("the gzip stream is cut short");
  if (afterMember > 0) {
    result.problems.push_back(
        secondMember ? "more than one gzip member: the importer may read only the first"
                     : "bytes follow the gzip member");
  }
  if (!damaged) reader.Finish();
  if (!sourceFolder.empty()) CompareWithSource(sourceFolder, reader.Messages(), result);
  return result;
}

}  // namespace crateline::archive
