// Zimbra's side of an upload: logging in, and the REST import of one archive with its verdict.
//
// The import is POST /service/home/USER/?fmt=tgz with `callback=`: only then does the server
// say, in an HTML page that calls the callback, whether the import succeeded, and which entries
// it could not take (without it, the answer is an empty 200 whatever was lost). Each fault is a
// SOAP fault in JSON; most name the entry's path, some (those the server wraps) do not.
//
// Logging in: a SOAP AuthRequest gives the token sent as the ZM_AUTH_TOKEN cookie (the default);
// or HTTP Basic on each request; or a token the user already has (an account with two-factor
// login has no other way). An administrator acts for a user as zmmailbox -z does: an admin
// AuthRequest on the admin port, then DelegateAuthRequest for the user's token.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "upload/http.h"

namespace crateline::upload {

struct Credentials {
  enum class Method { kSoap, kBasic, kToken } method = Method::kSoap;
  std::string user;
  std::string password;  // the user's, or the administrator's when `admin` is set
  std::string token;     // kToken
  std::string admin;     // log in as this administrator and act for `user`
  std::string adminUrl;  // the admin service, e.g. https://mail.example.com:7071
};

// The server refused the login, or could not be asked; the message says which, for the user.
class LoginError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What an import request needs to be let in: a cookie, or Basic credentials; and the account
// as the server names it.
struct Session {
  std::string cookie;
  std::string basicUser;
  std::string basicPassword;
  std::string account;     // the account's own name, e.g. ann@example.com for "ann"
  bool renewable = false;  // a new login can replace it (not a token the user gave)
};

// Logs in at `url` (the mail server, e.g. https://mail.example.com); throws LoginError. With a
// token (ours or the user's), the server is asked for the account's own name; with Basic
// credentials, which the SOAP service does not take, it is the name as given, lower-cased.
Session Login(HttpClient& http, const std::string& url, const Credentials& credentials);

struct Fault {
  std::string code;     // e.g. formatter.UNKNOWN_ERROR, mail.INVALID_NAME
  std::string message;  // the server's text
  std::string path;     // the entry it concerns; empty when the server did not say
};

struct Verdict {
  bool found = false;  // the page called the callback
  std::string result;  // success, warn or fail
  std::vector<Fault> faults;
};

// Reads the callback page the import answers with as it arrives, keeping no more of it than the
// fault being read: a page that lists a fault for every message of a large volume is read
// whole however long it is.
class CallbackPageReader {
 public:
  explicit CallbackPageReader(std::string callback);
  void Feed(const char* data, std::size_t size);
  const Verdict& Result() const { return verdict_; }
  // The page ended the call (its closing parenthesis came): nothing of the verdict is missing.
  bool Whole() const { return state_ == State::kDone; }

 private:
  enum class State { kSeek, kResult, kFaults, kDone };
  void Parse();
  std::string call_;
  std::string buffer_;
  State state_ = State::kSeek;
  Verdict verdict_;
};

// Reads a whole callback page.
Verdict ParseCallbackPage(const std::string& page, const std::string& callback);

// The callback name the imports use.
inline constexpr const char* kCallback = "crateline";

// The import URL: the user's root folder (the archive's folders are whole paths from it), with
// the callback, and `subfolder` (created by the server) when given.
std::string ImportUrl(const std::string& url, const std::string& user,
                      const std::string& subfolder);

// A SOAP fault's code and reason from an XML answer ("" when there is none).
std::string SoapFaultText(const std::string& answer);

}  // namespace crateline::upload
