// What a message's own headers say about how it should arrive: when it was received and
// whether it was read. The importer takes the received date from the tar entry's time and the
// read state from the entry's owner-write bit, so the archive writer asks these first.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace crateline::archive {

struct MessageFacts {
  std::optional<std::int64_t> date;      // the Date: header, seconds since 1970 UTC
  std::optional<std::int64_t> received;  // the newest date among the Received: headers
  bool unread = false;  // X-Mozilla-Status without its read bit, or Status: without R
};

// Reads the header section at the start of a message (as much of the message as is at hand;
// headers cut off at its end are read as far as they go).
MessageFacts ReadMessageFacts(std::string_view message);

// Parses an RFC 5322 date-time, with the obsolete forms (two- and three-digit years, named
// and military zones, comments) and the forms mail programs write in practice (no weekday, no
// seconds, asctime order, ISO 8601, AM/PM). Nothing when no date can be read.
std::optional<std::int64_t> ParseMailDate(std::string_view text);

}  // namespace crateline::archive
