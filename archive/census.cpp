#include "archive/census.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

#include "mailbox/address_book.h"
#include "mailbox/cards.h"
#include "mailbox/content.h"
#include "mailbox/local_calendar.h"
#include "mailbox/outlook.h"
#include "mailbox/sqlite_db.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "scan/listing.h"

namespace crateline::archive {
namespace {

constexpr std::size_t kRead = 1 << 20;
constexpr std::size_t kLongestPiece = 64 * 1024;  // longer lines come in pieces

// A file's lines as they come, each with its line end; a line longer than kLongestPiece comes
// in pieces.
class Lines {
 public:
  Lines(platform::InputFile& in, char eol) : in_(in), eol_(eol) {}

  // The next piece; `starts`: it begins a line, `ends`: it ends one (with its line end, or the
  // file's). False at the end of the file.
  bool Next(std::string_view& piece, bool& starts, bool& ends) {
    for (;;) {
      const std::string_view rest(buffer_.data() + pos_, buffer_.size() - pos_);
      const std::size_t end = rest.find(eol_);
      const std::size_t left = rest.size();
      if (end != std::string_view::npos || left >= kLongestPiece || (eof_ && left > 0)) {
        const std::size_t n =
            end != std::string_view::npos ? end + 1 : std::min(left, kLongestPiece);
        piece = rest.substr(0, n);
        starts = !midLine_;
        ends = end != std::string_view::npos || (eof_ && n == left);
        midLine_ = !ends;
        pos_ += n;
        return true;
      }
      if (eof_) return false;
      buffer_.erase(0, pos_);
      pos_ = 0;
      const std::size_t had = buffer_.size();
      buffer_.resize(had + kRead);
      const std::size_t got = in_.Read(buffer_.data() + had, kRead);
      buffer_.resize(had + got);
      eof_ = got == 0;
    }
  }

 private:
  platform::InputFile& in_;
  char eol_;
  std::string buffer_;
  std::size_t pos_ = 0;
  bool eof_ = false;
  bool midLine_ = false;
};

// An mbox file's messages, by the census's own reading of the rule in mailbox/content.h: line
// by line, each empty line held back until the next line tells whether it closes a message.
struct MboxPieces {
  std::vector<std::pair<std::uint64_t, Fingerprint>> messages;  // offset, bytes
  Fingerprint whole;
  Fingerprint afterFirstLine;
};

MboxPieces SplitLines(platform::InputFile& in, char eol) {
  MboxPieces result;
  Lines lines(in, eol);
  Digest whole;
  Digest afterFirstLine;
  bool firstLineDone = false;
  std::optional<Digest> message;
  std::uint64_t messageStart = 0;
  std::uint64_t pos = 0;
  std::string heldEmpty;
  bool previousEmpty = false;
  bool inFromLine = false;
  const auto close = [&] {
    if (message) result.messages.emplace_back(messageStart, message->Done());
    message.reset();
  };
  std::string_view piece;
  bool starts = false;
  bool ends = false;
  while (lines.Next(piece, starts, ends)) {
    whole.Add(piece.data(), piece.size());
    if (firstLineDone) afterFirstLine.Add(piece.data(), piece.size());
    firstLineDone = firstLineDone || ends;
    const std::uint64_t next = pos + piece.size();
    if (!starts) {
      if (inFromLine) {
        if (ends) {
          inFromLine = false;
          messageStart = next;
          message.emplace();
        }
      } else if (message) {
        message->Add(piece.data(), piece.size());
      }
      pos = next;
      continue;
    }
    std::string_view content = piece;
    // A last line with no line end is never the empty line that closes a message.
    const bool ended = ends && !content.empty() && content.back() == eol;
    if (ended) content.remove_suffix(1);
    const bool empty = ended && (content.empty() || (eol == '\n' && content == "\r"));
    const bool whole_line = ends;
    if (content.substr(0, 5) == "From " &&
        (pos == 0 || previousEmpty || (whole_line && mailbox::IsEnvelopeLine(content)))) {
      heldEmpty.clear();  // the empty line before a separator is no message's
      close();
      if (ends) {
        messageStart = next;
        message.emplace();
      } else {
        inFromLine = true;
      }
      previousEmpty = false;
      pos = next;
      continue;
    }
    if (message) {
      message->Add(heldEmpty.data(), heldEmpty.size());
      heldEmpty.clear();
      if (empty) {
        heldEmpty.assign(piece);
      } else {
        message->Add(piece.data(), piece.size());
      }
    }
    previousEmpty = empty;
    pos = next;
  }
  close();  // the empty line before the end of the file is no message's either
  result.whole = whole.Done();
  result.afterFirstLine = afterFirstLine.Done();
  return result;
}

Fingerprint DigestRange(platform::InputFile& in, std::uint64_t from, std::uint64_t to) {
  Digest digest;
  in.Seek(from);
  std::string buffer(kRead, '\0');
  for (std::uint64_t left = to - from; left > 0;) {
    const std::size_t n =
        in.Read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(kRead, left)));
    if (n == 0) break;
    digest.Add(buffer.data(), n);
    left -= n;
  }
  return digest.Done();
}

constexpr std::uint64_t kLargestCardFile = 512ULL * 1024 * 1024;  // as the readers take

std::string ReadAt(platform::InputFile& in, std::uint64_t at, std::size_t n) {
  std::string bytes(n, '\0');
  in.Seek(at);
  bytes.resize(in.Read(bytes.data(), bytes.size()));
  return bytes;
}

class Taker {
 public:
  Taker(Census& census, unsigned kinds) : census_(census), kinds_(kinds) {}

  void Take(const std::string& place) {
    std::string path = place;
    while (path.size() > 1 && path.back() == scan::kSeparator) path.pop_back();
    std::string why;
    const scan::EntryKind kind = scan::KindAt(path, &why);
    if (kind == scan::EntryKind::kNone) {
      census_.unreadable.push_back(path + ": " + why);
      return;
    }
    if (kind == scan::EntryKind::kFile) {
      const auto slash = path.find_last_of(scan::kSeparator);
      Examine(path, slash == std::string::npos ? path : path.substr(slash + 1));
      return;
    }
    std::vector<std::string> folders{path + scan::kSeparator};
    while (!folders.empty()) {
      const std::string folder = std::move(folders.back());
      folders.pop_back();
      List(folder, folders);
    }
  }

 private:
  void List(const std::string& folder, std::vector<std::string>& folders) {
    scan::FolderListing listing(folder);
    while (listing.Next()) {
      const std::string& name = listing.Name();
      const std::string path = listing.Path();
      const bool mailName = mailbox::HasEmlSuffix(name) || mailbox::HasEmlxSuffix(name);
      if (listing.IsLink() || listing.IsDevice()) {
        if (listing.IsFolder() || mailName) census_.unfollowed.push_back(path);
      } else if (listing.IsFolder()) {
        folders.push_back(path + scan::kSeparator);
      } else {
        Examine(path, name);
      }
    }
    if (listing.Failed()) census_.unreadable.push_back(folder + ": " + listing.Error());
  }

  void Examine(const std::string& path, const std::string& name) {
    try {
      platform::InputFile in(path);
      std::string head(mailbox::kSniffBytes, '\0');
      head.resize(in.Read(head.data(), head.size()));
      mailbox::Content content = mailbox::Sniff(name, head);
      if (!Wanted(mailbox::ItemKind::kMail)) content = mailbox::Content::kNoMail;
      if (content == mailbox::Content::kMessage || content == mailbox::Content::kMbox) {
        Mbox(in, head, content, path);
      } else if (content == mailbox::Content::kEmlx) {
        Emlx(in, head, path);
      } else if (content == mailbox::Content::kOutlook) {
        Outlook(path);
      } else if (mailbox::sqlite::IsSqlite(head)) {
        Book(path);
      } else if (Wanted(mailbox::ItemKind::kContact) && mailbox::cards::BeginsVcard(head)) {
        Cards(in, path);
      } else if (Wanted(mailbox::ItemKind::kCalendar) && mailbox::cards::BeginsIcalendar(head)) {
        in.Seek(0);
        CensusMessage calendar;
        calendar.file = AddFile(path);
        calendar.bytes = DigestRange(in, 0, UINT64_MAX);
        census_.messages.push_back(calendar);
      }
    } catch (const platform::FileError& error) {
      census_.unreadable.push_back(path + ": " + error.what());
    }
  }

  std::uint32_t AddFile(const std::string& path) {
    census_.files.push_back(path);
    return static_cast<std::uint32_t>(census_.files.size() - 1);
  }

  // A message file, or an mbox: a message file that begins with a "From " line, and an mbox of
  // one message, count whole, as an mbox's message, and as all that follows that line.
  void Mbox(platform::InputFile& in, const std::string& head, mailbox::Content content,
            const std::string& path) {
    in.Seek(0);
    const std::uint32_t file = AddFile(path);
    if (!mailbox::BeginsWithFromLine(head)) {
      CensusMessage message;
      message.file = file;
      message.bytes = DigestRange(in, 0, UINT64_MAX);
      census_.messages.push_back(message);
      return;
    }
    const MboxPieces pieces = SplitLines(in, mailbox::MboxLineEnd(head));
    const bool one = pieces.messages.size() == 1;
    if (content == mailbox::Content::kMessage) {
      CensusMessage message;
      message.file = file;
      message.bytes = pieces.whole;
      if (one) {
        message.alternatives = 2;
        message.also[0] = pieces.messages[0].second;
        message.also[1] = pieces.afterFirstLine;
      }
      census_.messages.push_back(message);
      return;
    }
    for (const auto& [offset, bytes] : pieces.messages) {
      CensusMessage message;
      message.file = file;
      message.offset = offset;
      message.ownFile = false;
      message.bytes = bytes;
      if (one) {
        message.alternatives = 2;
        message.also[0] = pieces.whole;
        message.also[1] = pieces.afterFirstLine;
      }
      census_.messages.push_back(message);
    }
  }

  // An .emlx file: the message from its count line to its property list.
  void Emlx(platform::InputFile& in, const std::string& head, const std::string& path) {
    const auto count = mailbox::ParseEmlxCount(head);
    const std::uint64_t size = in.Status().size;
    const std::uint64_t begin = count->lineLength;
    std::uint64_t end = begin + count->count;
    if (end > size || !mailbox::BeginsPropertyList(ReadAt(in, end, 64))) {
      const std::uint64_t tailStart =
          std::max<std::uint64_t>(begin, size > mailbox::kEmlxTail ? size - mailbox::kEmlxTail : 0);
      const auto list = mailbox::TrailingPropertyList(
          ReadAt(in, tailStart, static_cast<std::size_t>(size - tailStart)));
      end = list == std::string_view::npos ? size : tailStart + list;
    }
    CensusMessage message;
    message.file = AddFile(path);
    message.bytes = DigestRange(in, begin, end);
    census_.messages.push_back(message);
  }

  // An address book: each card, as the archive carries it (made fit for Zimbra). One too large
  // to read whole counts as a card of no bytes, which only a report naming the file accounts for.
  void Cards(const platform::InputFile& in, const std::string& path) {
    const std::uint32_t file = AddFile(path);
    const std::uint64_t size = in.Status().size;
    if (size > kLargestCardFile) {
      CensusMessage whole;
      whole.file = file;
      whole.bytes = {UINT64_MAX, 0, 0};
      census_.messages.push_back(whole);
      return;
    }
    const std::string text = platform::ReadWholeFile(path);
    std::vector<mailbox::cards::Span> unended;
    std::string fitted;
    const auto count = [&](const mailbox::cards::Span& span, bool ended) {
      const std::string_view card = std::string_view(text).substr(span.offset, span.length);
      CensusMessage message;
      message.file = file;
      message.offset = span.offset;
      message.ownFile = false;
      Digest digest;
      if (ended && mailbox::cards::FitForZimbra(card, fitted)) {
        digest.Add(fitted.data(), fitted.size());
      } else {
        digest.Add(card.data(), card.size());
      }
      message.bytes = digest.Done();
      census_.messages.push_back(message);
    };
    for (const auto& span : mailbox::cards::SplitCards(text, unended)) count(span, true);
    for (const auto& span : unended) count(span, false);
  }

  // A SQLite file that is a Thunderbird address book: each of its cards, made as the archive
  // carries it. Another program's database holds no card.
  void Book(const std::string& path) {
    mailbox::address_book::Book book;
    try {
      book = mailbox::address_book::ReadBook(path);
    } catch (const mailbox::ItemError& error) {
      census_.unreadable.push_back(path + ": " + error.what());
      return;
    }
    if (!book.isBook) {
      Calendars(path);
      return;
    }
    if (!Wanted(mailbox::ItemKind::kContact)) return;
    const std::uint32_t file = AddFile(path);
    for (const std::uint64_t id : book.cards) {
      Made(file, id, [&] { return cardMaker_.Make(path, id); });
    }
  }

  // A SQLite file that is Thunderbird's calendars: each calendar, made as the archive carries it.
  void Calendars(const std::string& path) {
    mailbox::local_calendar::File file;
    try {
      file = mailbox::local_calendar::ReadFile(path);
    } catch (const mailbox::ItemError& error) {
      census_.unreadable.push_back(path + ": " + error.what());
      return;
    }
    if (!file.isCalendars || !Wanted(mailbox::ItemKind::kCalendar)) return;
    const std::uint32_t index = AddFile(path);
    for (const auto& calendar : file.calendars) {
      Made(index, calendar.id, [&] { return calendarMaker_.Make(path, calendar.id); });
    }
  }

  // An entry made from the item `id` of the file `file`, as the archive carries it. One that
  // cannot be made counts as an entry of no bytes, which only a report naming it accounts for.
  void Made(std::uint32_t file, std::uint64_t id, const std::function<mailbox::Built()>& make) {
    CensusMessage message;
    message.file = file;
    message.offset = id;
    message.ownFile = false;
    try {
      const std::string bytes = make().bytes;
      Digest digest;
      digest.Add(bytes.data(), bytes.size());
      message.bytes = digest.Done();
    } catch (const mailbox::ItemError&) {
      message.bytes = {UINT64_MAX, 0, 0};
    }
    census_.messages.push_back(message);
  }

  // An Outlook data file: its own count of its mail items, each made into its message. A label
  // the census cannot fingerprint counts as a message of no bytes, which only a report naming
  // it accounts for.
  void Outlook(const std::string& path) {
    const std::uint32_t file = AddFile(path);
    const mailbox::outlook::BlockCheck check = mailbox::outlook::CheckBlocks(path);
    if (check.bad > 0)
      census_.unreadable.push_back(path + ": " + mailbox::outlook::BadBlocks(check));
    try {
      mailbox::outlook::EachMailItem(
          path,
          [&](const std::string& label, const mailbox::outlook::Built* built,
              const std::string& /*why*/) {
            CensusMessage message;
            message.file = file;
            message.ownFile = false;
            message.label = label;
            if (built != nullptr) {
              Digest digest;
              digest.Add(built->bytes.data(), built->bytes.size());
              message.bytes = digest.Done();
            } else {
              message.bytes = {UINT64_MAX, 0, 0};
            }
            census_.messages.push_back(message);
          },
          [&](const std::string& where) { census_.unreadable.push_back(where); });
    } catch (const mailbox::outlook::ItemError& error) {
      census_.unreadable.push_back(path + ": " + error.what());
    }
  }

  bool Wanted(mailbox::ItemKind kind) const { return (kinds_ & mailbox::KindBit(kind)) != 0; }

  Census& census_;
  unsigned kinds_;
  mailbox::address_book::CardMaker cardMaker_;
  mailbox::local_calendar::CalendarMaker calendarMaker_;
};

}  // namespace

std::string Census::LabelOf(const CensusMessage& message) const {
  if (!message.label.empty()) return message.label;
  return message.ownFile ? files[message.file]
                         : files[message.file] + ":" + std::to_string(message.offset);
}

Census TakeCensus(const std::vector<std::string>& scope, unsigned kinds) {
  Census census;
  Taker taker(census, kinds);
  for (const auto& place : scope) taker.Take(place);
  return census;
}

}  // namespace crateline::archive
