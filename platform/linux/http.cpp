// HTTP on libcurl, standing where WinInet stands on Windows: a fresh easy handle per request,
// the caller's header text sent as given, and curl's failures reported as WinInet's numbers.
//
// Time-outs: WinInet's send and receive time-outs bound each wait for the server, not the
// whole exchange. The nearest curl terms are the connect time-out and the low-speed limit (a
// transfer that moves less than one byte a second for the whole time-out fails); there is no
// overall limit, so a slow but steady answer is never cut.
#include "platform/linux/curl_ptr.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "platform/network_errors.h"
#include "platform/platform.h"

namespace kestrune::platform {
namespace {

using EasyPtr = Ptr<CURL>;
using UrlPtr = Ptr<CURLU>;
using HeaderListPtr = Ptr<curl_slist>;

// winInetError maps a failed transfer's code to WinInet's number. The URL's scheme has been
// checked before the transfer, so an unsupported protocol can only be an answer that is not
// HTTP (curl reports an HTTP/0.9 reply that way).
std::uint32_t winInetError(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT:
      return kErrorInvalidUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return kErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kErrorCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return kErrorTimeout;
    case CURLE_SEND_ERROR:
      return kErrorConnectionAborted;
    case CURLE_RECV_ERROR:
      return kErrorConnectionReset;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_BAD_CONTENT_ENCODING:
      return kErrorInvalidServerResponse;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return kErrorInvalidCa;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return kErrorSecureFailure;
    default:
      return kErrorInternal;
  }
}

bool globalInitDone() {
  static std::once_flag once;
  static CURLcode result = CURLE_FAILED_INIT;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// headerList turns the header text into curl's list, one entry per line, and switches off the
// lines curl would add of its own: Accept and Expect always, Content-Type when the text has
// none (curl would name a form type for a POST). Returns false on memory exhaustion.
bool headerList(std::string_view text, HeaderListPtr& list) {
  bool hasContentType = false;
  const auto add = [&list](const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) return false;
    (void)list.release();  // now owned by grown
    list.reset(grown);
    return true;
  };
  while (!text.empty()) {
    const std::size_t end = text.find("\r\n");
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 2);
    if (line.empty()) continue;
    hasContentType = hasContentType || startsWithIgnoringCase(line, "Content-Type:");
    if (!add(std::string(line))) return false;
  }
  return add("Accept:") && add("Expect:") && (hasContentType || add("Content-Type:"));
}

// parseUrl returns 0 for an http:// or https:// URL that curl can parse (url then holds it),
// or the WinInet number of what is wrong with it. Only these two schemes are ever fetched.
std::uint32_t parseUrl(const char* text, UrlPtr& url) {
  if (text == nullptr) return kErrorInvalidUrl;
  const std::string_view view = text;
  if (!startsWithIgnoringCase(view, "http://") && !startsWithIgnoringCase(view, "https://")) {
    return kErrorUnrecognizedScheme;
  }
  url.reset(curl_url());
  if (!url) return kErrorInternal;
  return curl_url_set(url.get(), CURLUPART_URL, text, 0) == CURLUE_OK ? 0 : kErrorInvalidUrl;
}

// The state the callbacks share during one transfer.
struct Transfer {
  CURL* easy = nullptr;
  const HttpReader* reader = nullptr;
  int status = 0;
  bool started = false;
  bool stoppedByReader = false;
};

// begin hands the final answer's status and announced length to the reader.
bool begin(Transfer& transfer) {
  long status = 0;
  curl_off_t length = -1;
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  transfer.status = static_cast<int>(status);
  transfer.started = true;
  if (!transfer.reader->start(transfer.status, length < 0 ? -1 : length)) {
    transfer.stoppedByReader = true;
    return false;
  }
  return true;
}

// onHeader sees each header line; the empty line ends a block of headers. Interim answers
// (1xx) are followed by the final one. Returning less than given stops the transfer.
std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  const std::string_view line(data, length);
  // Trailers of a chunked body come here too, after the reader has started.
  if (transfer.started || (line != "\r\n" && line != "\n")) return length;
  long status = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 100 && status < 200) return length;
  return begin(transfer) ? length : 0;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  if (!transfer.started && !begin(transfer)) return 0;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  for (std::size_t done = 0; done < length;) {
    const std::size_t piece = std::min(kHttpReadChunk, length - done);
    if (!transfer.reader->append({bytes + done, piece})) {
      transfer.stoppedByReader = true;
      return 0;
    }
    done += piece;
  }
  return length;
}

// setMethod makes curl send the verb as given, with the body when there is one.
void setMethod(CURL* easy, const HttpRequest& request) {
  const std::string_view verb = request.verb;
  if (!request.body.empty() || verb == "POST") {
    static const char kNoBody[] = "";
    const char* data =
        request.body.empty() ? kNoBody : reinterpret_cast<const char*>(request.body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, data);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    if (verb != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.verb);
  } else if (verb == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else if (verb == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.verb);
  }
}

HttpOutcome perform(const HttpRequest& request, const HttpReader& reader) {
  HttpOutcome outcome;
  if (!globalInitDone()) {
    outcome.error = kErrorInternal;
    return outcome;
  }
  UrlPtr url;
  if ((outcome.error = parseUrl(request.url, url)) != 0) return outcome;
  if (request.verb == nullptr || *request.verb == '\0') {
    outcome.error = kErrorInternal;
    return outcome;
  }
  EasyPtr easy(curl_easy_init());
  HeaderListPtr headers;
  if (!easy || !headerList(request.headers, headers)) {
    outcome.noMemory = true;
    return outcome;
  }

  Transfer transfer{easy.get(), &reader};
  CURL* handle = easy.get();
  curl_easy_setopt(handle, CURLOPT_CURLU, url.get());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(handle, CURLOPT_USERAGENT, request.agent);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);  // a proxy tunnel's answer
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, request.timeoutMs);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, std::max(1L, request.timeoutMs / 1000));
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  setMethod(handle, request);

  const CURLcode result = curl_easy_perform(handle);
  outcome.status = transfer.started ? transfer.status : 0;
  const bool readerStopped = result == CURLE_WRITE_ERROR && transfer.stoppedByReader;
  const bool endedEarly = result == CURLE_PARTIAL_FILE && transfer.started;
  if (result == CURLE_OK && !transfer.started) {
    outcome.error = kErrorInvalidServerResponse;  // the connection ended inside the headers
    return outcome;
  }
  if (result == CURLE_OK || readerStopped || endedEarly) return outcome;
  if (result == CURLE_OUT_OF_MEMORY) {
    outcome.noMemory = true;
    return outcome;
  }
  outcome.error = winInetError(result);
  return outcome;
}

}  // namespace

HttpOutcome httpRequest(const HttpRequest& request, const HttpReader& reader) {
  try {
    return perform(request, reader);
  } catch (const std::bad_alloc&) {
    HttpOutcome outcome;
    outcome.noMemory = true;
    return outcome;
  }
}

}  // namespace kestrune::platform
