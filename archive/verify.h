// Reads an archive the way Zimbra's importer does and says what would go wrong there.
//
// This reader shares no code with the writer: it follows the importer's own rules (one gzip
// member; names cut at the first NUL; long names only through "././@LongLink"; octal numbers;
// the first zero record ends the import; the type of an entry by its case-sensitive suffix;
// folders taken as they stand, case-insensitively, with trailing spaces trimmed) so that it
// catches a writer's mistakes instead of repeating them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crateline::archive {

struct FolderCount {
  std::string folder;  // as Zimbra names it: "Inbox", "Sent", "Archive/2019", ...
  std::uint64_t messages = 0;
};

struct VerifyResult {
  std::vector<std::string> problems;  // messages that would be lost or misfiled
  std::vector<std::string> warnings;  // messages Zimbra may refuse, kept as the source has them
  std::vector<FolderCount> folders;   // in the order the importer meets them
  std::uint64_t messages = 0;
  std::uint64_t unread = 0;
  bool Ok() const { return problems.empty(); }
};

// Reads the archive at `archivePath`. With a non-empty `sourceFolder`, also checks that every
// message of that folder (every non-empty regular file named *.eml in any case, below 2 GiB) is
// in the archive with the very same bytes.
VerifyResult VerifyArchive(const std::string& archivePath, const std::string& sourceFolder = "");

}  // namespace crateline::archive
