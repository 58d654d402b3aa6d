// Outlook items made into messages.
//
// Received mail keeps the headers it arrived with (transport headers): those are kept, less the
// fields that describe a MIME structure, which is rebuilt from the item's bodies and
// attachments. Sent mail and drafts have none, so From, To, Cc, Subject, Date and Message-ID are
// written from the item's properties, SMTP addresses preferred over Exchange's own. The body is
// text and HTML as alternatives (an RTF-only body is attached), then the attachments, embedded
// messages made the same way. Boundaries and the Message-ID are derived from the item, never
// from the time or chance, so that the same item always makes the same bytes.
#include "mailbox/outlook.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <new>

#include "mailbox/content.h"
#include "mailbox/mime_build.h"
#include "mailbox/pff.h"
#include "util/ascii_case.h"

namespace crateline::mailbox::outlook {
namespace {

constexpr int kDeepestEmbedding = 8;
constexpr std::size_t kAttachmentPiece = 1024 * 1024;
constexpr std::uint32_t kSearchFolderType = 0x03;  // the low five bits of an identifier
constexpr std::uint32_t kIdTypeMask = 0x1F;

using util::EqualsIgnoringCase;
using util::StartsWithIgnoringCase;

// A class and its subclasses: "IPM.Contact" and "IPM.Contact.X", not "IPM.ContactX".
bool OfClass(std::string_view messageClass, std::string_view base) {
  return StartsWithIgnoringCase(messageClass, base) &&
         (messageClass.size() == base.size() || messageClass[base.size()] == '.');
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

// The charset name of a Windows code page, for HTML bodies, which keep their own bytes.
const char* CharsetOf(std::uint32_t codepage) {
  switch (codepage) {
    case 65001:
      return "utf-8";
    case 20127:
      return "us-ascii";
    case 28591:
      return "iso-8859-1";
    case 28592:
      return "iso-8859-2";
    case 28595:
      return "iso-8859-5";
    case 28597:
      return "iso-8859-7";
    case 28605:
      return "iso-8859-15";
    case 1250:
      return "windows-1250";
    case 1251:
      return "windows-1251";
    case 1252:
      return "windows-1252";
    case 1253:
      return "windows-1253";
    case 1254:
      return "windows-1254";
    case 1255:
      return "windows-1255";
    case 1256:
      return "windows-1256";
    case 1257:
      return "windows-1257";
    case 1258:
      return "windows-1258";
    case 874:
      return "windows-874";
    case 932:
      return "shift_jis";
    case 936:
      return "gb2312";
    case 54936:
      return "gb18030";
    case 949:
      return "ks_c_5601-1987";
    case 950:
      return "big5";
    case 20866:
      return "koi8-r";
    case 21866:
      return "koi8-u";
    case 50220:
      return "iso-2022-jp";
    case 51932:
      return "euc-jp";
    case 51949:
      return "euc-kr";
    default:
      return nullptr;
  }
}

// A subject as Outlook keeps it may begin with 0x01 and a character that tells the length of
// its prefix ("RE: "); the prefix itself follows, so only those two go.
std::string CleanSubject(std::string subject) {
  if (subject.size() >= 2 && subject[0] == '\x01') subject.erase(0, 2);
  return subject;
}

// A header field's value from a property: one line, no control characters.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < ' ' || c == '\x7f') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(start, end - start));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool IsFieldLine(std::string_view line) {
  return FieldName(line).has_value();
}

// The transport headers less the fields of their MIME structure, with CR LF line ends; empty
// when they are not a header section a reader would take (missing, cut, or without a field
// that only messages carry). Exchange may put a line of its own before the fields.
std::string TransportHeaders(const std::optional<std::string>& text) {
  if (!text || text->empty()) return {};
  std::vector<std::string> lines = Lines(*text);
  if (!lines.empty() && !IsFieldLine(lines.front()) && lines.size() > 1 && IsFieldLine(lines[1])) {
    lines.erase(lines.begin());
  }
  std::string out;
  bool field = false;  // a field has begun: a continuation line belongs to it
  bool keep = false;
  bool known = false;
  for (const std::string& line : lines) {
    if (line.empty()) break;
    if (line.front() == ' ' || line.front() == '\t') {
      if (!field) return {};
      if (keep) out += line + "\r\n";
      continue;
    }
    field = true;
    if (!IsFieldLine(line)) return {};
    const std::string_view name = *FieldName(line);
    keep = !StartsWithIgnoringCase(name, "Content-") && !EqualsIgnoringCase(name, "MIME-Version");
    for (const char* field : {"From", "Date", "Received", "Message-ID"}) {
      if (EqualsIgnoringCase(name, field)) known = true;
    }
    if (keep) out += line + "\r\n";
  }
  return known ? out : std::string();
}

std::string SmtpAddress(const pff::Item& item, int set, std::uint32_t smtpTag,
                        std::uint32_t typeTag, std::uint32_t addressTag) {
  if (auto smtp = item.Text(smtpTag, set); smtp && !smtp->empty()) return OneLine(*smtp);
  std::string address = OneLine(item.Text(addressTag, set).value_or(""));
  const std::string type = item.Text(typeTag, set).value_or("SMTP");
  if (EqualsIgnoringCase(type, "SMTP") || address.find('@') != std::string::npos) return address;
  return {};  // an Exchange (X.500) address means nothing outside its organisation
}

class Maker {
 public:
  Maker(const pff::Item& item, std::string storeKey, int depth, std::vector<std::string>& warnings)
      : item_(item), storeKey_(std::move(storeKey)), depth_(depth), warnings_(warnings) {}

  std::string Make() {
    std::string out = TransportHeaders(item_.Text(pff::kTransportHeaders));
    if (out.empty()) out = ComposedHeaders();
    out += "MIME-Version: 1.0\r\n";
    out += Body();
    return out;
  }

 private:
  std::string Boundary() {
    char text[64];
    std::snprintf(text, sizeof text, "----=_cl_%08x_%d_%d", static_cast<unsigned>(item_.Id()),
                  depth_, boundaries_++);
    return text;
  }

  std::string ComposedHeaders() {
    std::string out;
    const auto submitted = item_.Time(pff::kClientSubmitTime);
    const auto delivered = item_.Time(pff::kDeliveryTime);
    if (const auto when = submitted ? submitted : delivered) {
      out += mime::Field("Date", mime::Date(*when));
    }
    std::string name = OneLine(item_.Text(pff::kSentRepresentingName).value_or(""));
    std::string address =
        SmtpAddress(item_, 0, pff::kSentRepresentingSmtpAddress, pff::kSentRepresentingAddressType,
                    pff::kSentRepresentingAddress);
    if (name.empty() && address.empty()) {
      name = OneLine(item_.Text(pff::kSenderName).value_or(""));
      address = SmtpAddress(item_, 0, pff::kSenderSmtpAddress, pff::kSenderAddressType,
                            pff::kSenderAddress);
    }
    if (!name.empty() || !address.empty()) out += mime::Field("From", mime::Address(name, address));
    out += Recipients();
    if (auto subject = item_.Text(pff::kSubject)) {
      out += mime::Field("Subject", mime::HeaderText(OneLine(CleanSubject(*subject))));
    }
    std::string id = OneLine(item_.Text(pff::kInternetMessageId).value_or(""));
    if (id.empty()) {
      char text[96];
      std::snprintf(text, sizeof text, "<%08x.%d", static_cast<unsigned>(item_.Id()), depth_);
      id = std::string(text) + (storeKey_.empty() ? "" : "." + storeKey_) +
           "@pst.crateline.invalid>";
    }
    out += mime::Field("Message-ID", id);
    for (const auto& [tag, field] :
         {std::pair{pff::kInReplyTo, "In-Reply-To"}, std::pair{pff::kReferences, "References"}}) {
      const std::string value = OneLine(item_.Text(tag).value_or(""));
      if (!value.empty()) out += mime::Field(field, value);
    }
    return out;
  }

  std::string Recipients() {
    pff::Item recipients;
    const int found = libpff_message_get_recipients(item_.get(), recipients.out(), nullptr);
    if (found == -1) warnings_.push_back("its recipients cannot be read; To and Cc are left out");
    if (found != 1) return {};
    std::vector<std::string> lists[3];
    for (int i = 0; i < recipients.Sets(); ++i) {
      // The low bits; high ones flag a recipient that was sent to again, or already sent to.
      const std::uint32_t type = recipients.Number(pff::kRecipientType, i).value_or(1) & 0xFF;
      if (type < 1 || type > 3) continue;
      const std::string name = OneLine(recipients.Text(pff::kDisplayName, i).value_or(""));
      const std::string address =
          SmtpAddress(recipients, i, pff::kSmtpAddress, pff::kAddressType, pff::kEmailAddress);
      if (name.empty() && address.empty()) continue;
      lists[type - 1].push_back(mime::Address(name, address));
    }
    std::string out;
    const char* fields[] = {"To", "Cc", "Bcc"};
    for (int k = 0; k < 3; ++k) {
      std::string joined;
      for (const std::string& one : lists[k]) joined += (joined.empty() ? "" : ", ") + one;
      if (!joined.empty()) out += mime::Field(fields[k], joined);
    }
    return out;
  }

  // The Content-Type line and what follows the header section.
  std::string Body() {
    const std::string text = PlainText();
    bool htmlIsText = false;
    std::optional<std::string> html;
    try {
      html = item_.BytesOrText(pff::kHtml, htmlIsText);
    } catch (const pff::Error&) {
      warnings_.push_back("its HTML body cannot be read; left out");
    }
    const std::string rtf = html || !text.empty() ? std::string() : Rtf();
    std::string main;
    if (html && !text.empty()) {
      const std::string boundary = Boundary();
      main = "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n--" +
             boundary + "\r\n" + TextPart(text, "plain", "utf-8") + "\r\n--" + boundary + "\r\n" +
             HtmlPart(*html, htmlIsText) + "\r\n--" + boundary + "--\r\n";
    } else if (html) {
      main = HtmlPart(*html, htmlIsText);
    } else {
      main = TextPart(text, "plain", "utf-8");
    }
    std::vector<std::string> parts;
    if (!rtf.empty()) {
      parts.push_back("Content-Type: application/rtf" + mime::Parameter("name", "body.rtf") +
                      "\r\nContent-Disposition: attachment" +
                      mime::Parameter("filename", "body.rtf") +
                      "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + mime::Base64Lines(rtf));
    }
    Attachments(parts);
    if (parts.empty()) return main;
    const std::string boundary = Boundary();
    std::string out = "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n--" +
                      boundary + "\r\n" + main;
    for (const std::string& part : parts) out += "\r\n--" + boundary + "\r\n" + part;
    return out + "\r\n--" + boundary + "--\r\n";
  }

  std::string PlainText() {
    return BodyText(libpff_message_get_plain_text_body_size, libpff_message_get_plain_text_body,
                    "plain text");
  }

  std::string Rtf() {
    return BodyText(libpff_message_get_rtf_body_size, libpff_message_get_rtf_body, "RTF");
  }

  // A body libpff gives (text it has made UTF-8, or RTF it has decompressed); empty when there
  // is none, and a warning when there is one that cannot be read.
  using SizeCall = int (*)(libpff_item_t*, size_t*, libpff_error_t**);
  using BodyCall = int (*)(libpff_item_t*, uint8_t*, size_t, libpff_error_t**);
  std::string BodyText(SizeCall sizeOf, BodyCall read, const char* kind) {
    size_t size = 0;
    libpff_error_t* error = nullptr;
    const int found = sizeOf(item_.get(), &size, &error);
    std::string body;
    if (found == 1 && size > 0) {
      body.assign(size, '\0');
      if (read(item_.get(), reinterpret_cast<uint8_t*>(body.data()), size, &error) != 1) {
        body.clear();
      }
    }
    if (error != nullptr) {
      libpff_error_free(&error);
      warnings_.push_back(std::string("its ") + kind + " body cannot be read; left out");
      return {};
    }
    while (!body.empty() && body.back() == '\0') body.pop_back();
    return body;
  }

  static std::string TextPart(std::string_view text, const char* subtype, const char* charset) {
    return std::string("Content-Type: text/") + subtype + "; charset=\"" + charset +
           "\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
           mime::QuotedPrintable(text);
  }

  std::string HtmlPart(std::string html, bool utf8) {
    while (!html.empty() && html.back() == '\0') html.pop_back();
    if (utf8) return TextPart(html, "html", "utf-8");
    const char* charset = nullptr;
    for (const std::uint32_t tag : {pff::kInternetCodepage, pff::kMessageCodepage}) {
      if (charset == nullptr) charset = CharsetOf(item_.Number(tag).value_or(0));
    }
    if (charset == nullptr || (EqualsIgnoringCase(charset, "utf-8") && !mime::IsUtf8(html))) {
      charset = mime::IsUtf8(html) ? "utf-8" : "windows-1252";
    }
    return TextPart(html, "html", charset);
  }

  void Attachments(std::vector<std::string>& parts) {
    int count = 0;
    if (libpff_message_get_number_of_attachments(item_.get(), &count, nullptr) != 1) {
      warnings_.push_back("its attachments cannot be listed; none is carried");
      return;
    }
    for (int i = 0; i < count; ++i) {
      pff::Item attachment;
      libpff_error_t* error = nullptr;
      std::string name = "attachment " + std::to_string(i + 1);
      try {
        if (libpff_message_get_attachment(item_.get(), i, attachment.out(), &error) != 1) {
          pff::Fail("cannot be read", error);
        }
        const std::string shown =
            OneLine(attachment.Text(pff::kAttachLongName)
                        .value_or(attachment.Text(pff::kAttachShortName)
                                      .value_or(attachment.Text(pff::kDisplayName).value_or(""))));
        if (!shown.empty()) name += " (\"" + shown + "\")";
        int type = 0;
        if (libpff_attachment_get_type(attachment.get(), &type, &error) != 1) {
          pff::Fail("its kind cannot be read", error);
        }
        if (type == LIBPFF_ATTACHMENT_TYPE_DATA) {
          parts.push_back(DataPart(attachment, shown, i));
        } else if (type == LIBPFF_ATTACHMENT_TYPE_ITEM) {
          if (auto part = MessagePart(attachment, shown, name)) parts.push_back(*part);
        } else {
          warnings_.push_back(name + " is a link to a file outside the data file; not carried");
        }
      } catch (const pff::Error& failed) {
        warnings_.push_back(name + " cannot be read (" + failed.what() + "); left out");
      }
    }
  }

  std::string DataPart(const pff::Item& attachment, const std::string& shown, int index) {
    std::string type = OneLine(attachment.Text(pff::kAttachMimeTag).value_or(""));
    const auto slash = type.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == type.size() ||
        type.find_first_of(" ;\"") != std::string::npos) {
      type = "application/octet-stream";
    }
    const std::string name = shown.empty() ? "attachment-" + std::to_string(index + 1) : shown;
    std::string id = OneLine(attachment.Text(pff::kAttachContentId).value_or(""));
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
    std::string out = "Content-Type: " + type + mime::Parameter("name", name) + "\r\n";
    out += std::string("Content-Disposition: ") + (id.empty() ? "attachment" : "inline") +
           mime::Parameter("filename", name) + "\r\n";
    if (!id.empty()) out += "Content-ID: <" + id + ">\r\n";
    out += "Content-Transfer-Encoding: base64\r\n\r\n";
    size64_t size = 0;
    libpff_error_t* error = nullptr;
    if (libpff_attachment_get_data_size(attachment.get(), &size, &error) != 1) {
      pff::Fail("its size cannot be read", error);
    }
    if (size > 0 && libpff_attachment_data_seek_offset(attachment.get(), 0, SEEK_SET, &error) < 0) {
      pff::Fail("its data cannot be read", error);
    }
    mime::Base64Stream base64;
    std::string piece(kAttachmentPiece, '\0');
    for (size64_t left = size; left > 0;) {
      const auto want = static_cast<std::size_t>(std::min<size64_t>(left, piece.size()));
      const ssize_t n = libpff_attachment_data_read_buffer(
          attachment.get(), reinterpret_cast<uint8_t*>(piece.data()), want, &error);
      if (n <= 0) pff::Fail("its data ends early", error);
      base64.Add(std::string_view(piece.data(), static_cast<std::size_t>(n)), out);
      left -= static_cast<size64_t>(n);
    }
    base64.Finish(out);
    return out;
  }

  std::optional<std::string> MessagePart(const pff::Item& attachment, const std::string& shown,
                                         const std::string& name) {
    if (depth_ + 1 > kDeepestEmbedding) {
      warnings_.push_back(name + " is a message nested " + std::to_string(kDeepestEmbedding) +
                          " deep; not carried");
      return std::nullopt;
    }
    pff::Item embedded;
    libpff_error_t* error = nullptr;
    if (libpff_attachment_get_item(attachment.get(), embedded.out(), &error) != 1) {
      pff::Fail("its message cannot be read", error);
    }
    const std::string message = Maker(embedded, storeKey_, depth_ + 1, warnings_).Make();
    std::string out = "Content-Type: message/rfc822\r\n";
    if (!shown.empty()) {
      out +=
          "Content-Disposition: attachment" + mime::Parameter("filename", shown + ".eml") + "\r\n";
    }
    out += std::string("Content-Transfer-Encoding: ") + (mime::IsAscii(message) ? "7bit" : "8bit");
    return out + "\r\n\r\n" + message;
  }

  const pff::Item& item_;
  std::string storeKey_;
  int depth_;
  int boundaries_ = 0;
  std::vector<std::string>& warnings_;
};

std::string StoreKey(const pff::File& file) {
  const pff::Item store = file.Store();
  return store ? Hex(store.Bytes(0x0FF9).value_or("")) : std::string();
}

Built MakeMessage(const pff::Item& item, const std::string& storeKey) {
  int sets = 0;
  libpff_error_t* error = nullptr;
  if (libpff_item_get_number_of_record_sets(item.get(), &sets, &error) != 1) {
    pff::Fail("its properties cannot be read", error);
  }
  if (sets == 0) throw pff::Error("it has no properties");
  Built built;
  built.bytes = Maker(item, storeKey, 0, built.warnings).Make();
  return built;
}

}  // namespace

bool HasSignature(std::string_view head) {
  return head.substr(0, 4) == "!BDN";
}

Kind KindOf(std::string_view messageClass) {
  static constexpr std::pair<const char*, Kind> kOthers[] = {
      {"IPM.Contact", Kind::kContact},      {"IPM.DistList", Kind::kList},
      {"IPM.Appointment", Kind::kCalendar}, {"IPM.Task", Kind::kTask},
      {"IPM.StickyNote", Kind::kNote},      {"IPM.Activity", Kind::kJournal},
  };
  for (const auto& [base, kind] : kOthers) {
    if (OfClass(messageClass, base)) return kind;
  }
  return Kind::kMail;
}

std::string CountOf(Kind kind, std::size_t count) {
  static constexpr const char* kNames[][2] = {
      {"mail item", "mail items"},
      {"contact", "contacts"},
      {"calendar item", "calendar items"},
      {"task", "tasks"},
      {"note", "notes"},
      {"journal entry", "journal entries"},
      {"contact list", "contact lists"},
  };
  return std::to_string(count) + " " + kNames[static_cast<int>(kind)][count == 1 ? 0 : 1];
}

struct MessageMaker::Open {
  std::string path;
  pff::File file;
  std::string storeKey;
  explicit Open(const std::string& where) : path(where), file(where), storeKey(StoreKey(file)) {}
};

MessageMaker::MessageMaker() = default;
MessageMaker::~MessageMaker() = default;

Built MessageMaker::Make(const std::string& path, std::uint64_t id) {
  try {
    if (!open_ || open_->path != path) {
      open_.reset();
      open_ = std::make_unique<Open>(path);
    }
    const pff::Item item = open_->file.ById(static_cast<std::uint32_t>(id));
    return MakeMessage(item, open_->storeKey);
  } catch (const pff::Error& error) {
    throw ItemError(error.what());
  } catch (const std::bad_alloc&) {
    throw ItemError("too large to make in the memory there is");
  }
}

std::string ReferenceKey(std::string_view entryId) {
  static constexpr std::size_t kShort = 24;  // flags, the store's GUID, the identifier
  static constexpr std::size_t kLong = 46;   // flags, GUIDs, a 6-byte counter, padding
  if (entryId.size() == kShort) return "n" + std::string(entryId.substr(20, 4));
  if (entryId.size() == kLong) return "g" + std::string(entryId.substr(38, 6));
  return {};
}

std::vector<std::string> FolderKeys(std::uint32_t id, std::string_view longTermId) {
  const char bytes[4] = {static_cast<char>(id & 0xFF), static_cast<char>((id >> 8) & 0xFF),
                         static_cast<char>((id >> 16) & 0xFF), static_cast<char>(id >> 24)};
  std::vector<std::string> keys{"n" + std::string(bytes, 4)};
  // A replica's 2-byte number, then the counter.
  if (longTermId.size() == 8) keys.push_back("g" + std::string(longTermId.substr(2, 6)));
  return keys;
}

std::string LostItemLabel(const std::string& path, std::uint32_t folder, int index) {
  return path + ":folder " + std::to_string(folder) + " item " + std::to_string(index + 1);
}

void EachMailItem(const std::string& path, const ItemVisit& visit,
                  const std::function<void(const std::string&)>& unreadable) {
  try {
    const pff::File file(path);
    const std::string storeKey = StoreKey(file);
    std::vector<pff::Item> folders;
    folders.push_back(file.Root());
    while (!folders.empty()) {
      const pff::Item folder = std::move(folders.back());
      folders.pop_back();
      const std::uint32_t folderId = folder.Id();
      try {
        for (int i = 0, n = pff::SubFolderCount(folder); i < n; ++i) {
          try {
            pff::Item sub = pff::SubFolder(folder, i);
            if ((sub.Id() & kIdTypeMask) != kSearchFolderType) folders.push_back(std::move(sub));
          } catch (const pff::Error& error) {
            unreadable(path + ":folder " + std::to_string(folderId) + ", subfolder " +
                       std::to_string(i + 1) + ": " + error.what());
          }
        }
        for (int i = 0, n = pff::SubMessageCount(folder); i < n; ++i) {
          std::string label = LostItemLabel(path, folderId, i);
          try {
            const pff::Item item = pff::SubMessage(folder, i);
            label = path + ":" + std::to_string(item.Id());
            if (KindOf(item.Text(pff::kMessageClass).value_or("")) != Kind::kMail) continue;
            const Built built = MakeMessage(item, storeKey);
            visit(label, &built, "");
          } catch (const pff::Error& error) {
            visit(label, nullptr, error.what());
          } catch (const std::bad_alloc&) {
            visit(label, nullptr, "too large to make in the memory there is");
          }
        }
      } catch (const pff::Error& error) {
        unreadable(path + ":folder " + std::to_string(folderId) + ": " + error.what());
      }
    }
  } catch (const pff::Error& error) {
    throw ItemError(error.what());
  }
}

}  // namespace crateline::mailbox::outlook
