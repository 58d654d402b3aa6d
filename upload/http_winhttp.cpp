// The HTTP seam on Windows, through the system's WinHTTP: its TLS, its certificate store and its
// proxy settings. The request's head goes out with WinHttpSendRequest and the body after it with
// WinHttpWriteData, chunked here where its length is not known beforehand (WinHTTP chunks by
// itself only from Windows 10 on). Nothing of the body leaves before the server's certificate
// has been checked.
//
// --ca-file: WinHTTP trusts only the system's store, so with a file of certificates the check of
// the issuer is ours. The system is told to let an unknown authority pass (it still checks the
// name and the dates), and once the connection is made, before the request is sent, the
// server's chain must lead to a certificate of the file; otherwise the request is closed there.
// The request must have been vouched for before its body (where a password goes) leaves. Windows
// cancels a request closed there before its head goes out; Wine sends the head (and a login
// cookie in it) all the same, so under Wine --ca-file does not keep a cookie from a server that
// presents a certificate the file does not vouch for.
#include <windows.h>
// After windows.h, which they need.
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "platform/file_io.h"
#include "platform/system_calls.h"
#include "platform/termination.h"
#include "upload/http.h"

namespace crateline::upload {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kConnectMilliseconds = 30 * 1000;
// The body's bytes must move at least this often: a peer that takes nothing for so long is gone.
constexpr int kStallMilliseconds = 120 * 1000;
constexpr std::size_t kPiece = 256 * 1024;
constexpr auto kWatch = std::chrono::milliseconds(100);
// How long a request whose body could not all go out waits for an answer the server sent early.
constexpr int kEarlyAnswerMilliseconds = 30 * 1000;
constexpr std::size_t kLargestSpool = std::size_t{256} << 20;  // see Exchange::Spool

std::wstring Wide(const std::string& text) {
  const std::u16string wide = platform::Utf8ToUtf16(text);
  return {wide.begin(), wide.end()};
}

std::string Narrow(const wchar_t* text, std::size_t length) {
  return platform::Utf16ToUtf8(std::u16string(text, text + length));
}

// WinHTTP's own errors are worded in winhttp.dll, not in the system's table.
std::string WinHttpErrorText(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "could not connect to the server";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "the server's name could not be resolved";
    case ERROR_WINHTTP_TIMEOUT:
      return "the server did not answer in time";
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "the connection was reset";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
      return "the server's certificate is not trusted";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return "no secure connection could be made (is the server's certificate trusted?)";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
      return "the server's certificate is for another name";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
      return "the server's certificate has expired or is not valid yet";
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return "the URL is not valid";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return "the server's answer is not HTTP";
    default:
      break;
  }
  wchar_t buffer[512] = {};
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      GetModuleHandleW(L"winhttp.dll"), code, 0, buffer, 512, nullptr);
  std::string text = Narrow(buffer, length);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "network error" : text;
}

std::string ErrorText(DWORD code) {
  return WinHttpErrorText(code) + " (WinHTTP error " + std::to_string(code) + ")";
}

std::string Base64(const std::string& bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[(group >> 18) & 63];
    out += kDigits[(group >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return out;
}

// The certificates of a PEM file, in a store of their own.
HCERTSTORE LoadAnchors(const std::string& path) {
  std::string text;
  platform::InputFile file(path);
  char buffer[16384];
  for (std::size_t n; (n = file.Read(buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (store == nullptr) throw std::runtime_error("no certificate store could be made");
  static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
  static const std::string kEnd = "-----END CERTIFICATE-----";
  int count = 0;
  for (std::size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
    const std::size_t end = text.find(kEnd, at);
    if (end == std::string::npos) break;
    const std::string block = text.substr(at, end + kEnd.size() - at);
    at = end;
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                             CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                         CERT_STORE_ADD_USE_EXISTING, nullptr)) {
      ++count;
    }
  }
  if (count == 0) {
    CertCloseStore(store, 0);
    throw std::runtime_error("--ca-file \"" + path + "\" holds no PEM certificate");
  }
  return store;
}

// Whether the server's chain is sound up to a certificate of `anchors`: the leaf itself, an
// intermediate or a root, as a file of trusted certificates is read elsewhere too.
bool VouchedFor(PCCERT_CONTEXT server, HCERTSTORE anchors) {
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, server, nullptr, anchors, &para, 0, nullptr, &chain)) {
    return false;
  }
  bool anchored = false;
  if (chain->cChain > 0) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement && !anchored; ++i) {
      const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i];
      // An anchor's issuer need not be known, nor a root beyond it trusted by the system.
      const DWORD flaws = element->TrustStatus.dwErrorStatus &
                          ~(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN);
      if (flaws != 0) break;
      anchored = CertFindCertificateInStore(anchors, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                            element->pCertContext, nullptr) != nullptr;
    }
  }
  CertFreeCertificateChain(chain);
  return anchored;
}

struct Handle {
  HINTERNET h = nullptr;
  Handle() = default;
  ~Handle() {
    if (h != nullptr) WinHttpCloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};

// What one request and its status callback share.
struct Transfer {
  HCERTSTORE anchors = nullptr;
  std::function<void()> cut;  // closes the request
  std::atomic<bool> vouched{false};
  std::atomic<bool> untrusted{false};
  DWORD secureFailure = 0;  // WINHTTP_CALLBACK_STATUS_FLAG_* of a refused certificate
};

void CALLBACK OnStatus(HINTERNET request, DWORD_PTR context, DWORD status, void* info, DWORD) {
  auto* t = reinterpret_cast<Transfer*>(context);
  if (t == nullptr) return;
  if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && info != nullptr) {
    t->secureFailure = *static_cast<DWORD*>(info);
  }
  if (status != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST || t->anchors == nullptr) return;
  PCCERT_CONTEXT server = nullptr;
  DWORD size = sizeof server;
  const bool got =
      WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size) != FALSE;
  const bool vouched = got && server != nullptr && VouchedFor(server, t->anchors);
  if (server != nullptr) CertFreeCertificateContext(server);
  if (vouched) {
    t->vouched = true;
    return;
  }
  // Closed before the head goes out, so that no cookie or login reaches a server the file does
  // not vouch for (Wine sends the head all the same; Windows cancels the request).
  t->untrusted = true;
  t->cut();
}

std::string SecureFailureText(DWORD flags) {
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) != 0) {
    return "the server's certificate is for another name";
  }
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) != 0) {
    return "the server's certificate has expired or is not valid yet";
  }
  return "the server's certificate is not trusted (WinHTTP error " +
         std::to_string(ERROR_WINHTTP_SECURE_FAILURE) + ")";
}

std::wstring HeaderText(HINTERNET request, DWORD which) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
  std::wstring text(size / sizeof(wchar_t), L'\0');
  if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  text.resize(size / sizeof(wchar_t));
  return text;
}

// Ends a request that blocks (a late answer) when the program is asked to end: closing its
// handle is what makes a blocking WinHTTP call return.
class Watch {
 public:
  explicit Watch(std::function<void()> stop) : stop_(std::move(stop)) {
    thread_ = std::thread([this] {
      std::unique_lock lock(mutex_);
      while (!done_) {
        if (platform::TerminationRequested()) {
          stop_();
          return;
        }
        wake_.wait_for(lock, kWatch);
      }
    });
  }
  ~Watch() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

 private:
  std::function<void()> stop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

struct HttpClient::Native {
  Handle session;
  HCERTSTORE anchors = nullptr;
  ~Native() {
    if (anchors != nullptr) CertCloseStore(anchors, 0);
  }
};

HttpClient::HttpClient(TlsOptions tls) : tls_(std::move(tls)), native_(std::make_unique<Native>()) {
  native_->session.h = WinHttpOpen(L"crateline", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (native_->session.h == nullptr) {
    throw std::runtime_error("WinHTTP could not be set up: " + ErrorText(GetLastError()));
  }
  if (!tls_.caFile.empty() && !tls_.insecure) native_->anchors = LoadAnchors(tls_.caFile);
  const WINHTTP_STATUS_CALLBACK set = WinHttpSetStatusCallback(
      native_->session.h, OnStatus,
      WINHTTP_CALLBACK_STATUS_SENDING_REQUEST | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
  if (set == WINHTTP_INVALID_STATUS_CALLBACK) {
    throw std::runtime_error("WinHTTP could not be set up: " + ErrorText(GetLastError()));
  }
}

HttpClient::~HttpClient() = default;

namespace {

// One POST from its head to its answer; Run fills the Response.
class Exchange {
 public:
  ~Exchange() { Cut(); }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  Exchange(HINTERNET session, HCERTSTORE anchors, bool insecure, const Request& request,
           const Progress& progress, Response& response)
      : session_(session),
        insecure_(insecure),
        request_(request),
        progress_(progress),
        response_(response) {
    transfer_.anchors = anchors;
    transfer_.cut = [this] { Cut(); };
  }

  void Run() {
    if (Chunked() && UnderWine() && !Spool()) return;
    if (!Open()) return;
    Watch watch([this] {
      stopped_ = true;
      Cut();
    });
    if (!SendHead()) return;
    const bool bodyOut = SendBody();
    if (Stopped()) return;
    if (!bodyOut && (response_.readerFailed || !response_.error.empty())) {
      if (live_ == nullptr) return;  // cut by us: no answer to wait for
      // A server that refuses the request may answer and reset the connection while the body
      // is still going out: its answer still counts, and is there already if it came.
      const std::string why = response_.error;
      DWORD early = kEarlyAnswerMilliseconds;
      WinHttpSetOption(request_handle_, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &early,
                       sizeof early);
      WinHttpSetTimeouts(request_handle_, 0, kConnectMilliseconds, kStallMilliseconds,
                         kEarlyAnswerMilliseconds);
      if (!ReadAnswer()) response_.error = why;
      if (response_.status > 0) response_.answerCut = true;
      return;
    }
    ReadAnswer();
  }

 private:
  bool Open() {
    const std::wstring url = Wide(request_.url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
      return Fail(GetLastError());
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (const auto fragment = path.find(L'#'); fragment != std::wstring::npos) {
      path.resize(fragment);  // the page's own, never sent
    }
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    checked_ = secure && transfer_.anchors != nullptr && !insecure_;
    connect_.h = WinHttpConnect(session_, host.c_str(), parts.nPort, 0);
    if (connect_.h == nullptr) return Fail(GetLastError());
    request_handle_ =
        WinHttpOpenRequest(connect_.h, L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
    if (request_handle_ == nullptr) return Fail(GetLastError());
    live_ = request_handle_;
    // A connection of its own for every request, no redirect followed (it would lose the body),
    // no cookie or login of the system's: the request carries what it needs.
    DWORD features = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS |
                     WINHTTP_DISABLE_KEEP_ALIVE | WINHTTP_DISABLE_AUTHENTICATION;
    WinHttpSetOption(request_handle_, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
    DWORD flags = 0;
    if (insecure_) {
      flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
              SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    } else if (transfer_.anchors != nullptr) {
      flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;  // the file's certificates decide: OnStatus
    }
    if (secure && flags != 0) {
      WinHttpSetOption(request_handle_, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }
    // The wait for the answer is the request's own, and none by default: Windows gives up on an
    // answer's head after 90 seconds and on any read after 30, and an import can take longer.
    const double answer = request_.answerTimeout;
    const int receive = answer > 0 ? static_cast<int>(std::min(answer * 1000, 2.0e9)) : -1;
    WinHttpSetTimeouts(request_handle_, 0, kConnectMilliseconds, kStallMilliseconds, receive);
    DWORD head = answer > 0 ? static_cast<DWORD>(receive) : INFINITE;
    WinHttpSetOption(request_handle_, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head, sizeof head);
    return true;
  }

  std::wstring Head() const {
    std::string head;
    for (const auto& header : request_.headers) {
      // The body goes right after the head here (a blocking WinHTTP cannot wait for a 100
      // Continue), so asking for one would only bring an interim answer that Wine's WinHTTP
      // takes for a broken one.
      if (header.rfind("Expect:", 0) != 0) head += header + "\r\n";
    }
    if (!request_.cookie.empty()) head += "Cookie: " + request_.cookie + "\r\n";
    if (!request_.basicUser.empty()) {
      head += "Authorization: Basic " + Base64(request_.basicUser + ":" + request_.basicPassword) +
              "\r\n";
    }
    if (Chunked()) head += "Transfer-Encoding: chunked\r\n";
    if (Length() > 0xFFFFFFFFULL) head += "Content-Length: " + std::to_string(Length()) + "\r\n";
    return Wide(head);
  }

  bool Chunked() const { return request_.reader && request_.length < 0 && !spooled_; }

  // The body's length, where it is known beforehand.
  std::uint64_t Length() const {
    if (spooled_) return spool_.size();
    if (!request_.reader) return request_.body.size();
    return static_cast<std::uint64_t>(std::max<std::int64_t>(request_.length, 0));
  }

  // The body when it is all in memory: the request's own, or the reader's spooled.
  const std::string* Whole() const {
    if (spooled_) return &spool_;
    return request_.reader ? nullptr : &request_.body;
  }

  // Wine's WinHTTP (8.0) cannot send a chunked body: it announces an empty one and waits for
  // the answer before the body goes. Under Wine a body of unknown length is therefore read
  // whole first and sent with its length; Windows' own WinHTTP sends it chunked as it comes.
  static bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }

  bool Spool() {
    std::vector<char> buffer(kPiece);
    try {
      for (std::size_t n; (n = request_.reader(buffer.data(), buffer.size())) > 0;) {
        if (spool_.size() + n > kLargestSpool) {
          response_.error = "under Wine a volume made on the way may hold at most " +
                            std::to_string(kLargestSpool >> 20) +
                            " MiB: convert first, or choose smaller volumes";
          return false;
        }
        spool_.append(buffer.data(), n);
      }
    } catch (const std::exception& e) {
      response_.readerFailed = true;
      response_.error = e.what();
      return false;
    }
    spooled_ = true;
    return true;
  }

  bool SendHead() {
    const std::wstring head = Head();
    // A length past 4 GiB goes in its own header, which the send's DWORD cannot hold.
    const DWORD total = Chunked() || Length() > 0xFFFFFFFFULL ? WINHTTP_IGNORE_REQUEST_TOTAL_LENGTH
                                                              : static_cast<DWORD>(Length());
    // Added to the request beforehand rather than passed with the send: WinHTTP looks for a
    // chunked body among the request's headers before it takes the send's own, and would
    // otherwise announce an empty body and wait for the answer at once.
    if (!head.empty() &&
        !WinHttpAddRequestHeaders(request_handle_, head.c_str(), static_cast<DWORD>(head.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
      return Fail(GetLastError());
    }
    const BOOL sent = WinHttpSendRequest(request_handle_, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                         WINHTTP_NO_REQUEST_DATA, 0, total,
                                         reinterpret_cast<DWORD_PTR>(&transfer_));
    const DWORD code = sent ? ERROR_SUCCESS : GetLastError();
    if (Stopped()) return false;
    if (transfer_.untrusted || (sent && checked_ && !transfer_.vouched)) {
      response_.error = "the server's certificate is not signed by a certificate of --ca-file";
      return false;
    }
    if (!sent && transfer_.secureFailure != 0) {
      response_.error = SecureFailureText(transfer_.secureFailure);
      return false;
    }
    return sent || Fail(code);
  }

  // Sends the body; false when it did not all go out (response_ says why).
  bool SendBody() {
    std::vector<char> buffer(kPiece + 32);
    const std::size_t framing = Chunked() ? 16 : 0;
    const std::string* whole = Whole();
    std::uint64_t left = Length();
    std::size_t offset = 0;  // of the body
    for (;;) {
      std::size_t n = 0;
      char* data = buffer.data() + framing;
      if (whole == nullptr) {
        try {
          n = request_.reader(data, kPiece);
        } catch (const std::exception& e) {
          response_.readerFailed = true;
          response_.error = e.what();
          Cut();
          return false;
        }
        if (!Chunked()) n = static_cast<std::size_t>(std::min<std::uint64_t>(n, left));
      } else {
        n = std::min(kPiece, whole->size() - offset);
      }
      if (n == 0) break;
      // Counted before it goes: once handed over, the server may have it even where the write
      // fails.
      response_.bytesSent += n;
      const bool wrote = whole == nullptr ? Write(data, n) : WriteRaw(whole->data() + offset, n);
      if (!wrote) return false;
      offset += n;
      if (!Chunked()) left -= n;
      if (!Going()) return false;
      if (!Chunked() && left == 0) break;
    }
    if (!Chunked() && left > 0) {
      response_.error = "the body ended " + std::to_string(left) + " bytes early";
      Cut();
      return false;
    }
    if (Chunked() && !WriteRaw("0\r\n\r\n", 5)) return false;
    response_.bodySent = true;
    bodyEnd_ = Clock::now();
    return true;
  }

  // Writes a piece of the body, framed as a chunk where the body goes chunked.
  bool Write(char* data, std::size_t n) {
    if (!Chunked()) return WriteRaw(data, n);
    char size[16];
    const int digits = std::snprintf(size, sizeof size, "%zx\r\n", n);
    // The piece was read 16 bytes into its buffer, so that the chunk's head fits before it.
    char* head = data - digits;
    std::copy(size, size + digits, head);
    data[n] = '\r';
    data[n + 1] = '\n';
    return WriteRaw(head, n + static_cast<std::size_t>(digits) + 2);
  }

  bool WriteRaw(const char* data, std::size_t n) {
    while (n > 0) {
      DWORD wrote = 0;
      if (!WinHttpWriteData(request_handle_, data, static_cast<DWORD>(n), &wrote)) {
        const DWORD code = GetLastError();
        if (!Stopped()) response_.error = ErrorText(code);
        return false;
      }
      data += wrote;
      n -= wrote;
    }
    return true;
  }

  bool Going() {
    bool go = true;
    try {
      go = !progress_ || progress_(response_.bytesSent);
    } catch (const std::exception&) {
      go = false;
    }
    if (!go || platform::TerminationRequested()) {
      stopped_ = true;
      Cut();
    }
    return go && !stopped_;
  }

  bool Stopped() {
    if (!stopped_) return false;
    response_.stopped = true;
    response_.error = "stopped";
    return true;
  }

  // Ends the request where it stands: the server sees the connection close mid-body. Once only,
  // whichever thread comes first; calls on the handle after it fail.
  void Cut() {
    if (HINTERNET h = live_.exchange(nullptr); h != nullptr) WinHttpCloseHandle(h);
  }

  // Waits for the answer and reads it; false when none came.
  bool ReadAnswer() {
    if (!WinHttpReceiveResponse(request_handle_, nullptr)) {
      const DWORD code = GetLastError();
      if (Stopped()) return false;
      // Wine reports the socket's own timeout.
      const bool late = code == ERROR_WINHTTP_TIMEOUT || code == WSAETIMEDOUT;
      if (late && response_.bodySent) {
        response_.timedOut = true;
        response_.error = "no answer within the time allowed";
      } else {
        response_.error = ErrorText(code);
      }
      return false;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request_handle_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    response_.status = static_cast<long>(status);
    const std::wstring type = HeaderText(request_handle_, WINHTTP_QUERY_CONTENT_TYPE);
    response_.contentType = Narrow(type.data(), type.size());
    const std::wstring location = HeaderText(request_handle_, WINHTTP_QUERY_LOCATION);
    response_.location = Narrow(location.data(), location.size());
    if (response_.bodySent) {
      response_.secondsAfterBody = std::chrono::duration<double>(Clock::now() - bodyEnd_).count();
    }
    DWORD length = 0;
    size = sizeof length;
    const bool announced =
        WinHttpQueryHeaders(
            request_handle_, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
            WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
    std::uint64_t received = 0;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
      DWORD got = 0;
      if (!WinHttpReadData(request_handle_, buffer.data(), static_cast<DWORD>(buffer.size()),
                           &got)) {
        response_.answerCut = true;
        response_.error = ErrorText(GetLastError());
        break;
      }
      if (got == 0) {
        // WinHTTP may take a connection closed early for the answer's end.
        if (announced && received < length) {
          response_.answerCut = true;
          response_.error = "the answer broke off after " + std::to_string(received) + " of " +
                            std::to_string(length) + " bytes";
        }
        break;
      }
      received += got;
      if (!TakeAnswer(buffer.data(), got)) {
        response_.answerCut = true;
        break;
      }
    }
    if (Stopped()) response_.status = 0;
    return true;
  }

  bool TakeAnswer(const char* data, std::size_t n) {
    if (request_.onAnswer) {
      try {
        request_.onAnswer(data, n);
      } catch (const std::exception& e) {
        response_.error = e.what();
        return false;
      }
      return true;
    }
    if (response_.body.size() + n > kLargestAnswer) {
      response_.error = "the answer is longer than " + std::to_string(kLargestAnswer) + " bytes";
      return false;
    }
    response_.body.append(data, n);
    return true;
  }

  bool Fail(DWORD code) {
    if (!Stopped()) response_.error = ErrorText(code);
    return false;
  }

  HINTERNET session_;
  bool insecure_;
  const Request& request_;
  const Progress& progress_;
  Response& response_;
  Transfer transfer_;
  Handle connect_;
  HINTERNET request_handle_ = nullptr;
  std::atomic<HINTERNET> live_{nullptr};  // the request, until it is cut
  std::atomic<bool> stopped_{false};
  bool checked_ = false;  // the certificate is ours to check: OnStatus
  Clock::time_point bodyEnd_{};
  std::string spool_;
  bool spooled_ = false;
};

}  // namespace

Response HttpClient::Post(const Request& request, const Progress& progress) {
  Response response;
  Exchange(native_->session.h, native_->anchors, tls_.insecure, request, progress, response).Run();
  return response;
}

}  // namespace crateline::upload
