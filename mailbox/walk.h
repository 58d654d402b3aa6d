// One walk of a source, shared by every store reader.
//
// The walk lists each folder once and asks every reader how sure it is, from that listing,
// that the folder is a store of its own; the highest bid reads it, and with no bid the walk goes
// on by itself. A reader reads what it knows and hands the rest back: folders to be walked in
// their turn (where the readers bid again), files to be read by the reader their name or
// content calls for. So a backup folder that holds a Thunderbird profile, a Maildir, an Apple
// store and loose .eml and mbox files is read whole, each part by the reader that knows it, each
// message in the folder its place gives it. A file that holds no mail is named as such or,
// inside a store, counted as the store's own.
//
// Links are never followed, and devices, pipes and sockets never opened: the walk names each,
// and readers never see them. Folders wait in a list, not on the thread's stack, so a tree of
// any depth is walked; a folder's entries come in byte order of their names, so the same tree
// always gives the same inventory.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mailbox/mailbox.h"

namespace crateline::mailbox {

// An entry of a folder: a regular file or a folder.
struct Entry {
  std::string name;
  std::string dir;  // the folder it is in, ending in the separator
  bool folder = false;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // seconds since 1970
  std::string Path() const { return dir + name; }
  std::string FolderPath() const;  // Path() and the separator
};

// Whose files are counted rather than named when they hold no mail, as "of Thunderbird's own
// (...)"; null: each is named.
using Owner = const char*;

// A folder the walk visits: where, the mail folder it is, and who reads it.
struct Visit {
  std::string path;                // ends in the separator
  std::vector<std::string> names;  // the mail folder, below the top
  Owner owner = nullptr;
  const Format* reader = nullptr;  // the reader that claimed it beforehand; null: bid
  int role = 0;                    // what the reader knows of it (its own meaning)
  bool underMacZip = false;        // under __MACOSX, whose entries Zimbra passes over
  bool top = false;
};

class Walk {
 public:
  // `forced`: the one reader that reads the source (--from); null: every reader bids.
  Walk(Inventory& inventory, const ReadOptions& options, const Format* forced);
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // Reads the source (a folder path ending in the separator, or a file path) into the
  // inventory; throws SourceError when the source cannot be read at all.
  void Run(const std::string& source);

  Inventory& Mail() { return inventory_; }
  const ReadOptions& Options() const { return options_; }
  // Lets the caller see progress, and stop the walk by throwing.
  void Tick(const std::string& where);

  // A folder the reader does not read: walked in its turn as the mail folder `names`, its
  // files that hold no mail counted for `owner` (or named, when null).
  void Folder(const Entry& folder, std::vector<std::string> names, Owner owner);
  // A folder the reader reads itself (a subfolder of its store), listed in its turn and
  // given to it with `role`.
  void Claim(const Format& reader, const Entry& folder, std::vector<std::string> names, Owner owner,
             int role);
  // A file the reader does not read: read by the reader its name or content calls for.
  void File(const Entry& file, const std::vector<std::string>& names, Owner owner);
  // Each entry on its own: what a folder no store claims gets.
  void EntryByEntry(const Visit& visit, const Listing& entries);
  // Counts a file that holds no mail (its name says so) for `owner`.
  void Own(Owner owner);
  // Where the same bytes were met before in this walk (Google Takeout writes a contact into the
  // file of each of its labels), or null the first time, when `label` is kept for them.
  const std::string* SeenBefore(std::string bytes, const std::string& label);
  // The first bytes of a file (mailbox::kSniffBytes, or all of a shorter one); empty when it
  // cannot be read.
  static std::string Head(const std::string& path);

 private:
  struct Pending;
  void VisitFolder(const Visit& visit);
  bool List(const Visit& visit, Listing& entries);
  const Format* BestFolderBid(const std::string& path, const Listing& entries) const;
  static const std::vector<const Format*>& FileBidders();
  void TopFile(const std::string& path);
  void Unclaimed(const Entry& file, const Visit& where);
  bool Allowed(const Format& reader) const;
  void Notes();
  void DropMail();

  Inventory& inventory_;
  const ReadOptions& options_;
  const Format* forced_;
  std::vector<Visit> pending_;
  std::vector<Visit> batch_;  // what the folder being visited handed back, in its order
  const Visit* current_ = nullptr;
  std::map<std::string, std::size_t> ownCounts_;
  std::vector<std::string> ownOrder_;
  std::size_t earlierOutputs_ = 0;
  std::vector<const Format*> used_;
  std::map<std::string, std::string> seen_;
};

// Whether a listing holds a folder (or a file) of this name.
bool HasEntry(const Listing& entries, const std::string& name, bool folder);
// Whether `path` is a folder, or a file (links are never asked about: the walk names them).
bool IsFolderAt(const std::string& path);
bool IsFileAt(const std::string& path);

bool EndsWith(const std::string& text, const std::string& suffix);

// A folder path without its trailing separator, but a drive root ("C:\") keeps it.
std::string TrimmedPath(const std::string& path);

}  // namespace crateline::mailbox
