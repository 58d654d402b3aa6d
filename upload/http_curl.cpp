// The HTTP seam on Linux, through libcurl.
#include "upload/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "platform/termination.h"

namespace crateline::upload {
namespace {

using Clock = std::chrono::steady_clock;
constexpr long kConnectSeconds = 30;
// The body's bytes must move at least this often: a peer that takes nothing for so long is gone.
constexpr auto kStall = std::chrono::seconds(120);

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw std::runtime_error("libcurl could not be set up");
    }
  });
}

// What one request's callbacks share.
struct Transfer {
  const Request* request = nullptr;
  const Progress* progress = nullptr;
  Response* response = nullptr;
  Clock::time_point lastMove = Clock::now();
  Clock::time_point bodyEnd{};
  bool bodyDone = false;
  std::uint64_t lastSent = 0;
  std::uint64_t handedOut = 0;  // body bytes the reader gave libcurl
};

std::size_t ReadBody(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  std::size_t n = 0;
  try {
    n = t.request->reader(buffer, size * count);
  } catch (const std::exception& e) {
    t.response->readerFailed = true;
    t.response->error = e.what();
    return CURL_READFUNC_ABORT;
  }
  t.handedOut += n;
  // libcurl stops asking once a body of known length is out: that is its end too.
  const bool whole =
      t.request->length >= 0 && t.handedOut >= static_cast<std::uint64_t>(t.request->length);
  if ((n == 0 || whole) && !t.bodyDone) {
    t.bodyDone = true;
    t.bodyEnd = Clock::now();
  }
  return n;
}

std::size_t WriteAnswer(char* data, std::size_t size, std::size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  if (t.request->onAnswer) {
    try {
      t.request->onAnswer(data, n);
    } catch (const std::exception&) {
      return 0;  // nothing may unwind through libcurl: the transfer ends
    }
    return n;
  }
  if (t.response->body.size() + n > kLargestAnswer) return 0;  // ends the transfer: too long
  t.response->body.append(data, n);
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
  auto& t = *static_cast<Transfer*>(user);
  const auto now = Clock::now();
  const auto bytes = static_cast<std::uint64_t>(sent);
  if (bytes != t.lastSent) {
    t.lastSent = bytes;
    t.lastMove = now;
  }
  if (!t.request->reader && t.request->length < 0 && bytes >= t.request->body.size() &&
      !t.bodyDone) {
    t.bodyDone = true;
    t.bodyEnd = now;
  }
  bool go = true;
  try {
    go = !*t.progress || (*t.progress)(bytes);
  } catch (const std::exception&) {
    go = false;  // nothing may unwind through libcurl
  }
  if (platform::TerminationRequested() || !go) {
    t.response->stopped = true;
    return 1;
  }
  if (t.bodyDone && t.request->answerTimeout > 0 &&
      std::chrono::duration<double>(now - t.bodyEnd).count() > t.request->answerTimeout) {
    t.response->timedOut = true;
    return 1;
  }
  if (!t.bodyDone && now - t.lastMove > kStall) {
    t.response->error = "nothing could be sent for two minutes";
    return 1;
  }
  return 0;
}

}  // namespace

struct HttpClient::Native {
  CURL* curl = nullptr;
};

HttpClient::HttpClient(TlsOptions tls) : tls_(std::move(tls)), native_(std::make_unique<Native>()) {
  GlobalInit();
  native_->curl = curl_easy_init();
  if (native_->curl == nullptr) throw std::runtime_error("libcurl could not be set up");
}

HttpClient::~HttpClient() {
  curl_easy_cleanup(native_->curl);
}

Response HttpClient::Post(const Request& request, const Progress& progress) {
  CURL* curl = native_->curl;
  curl_easy_reset(curl);
  Response response;
  Transfer transfer{&request, &progress, &response};
  char errorText[CURL_ERROR_SIZE] = {};

  curl_slist* headers = nullptr;
  for (const auto& header : request.headers) headers = curl_slist_append(headers, header.c_str());
  // No wait for a 100 Continue unless the request asks for one.
  const bool expects = std::any_of(request.headers.begin(), request.headers.end(),
                                   [](const std::string& h) { return h.rfind("Expect:", 0) == 0; });
  if (!expects) headers = curl_slist_append(headers, "Expect:");
  if (request.reader && request.length < 0) {
    headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
  }

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https,http");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);  // a redirect would lose the body
  // A connection of its own for every request: on a kept-alive one that the server has closed,
  // libcurl would send the body again from its start, which a body made on the way cannot be,
  // and what was sent would be miscounted.
  curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  if (!tls_.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, tls_.caFile.c_str());
  if (tls_.insecure) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  if (!request.basicUser.empty()) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(curl, CURLOPT_USERNAME, request.basicUser.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, request.basicPassword.c_str());
  }
  if (!request.cookie.empty()) curl_easy_setopt(curl, CURLOPT_COOKIE, request.cookie.c_str());
  if (request.reader) {
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadBody);
    curl_easy_setopt(curl, CURLOPT_READDATA, &transfer);
    if (request.length >= 0) {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.length));
    }
  } else {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteAnswer);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

  const CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);

  curl_off_t sent = 0;
  curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &sent);
  // What left through the reader counts as sent even where libcurl's count says less: the
  // server may have it.
  response.bytesSent = std::max(static_cast<std::uint64_t>(sent), transfer.handedOut);
  if (!request.reader) {
    transfer.bodyDone = transfer.bodyDone || response.bytesSent >= request.body.size();
  }
  response.bodySent = transfer.bodyDone && !response.readerFailed;
  // A status counts even when the transfer failed after it: a server that refuses a request
  // (a login it does not take, a body too large) may answer at once and reset the connection
  // while the body is still going out. A redirect says where to.
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  const char* location = nullptr;
  curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
  if (location != nullptr) response.location = location;
  if (status > 0 && !response.stopped && !response.timedOut) {
    response.status = status;
    response.answerCut = code != CURLE_OK;
    const char* type = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
    if (type != nullptr) response.contentType = type;
    if (transfer.bodyDone) {
      response.secondsAfterBody =
          std::chrono::duration<double>(Clock::now() - transfer.bodyEnd).count();
    }
    if (code == CURLE_OK) return response;
  }
  if (response.error.empty()) {
    response.error = response.timedOut      ? "no answer within the time allowed"
                     : response.stopped     ? "stopped"
                     : errorText[0] != '\0' ? errorText
                                            : curl_easy_strerror(code);
  }
  return response;
}

}  // namespace crateline::upload
