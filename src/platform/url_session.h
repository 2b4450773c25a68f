#pragma once
// The URL-loading system: requests, responses, errors, data tasks over libcurl, and a
// protocol hook through which a handler class can answer requests instead of the network.
//
// Each data task runs off the caller's thread; its completion runs on the session's
// own serial callback queue with (data?, response?, error?), exactly once.
//
// Over the network (libcurl, one worker thread per session): http and https only;
// redirects are not followed (a 3xx reply is delivered as it is); proxy settings from
// the environment are ignored; the configuration's connect-to entries and CA file
// (from platform/settings.h for the shared session) apply; peer and host verification
// are always on. A reply gives
// (data, HTTPURLResponse, nullopt), data present even when empty; a failure gives
// (nullopt, nullptr, error).
//
// Through a protocol handler: data is present only if the handler reported some, the
// response is whatever it reported; didFailWithError gives (data?, response?, error).
#include <chrono>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/data.h"

namespace platform {

class DispatchQueue;

// Error codes of the URL-loading system's error domain.
namespace URLErrorCode {
inline constexpr long cancelled = -999;
inline constexpr long badURL = -1000;
inline constexpr long timedOut = -1001;
inline constexpr long unsupportedURL = -1002;
inline constexpr long cannotFindHost = -1003;
inline constexpr long cannotConnectToHost = -1004;
inline constexpr long networkConnectionLost = -1005;
inline constexpr long badServerResponse = -1011;
inline constexpr long cannotParseResponse = -1017;
inline constexpr long dataLengthExceedsMaximum = -1103;
inline constexpr long secureConnectionFailed = -1200;
inline constexpr long serverCertificateUntrusted = -1202;
inline constexpr long unknown = -1;
}  // namespace URLErrorCode

// An error value as the platform reports it: a domain, a numeric code and a
// localized description. description() is its default text form.
struct Error {
  std::string domain = "NSURLErrorDomain";
  long code = URLErrorCode::unknown;
  std::string localizedDescription;

  std::string description() const;  // "Error Domain=<domain> Code=<code> \"<localizedDescription>\""
  bool operator==(const Error&) const = default;

  // An error of the URL domain with the platform's usual description for `code`.
  static Error url(long code);
  // The same; for serverCertificateUntrusted the description names `host`.
  static Error url(long code, const std::string& host);
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct URLRequest {
  std::string url;
  std::string httpMethod = "GET";
  HeaderList headers;  // in the order added
  std::optional<Data> httpBody;
  // Seconds, a limit on the whole transfer. Infinity (or zero, negative, NaN) means the
  // request itself never times out; the session's stall, connect and resource limits
  // still apply.
  double timeoutInterval = 60.0;

  // Adds a header; a field already present (compared case-insensitively) gets
  // ",<value>" appended to its value instead of a second line.
  void addValue(const std::string& value, const std::string& field);
  // Replaces every value of the field, or adds it.
  void setValue(const std::string& value, const std::string& field);
  // The first value of a header, compared case-insensitively.
  std::optional<std::string> value(const std::string& field) const;
};

class URLResponse {
 public:
  explicit URLResponse(std::string url) : url_(std::move(url)) {}
  virtual ~URLResponse() = default;
  const std::string& url() const { return url_; }
  virtual std::string description() const;

 private:
  std::string url_;
};

class HTTPURLResponse : public URLResponse {
 public:
  HTTPURLResponse(std::string url, int statusCode, HeaderList headers)
      : URLResponse(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {}
  int statusCode() const { return statusCode_; }
  // Whether the status is a success, 200 to 299.
  bool hasSuccessStatus() const { return statusCode_ >= 200 && statusCode_ <= 299; }
  const HeaderList& allHeaderFields() const { return headers_; }
  std::optional<std::string> value(const std::string& field) const;
  std::string description() const override;

 private:
  int statusCode_;
  HeaderList headers_;
};

using DataTaskCompletion = std::function<void(std::optional<Data> data, std::shared_ptr<const URLResponse> response,
                                              std::optional<Error> error)>;

class URLSessionDataTask {
 public:
  virtual ~URLSessionDataTask() = default;
  virtual void resume() = 0;
  virtual void cancel() = 0;  // completes with Error::url(cancelled) if not finished
};

// ---- protocol hook -------------------------------------------------------------

class URLProtocol;

enum class URLCacheStoragePolicy { allowed = 0, allowedInMemoryOnly = 1, notAllowed = 2 };

// What a protocol handler reports to; the session implements it.
class URLProtocolClient {
 public:
  virtual ~URLProtocolClient() = default;
  virtual void didLoadData(URLProtocol& protocol, const Data& data) = 0;
  virtual void didReceiveResponse(URLProtocol& protocol, std::shared_ptr<const URLResponse> response,
                                  URLCacheStoragePolicy policy) = 0;
  virtual void didFailWithError(URLProtocol& protocol, const Error& error) = 0;
  virtual void didFinishLoading(URLProtocol& protocol) = 0;
};

class URLProtocol {
 public:
  URLProtocol(URLRequest request, std::optional<URLResponse> cachedResponse, URLProtocolClient* client)
      : request_(std::move(request)), cachedResponse_(std::move(cachedResponse)), client_(client) {}
  virtual ~URLProtocol() = default;
  virtual void startLoading() = 0;
  virtual void stopLoading() = 0;
  const URLRequest& request() const { return request_; }
  const std::optional<URLResponse>& cachedResponse() const { return cachedResponse_; }
  URLProtocolClient* client() const { return client_; }

 private:
  URLRequest request_;
  std::optional<URLResponse> cachedResponse_;
  URLProtocolClient* client_;
};

// A protocol handler class: the class-level operations of a URLProtocol subclass.
struct URLProtocolClass {
  std::function<bool(const URLRequest&)> canInit;
  std::function<URLRequest(const URLRequest&)> canonicalRequest;
  std::function<std::unique_ptr<URLProtocol>(const URLRequest&, URLProtocolClient*)> make;

  template <class P>
  static URLProtocolClass of() {
    return URLProtocolClass{[](const URLRequest& r) { return P::canInit(r); },
                            [](const URLRequest& r) { return P::canonicalRequest(r); },
                            [](const URLRequest& r, URLProtocolClient* c) -> std::unique_ptr<URLProtocol> {
                              return std::make_unique<P>(r, std::nullopt, c);
                            }};
  }
};

// ---- session -------------------------------------------------------------------

struct URLSessionConfiguration {
  // Consulted in order before the handlers registered process-wide; the first whose
  // canInit is true loads the request. None: the network (libcurl).
  std::vector<URLProtocolClass> protocolClasses;
  // A network transfer that moves no bytes for this long ends with Error::url(timedOut).
  // Zero turns it off. Requests answered by a protocol handler are not limited.
  std::chrono::milliseconds stallTimeout{std::chrono::seconds(60)};
  // A connection that is not established within this ends with Error::url(timedOut).
  std::chrono::milliseconds connectTimeout{std::chrono::seconds(30)};
  // A network transfer that has not finished this long after its task was resumed ends
  // with Error::url(timedOut), however steadily the peer sends: a reply that trickles
  // cannot hold a waiting caller for ever. Zero turns it off. Requests answered by a
  // protocol handler are not limited.
  std::chrono::milliseconds resourceTimeout{std::chrono::seconds(30)};
  // A reply body larger than this ends with Error::url(dataLengthExceedsMaximum).
  std::size_t maximumBodySize = std::size_t{64} << 20;
  // "HOST:PORT:ADDRESS:PORT" entries: a network transfer to HOST:PORT connects to
  // ADDRESS:PORT instead (the URL's host still names the certificate).
  std::vector<std::string> connectTo;
  // The certificate authorities trusted for TLS; empty, the system's.
  std::string caFile;

  // The defaults, with connectTo and caFile from Settings::current().
  static URLSessionConfiguration defaultConfiguration();
};

class URLSession {
 public:
  // Destroying a session cancels its open tasks (their completions run, with cancelled)
  // and returns once every completion has run. shared() is never destroyed.
  explicit URLSession(URLSessionConfiguration configuration = URLSessionConfiguration::defaultConfiguration());
  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  static URLSession& shared();

  // A network request goes out once: a POST or PATCH is sent on a connection of its own
  // that is closed afterwards, so a connection that dies before the answer fails the
  // task (networkConnectionLost) instead of sending the request again; other methods
  // reuse connections.
  std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, DataTaskCompletion completion);
  const URLSessionConfiguration& configuration() const;
  // The serial queue on which this session's completions run.
  DispatchQueue& delegateQueue();

  // Process-wide registration (every session consults these after its own list).
  static void registerClass(URLProtocolClass protocolClass);
  static void unregisterAllClasses();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

namespace detail {
// The URL-domain code for a libcurl result code (CURLcode).
long urlErrorCodeForCurl(int curlCode);
}  // namespace detail

}  // namespace platform
