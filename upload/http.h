// HTTPS requests, through libcurl on Linux and the system's WinHTTP on Windows: small ones whose
// answer is read whole (logging in), and large ones whose body is streamed from a reader (an
// archive as it is made) with no copy on disk. Both answer with the same Response.
//
// What an upload must tell apart is how far a request got, since Zimbra keeps what an import
// already added: nothing sent (the connection failed; safe to send again), sent but no answer
// (a cut, a timeout: the import may be running), or an answer. A Response says which.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace crateline::upload {

struct TlsOptions {
  std::string caFile;     // certificates to trust instead of the system's
  bool insecure = false;  // no certificate checks at all (a test server, a self-signed one)
};

struct Request {
  std::string url;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;                  // sent when there is no reader
  // Fills the buffer with the next bytes of the body and returns how many; 0 at its end. It may
  // throw to abort the request. With a reader and no length the body goes chunked.
  std::function<std::size_t(char* buffer, std::size_t size)> reader;
  std::int64_t length = -1;
  std::string basicUser;  // HTTP Basic credentials, when not empty
  std::string basicPassword;
  std::string cookie;  // "NAME=value"
  // Seconds to wait for the answer once the whole body is sent; 0: no limit.
  double answerTimeout = 0;
  // Takes the answer's body as it comes, instead of Response::body (which holds at most 16 MiB).
  std::function<void(const char* data, std::size_t size)> onAnswer;
};

struct Response {
  long status = 0;  // 0: no answer
  std::string body;
  std::string contentType;
  std::string location;  // where a redirect sends the request
  // The answer began (`status` is its status) but the connection broke before its end: a
  // server that answers at once and resets the connection, or an answer cut short.
  bool answerCut = false;
  std::string error;            // why there is no answer
  std::uint64_t bytesSent = 0;  // of the body
  bool bodySent = false;        // the whole body went out
  bool timedOut = false;        // no answer within answerTimeout
  bool stopped = false;         // Ctrl-C, or Progress asked to stop
  bool readerFailed = false;    // the reader threw: `error` says why
  double secondsAfterBody = 0;  // from the body's last byte to the answer
};

// Called now and then with the body's bytes sent so far; returns false to stop the request.
using Progress = std::function<bool(std::uint64_t bytesSent)>;

class HttpClient {
 public:
  explicit HttpClient(TlsOptions tls);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  Response Post(const Request& request, const Progress& progress = {});

 private:
  struct Native;  // the library's own handles
  TlsOptions tls_;
  std::unique_ptr<Native> native_;
};

// The most of an answer kept in Response::body: a verdict is a page of faults at most.
constexpr std::size_t kLargestAnswer = 16 * 1024 * 1024;

// Text escaped for a URL's query or path segment (RFC 3986 unreserved characters kept).
std::string UrlEncoded(const std::string& text, const std::string& alsoKeep = "");

}  // namespace crateline::upload
