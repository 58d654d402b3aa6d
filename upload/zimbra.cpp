#include "upload/zimbra.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <regex>

namespace crateline::upload {
namespace {

constexpr double kLoginSeconds = 120;  // a login answers at once, or not at all

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string XmlUnescaped(const std::string& text) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (text.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
        out += c;
        i += std::char_traits<char>::length(entity);
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

// The text of the first element `name` (any namespace prefix) in an answer that holds text;
// "" when none does.
std::string ElementText(const std::string& xml, const std::string& name) {
  const std::regex element("<(?:[A-Za-z0-9_]+:)?" + name + "(?:\\s[^>]*)?>([^<]*)<");
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), element);
       it != std::sregex_iterator(); ++it) {
    std::string text = XmlUnescaped((*it)[1].str());
    if (!text.empty()) return text;
  }
  return "";
}

std::string Envelope(const std::string& body, const std::string& token = "") {
  const std::string context = token.empty() ? "<context xmlns=\"urn:zimbra\"/>"
                                            : "<context xmlns=\"urn:zimbra\"><authToken>" +
                                                  XmlEscaped(token) + "</authToken></context>";
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">"
         "<soap:Header>" +
         context + "</soap:Header><soap:Body>" + body + "</soap:Body></soap:Envelope>";
}

std::string Trimmed(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

// Sends one SOAP request and returns its answer; `who` names the account in what is said when
// it fails.
std::string Ask(HttpClient& http, const std::string& endpoint, const std::string& body,
                const std::string& token, const std::string& who) {
  Request request;
  request.url = endpoint;
  request.headers = {"Content-Type: application/soap+xml; charset=utf-8"};
  request.body = Envelope(body, token);
  request.answerTimeout = kLoginSeconds;
  const Response answer = http.Post(request);
  if (answer.status == 0) {
    throw LoginError("cannot reach " + endpoint + ": " + answer.error);
  }
  if (answer.status != 200) {
    const std::string fault = SoapFaultText(answer.body);
    throw LoginError("the server refused the login of " + who + " (HTTP " +
                     std::to_string(answer.status) + (fault.empty() ? "" : ": " + fault) + ")");
  }
  return answer.body;
}

// Sends one SOAP request and returns the token its answer carries.
std::string AskForToken(HttpClient& http, const std::string& endpoint, const std::string& body,
                        const std::string& token, const std::string& who) {
  const std::string answer = Ask(http, endpoint, body, token, who);
  std::string found = ElementText(answer, "authToken");
  if (found.empty()) {
    const bool twoFactor = ElementText(answer, "twoFactorAuthRequired") == "true";
    throw LoginError(twoFactor ? who +
                                     " logs in with a second factor, which this program cannot "
                                     "give: log in with the web client and pass its "
                                     "ZM_AUTH_TOKEN cookie with --token-file"
                               : "the server's answer to the login of " + who + " holds no token");
  }
  return found;
}

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string UserToken(HttpClient& http, const std::string& url, const Credentials& credentials,
                      const std::string& who) {
  return AskForToken(http, Trimmed(url) + "/service/soap/",
                     "<AuthRequest xmlns=\"urn:zimbraAccount\"><account by=\"name\">" +
                         XmlEscaped(credentials.user) + "</account><password>" +
                         XmlEscaped(credentials.password) + "</password></AuthRequest>",
                     "", who);
}

// An administrator's login, then a token to act for the user, as zmmailbox -z does.
std::string DelegatedToken(HttpClient& http, const Credentials& credentials,
                           const std::string& who) {
  const std::string endpoint = Trimmed(credentials.adminUrl) + "/service/admin/soap/";
  const std::string admin = AskForToken(
      http, endpoint,
      "<AuthRequest xmlns=\"urn:zimbraAdmin\"><name>" + XmlEscaped(credentials.admin) +
          "</name><password>" + XmlEscaped(credentials.password) + "</password></AuthRequest>",
      "", "the administrator \"" + credentials.admin + "\"");
  return AskForToken(http, endpoint,
                     "<DelegateAuthRequest xmlns=\"urn:zimbraAdmin\" duration=\"86400\">"
                     "<account by=\"name\">" +
                         XmlEscaped(credentials.user) + "</account></DelegateAuthRequest>",
                     admin, who + " (for the administrator)");
}

// Where a JSON value that starts at `from` ends (one past it), strings and nesting followed;
// npos when it does not end.
std::size_t ValueEnd(const std::string& text, std::size_t from) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
        if (depth == 0) return i + 1;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) return i + 1;
      if (depth < 0) return std::string::npos;
    } else if (depth == 0 && (c == ',' || c == ')')) {
      return i;
    }
  }
  return std::string::npos;
}

Fault FaultOf(const nlohmann::json& value) {
  Fault fault;
  const auto text = [](const nlohmann::json& node) {
    return node.is_string() ? node.get<std::string>() : std::string();
  };
  if (!value.is_object()) {
    fault.message = value.dump();
    return fault;
  }
  if (value.contains("Reason") && value["Reason"].is_object()) {
    fault.message = text(value["Reason"].value("Text", nlohmann::json()));
  }
  const auto detail = value.value("Detail", nlohmann::json::object());
  const auto error = detail.is_object() ? detail.value("Error", nlohmann::json::object())
                                        : nlohmann::json::object();
  if (error.is_object()) {
    fault.code = text(error.value("Code", nlohmann::json()));
    const auto arguments = error.value("a", nlohmann::json::array());
    for (const auto& argument : arguments) {
      if (argument.is_object() && argument.value("n", "") == "path") {
        fault.path = text(argument.value("_content", nlohmann::json()));
      }
    }
  }
  return fault;
}

}  // namespace

Session Login(HttpClient& http, const std::string& url, const Credentials& credentials) {
  Session session;
  const std::string who = "\"" + credentials.user + "\"";
  std::string token;
  switch (credentials.method) {
    case Credentials::Method::kBasic:
      session.basicUser = credentials.user;
      session.basicPassword = credentials.password;
      session.account = Lowered(credentials.user);
      return session;
    case Credentials::Method::kToken:
      token = credentials.token;
      break;
    case Credentials::Method::kSoap:
      session.renewable = true;
      token = credentials.admin.empty() ? UserToken(http, url, credentials, who)
                                        : DelegatedToken(http, credentials, who);
      break;
  }
  session.cookie = "ZM_AUTH_TOKEN=" + token;
  // The account's own name: "ann" and "ANN@example.com" are one mailbox, and one upload.
  const std::string info =
      Ask(http, Trimmed(url) + "/service/soap/",
          "<GetInfoRequest xmlns=\"urn:zimbraAccount\" sections=\"mbox\"/>", token, who);
  session.account = Lowered(ElementText(info, "name"));
  if (session.account.empty()) {
    throw LoginError("the server did not say which account " + who + " is");
  }
  return session;
}

CallbackPageReader::CallbackPageReader(std::string callback) : call_(std::move(callback) + "(") {}

void CallbackPageReader::Feed(const char* data, std::size_t size) {
  if (state_ == State::kDone) return;
  buffer_.append(data, size);
  Parse();
}

void CallbackPageReader::Parse() {
  constexpr std::size_t kLongestFault = 1024 * 1024;
  const auto skipSpace = [&] {
    std::size_t at = 0;
    while (at < buffer_.size() && std::isspace(static_cast<unsigned char>(buffer_[at])) != 0) ++at;
    buffer_.erase(0, at);
  };
  for (;;) {
    switch (state_) {
      case State::kSeek: {
        const std::size_t at = buffer_.find(call_);
        if (at == std::string::npos) {
          // Keep what may be the start of the call, cut by the read.
          if (buffer_.size() >= call_.size()) buffer_.erase(0, buffer_.size() - call_.size() + 1);
          return;
        }
        buffer_.erase(0, at + call_.size());
        state_ = State::kResult;
        break;
      }
      case State::kResult: {
        skipSpace();
        if (buffer_.empty()) return;
        const char quote = buffer_[0];
        if (quote != '\'' && quote != '"') {
          state_ = State::kDone;
          return;
        }
        const std::size_t close = buffer_.find(quote, 1);
        if (close == std::string::npos) return;
        verdict_.result = buffer_.substr(1, close - 1);
        verdict_.found = true;
        buffer_.erase(0, close + 1);
        state_ = State::kFaults;
        break;
      }
      case State::kFaults: {
        skipSpace();
        if (buffer_.empty()) return;
        if (buffer_[0] != ',') {
          state_ = State::kDone;  // the call's closing parenthesis
          return;
        }
        std::size_t start = 1;
        while (start < buffer_.size() &&
               std::isspace(static_cast<unsigned char>(buffer_[start])) != 0) {
          ++start;
        }
        const std::size_t end = ValueEnd(buffer_, start);
        if (end == std::string::npos) {
          if (buffer_.size() <= kLongestFault) return;  // the rest of it is still to come
          // A fault longer than any the server writes: said as it begins, and no more read.
          verdict_.faults.push_back({"", buffer_.substr(start, 500), ""});
          state_ = State::kDone;
          return;
        }
        try {
          verdict_.faults.push_back(
              FaultOf(nlohmann::json::parse(buffer_.substr(start, end - start))));
        } catch (const nlohmann::json::exception&) {
          verdict_.faults.push_back(
              {"", buffer_.substr(start, std::min<std::size_t>(end - start, 500)), ""});
        }
        buffer_.erase(0, end);
        break;
      }
      case State::kDone:
        return;
    }
  }
}

Verdict ParseCallbackPage(const std::string& page, const std::string& callback) {
  CallbackPageReader reader(callback);
  reader.Feed(page.data(), page.size());
  return reader.Result();
}

std::string ImportUrl(const std::string& url, const std::string& user,
                      const std::string& subfolder) {
  std::string out = Trimmed(url) + "/service/home/" + UrlEncoded(user, "@") +
                    "/?fmt=tgz&callback=" + kCallback + "&charset=UTF-8&types=message";
  if (!subfolder.empty()) out += "&subfolder=" + UrlEncoded(subfolder);
  return out;
}

std::string SoapFaultText(const std::string& answer) {
  const std::string reason = ElementText(answer, "Text");
  const std::string code = ElementText(answer, "Code");
  if (reason.empty() && code.empty()) return "";
  return reason + (code.empty() ? "" : " (" + code + ")");
}

}  // namespace crateline::upload
