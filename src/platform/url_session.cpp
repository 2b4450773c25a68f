#include "platform/url_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/dispatch.h"
#include "platform/settings.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<std::string> headerValue(const HeaderList& headers, const std::string& field) {
  for (const auto& [name, value] : headers) {
    if (equalsIgnoringCase(name, field)) return value;
  }
  return std::nullopt;
}

std::string describeCode(long code) {
  switch (code) {
    case URLErrorCode::cancelled:
      return "cancelled";
    case URLErrorCode::badURL:
      return "bad URL";
    case URLErrorCode::timedOut:
      return "The request timed out.";
    case URLErrorCode::unsupportedURL:
      return "unsupported URL";
    case URLErrorCode::cannotFindHost:
      return "A server with the specified hostname could not be found.";
    case URLErrorCode::cannotConnectToHost:
      return "Could not connect to the server.";
    case URLErrorCode::networkConnectionLost:
      return "The network connection was lost.";
    case URLErrorCode::badServerResponse:
      return "bad server response";
    case URLErrorCode::cannotParseResponse:
      return "cannot parse response";
    case URLErrorCode::dataLengthExceedsMaximum:
      return "resource exceeds maximum size";
    case URLErrorCode::secureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case URLErrorCode::serverCertificateUntrusted:
      return "The certificate for this server is invalid.";
    case URLErrorCode::unknown:
      return "unknown error";
    default:
      return "The operation couldn\u2019t be completed. (NSURLErrorDomain error " + std::to_string(code) + ".)";
  }
}

}  // namespace

// ---- values --------------------------------------------------------------------

std::string Error::description() const {
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription + "\"";
}

Error Error::url(long code) { return Error{"NSURLErrorDomain", code, describeCode(code)}; }

Error Error::url(long code, const std::string& host) {
  Error error = url(code);
  if (code == URLErrorCode::serverCertificateUntrusted && !host.empty()) {
    error.localizedDescription =
        "The certificate for this server is invalid. You might be connecting to a server that is pretending "
        "to be \u201c" +
        host + "\u201d which could put your confidential information at risk.";
  }
  return error;
}

void URLRequest::addValue(const std::string& value, const std::string& field) {
  for (auto& [name, existing] : headers) {
    if (equalsIgnoringCase(name, field)) {
      existing += "," + value;
      return;
    }
  }
  headers.emplace_back(field, value);
}

void URLRequest::setValue(const std::string& value, const std::string& field) {
  auto first = std::find_if(headers.begin(), headers.end(),
                            [&](const auto& header) { return equalsIgnoringCase(header.first, field); });
  if (first == headers.end()) {
    headers.emplace_back(field, value);
    return;
  }
  first->second = value;
  headers.erase(std::remove_if(std::next(first), headers.end(),
                               [&](const auto& header) { return equalsIgnoringCase(header.first, field); }),
                headers.end());
}

std::optional<std::string> URLRequest::value(const std::string& field) const { return headerValue(headers, field); }

std::string URLResponse::description() const { return "<URLResponse> { URL: " + url_ + " }"; }

std::optional<std::string> HTTPURLResponse::value(const std::string& field) const {
  return headerValue(headers_, field);
}

std::string HTTPURLResponse::description() const {
  std::string text =
      "<HTTPURLResponse> { URL: " + url() + " } { Status Code: " + std::to_string(statusCode_) + ", Headers {\n";
  for (const auto& [name, value] : headers_) {
    text.append("    \"").append(name).append("\" = \"").append(value).append("\";\n");
  }
  return text + "} }";
}

long detail::urlErrorCodeForCurl(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OPERATION_TIMEDOUT:
      return URLErrorCode::timedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return URLErrorCode::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return URLErrorCode::cannotConnectToHost;
    case CURLE_PEER_FAILED_VERIFICATION:
      return URLErrorCode::serverCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
      return URLErrorCode::secureConnectionFailed;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
      return URLErrorCode::networkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return URLErrorCode::cannotParseResponse;
    case CURLE_FILESIZE_EXCEEDED:
      return URLErrorCode::dataLengthExceedsMaximum;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return URLErrorCode::unsupportedURL;
    case CURLE_URL_MALFORMAT:
      return URLErrorCode::badURL;
    default:
      return URLErrorCode::unknown;
  }
}

// ---- protocol registry ---------------------------------------------------------

namespace {

std::mutex g_registryMutex;
std::vector<URLProtocolClass>& registry() {
  static auto* classes = new std::vector<URLProtocolClass>;
  return *classes;
}

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

void URLSession::registerClass(URLProtocolClass protocolClass) {
  std::lock_guard lock(g_registryMutex);
  registry().push_back(std::move(protocolClass));
}

void URLSession::unregisterAllClasses() {
  std::lock_guard lock(g_registryMutex);
  registry().clear();
}

// ---- tasks ---------------------------------------------------------------------

namespace {

class Task;

// One transfer on the session's libcurl worker. Touched only by the worker thread.
struct Transfer {
  std::shared_ptr<Task> task;
  URLRequest request;  // owns the body that libcurl sends
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  curl_slist* connectToList = nullptr;
  Data body;
  std::size_t maximumBodySize = 0;
  HeaderList responseHeaders;
  bool tooLarge = false;
  Clock::time_point lastActivity;
  Clock::duration stallTimeout{};
  std::optional<Clock::time_point> deadline;  // the whole transfer ends by then, whatever arrives
  curl_off_t downloaded = 0;
  curl_off_t uploaded = 0;
  char errorText[CURL_ERROR_SIZE] = {};

  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headerList);
    curl_slist_free_all(connectToList);
  }
};

// What a session is made of; its tasks keep it only by weak reference.
struct SessionCore {
  explicit SessionCore(URLSessionConfiguration config)
      : configuration(std::move(config)),
        delegate(DispatchQueue::makeSerial("URLSession.delegateQueue")),
        loader(DispatchQueue::makeSerial("URLSession.protocolQueue")) {}

  ~SessionCore() {
    // shutdown() has already stopped the worker; free what is left.
    if (multi != nullptr) curl_multi_cleanup(multi);
  }

  void start(const std::shared_ptr<Task>& task);
  void ended(const std::shared_ptr<Task>& task, Block completion, bool loadedByProtocol);
  void shutdown();
  void wakeWorker();

  const URLSessionConfiguration configuration;

  std::mutex mutex;
  bool closed = false;
  std::shared_ptr<DispatchQueue> delegate;  // completions
  std::shared_ptr<DispatchQueue> loader;    // protocol handlers' startLoading/stopLoading
  std::set<std::shared_ptr<Task>> open;     // resumed and not yet completed

  // libcurl worker
  void startWorkerLocked();
  void work();
  void finishTransfer(std::unique_ptr<Transfer> transfer, CURLcode result);
  std::thread worker;
  CURLM* multi = nullptr;
  std::deque<std::unique_ptr<Transfer>> incoming;
  bool stopping = false;
};

}  // namespace

struct URLSession::Impl : SessionCore {
  using SessionCore::SessionCore;
};

namespace {

class Task final : public URLSessionDataTask, public URLProtocolClient, public std::enable_shared_from_this<Task> {
 public:
  Task(std::weak_ptr<SessionCore> session, URLRequest request, DataTaskCompletion completion)
      : session_(std::move(session)), request_(std::move(request)), completion_(std::move(completion)) {}

  void resume() override {
    {
      std::lock_guard lock(mutex_);
      if (state_ != State::suspended) return;
      state_ = State::running;
    }
    if (auto session = session_.lock()) {
      session->start(shared_from_this());
    } else {
      complete(std::nullopt, nullptr, Error::url(URLErrorCode::cancelled));
    }
  }

  void cancel() override { complete(std::nullopt, nullptr, Error::url(URLErrorCode::cancelled)); }

  const URLRequest& request() const { return request_; }

  bool completed() const {
    std::lock_guard lock(mutex_);
    return state_ == State::completed;
  }

  // Ends the task once: the completion goes to the session's delegate queue.
  void complete(std::optional<Data> data, std::shared_ptr<const URLResponse> response, std::optional<Error> error) {
    DataTaskCompletion completion;
    bool loadedByProtocol = false;
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::completed) return;
      state_ = State::completed;
      completion = std::move(completion_);
      loadedByProtocol = loadedByProtocol_;
    }
    Block block = [completion = std::move(completion), data = std::move(data), response = std::move(response),
                   error = std::move(error)]() mutable {
      if (completion) completion(std::move(data), std::move(response), std::move(error));
    };
    auto session = session_.lock();
    if (session) {
      session->ended(shared_from_this(), std::move(block), loadedByProtocol);
    } else {
      DispatchQueue::global().async(std::move(block));
    }
  }

  // ---- the protocol-handler road (runs on the session's loader queue) ----

  void markLoadedByProtocol() {
    std::lock_guard lock(mutex_);
    loadedByProtocol_ = true;
  }

  void startProtocol(const URLProtocolClass& protocolClass) {
    URLRequest canonical = protocolClass.canonicalRequest ? protocolClass.canonicalRequest(request_) : request_;
    std::unique_ptr<URLProtocol> protocol = protocolClass.make ? protocolClass.make(canonical, this) : nullptr;
    if (!protocol) {
      complete(std::nullopt, nullptr, Error::url(URLErrorCode::unsupportedURL));
      return;
    }
    URLProtocol* loading = protocol.get();
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::completed) return;  // cancelled before it could start
      protocol_ = std::move(protocol);
    }
    loading->startLoading();
  }

  // After the end of the task: stopLoading, then the handler goes.
  void stopProtocol() {
    std::unique_ptr<URLProtocol> protocol;
    {
      std::lock_guard lock(mutex_);
      protocol = std::move(protocol_);
    }
    if (protocol) protocol->stopLoading();
  }

  void didLoadData(URLProtocol&, const Data& data) override {
    std::lock_guard lock(mutex_);
    if (state_ == State::completed) return;
    if (!loadedData_) loadedData_.emplace();
    loadedData_->insert(loadedData_->end(), data.begin(), data.end());
  }

  void didReceiveResponse(URLProtocol&, std::shared_ptr<const URLResponse> response, URLCacheStoragePolicy) override {
    std::lock_guard lock(mutex_);
    if (state_ == State::completed) return;
    loadedResponse_ = std::move(response);
  }

  void didFailWithError(URLProtocol&, const Error& error) override {
    auto [data, response] = takeLoaded();
    complete(std::move(data), std::move(response), error);
  }

  void didFinishLoading(URLProtocol&) override {
    auto [data, response] = takeLoaded();
    complete(std::move(data), std::move(response), std::nullopt);
  }

 private:
  enum class State { suspended, running, completed };

  std::pair<std::optional<Data>, std::shared_ptr<const URLResponse>> takeLoaded() {
    std::lock_guard lock(mutex_);
    return {std::move(loadedData_), std::move(loadedResponse_)};
  }

  const std::weak_ptr<SessionCore> session_;
  const URLRequest request_;
  mutable std::mutex mutex_;
  State state_ = State::suspended;
  DataTaskCompletion completion_;
  bool loadedByProtocol_ = false;
  std::unique_ptr<URLProtocol> protocol_;
  std::optional<Data> loadedData_;
  std::shared_ptr<const URLResponse> loadedResponse_;
};

// ---- libcurl callbacks (worker thread) ----

size_t onBody(char* bytes, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  transfer.lastActivity = Clock::now();
  if (transfer.body.size() + length > transfer.maximumBodySize) {
    transfer.tooLarge = true;
    return CURL_WRITEFUNC_ERROR;
  }
  transfer.body.insert(transfer.body.end(), bytes, bytes + length);
  return length;
}

size_t onHeader(char* bytes, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  transfer.lastActivity = Clock::now();
  std::string line(bytes, length);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    transfer.responseHeaders.clear();  // a new response (after an interim one such as 100)
  } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    if (!transfer.responseHeaders.empty()) {  // folded continuation of the previous field
      auto first = line.find_first_not_of(" \t");
      transfer.responseHeaders.back().second += " " + line.substr(first);
    }
  } else if (auto colon = line.find(':'); colon != std::string::npos && colon > 0) {
    std::string value = line.substr(colon + 1);
    auto first = value.find_first_not_of(" \t");
    auto last = value.find_last_not_of(" \t");
    value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    transfer.responseHeaders.emplace_back(line.substr(0, colon), std::move(value));
  }
  return length;
}

int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto& transfer = *static_cast<Transfer*>(user);
  if (downloaded != transfer.downloaded || uploaded != transfer.uploaded) {
    transfer.downloaded = downloaded;
    transfer.uploaded = uploaded;
    transfer.lastActivity = Clock::now();
  }
  return 0;
}

bool validHeaderField(const std::string& name, const std::string& value) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c == ':' || c >= 0x7f) return false;
  }
  return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// Sets libcurl options on one easy handle and remembers whether every one was taken.
class OptionSetter {
 public:
  explicit OptionSetter(CURL* easy) : easy_(easy) {}
  template <typename Value>
  void operator()(CURLoption option, Value value) {
    ok_ = ok_ && curl_easy_setopt(easy_, option, value) == CURLE_OK;
  }
  bool ok() const { return ok_; }

 private:
  CURL* easy_;
  bool ok_ = true;
};

// Where the request goes and how: the URL and its protocols, no proxy, the peer's
// certificate checked, the connect-to entries, the time limits and the body limit.
void setTransportOptions(OptionSetter& set, Transfer& transfer, const URLSessionConfiguration& configuration) {
  const URLRequest& request = transfer.request;
  set(CURLOPT_URL, request.url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_PROXY, "");  // requests go where the URL (or the connect-to entries) says
  set(CURLOPT_ACCEPT_ENCODING, "");
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!configuration.caFile.empty()) {
    set(CURLOPT_CAINFO, configuration.caFile.c_str());
    set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
  }
  for (const auto& entry : configuration.connectTo) {
    transfer.connectToList = curl_slist_append(transfer.connectToList, entry.c_str());
  }
  if (transfer.connectToList != nullptr) set(CURLOPT_CONNECT_TO, transfer.connectToList);

  if (configuration.connectTimeout.count() > 0) {
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(configuration.connectTimeout.count()));
  }
  if (std::isfinite(request.timeoutInterval) && request.timeoutInterval > 0) {
    double ms = std::min(request.timeoutInterval * 1000.0, 1e12);
    set(CURLOPT_TIMEOUT_MS, std::max(1L, static_cast<long>(std::llround(ms))));
  }
  set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(configuration.maximumBodySize));
}

// Whether the method may change something on the server each time it arrives.
bool isNonIdempotent(const std::string& method) { return method == "POST" || method == "PATCH"; }

// The method and the body. A request whose method is not idempotent goes on a connection
// of its own that is not kept afterwards: libcurl sends a request again, unasked, when
// the reused connection it went on dies before any answer, and the server may already
// have acted on the first one (a usage report counted twice).
void setMethodAndBody(OptionSetter& set, const URLRequest& request) {
  static const char kEmptyBody[1] = {0};
  const std::string& method = request.httpMethod.empty() ? std::string("GET") : request.httpMethod;
  if (request.httpBody) {
    const Data& body = *request.httpBody;
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    set(CURLOPT_POSTFIELDS, body.empty() ? kEmptyBody : reinterpret_cast<const char*>(body.data()));
    if (method != "POST") set(CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "GET") {
    set(CURLOPT_HTTPGET, 1L);
  } else if (method == "HEAD") {
    set(CURLOPT_NOBODY, 1L);
  } else if (method == "POST") {
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    set(CURLOPT_POSTFIELDS, kEmptyBody);
  } else {
    set(CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  if (isNonIdempotent(method)) {
    set(CURLOPT_FRESH_CONNECT, 1L);
    set(CURLOPT_FORBID_REUSE, 1L);
  }
}

// The request's header fields in order (none that would split the request), and an
// empty "Expect" unless the request names one.
void setHeaders(OptionSetter& set, Transfer& transfer) {
  bool hasExpect = false;
  for (const auto& [name, value] : transfer.request.headers) {
    if (!validHeaderField(name, value)) continue;  // never let a header split the request
    if (equalsIgnoringCase(name, "Expect")) hasExpect = true;
    std::string line = name;
    line += value.empty() ? ";" : ": ";
    line += value;
    transfer.headerList = curl_slist_append(transfer.headerList, line.c_str());
  }
  if (!hasExpect) transfer.headerList = curl_slist_append(transfer.headerList, "Expect:");
  set(CURLOPT_HTTPHEADER, transfer.headerList);
}

// The callbacks that collect the reply and watch the progress, all on the transfer.
void setCallbacks(OptionSetter& set, Transfer& transfer) {
  set(CURLOPT_WRITEFUNCTION, &onBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  set(CURLOPT_HEADERFUNCTION, &onHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
  set(CURLOPT_XFERINFOFUNCTION, &onProgress);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_ERRORBUFFER, transfer.errorText);
  set(CURLOPT_PRIVATE, static_cast<void*>(&transfer));
}

// Builds the easy handle; false when libcurl refuses an option.
bool configure(Transfer& transfer, const URLSessionConfiguration& configuration) {
  OptionSetter set(transfer.easy);
  setTransportOptions(set, transfer, configuration);
  setMethodAndBody(set, transfer.request);
  setHeaders(set, transfer);
  setCallbacks(set, transfer);
  return set.ok();
}

// The scheme of an absolute URL, lower-cased, or nullopt when libcurl cannot parse it.
std::optional<std::string> schemeAndHost(const std::string& url, std::string& host) {
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return std::nullopt;
  std::optional<std::string> scheme;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char* text = nullptr;
    if (curl_url_get(parsed, CURLUPART_SCHEME, &text, 0) == CURLUE_OK && text != nullptr) {
      scheme = text;
      std::transform(scheme->begin(), scheme->end(), scheme->begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    curl_free(text);
    text = nullptr;
    if (curl_url_get(parsed, CURLUPART_HOST, &text, 0) == CURLUE_OK && text != nullptr) host = text;
    curl_free(text);
  }
  curl_url_cleanup(parsed);
  return scheme;
}

}  // namespace

// ---- session -------------------------------------------------------------------

void SessionCore::start(const std::shared_ptr<Task>& task) {
  bool accepted = false;
  {
    std::lock_guard lock(mutex);
    if (!closed) accepted = open.insert(task).second;
  }
  if (!accepted) {
    task->complete(std::nullopt, nullptr, Error::url(URLErrorCode::cancelled));
    return;
  }
  const URLRequest& request = task->request();

  std::vector<URLProtocolClass> classes = configuration.protocolClasses;
  {
    std::lock_guard lock(g_registryMutex);
    classes.insert(classes.end(), registry().begin(), registry().end());
  }
  for (auto& protocolClass : classes) {
    if (protocolClass.canInit && protocolClass.canInit(request)) {
      task->markLoadedByProtocol();
      std::lock_guard lock(mutex);
      if (loader) {
        loader->async([task, protocolClass = std::move(protocolClass)] { task->startProtocol(protocolClass); });
      }
      return;
    }
  }

  std::string host;
  auto scheme = schemeAndHost(request.url, host);
  if (!scheme) {
    task->complete(std::nullopt, nullptr, Error::url(URLErrorCode::badURL));
    return;
  }
  if (*scheme != "http" && *scheme != "https") {
    task->complete(std::nullopt, nullptr, Error::url(URLErrorCode::unsupportedURL));
    return;
  }

  initCurlOnce();
  auto transfer = std::make_unique<Transfer>();
  transfer->task = task;
  transfer->request = request;
  transfer->maximumBodySize = configuration.maximumBodySize;
  transfer->stallTimeout = configuration.stallTimeout;
  transfer->easy = curl_easy_init();
  if (transfer->easy == nullptr || !configure(*transfer, configuration)) {
    task->complete(std::nullopt, nullptr, Error::url(URLErrorCode::unknown));
    return;
  }
  {
    std::lock_guard lock(mutex);
    if (closed) return;  // shutdown cancels every open task
    startWorkerLocked();
    transfer->lastActivity = Clock::now();
    if (configuration.resourceTimeout.count() > 0) {
      transfer->deadline = transfer->lastActivity + configuration.resourceTimeout;
    }
    incoming.push_back(std::move(transfer));
  }
  wakeWorker();
}

void SessionCore::ended(const std::shared_ptr<Task>& task, Block completion, bool loadedByProtocol) {
  std::lock_guard lock(mutex);
  open.erase(task);
  if (loadedByProtocol && loader) loader->async([task] { task->stopProtocol(); });
  if (delegate) {
    delegate->async(std::move(completion));
  } else {
    DispatchQueue::global().async(std::move(completion));
  }
  if (multi != nullptr) curl_multi_wakeup(multi);  // lets the worker drop a cancelled transfer
}

void SessionCore::wakeWorker() {
  std::lock_guard lock(mutex);
  if (multi != nullptr) curl_multi_wakeup(multi);
}

void SessionCore::startWorkerLocked() {
  if (multi != nullptr) return;
  multi = curl_multi_init();
  worker = std::thread([this] { work(); });
}

void SessionCore::work() {
  std::map<CURL*, std::unique_ptr<Transfer>> transfers;
  for (;;) {
    std::deque<std::unique_ptr<Transfer>> added;
    {
      std::lock_guard lock(mutex);
      if (stopping) break;
      added.swap(incoming);
    }
    for (auto& transfer : added) {
      if (curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
        transfer->task->complete(std::nullopt, nullptr, Error::url(URLErrorCode::unknown));
        continue;
      }
      transfers.emplace(transfer->easy, std::move(transfer));
    }

    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      auto found = transfers.find(message->easy_handle);
      if (found == transfers.end()) continue;
      CURLcode result = message->data.result;
      auto transfer = std::move(found->second);
      transfers.erase(found);
      curl_multi_remove_handle(multi, transfer->easy);
      finishTransfer(std::move(transfer), result);
    }

    // Drop transfers whose task was cancelled; end the ones that stalled or ran past
    // their deadline.
    const auto now = Clock::now();
    std::optional<Clock::time_point> nextStall;
    const auto wakeAt = [&](Clock::time_point at) {
      if (!nextStall || at < *nextStall) nextStall = at;
    };
    for (auto it = transfers.begin(); it != transfers.end();) {
      Transfer& transfer = *it->second;
      const bool stalled = transfer.stallTimeout.count() > 0 && now - transfer.lastActivity >= transfer.stallTimeout;
      const bool late = transfer.deadline && now >= *transfer.deadline;
      if (transfer.task->completed() || stalled || late) {
        curl_multi_remove_handle(multi, transfer.easy);
        if (stalled || late) transfer.task->complete(std::nullopt, nullptr, Error::url(URLErrorCode::timedOut));
        it = transfers.erase(it);
        continue;
      }
      if (transfer.stallTimeout.count() > 0) wakeAt(transfer.lastActivity + transfer.stallTimeout);
      if (transfer.deadline) wakeAt(*transfer.deadline);
      ++it;
    }

    long waitMs = 1000;
    long curlMs = -1;
    if (curl_multi_timeout(multi, &curlMs) == CURLM_OK && curlMs >= 0) waitMs = std::min(waitMs, curlMs);
    if (nextStall) {
      auto untilStall = std::chrono::duration_cast<std::chrono::milliseconds>(*nextStall - now).count() + 1;
      waitMs = std::min<long>(waitMs, std::max<long>(0, static_cast<long>(untilStall)));
    }
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(waitMs), nullptr);
  }
  for (auto& [easy, transfer] : transfers) {
    curl_multi_remove_handle(multi, easy);
    transfer->task->complete(std::nullopt, nullptr, Error::url(URLErrorCode::cancelled));
  }
}

void SessionCore::finishTransfer(std::unique_ptr<Transfer> transfer, CURLcode result) {
  auto& task = *transfer->task;
  if (transfer->tooLarge) {
    task.complete(std::nullopt, nullptr, Error::url(URLErrorCode::dataLengthExceedsMaximum));
    return;
  }
  if (result != CURLE_OK) {
    std::string host;
    schemeAndHost(transfer->request.url, host);
    task.complete(std::nullopt, nullptr, Error::url(detail::urlErrorCodeForCurl(result), host));
    return;
  }
  long status = 0;
  curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
  if (status <= 0) {
    task.complete(std::nullopt, nullptr, Error::url(URLErrorCode::badServerResponse));
    return;
  }
  auto response = std::make_shared<HTTPURLResponse>(transfer->request.url, static_cast<int>(status),
                                                    std::move(transfer->responseHeaders));
  task.complete(std::move(transfer->body), std::move(response), std::nullopt);
}

void SessionCore::shutdown() {
  std::set<std::shared_ptr<Task>> remaining;
  {
    std::lock_guard lock(mutex);
    closed = true;
    remaining.swap(open);
  }
  for (const auto& task : remaining) task->cancel();
  {
    std::lock_guard lock(mutex);
    stopping = true;
    if (multi != nullptr) curl_multi_wakeup(multi);
  }
  if (worker.joinable()) worker.join();
  incoming.clear();
  // Let the handlers stop and the completions run before the queues go.
  std::shared_ptr<DispatchQueue> loaderQueue;
  std::shared_ptr<DispatchQueue> delegateQueue;
  {
    std::lock_guard lock(mutex);
    loaderQueue = std::move(loader);
  }
  loaderQueue.reset();
  {
    std::lock_guard lock(mutex);
    delegateQueue = std::move(delegate);
  }
  delegateQueue.reset();
}

URLSessionConfiguration URLSessionConfiguration::defaultConfiguration() {
  URLSessionConfiguration configuration;
  const Settings settings = Settings::current();
  configuration.connectTo = settings.connectTo;
  configuration.caFile = settings.caFile;
  return configuration;
}

URLSession::URLSession(URLSessionConfiguration configuration)
    : impl_(std::make_shared<Impl>(std::move(configuration))) {}

URLSession::~URLSession() { impl_->shutdown(); }

URLSession& URLSession::shared() {
  static URLSession* session = new URLSession;  // never destroyed: completions may run until exit
  return *session;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URLRequest request, DataTaskCompletion completion) {
  return std::make_shared<Task>(impl_, std::move(request), std::move(completion));
}

const URLSessionConfiguration& URLSession::configuration() const { return impl_->configuration; }

DispatchQueue& URLSession::delegateQueue() { return *impl_->delegate; }

}  // namespace platform
