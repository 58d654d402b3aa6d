// crateline-cli scan: the window's count of a source, for a terminal or a script.
#include <chrono>
#include <filesystem>
#include <ostream>

#include "archive/archive.h"
#include "archive/verify.h"
#include "cli/commands.h"
#include "job/conversion.h"
#include "mailbox/mailbox.h"
#include "scan/listing.h"
#include "scan/scan.h"
#include "util/keyed_list.h"
#include "util/utf8_path.h"

namespace crateline::cli {
namespace {

// A folder the scan could not start in is an error: a script must be able to tell "no messages"
// from "wrong folder".
bool CheckFolder(const std::string& folder, std::ostream& err) {
  // Asked without the trailing separator, so that a file is named as one.
  // (A drive root keeps it: "C:" alone names the drive's current folder, not its root.)
  std::string entry = folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder;
  if (!entry.empty() && entry.back() == ':') entry = folder;
  std::string why;
  const scan::EntryKind kind = scan::KindAt(entry, &why);
  if (kind == scan::EntryKind::kNone) {
    err << "crateline-cli: cannot scan \"" << archive::SafeText(folder) << "\": " << why << "\n";
    return false;
  }
  if (kind == scan::EntryKind::kFile) {
    err << "crateline-cli: cannot scan \"" << archive::SafeText(folder)
        << "\": it is not a folder\n";
    return false;
  }
  const scan::FolderListing listing(folder);
  if (!listing.Opened() && listing.Failed()) {
    err << "crateline-cli: cannot list \"" << archive::SafeText(folder) << "\": " << listing.Error()
        << "\n";
    return false;
  }
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
  // On a terminal the folder at hand is redrawn in place; the writer paces its events.
  struct Shown final : archive::ArchiveProgress {
    explicit Shown(std::ostream& out) : out(out) {}
    void Listing(const std::string& where, std::size_t) override {
      drawn = true;
      out << "\rReading " << archive::SafeText(archive::ShortenedName(where)) << "\033[K"
          << std::flush;
    }
    std::ostream& out;
    bool drawn = false;
  } shown(streams.out);
  job::Conversion conversion(source, {.format = options.source.format, .read = options.source.read},
                             streams.outIsTerminal ? &shown : nullptr);
  const job::Result read = conversion.Read();
  if (shown.drawn) streams.out << "\r\033[K";
  if (!read.Ok()) {
    streams.err << "crateline-cli: " << archive::SafeText(read.error) << "\n";
    return read.status == job::Status::kStopped ? StoppedStatus() : kExitUsage;
  }
  const archive::Plan& plan = conversion.Writer().Plan();
  const mailbox::Inventory& inventory = plan.inventory;
  const job::Count count = job::CountOf(plan);
  if (options.list) {
    std::int32_t key = 1;
    for (const auto& message : inventory.messages) {
      streams.out << util::CounterKey(key++) << '\t'
                  << archive::SafeText(inventory.LabelOf(message)) << '\n';
    }
  }
  streams.out << Grouped(count.messages) << " Messages & " << Grouped(count.folders)
              << " Folder(s) Queued for Conversion.\n";
  streams.out << "Read as " << (inventory.format.empty() ? "nothing" : inventory.format) << ": "
              << Grouped(inventory.messages.size()) << " message(s)";
  if (!inventory.passedOver.empty()) {
    streams.out << ", " << Grouped(inventory.passedOver.size()) << " passed over";
  }
  if (!plan.leftOut.empty()) {
    streams.out << ", " << Grouped(plan.leftOut.size()) << " left out";
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
  // Told to read .eml files alone, it counts the files so named and every folder below, by the
  // file-search layer; otherwise what convert would archive, as the window counts it.
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
