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

// Sends one SOAP request and returns the token its answer carries; `who` names the account in
// what is said when it fails.
std::string AskForToken(HttpClient& http, const std::string& endpoint, const std::string& body,
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
  std::string found = ElementText(answer.body, "authToken");
  if (found.empty()) {
    const bool twoFactor = ElementText(answer.body, "twoFactorAuthRequired") == "true";
    throw LoginError(twoFactor ? who +
                                     " logs in with a second factor, which this program cannot "
                                     "give: log in with the web client and pass its "
                                     "ZM_AUTH_TOKEN cookie with --token-file"
                               : "the server's answer to the login of " + who + " holds no token");
  }
  return found;
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
  switch (credentials.method) {
    case Credentials::Method::kBasic:
      session.basicUser = credentials.user;
      session.basicPassword = credentials.password;
      return session;
    case Credentials::Method::kToken:
      session.cookie = "ZM_AUTH_TOKEN=" + credentials.token;
      return session;
    case Credentials::Method::kSoap:
      break;
  }
  std::string token;
  if (credentials.admin.empty()) {
    token = AskForToken(http, Trimmed(url) + "/service/soap/",
                        "<AuthRequest xmlns=\"urn:zimbraAccount\"><account by=\"name\">" +
                            XmlEscaped(credentials.user) + "</account><password>" +
                            XmlEscaped(credentials.password) + "</password></AuthRequest>",
                        "", who);
  } else {
    const std::string endpoint = Trimmed(credentials.adminUrl) + "/service/admin/soap/";
    const std::string admin = AskForToken(
        http, endpoint,
        "<AuthRequest xmlns=\"urn:zimbraAdmin\"><name>" + XmlEscaped(credentials.admin) +
            "</name><password>" + XmlEscaped(credentials.password) + "</password></AuthRequest>",
        "", "the administrator \"" + credentials.admin + "\"");
    token = AskForToken(http, endpoint,
                        "<DelegateAuthRequest xmlns=\"urn:zimbraAdmin\" duration=\"86400\">"
                        "<account by=\"name\">" +
                            XmlEscaped(credentials.user) + "</account></DelegateAuthRequest>",
                        admin, who + " (for the administrator)");
  }
  session.cookie = "ZM_AUTH_TOKEN=" + token;
  return session;
}

Verdict ParseCallbackPage(const std::string& page, const std::string& callback) {
  Verdict verdict;
  const std::string call = callback + "(";
  std::size_t at = page.find(call);
  if (at == std::string::npos) return verdict;
  at += call.size();
  const auto skipSpace = [&] {
    while (at < page.size() && std::isspace(static_cast<unsigned char>(page[at])) != 0) ++at;
  };
  skipSpace();
  if (at >= page.size() || (page[at] != '\'' && page[at] != '"')) return verdict;
  const char quote = page[at++];
  const std::size_t close = page.find(quote, at);
  if (close == std::string::npos) return verdict;
  verdict.result = page.substr(at, close - at);
  verdict.found = true;
  at = close + 1;
  for (;;) {
    skipSpace();
    if (at >= page.size() || page[at] != ',') break;
    ++at;
    skipSpace();
    const std::size_t end = ValueEnd(page, at);
    if (end == std::string::npos) break;
    try {
      verdict.faults.push_back(FaultOf(nlohmann::json::parse(page.substr(at, end - at))));
    } catch (const nlohmann::json::exception&) {
      verdict.faults.push_back({"", page.substr(at, std::min<std::size_t>(end - at, 500)), ""});
    }
    at = end;
  }
  return verdict;
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
