#include "mailbox/walk.h"

#include <algorithm>

#include "mailbox/content.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "scan/listing.h"

namespace crateline::mailbox {
namespace {

// Zimbra's importer passes over everything in a folder of this name (macOS's zip leftovers).
constexpr const char* kMacZipFolder = "__MACOSX";
constexpr const char* kLinkWhy = "a link; links are not followed";

bool EndsWithIgnoringCase(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<long>(suffix.size()),
                    [](char a, char b) {
                      return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
                    });
}

bool NamedAsMail(const std::string& name) {
  return HasEmlSuffix(name) || HasEmlxSuffix(name);
}

// An archive, or the report beside one: what an earlier run wrote, not mail.
bool IsEarlierOutput(const Entry& file) {
  if (EndsWithIgnoringCase(file.name, ".tgz")) return true;
  if (!EndsWithIgnoringCase(file.name, ".report.txt")) return false;
  const std::string archive = file.dir + file.name.substr(0, file.name.size() - 11) + ".tgz";
  return scan::KindAt(archive) != scan::EntryKind::kNone;
}

}  // namespace

std::string Entry::FolderPath() const {
  return Path() + scan::kSeparator;
}

void Format::ReadFolder(const Visit& visit, const Listing& entries, Walk& walk) const {
  walk.EntryByEntry(visit, entries);
}

void Walk::EntryByEntry(const Visit& visit, const Listing& entries) {
  for (const Entry& entry : entries) {
    if (entry.folder) {
      auto names = visit.names;
      names.push_back(entry.name);
      Folder(entry, std::move(names), visit.owner);
    } else {
      File(entry, visit.names, visit.owner);
    }
  }
}

Walk::Walk(Inventory& inventory, const ReadOptions& options, const Format* forced)
    : inventory_(inventory), options_(options), forced_(forced) {}

const std::string* Walk::SeenBefore(std::string bytes, const std::string& label) {
  const auto [at, added] = seen_.emplace(std::move(bytes), label);
  return added ? nullptr : &at->second;
}

void Walk::Tick(const std::string& where) {
  if (options_.tick) options_.tick(where, inventory_.messages.size());
}

bool Walk::Allowed(const Format& reader) const {
  return forced_ == nullptr || forced_ == &reader || !reader.ReadsMail();
}

void Walk::Run(const std::string& source) {
  const std::string path = TrimmedPath(source);
  std::string why;
  const scan::EntryKind kind = scan::KindAt(path, &why);
  if (kind == scan::EntryKind::kNone) {
    const bool folder = !source.empty() && source.back() == scan::kSeparator;
    throw SourceError(std::string("cannot read ") + (folder ? "the folder \"" : "\"") + path +
                      "\": " + why);
  }
  if (kind == scan::EntryKind::kFile) {
    TopFile(path);
  } else {
    inventory_.root = path.back() == scan::kSeparator ? path : path + scan::kSeparator;
    Visit top;
    top.path = inventory_.root;
    top.reader = forced_;  // --from: it reads the source as its own, whatever it would bid
    top.top = true;
    pending_.push_back(std::move(top));
    while (!pending_.empty()) {
      const Visit visit = std::move(pending_.back());
      pending_.pop_back();
      VisitFolder(visit);
    }
  }
  if ((options_.kinds & KindBit(ItemKind::kMail)) == 0) DropMail();
  Notes();
}

void Walk::DropMail() {
  std::vector<Message> kept;
  std::map<std::uint32_t, std::uint32_t> events;
  std::size_t dropped = 0;
  for (std::size_t i = 0; i < inventory_.messages.size(); ++i) {
    const Message& m = inventory_.messages[i];
    if (m.kind == ItemKind::kMail) {
      ++dropped;
      continue;
    }
    const auto count = inventory_.events.find(static_cast<std::uint32_t>(i));
    if (count != inventory_.events.end()) {
      events[static_cast<std::uint32_t>(kept.size())] = count->second;
    }
    kept.push_back(m);
  }
  inventory_.messages = std::move(kept);
  inventory_.events = std::move(events);
  if (dropped > 0) {
    inventory_.notes.push_back(std::to_string(dropped) +
                               " messages not carried: mail was not "
                               "asked for (--only)");
  }
}

void Walk::VisitFolder(const Visit& visit) {
  Tick(visit.path);
  Listing entries;
  if (!List(visit, entries)) return;
  current_ = &visit;
  batch_.clear();
  const Format* reader = visit.reader;
  if (reader == nullptr && !visit.underMacZip) reader = BestFolderBid(visit.path, entries);
  if (reader != nullptr) {
    if (std::find(used_.begin(), used_.end(), reader) == used_.end()) used_.push_back(reader);
    reader->ReadFolder(visit, entries, *this);
  } else {
    EntryByEntry(visit, entries);
  }
  // Depth first, in the order the folder handed its parts back.
  pending_.insert(pending_.end(), batch_.rbegin(), batch_.rend());
  batch_.clear();
  current_ = nullptr;
}

bool Walk::List(const Visit& visit, Listing& entries) {
  scan::FolderListing listing(visit.path);
  while (listing.Next()) {
    const std::string& name = listing.Name();
    Tick(visit.path);
    if (listing.IsLink()) {
      const std::string full = listing.Path();
      if (listing.IsFolder()) {
        inventory_.leftOut.push_back(
            {full, "a link to a folder; links are not followed, so its messages are missing"});
      } else if (NamedAsMail(name)) {
        inventory_.leftOut.push_back({full, kLinkWhy});
      } else {
        inventory_.notMail.push_back({full, kLinkWhy});  // named even in a store: no store's own
      }
    } else if (listing.IsFolder()) {
      entries.push_back({name, visit.path, true, 0, 0});
    } else if (listing.IsDevice()) {
      const Item item{listing.Path(), "not a regular file (a device, pipe or socket)"};
      (NamedAsMail(name) ? inventory_.leftOut : inventory_.notMail).push_back(item);
    } else {
      entries.push_back({name, visit.path, false, listing.Size(), listing.Modified()});
    }
  }
  if (listing.Failed() && !listing.Opened()) {
    const std::string why = listing.Error();
    if (visit.top) throw SourceError("cannot list the folder \"" + visit.path + "\": " + why);
    inventory_.leftOut.push_back(
        {visit.path, "the folder could not be listed, so its messages are missing: " + why, true});
    return false;
  }
  if (listing.Failed()) {
    inventory_.leftOut.push_back({visit.path,
                                  "the folder's listing broke off (" + listing.Error() +
                                      "), so the messages after that point are missing",
                                  true});
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return true;
}

const Format* Walk::BestFolderBid(const std::string& path, const Listing& entries) const {
  const Format* best = nullptr;
  int highest = 0;
  for (const Format* reader : Formats()) {
    if (!Allowed(*reader)) continue;
    const int bid = reader->BidFolder(path, entries);
    if (bid > highest) {
      highest = bid;
      best = reader;
    }
  }
  return best;
}

void Walk::Folder(const Entry& folder, std::vector<std::string> names, Owner owner) {
  Visit visit;
  visit.path = folder.FolderPath();
  visit.names = std::move(names);
  visit.owner = owner;
  visit.underMacZip =
      (current_ != nullptr && current_->underMacZip) || folder.name == kMacZipFolder;
  batch_.push_back(std::move(visit));
}

void Walk::Claim(const Format& reader, const Entry& folder, std::vector<std::string> names,
                 Owner owner, int role) {
  Folder(folder, std::move(names), owner);
  batch_.back().reader = &reader;
  batch_.back().role = role;
}

std::string Walk::Head(const std::string& path) {
  platform::InputFile in(path);
  std::string head(kSniffBytes, '\0');
  head.resize(in.Read(head.data(), head.size()));
  return head;
}

// The readers in the order they bid on a file: the readers of single files first, the .eml one
// before all, so that a name it is sure of needs no look inside and a tree of .eml files is
// listed without a file opened (every other reader looks at the content).
const std::vector<const Format*>& Walk::FileBidders() {
  static const std::vector<const Format*> order = [] {
    std::vector<const Format*> readers(Formats().rbegin(), Formats().rend());
    std::stable_partition(readers.begin(), readers.end(),
                          [](const Format* reader) { return reader == &EmlFormat(); });
    return readers;
  }();
  return order;
}

void Walk::File(const Entry& file, const std::vector<std::string>& names, Owner owner) {
  const std::string path = file.Path();
  Tick(path);
  std::string head;
  std::string unreadable;
  bool read = false;
  const auto lookAt = [&]() -> std::string_view {
    if (!read) {
      read = true;
      try {
        head = Head(path);
      } catch (const platform::FileError& error) {
        unreadable = error.what();
      }
    }
    return head;
  };
  const bool macZip = current_ != nullptr && current_->underMacZip;
  const Format* best = nullptr;
  int highest = 0;
  for (const Format* reader : FileBidders()) {
    if (macZip || !Allowed(*reader)) continue;
    const int bid = reader->BidFile(file, lookAt);
    if (bid > highest) {
      highest = bid;
      best = reader;
    }
    if (highest >= 100) break;
  }
  if (best != nullptr) {
    if (std::find(used_.begin(), used_.end(), best) == used_.end()) used_.push_back(best);
    best->ReadFile(file, names, *this);
    return;
  }
  lookAt();
  if (!unreadable.empty()) {
    inventory_.leftOut.push_back(
        {path, "could not be read, so whether it holds mail is not known: " + unreadable, true});
    return;
  }
  const Content content = Sniff(file.name, head);
  if (content == Content::kAppleDouble) {
    inventory_.notMail.push_back(
        {path, "an AppleDouble file (data macOS keeps beside a file), not a message"});
  } else if (content != Content::kNoMail && macZip) {
    inventory_.leftOut.push_back({path, "in a __MACOSX folder, whose entries Zimbra passes over"});
  } else if (content != Content::kNoMail) {
    // Only a reader forced with --from leaves mail to no one.
    inventory_.leftOut.push_back({path, std::string("it holds mail, but only ") + forced_->Name() +
                                            " mail was to be read (--from " + forced_->Name() +
                                            ")"});
  } else if (IsEarlierOutput(file)) {
    ++earlierOutputs_;
  } else if (owner != nullptr) {
    Own(owner);
  } else {
    inventory_.notMail.push_back(
        {path, "not a message; Zimbra would turn it into a Briefcase document"});
  }
}

void Walk::Own(Owner owner) {
  const auto [at, added] = ownCounts_.emplace(owner, 0);
  if (added) ownOrder_.push_back(owner);
  ++at->second;
}

void Walk::TopFile(const std::string& path) {
  const auto slash = path.find_last_of(scan::kSeparator);
  Entry file;
  file.dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  file.name = slash == std::string::npos ? path : path.substr(slash + 1);
  try {
    const platform::InputFile in(path);
    file.size = in.OpenedStatus().size;
    file.modified = in.OpenedStatus().modified;
  } catch (const platform::FileError& error) {
    throw SourceError(std::string("cannot read ") + error.what());
  }
  inventory_.root = path;
  Visit top;
  top.path = file.dir;
  top.top = true;
  current_ = &top;
  File(file, {}, nullptr);
  current_ = nullptr;
  if (used_.empty()) {
    throw SourceError("\"" + path + "\" holds no mail " +
                      (forced_ != nullptr ? std::string("that --from ") + forced_->Name() + " reads"
                                          : std::string("Crateline can read")));
  }
}

void Walk::Notes() {
  if (earlierOutputs_ > 0) {
    inventory_.notes.push_back(std::to_string(earlierOutputs_) +
                               " archive(s) and report(s) of earlier runs were passed over");
  }
  for (const std::string& owner : ownOrder_) {
    inventory_.notes.push_back(std::to_string(ownCounts_[owner]) + " file(s) " + owner +
                               " hold no mail and were passed over");
  }
  for (const Format* reader : Formats()) {
    if (std::find(used_.begin(), used_.end(), reader) == used_.end()) continue;
    if (!inventory_.format.empty()) inventory_.format += ", ";
    inventory_.format += reader->Name();
  }
}

bool HasEntry(const Listing& entries, const std::string& name, bool folder) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const Entry& e) { return e.folder == folder && e.name == name; });
}

bool IsFolderAt(const std::string& path) {
  return scan::KindAt(path) == scan::EntryKind::kFolder;
}

bool IsFileAt(const std::string& path) {
  return scan::KindAt(path) == scan::EntryKind::kFile;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string TrimmedPath(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == scan::kSeparator &&
         trimmed[trimmed.size() - 2] != ':') {
    trimmed.pop_back();
  }
  return trimmed;
}

}  // namespace crateline::mailbox
