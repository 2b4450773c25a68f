#include "platform/url_session.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <thread>
#include <variant>

#include "platform/dispatch.h"
#include "platform/fakes/https_test_server.h"
#include "platform/settings.h"
#include "support/scoped_settings.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using fakes::HttpsTestServer;

constexpr double kForever = std::numeric_limits<double>::infinity();
const std::string kHost = "api.family.test";

// What one data task reported.
struct Outcome {
  int calls = 0;
  std::optional<Data> data;
  std::shared_ptr<const URLResponse> response;
  std::optional<Error> error;
  bool onDelegateQueue = false;
  bool onCallerThread = false;
  Clock::duration elapsed{};

  const HTTPURLResponse* http() const { return dynamic_cast<const HTTPURLResponse*>(response.get()); }
  long code() const { return error ? error->code : 0; }
};

// Starts a task and waits for its completion; `whileRunning` runs after resume().
Outcome load(URLSession& session, URLRequest request, Clock::duration timeout = 30s,
             const std::function<void(URLSessionDataTask&)>& whileRunning = {}) {
  struct Shared {
    std::mutex mutex;
    Outcome outcome;
    DispatchSemaphore done{0};
  };
  auto shared = std::make_shared<Shared>();
  const auto caller = std::this_thread::get_id();
  const auto start = Clock::now();
  DispatchQueue* delegate = &session.delegateQueue();
  auto task =
      session.dataTask(std::move(request), [shared, caller, start, delegate](auto data, auto response, auto error) {
        {
          std::lock_guard lock(shared->mutex);
          auto& o = shared->outcome;
          ++o.calls;
          o.data = std::move(data);
          o.response = std::move(response);
          o.error = std::move(error);
          o.onDelegateQueue = delegate->isCurrent();
          o.onCallerThread = std::this_thread::get_id() == caller;
          o.elapsed = Clock::now() - start;
        }
        shared->done.signal();
      });
  task->resume();
  if (whileRunning) whileRunning(*task);
  if (!shared->done.waitFor(timeout)) {
    ADD_FAILURE() << "no completion within the test's time limit";
    task->cancel();
    shared->done.waitFor(5s);
  }
  session.delegateQueue().sync([] {});  // a second completion would have run by now
  std::lock_guard lock(shared->mutex);
  return shared->outcome;
}

URLRequest requestTo(const std::string& path, std::string method = "GET") {
  URLRequest request;
  request.url = "https://" + kHost + path;
  request.httpMethod = std::move(method);
  return request;
}

URLSessionConfiguration configWith(std::chrono::milliseconds stall, std::chrono::milliseconds connect = 30s) {
  URLSessionConfiguration config;
  config.stallTimeout = stall;
  config.connectTimeout = connect;
  return config;
}

Data patternBytes(std::size_t n) {
  Data data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  return data;
}

// A loopback port with nothing listening on it.
int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// ---- values --------------------------------------------------------------------

TEST(URLError, DescriptionsFollowThePlatform) {
  struct Case {
    long code;
    const char* text;
  };
  const Case cases[] = {
      {URLErrorCode::cancelled, "Error Domain=NSURLErrorDomain Code=-999 \"cancelled\""},
      {URLErrorCode::badURL, "Error Domain=NSURLErrorDomain Code=-1000 \"bad URL\""},
      {URLErrorCode::timedOut, "Error Domain=NSURLErrorDomain Code=-1001 \"The request timed out.\""},
      {URLErrorCode::unsupportedURL, "Error Domain=NSURLErrorDomain Code=-1002 \"unsupported URL\""},
      {URLErrorCode::cannotFindHost,
       "Error Domain=NSURLErrorDomain Code=-1003 \"A server with the specified hostname could not be found.\""},
      {URLErrorCode::cannotConnectToHost,
       "Error Domain=NSURLErrorDomain Code=-1004 \"Could not connect to the server.\""},
      {URLErrorCode::networkConnectionLost,
       "Error Domain=NSURLErrorDomain Code=-1005 \"The network connection was lost.\""},
      {URLErrorCode::dataLengthExceedsMaximum,
       "Error Domain=NSURLErrorDomain Code=-1103 \"resource exceeds maximum size\""},
      {URLErrorCode::secureConnectionFailed,
       "Error Domain=NSURLErrorDomain Code=-1200 \"An SSL error has occurred and a secure connection to the server "
       "cannot be made.\""},
      {URLErrorCode::serverCertificateUntrusted,
       "Error Domain=NSURLErrorDomain Code=-1202 \"The certificate for this server is invalid.\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Error::url(c.code).description(), c.text);
    EXPECT_EQ(Error::url(c.code).code, c.code);
  }
  EXPECT_EQ(Error::url(URLErrorCode::serverCertificateUntrusted, "api.family.test").localizedDescription,
            "The certificate for this server is invalid. You might be connecting to a server that is pretending to "
            "be \u201capi.family.test\u201d which could put your confidential information at risk.");
  EXPECT_EQ(Error::url(URLErrorCode::timedOut, "api.family.test"), Error::url(URLErrorCode::timedOut));
}

TEST(URLError, TransportFailuresMapToURLCodes) {
  struct Case {
    CURLcode curl;
    long code;
  };
  const Case cases[] = {
      {CURLE_OPERATION_TIMEDOUT, URLErrorCode::timedOut},
      {CURLE_COULDNT_RESOLVE_HOST, URLErrorCode::cannotFindHost},
      {CURLE_COULDNT_CONNECT, URLErrorCode::cannotConnectToHost},
      {CURLE_PEER_FAILED_VERIFICATION, URLErrorCode::serverCertificateUntrusted},
      {CURLE_SSL_CONNECT_ERROR, URLErrorCode::secureConnectionFailed},
      {CURLE_SSL_CACERT_BADFILE, URLErrorCode::secureConnectionFailed},
      {CURLE_RECV_ERROR, URLErrorCode::networkConnectionLost},
      {CURLE_SEND_ERROR, URLErrorCode::networkConnectionLost},
      {CURLE_GOT_NOTHING, URLErrorCode::networkConnectionLost},
      {CURLE_PARTIAL_FILE, URLErrorCode::networkConnectionLost},
      {CURLE_WEIRD_SERVER_REPLY, URLErrorCode::cannotParseResponse},
      {CURLE_FILESIZE_EXCEEDED, URLErrorCode::dataLengthExceedsMaximum},
      {CURLE_UNSUPPORTED_PROTOCOL, URLErrorCode::unsupportedURL},
      {CURLE_URL_MALFORMAT, URLErrorCode::badURL},
      {CURLE_OUT_OF_MEMORY, URLErrorCode::unknown},
  };
  for (const auto& c : cases) EXPECT_EQ(detail::urlErrorCodeForCurl(c.curl), c.code) << curl_easy_strerror(c.curl);
}

TEST(URLRequest, HeaderHelpersKeepOrderAndCompareNamesWithoutCase) {
  URLRequest request;
  request.addValue("Bearer t", "Authorization");
  request.addValue("application/json", "Content-Type");
  request.addValue("text/plain", "content-type");  // joins the existing field
  EXPECT_EQ(request.headers,
            (HeaderList{{"Authorization", "Bearer t"}, {"Content-Type", "application/json,text/plain"}}));
  EXPECT_EQ(request.value("CONTENT-TYPE"), "application/json,text/plain");
  request.headers.emplace_back("X-Twice", "1");
  request.headers.emplace_back("x-twice", "2");
  request.setValue("3", "X-TWICE");
  EXPECT_EQ(
      request.headers,
      (HeaderList{{"Authorization", "Bearer t"}, {"Content-Type", "application/json,text/plain"}, {"X-Twice", "3"}}));
  EXPECT_FALSE(request.value("Accept"));

  HTTPURLResponse response("https://x/y", 404, {{"Content-Type", "text/html"}});
  EXPECT_EQ(response.value("content-type"), "text/html");
  EXPECT_NE(response.description().find("Status Code: 404"), std::string::npos);
  EXPECT_NE(response.description().find("https://x/y"), std::string::npos);
}

TEST(URLSession, BadAndUnsupportedURLsFailWithoutTheNetwork) {
  struct Case {
    const char* url;
    long code;
  };
  const Case cases[] = {
      {"", URLErrorCode::badURL},
      {"not a url", URLErrorCode::badURL},
      {"ftp://127.0.0.1/file", URLErrorCode::unsupportedURL},
      {"file:///etc/hosts", URLErrorCode::unsupportedURL},
      {"mopet://canned/reply", URLErrorCode::unsupportedURL},
  };
  URLSession session;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    URLRequest request;
    request.url = c.url;
    auto outcome = load(session, request);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.code(), c.code);
    EXPECT_FALSE(outcome.data);
    EXPECT_TRUE(outcome.onDelegateQueue);
    EXPECT_FALSE(outcome.onCallerThread);
  }
}

TEST(URLSession, ARefusedConnectionIsCannotConnect) {
  const int port = closedPort();
  URLSessionConfiguration configuration;
  configuration.connectTo = {kHost + ":443:127.0.0.1:" + std::to_string(port)};
  URLSession session(configuration);
  for (const std::string& url : {"http://127.0.0.1:" + std::to_string(port) + "/", "https://" + kHost + "/echo"}) {
    SCOPED_TRACE(url);
    URLRequest request;
    request.url = url;
    request.timeoutInterval = kForever;
    auto outcome = load(session, request);
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->description(),
              "Error Domain=NSURLErrorDomain Code=-1004 \"Could not connect to the server.\"");
    EXPECT_FALSE(outcome.data);
    EXPECT_FALSE(outcome.response);
  }
}

// ---- against a real HTTPS server on loopback -------------------------------------

class HttpsSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    server_ = HttpsTestServer::start({kHost}, error);
    startError_ = error;
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    ASSERT_TRUE(server_) << startError_;
    route(server_->port());
    caFile_ = server_->caFile();
  }

  // Sends the invented host (and any others) to `port` on 127.0.0.1, in the sessions
  // configured from now on.
  void route(int port, const std::vector<std::string>& hosts = {kHost}) {
    connectTo_.clear();
    for (const auto& host : hosts) connectTo_.push_back(host + ":443:127.0.0.1:" + std::to_string(port));
  }

  // `base` with the route and the test server's certificate authority.
  URLSessionConfiguration configuration(URLSessionConfiguration base = {}) const {
    base.connectTo = connectTo_;
    base.caFile = caFile_;
    return base;
  }

  static fakes::RecordedRequest echoOf(const Outcome& outcome) {
    if (!outcome.data) return {};
    return fakes::parseEcho(*outcome.data).value_or(fakes::RecordedRequest{});
  }

  static inline std::unique_ptr<HttpsTestServer> server_;
  static inline std::string startError_;
  std::vector<std::string> connectTo_;
  std::string caFile_;
};

TEST_F(HttpsSessionTest, SendsMethodHeadersInOrderAndTheBodyBytes) {
  URLSession session(configuration());
  URLRequest request = requestTo("/echo?x=1", "POST");
  request.timeoutInterval = kForever;
  request.addValue("Bearer secret-token", "Authorization");
  request.addValue("application/json", "Content-Type");
  request.addValue("third", "X-Third");
  Data body(256);
  for (int i = 0; i < 256; ++i) body[static_cast<size_t>(i)] = static_cast<std::uint8_t>(i);
  request.httpBody = body;

  auto outcome = load(session, request);
  ASSERT_EQ(outcome.calls, 1);
  ASSERT_FALSE(outcome.error) << outcome.error->description();
  EXPECT_TRUE(outcome.onDelegateQueue);
  EXPECT_FALSE(outcome.onCallerThread);
  ASSERT_NE(outcome.http(), nullptr);
  EXPECT_EQ(outcome.http()->statusCode(), 200);
  EXPECT_EQ(outcome.http()->value("content-type"), "text/plain");
  EXPECT_EQ(outcome.response->url(), "https://api.family.test/echo?x=1");

  auto echo = echoOf(outcome);
  EXPECT_EQ(echo.method, "POST");
  EXPECT_EQ(echo.target, "/echo?x=1");
  EXPECT_EQ(echo.header("Host"), kHost);
  EXPECT_EQ(echo.header("Authorization"), "Bearer secret-token");
  EXPECT_EQ(echo.header("Content-Type"), "application/json");
  EXPECT_EQ(echo.header("Content-Length"), "256");
  EXPECT_FALSE(echo.header("Expect"));
  EXPECT_EQ(echo.body, body);
  std::vector<std::string> ours;
  for (const auto& [name, value] : echo.headers) {
    if (name == "Authorization" || name == "Content-Type" || name == "X-Third") ours.push_back(name);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"Authorization", "Content-Type", "X-Third"}));

  // The server's own record agrees with what it echoed.
  auto received = server_->waitForRequest("/echo?x=1", 10s);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->body, body);
  EXPECT_EQ(received->header("Authorization"), "Bearer secret-token");
}

TEST_F(HttpsSessionTest, EachMethodReachesTheServerWithItsBody) {
  struct Case {
    const char* method;
    std::optional<std::string> body;
    std::optional<std::string> contentLength;
  };
  const Case cases[] = {
      {"GET", std::nullopt, std::nullopt},     {"DELETE", std::nullopt, std::nullopt}, {"POST", std::nullopt, "0"},
      {"POST", std::string("{\"a\":1}"), "7"}, {"PUT", std::string("[1,2]"), "5"},     {"PATCH", std::string(""), "0"},
  };
  URLSession session(configuration());
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.body.value_or("(no body)"));
    URLRequest request = requestTo("/echo", c.method);
    request.addValue("Bearer t", "Authorization");
    request.addValue("application/json", "Content-Type");
    if (c.body) request.httpBody = toData(*c.body);
    auto outcome = load(session, request);
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    auto echo = echoOf(outcome);
    EXPECT_EQ(echo.method, c.method);
    EXPECT_EQ(echo.header("Content-Length"), c.contentLength);
    EXPECT_EQ(toString(echo.body), c.body.value_or(""));
    EXPECT_EQ(echo.header("Authorization"), "Bearer t");  // sent without a body too
    EXPECT_EQ(echo.header("Content-Type"), "application/json");
  }
}

TEST_F(HttpsSessionTest, AHeaderThatWouldSplitTheRequestIsNotSent) {
  URLSession session(configuration());
  URLRequest request = requestTo("/echo");
  request.headers.emplace_back("X-Bad", "a\r\nX-Injected: 1");
  request.headers.emplace_back("Bad Name", "b");
  request.headers.emplace_back("X-Good", "kept");
  auto echo = echoOf(load(session, request));
  EXPECT_FALSE(echo.header("X-Injected"));
  EXPECT_FALSE(echo.header("X-Bad"));
  EXPECT_FALSE(echo.header("Bad Name"));
  EXPECT_EQ(echo.header("X-Good"), "kept");
}

TEST_F(HttpsSessionTest, StatusesAndBodiesArriveAsSent) {
  ASSERT_TRUE(server_->setReply("/api/v1/children/location", 201, toData("{\"success\":true}")));
  struct Case {
    std::string path;
    int status;
    std::string body;
  };
  const Case cases[] = {
      {"/status/200", 200, "{\"status\":200}"},
      {"/status/299", 299, "{\"status\":299}"},
      {"/status/300", 300, "{\"status\":300}"},
      {"/status/404", 404, "{\"status\":404}"},
      {"/status/500", 500, "{\"status\":500}"},
      {"/status/204", 204, ""},
      {"/empty", 200, ""},
      {"/redirect", 302, "moved"},  // not followed
      {"/api/v1/children/location", 201, "{\"success\":true}"},
  };
  URLSession session(configuration());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto outcome = load(session, requestTo(c.path));
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    ASSERT_NE(outcome.http(), nullptr);
    EXPECT_EQ(outcome.http()->statusCode(), c.status);
    ASSERT_TRUE(outcome.data) << "a reply always comes with data, if only empty";
    EXPECT_EQ(toString(*outcome.data), c.body);
  }
}

TEST_F(HttpsSessionTest, ResponseHeadersKeepRepeatsOrderAndEmptyValues) {
  URLSession session(configuration());
  auto outcome = load(session, requestTo("/headers"));
  ASSERT_NE(outcome.http(), nullptr);
  std::vector<std::string> cookies;
  bool emptySeen = false;
  for (const auto& [name, value] : outcome.http()->allHeaderFields()) {
    if (name == "Set-Cookie" || name == "set-cookie") cookies.push_back(value);
    if ((name == "X-Empty" || name == "x-empty") && value.empty()) emptySeen = true;
  }
  EXPECT_EQ(cookies, (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_TRUE(emptySeen);
  EXPECT_EQ(outcome.http()->value("X-MULTI"), "one");
}

TEST_F(HttpsSessionTest, LargeAndNonTextBodiesArriveByteForByte) {
  const Data invalidUtf8 = {0xff, 0xfe, 0x00, 0xc3, 0x28, 0xa0, 0xa1, 0xed, 0xa0, 0x80, 0x7b};
  struct Case {
    std::string path;
    Data expected;
  };
  const Case cases[] = {
      {"/bytes/20000000", patternBytes(20000000)},
      {"/chunked/3000000", patternBytes(3000000)},
      {"/invalid-utf8", invalidUtf8},
  };
  URLSession session(configuration());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto outcome = load(session, requestTo(c.path));
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    ASSERT_TRUE(outcome.data);
    EXPECT_EQ(outcome.data->size(), c.expected.size());
    EXPECT_TRUE(*outcome.data == c.expected);
  }
}

TEST_F(HttpsSessionTest, AHugeRequestBodyIsSentWhole) {
  URLSession session(configuration());
  URLRequest request = requestTo("/echo", "POST");
  request.httpBody = patternBytes(8 << 20);
  auto outcome = load(session, request);
  ASSERT_FALSE(outcome.error) << outcome.error->description();
  auto echo = echoOf(outcome);
  EXPECT_EQ(echo.body.size(), request.httpBody->size());
  EXPECT_TRUE(echo.body == *request.httpBody);
}

TEST_F(HttpsSessionTest, ARepliedBodyOverTheSessionLimitFails) {
  URLSessionConfiguration config = configuration();
  config.maximumBodySize = 1 << 20;
  URLSession session(config);
  struct Case {
    std::string path;
    long code;  // 0: success
  };
  const Case cases[] = {
      {"/bytes/2000000", URLErrorCode::dataLengthExceedsMaximum},    // announced length
      {"/chunked/2000000", URLErrorCode::dataLengthExceedsMaximum},  // found while reading
      {"/bytes/1048576", 0},                                         // exactly the limit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto outcome = load(session, requestTo(c.path));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.code(), c.code);
    EXPECT_EQ(outcome.data.has_value(), c.code == 0);
  }
}

TEST_F(HttpsSessionTest, TransfersThatMakeNoProgressEndWithTimedOut) {
  struct Case {
    const char* name;
    std::string path;
    bool silentPort;  // a listener that never even answers the TLS handshake
    std::chrono::milliseconds stall;
    std::chrono::milliseconds connect;
    double timeoutInterval;
    Clock::duration atLeast;
  };
  const Case cases[] = {
      {"request read, never answered", "/silent", false, 1s, 30s, kForever, 900ms},
      {"handshake never answered", "/echo", true, 1s, 30s, kForever, 900ms},
      {"connect limit", "/echo", true, 60s, 300ms, kForever, 250ms},
      {"finite request time-out is a total limit", "/trickle/40/100", false, 60s, 30s, 0.5, 450ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    route(c.silentPort ? server_->silentPort() : server_->port());
    URLSession session(configuration(configWith(c.stall, c.connect)));
    URLRequest request = requestTo(c.path);
    request.timeoutInterval = c.timeoutInterval;
    auto outcome = load(session, request);
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->description(), "Error Domain=NSURLErrorDomain Code=-1001 \"The request timed out.\"");
    EXPECT_GE(outcome.elapsed, c.atLeast);
    EXPECT_LT(outcome.elapsed, 15s);
    EXPECT_FALSE(outcome.data);
  }
}

TEST_F(HttpsSessionTest, ASlowButSteadyReplyOutlastsTheStallLimit) {
  URLSession session(configuration(configWith(1s)));
  URLRequest request = requestTo("/trickle/6/250");
  request.timeoutInterval = kForever;
  auto outcome = load(session, request);
  ASSERT_FALSE(outcome.error) << outcome.error->description();
  EXPECT_EQ(toString(outcome.data.value_or(Data{})), "xxxxxx");
  EXPECT_GE(outcome.elapsed, 1s);  // longer in total than the stall limit
}

// The session's resource limit counts from the start, whatever the peer sends: a reply
// that trickles a byte well within the stall limit still ends when its time is up.
TEST_F(HttpsSessionTest, ATricklingReplyEndsAtTheResourceLimit) {
  EXPECT_EQ(URLSessionConfiguration::defaultConfiguration().resourceTimeout, 30s);
  URLSessionConfiguration config = configuration(configWith(1s));
  config.resourceTimeout = 3s;  // long enough for a short reply on a busy machine
  URLSession session(config);
  struct Case {
    const char* name;
    std::string path;
    bool timesOut;
  };
  const Case cases[] = {
      {"a byte every 100 ms for 20 s", "/trickle/200/100", true},
      {"done well within the limit", "/trickle/3/100", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    URLRequest request = requestTo(c.path);
    request.timeoutInterval = kForever;
    auto outcome = load(session, request);
    EXPECT_EQ(outcome.calls, 1);
    if (!c.timesOut) {
      ASSERT_FALSE(outcome.error) << outcome.error->description();
      EXPECT_EQ(toString(outcome.data.value_or(Data{})), "xxx");
      continue;
    }
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->description(), "Error Domain=NSURLErrorDomain Code=-1001 \"The request timed out.\"");
    EXPECT_GE(outcome.elapsed, 3s);
    EXPECT_LT(outcome.elapsed, 15s);
    EXPECT_FALSE(outcome.data);
    EXPECT_FALSE(outcome.response);
  }
  // The session goes on serving after a request it ended.
  auto after = load(session, requestTo("/echo"));
  EXPECT_FALSE(after.error);
}

TEST_F(HttpsSessionTest, CertificateProblemsFailTheRequest) {
  struct Case {
    const char* name;
    std::string host;
    std::string caFile;  // empty: the server's own authority
    long code;
    std::string mentions;
  };
  const Case cases[] = {
      {"signed by an authority that is not trusted", kHost, server_->otherCaFile(),
       URLErrorCode::serverCertificateUntrusted, "\u201c" + kHost + "\u201d"},
      {"name not in the certificate", "wrong.family.test", "", URLErrorCode::serverCertificateUntrusted,
       "\u201cwrong.family.test\u201d"},
      {"authority file missing", kHost, server_->directory() + "/missing.pem", URLErrorCode::secureConnectionFailed,
       "secure connection"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    route(server_->port(), {c.host});
    caFile_ = c.caFile.empty() ? server_->caFile() : c.caFile;
    URLSession session(configuration());
    URLRequest request;
    request.url = "https://" + c.host + "/echo";
    auto outcome = load(session, request);
    EXPECT_EQ(outcome.code(), c.code);
    ASSERT_TRUE(outcome.error);
    EXPECT_NE(outcome.error->localizedDescription.find(c.mentions), std::string::npos)
        << outcome.error->localizedDescription;
    EXPECT_FALSE(outcome.data);
  }
}

TEST_F(HttpsSessionTest, AConnectionClosedWithoutAReplyIsConnectionLost) {
  URLSession session(configuration());
  auto outcome = load(session, requestTo("/hangup"));
  EXPECT_EQ(outcome.code(), URLErrorCode::networkConnectionLost);
  EXPECT_FALSE(outcome.data);
}

// The peer reads the request and closes the connection without a word, on a connection
// that an earlier answered request left open. libcurl sends a request again, unasked,
// when a reused connection dies so; a POST or PATCH must reach the peer once and fail,
// as the peer may have acted on it (a usage report counted twice). A GET on the same
// road is sent again, which shows the road is the one that repeats requests.
TEST_F(HttpsSessionTest, ARequestThatMayChangeTheServerIsSentOnceWhenItsConnectionDies) {
  struct Case {
    const char* method;
    std::size_t arrivals;
    long code;
  } cases[] = {
      {"POST", 1, URLErrorCode::networkConnectionLost},
      {"PATCH", 1, URLErrorCode::networkConnectionLost},
      {"GET", 2, URLErrorCode::networkConnectionLost},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    URLSession session(configuration());
    // Answered in full: its connection stays open for the next request.
    const std::string before = std::string("/echo?before-") + c.method;
    ASSERT_FALSE(load(session, requestTo(before)).error);
    const std::string target = std::string("/hangup?") + c.method;
    URLRequest request = requestTo(target, c.method);
    if (std::string(c.method) != "GET") request.httpBody = toData(R"([{"report_type":"APP_USAGE"}])");
    auto outcome = load(session, request);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.code(), c.code);
    EXPECT_FALSE(outcome.data);
    // A request sent after the completion arrives after any repeat of the one before.
    const std::string after = std::string("/echo?after-") + c.method;
    ASSERT_FALSE(load(session, requestTo(after)).error);
    ASSERT_TRUE(server_->waitForRequest(after, 10s));
    std::size_t arrivals = 0;
    for (const auto& received : server_->requests()) arrivals += received.target == target ? 1 : 0;
    EXPECT_EQ(arrivals, c.arrivals);
  }
}

TEST_F(HttpsSessionTest, CancelCompletesOnceWithCancelled) {
  URLSession session(configuration());
  // Cancelled while the server holds the request.
  auto outcome = load(session, requestTo("/silent?cancel"), 30s, [&](URLSessionDataTask& task) {
    EXPECT_TRUE(server_->waitForRequest("/silent?cancel", 10s));
    task.cancel();
    task.cancel();
  });
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(outcome.error, Error::url(URLErrorCode::cancelled));
  EXPECT_TRUE(outcome.onDelegateQueue);

  // Cancelled before it was started: completes, and a later resume sends nothing.
  std::atomic<int> calls{0};
  std::optional<Error> error;
  DispatchSemaphore done(0);
  auto task = session.dataTask(requestTo("/echo?never-sent"), [&](auto, auto, auto e) {
    error = e;
    ++calls;
    done.signal();
  });
  task->cancel();
  ASSERT_TRUE(done.waitFor(5s));
  task->resume();
  session.delegateQueue().sync([] {});
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(error, Error::url(URLErrorCode::cancelled));

  // The session is still fine afterwards.
  auto after = load(session, requestTo("/echo?after-cancel"));
  EXPECT_FALSE(after.error);
  EXPECT_TRUE(server_->waitForRequest("/echo?after-cancel", 10s));
  EXPECT_FALSE(server_->waitForRequest("/echo?never-sent", 0ms));
}

TEST_F(HttpsSessionTest, ConcurrentTasksEachCompleteOnceOnTheSerialQueue) {
  URLSession session(configuration());
  constexpr int kTasks = 8;
  std::mutex mutex;
  std::vector<std::string> targets;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  DispatchSemaphore done(0);
  std::vector<std::shared_ptr<URLSessionDataTask>> tasks;
  tasks.reserve(kTasks);
  for (int i = 0; i < kTasks; ++i) {
    tasks.push_back(session.dataTask(requestTo("/echo?n=" + std::to_string(i)), [&](auto data, auto, auto error) {
      if (inside.fetch_add(1) != 0) overlapped = true;
      std::this_thread::sleep_for(2ms);
      {
        std::lock_guard lock(mutex);
        targets.push_back(error ? error->description() : fakes::parseEcho(data.value_or(Data{}))->target);
      }
      inside.fetch_sub(1);
      done.signal();
    }));
  }
  for (auto& task : tasks) task->resume();
  for (int i = 0; i < kTasks; ++i) ASSERT_TRUE(done.waitFor(30s));
  session.delegateQueue().sync([] {});
  std::sort(targets.begin(), targets.end());
  std::vector<std::string> expected;
  expected.reserve(kTasks);
  for (int i = 0; i < kTasks; ++i) expected.push_back("/echo?n=" + std::to_string(i));
  EXPECT_EQ(targets, expected);
  EXPECT_FALSE(overlapped);
}

TEST_F(HttpsSessionTest, DestroyingTheSessionEndsItsOpenTasks) {
  auto session = std::make_unique<URLSession>(configuration());
  std::atomic<int> calls{0};
  std::optional<Error> error;
  auto task = session->dataTask(requestTo("/silent?destroy"), [&](auto, auto, auto e) {
    error = e;
    ++calls;
  });
  task->resume();
  ASSERT_TRUE(server_->waitForRequest("/silent?destroy", 10s));
  session.reset();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(error, Error::url(URLErrorCode::cancelled));
  task->cancel();  // harmless after the end
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(HttpsSessionTest, TheSharedSessionLoadsToo) {
  // The shared session takes the settings that the composition root installs before
  // its first use.
  testsupport::ScopedSettings installed([&](Settings& settings) {
    settings.connectTo = connectTo_;
    settings.caFile = caFile_;
  });
  EXPECT_EQ(URLSession::shared().configuration().connectTo, connectTo_);
  EXPECT_EQ(URLSession::shared().configuration().caFile, caFile_);
  auto outcome = load(URLSession::shared(), requestTo("/status/200"));
  EXPECT_FALSE(outcome.error);
  EXPECT_TRUE(outcome.onDelegateQueue);
  EXPECT_FALSE(DispatchQueue::main().isCurrent() && outcome.onCallerThread);
  EXPECT_EQ(&URLSession::shared(), &URLSession::shared());
}

// ---- the protocol hook ---------------------------------------------------------

struct HookLog {
  std::mutex mutex;
  std::vector<std::string> events;
  std::vector<URLRequest> loaded;
  int stops = 0;

  void add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }
};

struct Finish {};
using Step = std::variant<Data, std::shared_ptr<const URLResponse>, Error, Finish>;

// A handler that plays a script to its client, at once or from a thread of its own.
class ScriptedProtocol : public URLProtocol {
 public:
  ScriptedProtocol(const URLRequest& request, URLProtocolClient* client, std::vector<Step> steps, bool fromThread,
                   std::shared_ptr<HookLog> log)
      : URLProtocol(request, std::nullopt, client),
        steps_(std::move(steps)),
        fromThread_(fromThread),
        log_(std::move(log)) {}
  ~ScriptedProtocol() override {
    if (thread_.joinable()) thread_.join();
  }

  void startLoading() override {
    {
      std::lock_guard lock(log_->mutex);
      log_->loaded.push_back(request());
    }
    if (fromThread_) {
      thread_ = std::thread([this] { play(); });
    } else {
      play();
    }
  }
  void stopLoading() override {
    std::lock_guard lock(log_->mutex);
    ++log_->stops;
  }

 private:
  void play() {
    for (const auto& step : steps_) {
      if (auto* data = std::get_if<Data>(&step)) client()->didLoadData(*this, *data);
      if (auto* response = std::get_if<std::shared_ptr<const URLResponse>>(&step)) {
        client()->didReceiveResponse(*this, *response, URLCacheStoragePolicy::notAllowed);
      }
      if (auto* error = std::get_if<Error>(&step)) client()->didFailWithError(*this, *error);
      if (std::holds_alternative<Finish>(step)) client()->didFinishLoading(*this);
    }
  }

  std::vector<Step> steps_;
  bool fromThread_;
  std::shared_ptr<HookLog> log_;
  std::thread thread_;
};

URLProtocolClass scripted(std::vector<Step> steps, const std::shared_ptr<HookLog>& log, bool fromThread = false,
                          bool accepts = true, const std::string& name = "scripted") {
  URLProtocolClass protocolClass;
  protocolClass.canInit = [log, accepts, name](const URLRequest&) {
    log->add(name + " canInit");
    return accepts;
  };
  protocolClass.canonicalRequest = [](const URLRequest& request) {
    URLRequest canonical = request;
    canonical.setValue("yes", "X-Canonical");
    return canonical;
  };
  protocolClass.make = [steps = std::move(steps), log, fromThread, name](const URLRequest& request,
                                                                         URLProtocolClient* client) {
    log->add(name + " make");
    return std::make_unique<ScriptedProtocol>(request, client, steps, fromThread, log);
  };
  return protocolClass;
}

class ProtocolHookTest : public ::testing::Test {
 protected:
  void TearDown() override { URLSession::unregisterAllClasses(); }
  std::shared_ptr<HookLog> log = std::make_shared<HookLog>();
};

TEST_F(ProtocolHookTest, WhatTheHandlerReportsIsWhatTheCompletionGets) {
  auto ok = std::make_shared<HTTPURLResponse>("https://api.family.test/x", 200, HeaderList{{"A", "1"}});
  auto notFound = std::make_shared<HTTPURLResponse>("https://api.family.test/x", 404, HeaderList{});
  const Error lost = Error::url(URLErrorCode::networkConnectionLost);
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool fromThread;
    std::optional<std::string> data;
    std::shared_ptr<const URLResponse> response;
    std::optional<Error> error;
  };
  const Case cases[] = {
      {"data, response, finish", {toData("ab"), toData("cd"), ok, Finish{}}, false, "abcd", ok, std::nullopt},
      {"data before the response", {toData("{}"), ok, Finish{}}, false, "{}", ok, std::nullopt},
      {"from the handler's own thread", {toData("t"), ok, Finish{}}, true, "t", ok, std::nullopt},
      {"data then failure", {toData("x"), lost}, false, "x", nullptr, lost},
      {"failure only", {lost}, false, std::nullopt, nullptr, lost},
      {"finish only: no data, no response", {Finish{}}, false, std::nullopt, nullptr, std::nullopt},
      {"a response without data", {notFound, Finish{}}, false, std::nullopt, notFound, std::nullopt},
      {"messages after the end are ignored",
       {Finish{}, toData("late"), lost, Finish{}},
       false,
       std::nullopt,
       nullptr,
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto caseLog = std::make_shared<HookLog>();
    URLSessionConfiguration config;
    config.protocolClasses = {scripted(c.steps, caseLog, c.fromThread)};
    {
      URLSession session(config);
      auto outcome = load(session, requestTo("/anything", "POST"));
      EXPECT_EQ(outcome.calls, 1);
      EXPECT_TRUE(outcome.onDelegateQueue);
      EXPECT_FALSE(outcome.onCallerThread);
      EXPECT_EQ(outcome.data.has_value(), c.data.has_value());
      if (outcome.data && c.data) {
        EXPECT_EQ(toString(*outcome.data), *c.data);
      }
      EXPECT_EQ(outcome.response, c.response);
      EXPECT_EQ(outcome.error, c.error);
    }  // the session's end lets every handler stop
    EXPECT_EQ(caseLog->stops, 1);
  }
}

TEST_F(ProtocolHookTest, ConfiguredClassesComeFirstAndTheFirstThatAcceptsLoadsTheCanonicalRequest) {
  auto ok = std::make_shared<HTTPURLResponse>("mopet://canned", 200, HeaderList{});
  URLSession::registerClass(scripted({toData("registered"), ok, Finish{}}, log, false, true, "registered"));

  URLSessionConfiguration config;
  config.protocolClasses = {scripted({}, log, false, false, "declines"),
                            scripted({toData("configured"), ok, Finish{}}, log, false, true, "configured")};
  URLSession session(config);
  URLRequest request;
  request.url = "mopet://canned";  // any scheme will do for a handler
  request.addValue("v", "X-Original");
  auto outcome = load(session, request);
  EXPECT_EQ(toString(outcome.data.value_or(Data{})), "configured");
  {
    std::lock_guard lock(log->mutex);
    EXPECT_EQ(log->events, (std::vector<std::string>{"declines canInit", "configured canInit", "configured make"}));
    ASSERT_EQ(log->loaded.size(), 1u);
    EXPECT_EQ(log->loaded[0].value("X-Canonical"), "yes");
    EXPECT_EQ(log->loaded[0].value("X-Original"), "v");
    log->events.clear();
  }

  // Without a configured taker, the registered class answers.
  URLSessionConfiguration declining;
  declining.protocolClasses = {scripted({}, log, false, false, "declines")};
  URLSession other(declining);
  EXPECT_EQ(toString(load(other, request).data.value_or(Data{})), "registered");
  std::lock_guard lock(log->mutex);
  EXPECT_EQ(log->events, (std::vector<std::string>{"declines canInit", "registered canInit", "registered make"}));
}

// A handler class written the usual way, with class-level operations.
class StaticHandler : public URLProtocol {
 public:
  using URLProtocol::URLProtocol;
  static bool canInit(const URLRequest& request) { return request.url.rfind("mopet:", 0) == 0; }
  static URLRequest canonicalRequest(const URLRequest& request) { return request; }
  void startLoading() override {
    client()->didLoadData(*this, toData(request().url));
    client()->didFinishLoading(*this);
  }
  void stopLoading() override {}
};

TEST_F(ProtocolHookTest, AClassWithStaticOperationsCanBeRegistered) {
  URLSession::registerClass(URLProtocolClass::of<StaticHandler>());
  URLSession session;
  URLRequest request;
  request.url = "mopet://static";
  EXPECT_EQ(toString(load(session, request).data.value_or(Data{})), "mopet://static");
  URLSession::unregisterAllClasses();
  EXPECT_EQ(load(session, request).code(), URLErrorCode::unsupportedURL);
}

TEST_F(ProtocolHookTest, AHandlerThatNeverReportsStaysOpenUntilCancelled) {
  URLSessionConfiguration config = configWith(50ms);  // the stall limit is for the network only
  config.protocolClasses = {scripted({}, log)};
  URLSession session(config);
  auto outcome = load(session, requestTo("/never"), 30s, [&](URLSessionDataTask& task) {
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(log->stops, 0);
    task.cancel();
  });
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_GE(outcome.elapsed, 300ms);
  EXPECT_EQ(outcome.error, Error::url(URLErrorCode::cancelled));
  session.delegateQueue().sync([] {});
}

TEST_F(ProtocolHookTest, DestroyingTheSessionCancelsAnOpenHandler) {
  URLSessionConfiguration config;
  config.protocolClasses = {scripted({}, log)};
  auto session = std::make_unique<URLSession>(config);
  std::atomic<int> calls{0};
  std::optional<Error> error;
  auto task = session->dataTask(requestTo("/never"), [&](auto, auto, auto e) {
    error = e;
    ++calls;
  });
  task->resume();
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard lock(log->mutex);
      if (!log->loaded.empty()) break;
    }
    std::this_thread::sleep_for(1ms);
  }
  session.reset();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(error, Error::url(URLErrorCode::cancelled));
  EXPECT_EQ(log->stops, 1);
}

}  // namespace
}  // namespace platform
