// Volumes: an archive cut into several, each a complete archive that Zimbra imports on its own.
//
// A server's proxy gives up on an import that takes it more than a minute after the upload,
// and some clients load a whole upload into memory, so large mailboxes go in pieces. The cut is
// planned from the plan alone, before a byte is written, so that the same store always gives
// the same volumes (an upload that is run again knows which it sent): messages keep the plan's
// order (folder by folder), no message is split, and a folder that fits in a volume of its own
// is not split either; a calendar ends its volume, since Zimbra reads nothing after it. A volume's
// limit counts the tar's bytes, uncompressed, less a margin for gzip's framing, so that no volume's
// file is larger than the limit, however the mail compresses; only a single message larger than the
// limit makes a volume that is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace crateline::archive {

struct Plan;
struct PlannedMessage;

struct Volume {
  std::size_t first = 0;  // Plan::messages
  std::size_t count = 0;
  std::uint64_t tarBytes = 0;  // as planned: the files may have changed since they were listed
};

// The tar bytes one message takes: its header (and long-name entry), data and padding.
std::uint64_t EntryBytes(const Plan& plan, const PlannedMessage& message);

// The plan's messages in volumes of at most `volumeSize` bytes; one volume when it is 0.
std::vector<Volume> PlanVolumes(const Plan& plan, std::uint64_t volumeSize);

// The file of volume `index` (from 0) of `count`: "mail.tgz" → "mail-part01.tgz", with more
// digits when there are more than 99.
std::string VolumePath(const std::string& archivePath, std::size_t index, std::size_t count);

// The archive a volume belongs to: "mail-part01.tgz" → "mail.tgz"; any other path as it is.
std::string SetPathOf(const std::string& volumePath);

// Parses a size such as "700M", "2G", "1.5G" or "500000000" (bytes; K, M, G and T are powers of
// 1,024); false when it is none.
bool ParseSize(const std::string& text, std::uint64_t& bytes);

}  // namespace crateline::archive
