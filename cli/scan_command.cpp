// crateline-cli scan: the window's source-folder scan, for a terminal or a script.
#include <chrono>
#include <filesystem>
#include <ostream>

#include "archive/archive.h"
#include "archive/verify.h"
#include "cli/commands.h"
#include "mailbox/mailbox.h"
#include "platform/platform.h"
#include "scan/scan.h"
#include "util/keyed_list.h"
#include "util/utf8_path.h"

namespace crateline::cli {
namespace {

// A folder the scan could not start in is an error here: the window would just count nothing,
// but a script must be able to tell "no messages" from "wrong folder".
bool CheckFolder(const std::string& folder, std::ostream& err) {
  // Asked without the trailing separator, so that a file is named as one.
  // (A drive root keeps it: "C:" alone names the drive's current folder, not its root.)
  std::string entry = folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder;
  if (!entry.empty() && entry.back() == ':') entry = folder;
  const std::uint32_t attributes = scan::GetEntryAttributes(entry);
  if (attributes == platform::kInvalidFileAttributes) {
    err << "crateline-cli: cannot scan \"" << archive::SafeText(folder)
        << "\": " << platform::GetApiErrorText(platform::LastApiError) << "\n";
    return false;
  }
  if ((attributes & platform::kAttrDirectory) == 0) {
    err << "crateline-cli: cannot scan \"" << archive::SafeText(folder)
        << "\": it is not a folder\n";
    return false;
  }
  scan::SearchRecord record;
  if (scan::FindFirstEntry(folder + "*", record) == platform::kInvalidHandle) {
    err << "crateline-cli: cannot list \"" << archive::SafeText(folder)
        << "\": " << platform::GetApiErrorText(record.ErrorCode) << "\n";
    return false;
  }
  scan::CloseEntrySearch(record);
  return true;
}

// Thousands grouped, as "12,431".
std::string Grouped(std::uint64_t number) {
  std::string digits = std::to_string(number);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

// The source read as convert reads it, every reader bidding at every level: its messages and
// the folders that hold them counted, and what was left out or passed over said.
int ScanSource(const std::string& source, const ScanOptions& options, Streams streams) {
  using Clock = std::chrono::steady_clock;
  auto lastDrawn = Clock::time_point{};
  bool drawn = false;
  mailbox::ReadOptions read = options.source.read;
  if (streams.outIsTerminal) {
    read.tick = [&](const std::string& where) {
      const auto now = Clock::now();
      if (now - lastDrawn < std::chrono::milliseconds(100)) return;
      lastDrawn = now;
      drawn = true;
      streams.out << "\rReading " << archive::SafeText(archive::ShortenedName(where)) << "\033[K"
                  << std::flush;
    };
  }
  mailbox::Inventory inventory;
  try {
    inventory = mailbox::ReadSource(source, read, options.source.format);
  } catch (const mailbox::SourceError& error) {
    if (drawn) streams.out << "\r\033[K";
    streams.err << "crateline-cli: " << archive::SafeText(error.what()) << "\n";
    return kExitUsage;
  }
  if (drawn) streams.out << "\r\033[K";
  std::vector<bool> used(inventory.folders.size(), false);
  for (const auto& message : inventory.messages) used[message.folder] = true;
  std::uint64_t folders = 0;
  for (std::size_t i = 0; i < used.size(); ++i) folders += used[i] && !inventory.folders[i].empty();
  if (options.list) {
    std::int32_t key = 1;
    for (const auto& message : inventory.messages) {
      streams.out << util::CounterKey(key++) << '\t'
                  << archive::SafeText(inventory.LabelOf(message)) << '\n';
    }
  }
  streams.out << Grouped(inventory.messages.size()) << " Messages & " << Grouped(folders)
              << " Folder(s) Queued for Conversion.\n";
  streams.out << "Read as " << (inventory.format.empty() ? "nothing" : inventory.format) << ": "
              << Grouped(inventory.messages.size()) << " message(s)";
  if (!inventory.passedOver.empty()) {
    streams.out << ", " << Grouped(inventory.passedOver.size()) << " passed over";
  }
  if (!inventory.leftOut.empty()) {
    streams.out << ", " << Grouped(inventory.leftOut.size()) << " left out";
  }
  if (!inventory.notMail.empty()) {
    streams.out << ", " << Grouped(inventory.notMail.size()) << " file(s) that hold no mail";
  }
  streams.out << ".\n";
  for (const auto& note : inventory.notes)
    streams.out << "Note: " << archive::SafeText(note) << "\n";
  return kExitOk;
}

}  // namespace

std::string AbsoluteSourcePath(const std::string& source) {
  std::error_code ignored;
  const std::filesystem::path path =
      std::filesystem::absolute(util::PathFromUtf8(source), ignored).lexically_normal();
  if (std::filesystem::is_directory(path, ignored)) return AbsoluteFolderPath(source);
  std::string text = util::Utf8FromPath(std::filesystem::path(path).make_preferred());
  while (text.size() > 1 && text.back() == scan::kSeparator) text.pop_back();
  return text;
}

std::string AbsoluteFolderPath(const std::string& folder) {
  std::error_code ignored;
  // Tidy: "." and ".." taken out, so "convert ." shows the folder by its own name.
  std::filesystem::path path =
      std::filesystem::absolute(util::PathFromUtf8(folder), ignored).lexically_normal();
  if (path.empty()) path = util::PathFromUtf8(folder);
  std::string text = util::Utf8FromPath(path.make_preferred());
  if (text.empty() || text.back() != scan::kSeparator) text += scan::kSeparator;
  return text;
}

int RunScan(const ScanOptions& options, Streams streams) {
  // Told to read .eml files alone, it counts them exactly as the window does; otherwise it
  // counts what convert would archive.
  if (options.source.format != "eml") {
    return ScanSource(AbsoluteSourcePath(options.folder), options, streams);
  }
  const std::string folder = AbsoluteFolderPath(options.folder);
  if (!CheckFolder(folder, streams.err)) return kExitUsage;

  // On a terminal the running count is redrawn in place, at most ten times a second.
  using Clock = std::chrono::steady_clock;
  auto lastDrawn = Clock::time_point{};
  bool drawn = false;
  scan::CaptionSink caption;
  if (streams.outIsTerminal) {
    caption = [&](const std::string& text) {
      const auto now = Clock::now();
      if (now - lastDrawn < std::chrono::milliseconds(100)) return;
      lastDrawn = now;
      drawn = true;
      streams.out << "\r" << text << std::flush;
    };
  }

  scan::QueuedMessages.reset();
  std::int32_t messageCounter = 1;
  std::int32_t folderCounter = 0;
  try {
    scan::ScanMessageFolder(folder, "*.eml", messageCounter, folderCounter, caption);
  } catch (const std::exception& e) {
    if (drawn) streams.out << "\r\033[K";
    streams.err << "crateline-cli: the scan of \"" << archive::SafeText(folder)
                << "\" stopped: " << e.what() << "\n";
    return kExitFailure;
  }
  if (drawn) streams.out << "\r\033[K";

  if (options.list && scan::QueuedMessages) {
    for (const auto& [key, path] : *scan::QueuedMessages)
      streams.out << key << '\t' << archive::SafeText(path) << '\n';
  }
  streams.out << (messageCounter - 1) << " Messages & " << folderCounter
              << " Folder(s) Queued for Conversion.\n";
  return kExitOk;
}

}  // namespace crateline::cli
