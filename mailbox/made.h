// Entries made from a store's items rather than read as bytes (Message::built): an Outlook
// data file's mail items, a Thunderbird address book's cards. The writer, verify and an upload's
// journal each make an entry when its turn comes, through one ItemMaker, and get the same bytes
// every time; the inventory keeps only the item's identifier.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace crateline::mailbox {

struct Message;

// An item that cannot be made (its file is damaged there, or gone).
class ItemError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Built {
  std::string bytes;
  std::vector<std::string> warnings;  // what of the item the entry could not carry
};

// Makes the entries of one file after another, keeping the last file of each kind open.
class ItemMaker {
 public:
  ItemMaker();
  ItemMaker(const ItemMaker&) = delete;
  ItemMaker& operator=(const ItemMaker&) = delete;
  ~ItemMaker();
  // The entry of `message` (built), whose file is at `path`; throws ItemError.
  Built Make(const std::string& path, const Message& message);

 private:
  struct Makers;
  std::unique_ptr<Makers> makers_;
};

}  // namespace crateline::mailbox
