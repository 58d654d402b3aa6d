// Reads an archive the way Zimbra's importer does and says what would go wrong there; with the
// source, also whether every message of the source is in it as convert promises.
//
// The reader shares no code with the writer's framing: it follows the importer's own rules
// (one gzip member; names cut at the first NUL; long names only through "././@LongLink";
// octal numbers; the first zero record ends the import; the type of an entry by its case-
// sensitive suffix; nothing after an ".ics" entry; no plain entry after a ".meta" one; folders
// taken as they stand, found case-insensitively with trailing spaces trimmed), so that it
// catches a writer's mistakes instead of repeating them. Its memory stays flat whatever the
// archive claims.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/zimbra_names.h"
#include "mailbox/mailbox.h"

namespace crateline::archive {

struct VerifyResult {
  std::vector<std::string> problems;  // messages that would be lost or misfiled
  std::vector<std::string> warnings;  // messages Zimbra may refuse, kept as the source has them
  std::vector<FolderCount> folders;   // as Zimbra will show them
  std::uint64_t messages = 0;
  std::uint64_t unread = 0;
  std::uint64_t contacts = 0;         // cards, one an entry
  std::uint64_t calendarItems = 0;    // the events and tasks of the calendars
  std::uint64_t sourceMessages = 0;   // with a source: its messages found in the archive
  std::uint64_t reportedLeftOut = 0;  // with a source: its messages the report names as left out
  std::uint64_t censusMessages = 0;   // with a source: the messages it holds, by content alone
  bool Ok() const { return problems.empty(); }
};

// Reads the archive at `archivePath`. With a non-empty `source`, also reads the source as convert
// does (`format` and `options` as it was given them) and checks each of its messages: in the
// archive with the same bytes, in the folder Zimbra will give it, with its date and read state;
// or named in the report beside the archive. Then it takes a census of the source by content
// alone (census.h), trusting no reader: every message found must be in the archive with its
// bytes or named in the report. A part of the source that cannot be read is a problem.
VerifyResult VerifyArchive(const std::string& archivePath, const std::string& source = "",
                           const std::string& format = "",
                           const mailbox::ReadOptions& options = {});

// Reads several archives (the volumes of one set), each as the importer reads it on its own;
// with a source, its messages are looked for in all of them, and a message in two of them is
// a problem (Zimbra would import it twice). What is said about one archive names it.
VerifyResult VerifyArchives(const std::vector<std::string>& archivePaths,
                            const std::string& source = "", const std::string& format = "",
                            const mailbox::ReadOptions& options = {});

// A name shortened for a line of output: the start and the end, "…" between.
std::string ShortenedName(const std::string& name);

}  // namespace crateline::archive
