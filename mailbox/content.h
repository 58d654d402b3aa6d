// What a file holds, told by its name and its first bytes: the one definition of "mail" that
// the store readers, the walk that hands them their files and verify's census of a source all
// go by, so that none of them can call a file mail that the others pass over.
//
// Mail is: a file named *.eml (in any case: each such file is a message, as Zimbra takes it);
// an .emlx file (a byte count on its first line, the message, a property list); a file that
// begins with an mbox "From " line and a header; or a file that begins with a message's header
// section (a header of its own at the top, nothing but header lines up to the first empty
// line, and among them one that only messages carry: From, Date, Received, Return-Path or
// Delivered-To). That last test is what finds MH folders' numbered files and messages saved
// without a suffix, and keeps out MIME parts kept apart (Apple's .emlxpart files), signatures,
// lists of sequences and other files of "Name: value" lines. An AppleDouble file is never mail.
// An Outlook data file, known by its signature, holds mail too, as items to be made messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace crateline::mailbox {

// How much of a file's start the tests look at: a header section this long that has not ended
// yet is taken for one by what it shows so far.
inline constexpr std::size_t kSniffBytes = 16 * 1024;

enum class Content : std::uint8_t {
  kNoMail,
  kMessage,  // one message: the whole file
  kMbox,     // messages one after another, each after its "From " line
  kEmlx,     // Apple Mail's: byte count, message, property list
  kAppleDouble,
  kOutlook,  // an Outlook data file: items, not messages (outlook.h)
};

// `head`: the file's first bytes, kSniffBytes of them or the whole file when it is shorter.
Content Sniff(std::string_view name, std::string_view head);

// Whether a file name ends in ".eml", in any case (".eml" alone included: Zimbra takes it).
bool HasEmlSuffix(std::string_view name);
bool HasEmlxSuffix(std::string_view name);
bool IsAppleDouble(std::string_view head);
bool BeginsWithHeaders(std::string_view head);
bool BeginsWithFromLine(std::string_view head);
// A header field's name, when `line` begins one: printable ASCII up to the colon, which white
// space may precede (the obsolete syntax, still written).
std::optional<std::string_view> FieldName(std::string_view line);

// mbox files. Lines end with the byte MboxLineEnd gives: a lone CR in a file whose first line
// ends so (old Mac mail), LF otherwise (CR LF files included). A line that begins with "From "
// begins a message when it follows an empty line (an empty line in a CR LF file is a lone CR
// before the LF) or the file's start, or when it is a whole envelope line, "From SENDER DATE"
// (as mutt tells one), whatever precedes it. The message is the bytes after its "From " line up
// to the next such line, less the empty line before that one (or before the end of the file).
char MboxLineEnd(std::string_view head);
inline constexpr std::size_t kLongestEnvelope = 1024;
// `line`: without its line end.
bool IsEnvelopeLine(std::string_view line);
bool IsMboxSeparator(std::string_view line, bool afterEmptyLine);

// .emlx files: the first line gives the message's length in bytes; a property list follows it.
struct EmlxCount {
  std::uint64_t count = 0;
  std::size_t lineLength = 0;  // the first line with its LF: where the message begins
};
std::optional<EmlxCount> ParseEmlxCount(std::string_view head);
// Whether `bytes` (what follows the message) begin the property list.
bool BeginsPropertyList(std::string_view bytes);
// Where, in the last bytes of a file, the property list that ends it begins; npos when those
// bytes end in none. A count that does not lead to the list is wrong (an edited file), and the
// message is taken to run up to the list instead.
std::size_t TrailingPropertyList(std::string_view tail);
inline constexpr std::size_t kEmlxTail = 64 * 1024;

}  // namespace crateline::mailbox
