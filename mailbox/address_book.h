// Thunderbird's address books: SQLite files (abook.sqlite, history.sqlite, abook-N.sqlite) of
// rows (card, name, value), a card being the rows that share its identifier. Since Thunderbird
// 102 a card keeps its whole vCard in the row "_vCard", which is carried as it is (made fit for
// Zimbra: cards.h); an older card's named fields are made into a vCard 3.0, with its photo from
// the profile's Photos folder. What the reader, the writer and verify's census share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/made.h"

namespace crateline::mailbox::address_book {

struct Book {
  bool isBook = false;  // it has Thunderbird's table of card fields
  // Each card by the first row that names it (the identifier the inventory keeps), in order.
  std::vector<std::uint64_t> cards;
  std::size_t lists = 0;  // mailing lists, which carry no fields of their own
};
// Reads a SQLite file's cards; throws ItemError when it cannot be read.
Book ReadBook(const std::string& path);

// The book's name as Thunderbird shows it, from the profile's prefs.js beside it (its
// "ldap_2.servers.*.description"); Thunderbird's own names for its two books when prefs.js
// says none. Empty when neither is known.
std::string BookName(const std::string& profileDir, const std::string& fileName);

// Makes the vCard of card `id` of the book at `path`, keeping the last book open.
class CardMaker {
 public:
  CardMaker();
  CardMaker(const CardMaker&) = delete;
  CardMaker& operator=(const CardMaker&) = delete;
  ~CardMaker();
  Built Make(const std::string& path, std::uint64_t id);  // throws ItemError

 private:
  struct Open;
  std::unique_ptr<Open> open_;
};

// A vCard 3.0 of an older card's fields (name → value), with a photo's bytes when it has one.
std::string CardFromFields(const std::vector<std::pair<std::string, std::string>>& fields,
                           const std::string& uid, std::string_view photo);

}  // namespace crateline::mailbox::address_book
