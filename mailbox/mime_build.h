// Writing a message's text where a store keeps none, only its parts (an Outlook item's
// properties): header fields that any reader takes (RFC 2047 words, RFC 2231 parameters, lines
// folded short), and bodies in transfer encodings that survive every mail path. Lines end in
// CR LF. Nothing here depends on the time or on chance: the same parts give the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace crateline::mailbox::mime {

// `bytes` in base64, in lines of 76 characters, each ending in CR LF.
std::string Base64Lines(std::string_view bytes);
// Encodes a stream piece by piece: what does not fill a group of three waits for the next.
class Base64Stream {
 public:
  void Add(std::string_view bytes, std::string& out);
  void Finish(std::string& out);

 private:
  std::string carry_;
  std::size_t column_ = 0;
};

// Text in quoted-printable (RFC 2045); its line breaks (LF or CR LF) become CR LF.
std::string QuotedPrintable(std::string_view text);

// A header field's words: as they stand when they are printable ASCII, else RFC 2047 words in
// UTF-8 (base64, split on whole characters).
std::string HeaderText(std::string_view utf8);
// A display name and an address as a mailbox ("Name" <addr>, or addr alone).
std::string Address(std::string_view name, std::string_view address);
// A parameter (`; name=value`): quoted when plain ASCII, RFC 2231 (name*=utf-8''...) otherwise.
std::string Parameter(std::string_view name, std::string_view utf8);
// "Name: value" folded at spaces to lines of at most 78 characters where it can, with CR LF.
std::string Field(std::string_view name, std::string_view value);
// An RFC 5322 date in UTC: "Tue, 08 Dec 2026 20:18:36 +0000".
std::string Date(std::int64_t seconds);

// Whether every byte is ASCII (no 8-bit byte, no NUL).
bool IsAscii(std::string_view bytes);
bool IsUtf8(std::string_view bytes);

}  // namespace crateline::mailbox::mime
