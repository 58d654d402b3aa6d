// What a message's own headers say about how it should arrive: when it was received and
// whether it was read. The importer takes the received date from the tar entry's time and the
// read state from the entry's owner-write bit, so the archive writer asks these first, and the
// mail stores read their own flags (Thunderbird's status, Gmail's labels) from here too.
//
// Lines end at CR LF, LF or a lone CR (old Mac exports), as the importer's own reader has it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace crateline::mailbox {

struct MessageFacts {
  std::optional<std::int64_t> date;  // the Date: header, seconds since 1970 UTC
  // The newest date among the Received: headers, read only when Date gives no time an entry
  // can carry (ArchiveTime's only use of it).
  std::optional<std::int64_t> received;
  std::string unknownZone;  // a zone name in Date: that no table knows; read as -0000
  // What mail programs record about the message in its own headers.
  std::optional<std::uint32_t> mozillaStatus;  // X-Mozilla-Status: Thunderbird's flags
  // Status: (mbox programs), R meaning read. X-Status: says nothing of it (it keeps answered,
  // flagged, deleted and draft).
  std::optional<bool> statusRead;
  std::string gmailLabels;  // X-Gmail-Labels: a Google Takeout message's labels
  // Unread by the headers: X-Mozilla-Status without its read bit, else Status: without R. The
  // status Thunderbird keeps comes first: it rewrites it in place as the message is read, while
  // a Status: header beside it is what an earlier program left.
  bool unread = false;
};

// Thunderbird's X-Mozilla-Status bits that matter here.
inline constexpr std::uint32_t kMozillaRead = 0x0001;
inline constexpr std::uint32_t kMozillaExpunged = 0x0008;  // deleted, not yet compacted away
inline constexpr std::uint32_t kMozillaPartial = 0x0400;   // only the headers were downloaded

// The time an archive entry carries for a message: its Date, else its newest Received date,
// else `fallback` (the file's time, or an mbox separator's date); nothing when none of these
// is a time after 1970 that the entry's field can hold.
std::optional<std::int64_t> ArchiveTime(const MessageFacts& facts, std::int64_t fallback);

// How much of a message's start is searched for its headers.
inline constexpr std::size_t kHeaderWindow = 256 * 1024;

// Reads the header section at the start of a message (as much of the message as is at hand;
// headers cut off at its end are read as far as they go).
MessageFacts ReadMessageFacts(std::string_view message);

// Parses an RFC 5322 date-time, with the obsolete forms (two- and three-digit years, named
// and military zones, comments) and the forms mail programs write in practice (no weekday, no
// seconds, asctime order, ISO 8601, AM/PM). Nothing when no date can be read. A zone name no
// table knows is read as -0000 (UTC) and, when `unknownZone` is given, returned there.
std::optional<std::int64_t> ParseMailDate(std::string_view text,
                                          std::string* unknownZone = nullptr);

}  // namespace crateline::mailbox
