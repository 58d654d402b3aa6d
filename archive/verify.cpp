#include "archive/verify.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>

#include "archive/archive.h"
#include "archive/census.h"
#include "archive/fingerprint.h"
#include "archive/line_meter.h"
#include "mailbox/cards.h"
#include "mailbox/made.h"
#include "mailbox/message_headers.h"
#include "platform/file_io.h"
#include "scan/search.h"

namespace crateline::archive {
namespace {

constexpr std::size_t kRecord = 512;
constexpr std::uint64_t kMessageLimit = std::uint64_t{1} << 31;
// The longest long name read. Zimbra's folder names are at most 255 characters each, but a
// tree may be deep (paths past 4,096 bytes are archived); 64 KiB holds 80 levels of the
// longest names, and memory stays flat whatever size an entry claims for its name.
constexpr std::size_t kLongestName = 64 * 1024;
constexpr std::size_t kReadPiece = 1 << 20;

std::string Show(const std::string& name) {
  return "\"" + SafeText(ShortenedName(name)) + "\"";
}

std::string TrimRight(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool EndsWith(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
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

bool TakesNoMail(const std::string& name) {
  static const char* kNoMail[] = {"contacts", "emailed contacts", "calendar",
                                  "tasks",    "briefcase",        "files shared with me"};
  const std::string key = ZimbraFolderKey(name);
  return std::any_of(std::begin(kNoMail), std::end(kNoMail),
                     [&](const char* n) { return key == n; });
}

// Zimbra's system folders that hold mail: a contact or a calendar sent there fails.
bool TakesMail(const std::string& key) {
  static const char* kMail[] = {"inbox", "sent", "drafts", "junk", "trash", "chats"};
  return std::any_of(std::begin(kMail), std::end(kMail), [&](const char* n) { return key == n; });
}

// What entries of a kind are called in a sentence.
std::string UnitOf(mailbox::ItemKind kind, const char* mail) {
  const char* unit = archive::UnitOf(kind);
  return *unit == '\0' ? mail : unit;
}

constexpr std::size_t kLargestCalendar = 512U * 1024 * 1024;  // as the readers take

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

#ifdef _WIN32
constexpr const char* kPathSeparators = "/\\";
#else
constexpr const char* kPathSeparators = "/";
#endif

struct Archived {
  std::uint32_t folder;   // ImportReader's folder keys
  std::uint32_t archive;  // which of the archives read
  std::uint64_t mtime;
  bool unread;
  std::string entry;  // its name in the archive
  std::string shown;  // and as said, with the archive's when there are several
  bool used = false;
};

// Reads one archive or several, one after the other, each as the importer reads it on its own;
// the folders and messages of all of them are gathered, as they end up in one mailbox.
class ImportReader {
 public:
  explicit ImportReader(VerifyResult& result) : r_(result) {}

  // The next archive begins; what is said about it starts with `prefix` (its name when there
  // are several).
  void Begin(std::string prefix) {
    if (begun_) ++archive_;
    begun_ = true;
    prefix_ = std::move(prefix);
    messages_ = 0;
    block_.clear();
    remaining_ = padding_ = payloadSize_ = 0;
    kind_ = Kind::kSkip;
    longName_.clear();
    haveLongName_ = longNameTooLong_ = metaMode_ = false;
    abandonedAfter_.clear();
    lines_.Reset();
    ended_ = stopped_ = trailingData_ = false;
  }
  void Problem(const std::string& text) { r_.problems.push_back(prefix_ + text); }
  void Warning(const std::string& text) { r_.warnings.push_back(prefix_ + text); }

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

  // The archive has been read to its end.
  void Finish() {
    if (!ended_) {
      if (!stopped_) Problem("the archive ends without its end-of-archive records");
    } else if (trailingData_) {
      Problem("entries after the first zero record are never imported");
    }
    if (messages_ == 0) Problem("the archive holds no message Zimbra would import");
  }
  // The folders of every archive read, as Zimbra will show them.
  std::vector<FolderCount> Folders() const {
    FolderTally tally;
    for (std::size_t i = 0; i < folderShown_.size(); ++i) {
      tally.Add(folderShown_[i], counts_[i], archive::UnitOf(folderKinds_[i]));
    }
    return tally.Rows();
  }

  // The messages Zimbra would import, by their bytes.
  std::multimap<Fingerprint, Archived>& Messages() { return archived_; }
  // The folder key of an archive folder path, as this reader numbered it; -1 when none.
  long FolderNumber(const std::string& archiveFolder) const {
    const auto it = folderKeys_.find(ZimbraFolderKey(archiveFolder));
    return it == folderKeys_.end() ? -1 : static_cast<long>(it->second);
  }
  const std::string& FolderShown(std::uint32_t number) const { return folderShown_[number]; }

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
    if (!ok || stored != sum) Problem("a header's checksum is wrong (at " + Show(RawName(h)) + ")");
    if ((h[124] & 0x80) != 0) {
      Problem("a size in base-256 (at " + Show(RawName(h)) + "): the importer loses its place");
      stopped_ = true;
      return;
    }
    const std::uint64_t size = ParseOctal(h + 124, 12, ok);
    if (!ok) Problem("a size that is not octal (at " + Show(RawName(h)) + ")");
    const std::uint64_t mtime = ParseOctal(h + 136, 12, ok);
    const std::uint64_t mode = ParseOctal(h + 100, 8, ok);
    const char type = static_cast<char>(h[156]);
    const bool longName = haveLongName_;
    const std::string name = longName ? longName_ : RawName(h);
    haveLongName_ = false;
    longName_.clear();
    if (std::any_of(h + 345, h + 500, [](unsigned char c) { return c != 0; }) &&
        std::memcmp(h + 257, "ustar\0", 6) == 0) {
      Problem(Show(name) + " uses the ustar prefix field, which the importer ignores");
    }

    remaining_ = size;
    padding_ = (kRecord - size % kRecord) % kRecord;
    kind_ = Kind::kSkip;
    if (type == 'L') {
      if (RawName(h) == "././@LongLink") {
        kind_ = Kind::kLongName;
        payloadSize_ = 0;
      } else {
        Problem("a long-name entry named " + Show(RawName(h)) +
                ": the importer knows only \"././@LongLink\" and takes it as a file");
      }
    } else if (longNameTooLong_) {
      longNameTooLong_ = false;
      Problem("an entry whose long name claims " + std::to_string(payloadSize_) +
              " bytes, more than the " + std::to_string(kLongestName) +
              " read; it is not checked (name begins " + Show(name) + ")");
    } else if (type == 'x' || type == 'g' || type == 'K') {
      Problem(std::string("a '") + type + "' header (" + Show(name) +
              ") would be imported as a file");
    } else if (type == '1' || type == '2') {
      Problem(Show(name) + " is a link entry, which arrives as an empty message");
    } else if (type == '5') {
      if (name.empty() || name.back() != '/') {
        Problem("the folder entry " + Show(name) + " does not end in '/'");
      }
    } else {
      // The importer checks no type: everything else arrives as a file.
      Entry(name, size, mtime, mode);
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
    using mailbox::ItemKind;
    std::optional<ItemKind> kind;  // by the importer's case-sensitive suffixes
    if (EndsWith(base, ".eml")) kind = ItemKind::kMail;
    if (EndsWith(base, ".vcf") || EndsWith(base, ".csv")) kind = ItemKind::kContact;
    if (EndsWith(base, ".ics")) kind = ItemKind::kCalendar;
    if (!abandonedAfter_.empty()) {
      Problem(Show(name) + " is lost: Zimbra stops reading the archive after the calendar entry " +
              Show(abandonedAfter_));
      return;
    }
    if (EndsWith(base, ".meta")) {
      metaMode_ = true;
      Problem(Show(name) +
              " is a metadata entry: Zimbra then fails every plain "
              "entry after it");
      return;
    }
    if (!kind) {
      Problem(Show(name) +
              " is not a message: Zimbra makes it a Briefcase document, "
              "and fails the messages after it in that folder");
      return;
    }
    if (metaMode_) {
      Problem(Show(name) + " fails: it follows a metadata (.meta) entry");
      return;
    }
    const std::string fault = FolderFault(folder, *kind);
    if (!fault.empty()) {
      Problem(Show(name) + ": " + fault);
      return;
    }
    // Zimbra closes its stream once it has begun to read a calendar (a folder it refuses comes
    // before that), whether or not the calendar's items fail.
    if (*kind == ItemKind::kCalendar) abandonedAfter_ = name;
    if (size == 0) Problem(Show(name) + " is empty; Zimbra rejects it");
    if (size >= kMessageLimit) Problem(Show(name) + " is 2 GiB or larger");
    const bool mail = *kind == ItemKind::kMail;
    if (mail && mtime == 0) Problem(Show(name) + " has the time 0: it would show 1970-01-01");
    const bool unread = mail && (mode & 0200) == 0;
    if (unread) ++r_.unread;
    if (mail) ++r_.messages;
    if (*kind == ItemKind::kContact) ++r_.contacts;
    ++messages_;
    kind_ = Kind::kMessage;
    itemKind_ = *kind;
    calendarText_.clear();
    current_ = name;
    digest_ = {};
    lines_.Reset();
    entry_ = {FolderOf(folder, *kind), archive_, mtime, unread, name, prefix_ + name};
  }

  std::uint32_t FolderOf(const std::string& folder, mailbox::ItemKind kind) {
    const auto [it, added] = folderKeys_.emplace(ZimbraFolderKey(folder),
                                                 static_cast<std::uint32_t>(folderShown_.size()));
    if (added) {
      folderShown_.push_back(folder);
      folderKinds_.push_back(kind);
      counts_.push_back(0);
    }
    ++counts_[it->second];
    return it->second;
  }

  std::string FolderFault(const std::string& folder, mailbox::ItemKind kind) {
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
      if (!why.empty()) return "the folder name " + Show(segment) + " " + why;
    }
    // A folder takes the kind of the first entry that makes it, and refuses any other.
    const std::string key = ZimbraFolderKey(folder);
    const auto view = views_.emplace(key, kind).first->second;
    if (view != kind) {
      return "Zimbra made the folder " + Show(folder) + " for " + UnitOf(view, "messages") +
             " and refuses " + UnitOf(kind, "messages") + " in it";
    }
    if (kind != mailbox::ItemKind::kMail) {
      const std::string top = segments.empty() ? "" : ZimbraFolderKey(segments.front());
      const char* own = kind == mailbox::ItemKind::kContact ? "contacts" : "calendar";
      const bool collected = kind == mailbox::ItemKind::kContact && top == "emailed contacts";
      if (!top.empty() && top != own && !collected && (TakesNoMail(top) || TakesMail(top))) {
        return "Zimbra's " + segments.front() + " folder takes no " + UnitOf(kind, "");
      }
      return {};
    }
    if (!segments.empty()) {
      if (TakesNoMail(segments.front()))
        return "Zimbra's " + segments.front() + " folder takes no mail";
      if (ZimbraFolderKey(segments.front()) == "junk" && segments.size() > 1) {
        return "Zimbra's Junk folder takes no subfolders";
      }
    }
    return {};
  }

  void Data(const unsigned char* data, std::size_t n) {
    if (kind_ == Kind::kLongName) {
      if (payloadSize_ + n <= kLongestName + 1) {
        longName_.append(reinterpret_cast<const char*>(data), n);
      }
      payloadSize_ += n;
    } else if (kind_ == Kind::kMessage) {
      digest_.Add(data, n);
      lines_.Add(reinterpret_cast<const char*>(data), n);
      if (itemKind_ == mailbox::ItemKind::kCalendar && calendarText_.size() < kLargestCalendar) {
        calendarText_.append(reinterpret_cast<const char*>(data), n);
      }
    }
  }

  void EndData() {
    if (kind_ == Kind::kLongName) {
      if (payloadSize_ > kLongestName + 1) {
        longNameTooLong_ = true;
        longName_.resize(std::min<std::size_t>(longName_.size(), 200));
      } else if (longName_.empty() || longName_.back() != '\0') {
        Problem("a long name does not end in NUL; the importer drops its last character");
      }
      if (!longName_.empty()) longName_.pop_back();  // what the importer does
      if (longName_.empty()) longName_ = "?";
      haveLongName_ = true;
    } else if (kind_ == Kind::kMessage) {
      if (itemKind_ == mailbox::ItemKind::kCalendar) {
        // A calendar counts its events and tasks, as Zimbra will show them.
        const auto facts = mailbox::cards::ReadCalendar(calendarText_);
        const std::string fault = mailbox::cards::CalendarFault(facts);
        if (!fault.empty()) Problem(Show(current_) + ": " + fault);
        r_.calendarItems += facts.events + facts.todos;
        counts_[entry_.folder] += facts.events + facts.todos;
        --counts_[entry_.folder];
      }
      if (lines_.TooLong() && itemKind_ == mailbox::ItemKind::kMail) {
        Warning(Show(current_) + " has a line longer than 10,240 bytes; Zimbra rejects it");
      }
      archived_.emplace(digest_.Done(), std::move(entry_));
    }
    kind_ = Kind::kSkip;
    // The padding to the next record is skipped as data of no entry.
    remaining_ = padding_;
    padding_ = 0;
  }

  VerifyResult& r_;
  std::string prefix_;
  std::uint32_t archive_ = 0;
  bool begun_ = false;
  std::uint64_t messages_ = 0;  // in the archive being read
  std::string block_;
  std::uint64_t remaining_ = 0;
  std::uint64_t padding_ = 0;
  Kind kind_ = Kind::kSkip;
  std::string longName_;
  std::uint64_t payloadSize_ = 0;
  bool haveLongName_ = false;
  bool longNameTooLong_ = false;
  std::string abandonedAfter_;
  bool metaMode_ = false;
  std::string current_;
  Digest digest_;
  LineMeter lines_;
  Archived entry_{};
  bool ended_ = false;
  bool stopped_ = false;
  bool trailingData_ = false;
  std::unordered_map<std::string, std::uint32_t> folderKeys_;
  std::vector<std::string> folderShown_;
  std::vector<mailbox::ItemKind> folderKinds_;
  std::vector<std::uint64_t> counts_;
  std::unordered_map<std::string, mailbox::ItemKind> views_;  // by folder key
  mailbox::ItemKind itemKind_ = mailbox::ItemKind::kMail;
  std::string calendarText_;
  std::multimap<Fingerprint, Archived> archived_;
};

// Reads the archive through one gzip member into the reader; false when it cannot be read.
bool ReadArchive(const std::string& path, ImportReader& reader) {
  std::unique_ptr<platform::InputFile> file;
  try {
    file = std::make_unique<platform::InputFile>(path);
  } catch (const platform::FileError& error) {
    reader.Problem(SafeText(error.what()));
    return false;
  }
  z_stream z{};
  if (inflateInit2(&z, 16 + 15) != Z_OK) {  // gzip only, one member at a time
    reader.Problem("zlib could not be set up");
    return false;
  }
  std::vector<unsigned char> in(kReadPiece);
  std::vector<unsigned char> out(kReadPiece);
  bool memberEnded = false;
  bool damaged = false;
  std::uint64_t afterMember = 0;
  bool secondMember = false;
  bool sawAny = false;
  try {
    while (!damaged) {
      const std::size_t got = file->Read(in.data(), in.size());
      if (got == 0) break;
      sawAny = true;
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
          reader.Problem(std::string("the gzip data is damaged: ") +
                         (z.msg != nullptr ? z.msg : "unknown error"));
          damaged = true;
          break;
        }
      }
    }
  } catch (const platform::FileError& error) {
    reader.Problem(SafeText(error.what()));
    damaged = true;
  }
  inflateEnd(&z);
  if (!sawAny) {
    reader.Problem("\"" + SafeText(path) + "\" is empty");
    return false;
  }
  if (!damaged && !memberEnded) reader.Problem("the gzip stream is cut short");
  if (afterMember > 0) {
    reader.Problem(secondMember ? "more than one gzip member: the importer may read only the first"
                                : "bytes follow the gzip member");
  }
  if (!damaged) reader.Finish();
  return true;
}

std::string FileName(const std::string& path) {
  const auto slash = path.find_last_of(kPathSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct SourceCopy {
  Fingerprint fingerprint;
  mailbox::MessageFacts facts;
  std::int64_t modified = 0;
};

// Reads one message of the source whole, as the writer would have read it.
SourceCopy ReadSourceMessage(const Plan& plan, const PlannedMessage& planned,
                             mailbox::ItemMaker& maker) {
  const mailbox::Message& message = plan.Source(planned);
  SourceCopy copy;
  if (message.built) {
    mailbox::Built made;
    try {
      made = maker.Make(plan.inventory.PathOf(message), message);
    } catch (const mailbox::ItemError& error) {
      throw platform::FileError(plan.inventory.LabelOf(message), "make", error.what());
    }
    Digest digest;
    digest.Add(made.bytes.data(), made.bytes.size());
    copy.fingerprint = digest.Done();
    copy.facts =
        mailbox::ReadMessageFacts(std::string_view(made.bytes).substr(0, mailbox::kHeaderWindow));
    return copy;
  }
  platform::InputFile in(plan.inventory.PathOf(message));
  copy.modified = in.Status().modified;
  if (message.kind == mailbox::ItemKind::kContact) {
    // A card is small, and carried as made fit for Zimbra: read whole.
    in.Seek(message.offset);
    std::string card(static_cast<std::size_t>(message.length), '\0');
    std::size_t have = 0;
    while (have < card.size()) {
      const std::size_t n = in.Read(card.data() + have, card.size() - have);
      if (n == 0) {
        throw platform::FileError(plan.inventory.LabelOf(message), "read",
                                  "the file ends before the card does");
      }
      have += n;
    }
    std::string fitted;
    Digest digest;
    if (mailbox::cards::FitForZimbra(card, fitted)) card.swap(fitted);
    digest.Add(card.data(), card.size());
    copy.fingerprint = digest.Done();
    return copy;
  }
  if (!message.wholeFile) in.Seek(message.offset);
  std::vector<unsigned char> buffer(kReadPiece);
  std::string head;
  Digest digest;
  std::uint64_t left = message.wholeFile ? UINT64_MAX : message.length;
  while (left > 0) {
    const std::size_t n = in.Read(
        buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left)));
    if (n == 0) break;
    if (head.size() < mailbox::kHeaderWindow) {
      head.append(reinterpret_cast<const char*>(buffer.data()),
                  std::min(n, mailbox::kHeaderWindow - head.size()));
    }
    digest.Add(buffer.data(), n);
    left -= message.wholeFile ? 0 : n;
  }
  if (!message.wholeFile && left > 0) {
    throw platform::FileError(plan.inventory.LabelOf(message), "read",
                              "the file ends before the message does");
  }
  copy.fingerprint = digest.Done();
  copy.facts = mailbox::ReadMessageFacts(head);
  return copy;
}

std::string When(std::int64_t t) {
  std::time_t time = static_cast<std::time_t>(t);
  char text[32] = "?";
  if (const std::tm* utc = std::gmtime(&time))
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", utc);
  return text;
}

// Whether `named` (what a report names, as it shows it) holds `path` or a folder it lies in.
bool ReportNames(const std::set<std::string>& named, std::string path) {
  for (;;) {
    if (named.count(SafeText(path)) != 0 || named.count(SafeText(path + scan::kSeparator)) != 0) {
      return true;
    }
    const auto slash = path.find_last_of(scan::kSeparator);
    if (slash == std::string::npos || slash == 0) return false;
    path.resize(slash);
  }
}

// Every message the census found must be in the archive with its bytes, or named in the
// report; what the plan check said of a message is not said again.
void CompareWithCensus(const Census& census, const std::set<std::string>& reported,
                       const std::multimap<Fingerprint, Archived>& archived,
                       const std::set<std::string>& flagged, VerifyResult& result) {
  std::map<Fingerprint, std::uint64_t> copies;
  for (const auto& [fingerprint, entry] : archived) ++copies[fingerprint];
  const auto take = [&](const Fingerprint& fingerprint) {
    const auto it = copies.find(fingerprint);
    if (it == copies.end() || it->second == 0) return false;
    --it->second;
    return true;
  };
  for (const auto& where : census.unreadable) {
    result.problems.push_back("cannot read all of the source: " + Show(where));
  }
  for (const auto& path : census.unfollowed) {
    if (!ReportNames(reported, path) && !ReportNames(flagged, path)) {
      result.problems.push_back(Show(path) +
                                " is a link or no regular file, which nothing reads, and no "
                                "report beside the archive names it");
    }
  }
  result.censusMessages = census.messages.size();
  const auto named = [&](const CensusMessage& message) {
    const std::string& file = census.files[message.file];
    const std::string label = SafeText(census.LabelOf(message));
    return reported.count(label) != 0 || flagged.count(label) != 0 || ReportNames(reported, file) ||
           ReportNames(flagged, file);
  };
  // What the report names goes last: of two messages with the same bytes (a card Google wrote
  // into two labels' files), the archived copy is the one the report does not name.
  std::vector<const CensusMessage*> order;
  for (const auto& message : census.messages) order.push_back(&message);
  std::stable_partition(order.begin(), order.end(),
                        [&](const CensusMessage* message) { return !named(*message); });
  for (const CensusMessage* message : order) {
    const std::string label = census.LabelOf(*message);
    const auto* alternatives = message->also;
    if (take(message->bytes) ||
        std::any_of(alternatives, alternatives + message->alternatives, take)) {
      continue;
    }
    if (named(*message)) continue;
    result.problems.push_back(Show(label) +
                              " holds a message that is not in the archive with its bytes, and "
                              "no report beside the archive names it");
  }
}

void CompareWithSource(const std::vector<std::string>& archivePaths, const std::string& source,
                       const std::string& format, const mailbox::ReadOptions& options,
                       ImportReader& reader, VerifyResult& result) {
  Plan plan;
  try {
    plan = MakePlan(mailbox::ReadSource(source, options, format));
  } catch (const mailbox::SourceError& error) {
    result.problems.push_back(std::string("cannot read the source: ") + SafeText(error.what()));
    return;
  }
  std::set<std::string> reported;
  for (const auto& path : archivePaths) {
    for (auto& what : ReadReportedMessages(path)) reported.insert(std::move(what));
  }
  std::set<std::string> flagged;  // what the plan check found missing or unreadable, shown
  std::vector<ReportLine> accounted = plan.leftOut;
  accounted.insert(accounted.end(), plan.inventory.passedOver.begin(),
                   plan.inventory.passedOver.end());
  for (const auto& item : accounted) {
    if (item.unreadPlace) {
      result.problems.push_back("cannot read all of the source: " + Show(item.what) + ": " +
                                SafeText(item.why));
    } else if (reported.count(SafeText(item.what)) != 0) {
      ++result.reportedLeftOut;
    } else {
      result.problems.push_back(Show(item.what) + " is not in the archive (" + SafeText(item.why) +
                                "), and no report beside it says so");
      flagged.insert(SafeText(item.what));
    }
  }

  std::vector<long> folderNumber(plan.folders.size());
  for (std::size_t i = 0; i < plan.folders.size(); ++i) {
    folderNumber[i] = reader.FolderNumber(plan.folders[i]);
  }
  auto& archived = reader.Messages();
  // A message the report names (changed while read) or that cannot be read now may be in the
  // archive with other bytes: its entry is accounted for by its name, not taken for extra mail.
  std::multimap<std::string, Archived*> byEntry;
  for (auto& [fingerprint, entry] : archived) byEntry.emplace(entry.entry, &entry);
  const auto accountByName = [&](const PlannedMessage& planned) {
    const auto [from, to] = byEntry.equal_range(plan.EntryName(planned));
    for (auto it = from; it != to; ++it) {
      if (!it->second->used) {
        it->second->used = true;
        return;
      }
    }
  };
  mailbox::ItemMaker maker;
  for (const auto& planned : plan.messages) {
    const mailbox::Message& message = plan.Source(planned);
    const std::string label = plan.inventory.LabelOf(message);
    SourceCopy copy;
    try {
      copy = ReadSourceMessage(plan, planned, maker);
    } catch (const platform::FileError& error) {
      result.problems.push_back("cannot read the source message " + Show(label) + ": " +
                                SafeText(error.what()));
      flagged.insert(SafeText(label));
      accountByName(planned);
      continue;
    }
    const bool unread = message.state == mailbox::ReadState::kFromHeaders
                            ? copy.facts.unread
                            : message.state == mailbox::ReadState::kUnread;
    const auto time = mailbox::EntryTime(message, copy.facts, copy.modified);
    const auto [first, last] = archived.equal_range(copy.fingerprint);
    Archived* exact = nullptr;
    Archived* sameFolder = nullptr;
    Archived* elsewhere = nullptr;
    for (auto it = first; it != last; ++it) {
      Archived& candidate = it->second;
      if (candidate.used) continue;
      if (static_cast<long>(candidate.folder) != folderNumber[planned.folder]) {
        if (elsewhere == nullptr) elsewhere = &candidate;
        continue;
      }
      if (sameFolder == nullptr) sameFolder = &candidate;
      // Zimbra takes no date and no read state from a contact's or a calendar's entry.
      if (message.kind != mailbox::ItemKind::kMail ||
          (candidate.unread == unread &&
           (!time || static_cast<std::int64_t>(candidate.mtime) == *time))) {
        exact = &candidate;
        break;
      }
    }
    const std::string expectedFolder = ZimbraFolderShown(plan.folders[planned.folder]);
    if (exact != nullptr) {
      exact->used = true;
      ++result.sourceMessages;
    } else if (sameFolder != nullptr) {
      sameFolder->used = true;
      if (sameFolder->unread != unread) {
        result.problems.push_back(Show(label) + " is in the archive as " +
                                  (sameFolder->unread ? "unread" : "read") + ", but it is " +
                                  (unread ? "unread" : "read"));
      } else {
        result.problems.push_back(Show(label) + " is in the archive dated " +
                                  When(static_cast<std::int64_t>(sameFolder->mtime)) + ", not " +
                                  When(*time));
      }
    } else if (elsewhere != nullptr) {
      elsewhere->used = true;
      result.problems.push_back(Show(label) + " is in the archive in the folder \"" +
                                SafeText(reader.FolderShown(elsewhere->folder)) + "\", not \"" +
                                SafeText(expectedFolder) + "\"");
    } else if (reported.count(SafeText(label)) != 0) {
      ++result.reportedLeftOut;
      accountByName(planned);
    } else {
      result.problems.push_back("the message " + Show(label) +
                                " is not in the archive with the same bytes");
      flagged.insert(SafeText(label));
    }
  }
  // What is left would be imported as well: a second copy (in two volumes, say), or mail the
  // source does not hold.
  for (const auto& [fingerprint, entry] : archived) {
    if (!entry.used) {
      result.problems.push_back(Show(entry.shown) +
                                " is no message of the source, or a second copy of one; Zimbra "
                                "would import it too");
    }
  }
  CompareWithCensus(TakeCensus(mailbox::SourceScope(source, options), options.kinds), reported,
                    archived, flagged, result);
}

}  // namespace

std::string ShortenedName(const std::string& name) {
  constexpr std::size_t kLongest = 160, kHead = 80, kTail = 60;
  if (name.size() <= kLongest) return name;
  // Cut on character boundaries, never inside a UTF-8 sequence.
  std::size_t head = kHead;
  while (head > 0 && (static_cast<unsigned char>(name[head]) & 0xC0) == 0x80) --head;
  std::size_t tail = name.size() - kTail;
  while (tail < name.size() && (static_cast<unsigned char>(name[tail]) & 0xC0) == 0x80) ++tail;
  return name.substr(0, head) + "\xe2\x80\xa6" + name.substr(tail);
}

VerifyResult VerifyArchives(const std::vector<std::string>& archivePaths, const std::string& source,
                            const std::string& format, const mailbox::ReadOptions& options) {
  VerifyResult result;
  ImportReader reader(result);
  bool read = !archivePaths.empty();
  for (const auto& path : archivePaths) {
    reader.Begin(archivePaths.size() > 1 ? SafeText(FileName(path)) + ": " : "");
    read = ReadArchive(path, reader) && read;
  }
  result.folders = reader.Folders();
  if (read && !source.empty()) {
    CompareWithSource(archivePaths, source, format, options, reader, result);
  }
  return result;
}

VerifyResult VerifyArchive(const std::string& archivePath, const std::string& source,
                           const std::string& format, const mailbox::ReadOptions& options) {
  return VerifyArchives({archivePath}, source, format, options);
}

}  // namespace crateline::archive
