// The request runner's outcomes, answered by the canned-response protocol.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "networks/network_manager.h"
#include "networks/shared_settings.h"
#include "networks/url_protocol_stub.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "support/scoped_shared_suite.h"

namespace networks {
namespace {

using ::testing::StartsWith;

std::shared_ptr<const platform::URLResponse> httpResponse(int status, const std::string& url = "https://x/") {
  return std::make_shared<platform::HTTPURLResponse>(url, status, platform::HeaderList{});
}

platform::URLSessionConfiguration stubbedConfiguration() {
  platform::URLSessionConfiguration configuration;
  configuration.protocolClasses = {platform::URLProtocolClass::of<URLProtocolStub>()};
  return configuration;
}

// Requests handed to the stub's observer, which runs on the loading thread after the
// load has been reported (so possibly after the runner returned).
class ObservedRequests {
 public:
  URLProtocolStub::RequestObserver observer() {
    return [this](const platform::URLRequest& request) {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      changed_.notify_all();
    };
  }
  std::optional<platform::URLRequest> waitForOne() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return !requests_.empty(); })) return std::nullopt;
    auto first = requests_.front();
    requests_.erase(requests_.begin());
    return first;
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<platform::URLRequest> requests_;
};

class NetworkManagerTest : public ::testing::Test {
 protected:
  NetworkManagerTest() : session_(stubbedConfiguration()), runner_(session_) {
    // The outcome table, not the wait: the call returns once the reply was handled, on a
    // slow (sanitizer) build as well.
    runner_.setReplyWaitLimit(NetworkManager::kNoReplyWaitLimit);
  }
  ~NetworkManagerTest() override { URLProtocolStub::removeStub(); }

  void setToken(std::optional<std::string> token) {
    if (token) shared_.suite().set(std::string(kSharedChildToken), *token);
    else shared_.suite().removeObject(std::string(kSharedChildToken));
  }

  // Runs one request; returns what reached the completion (none when it did not run).
  template <class T>
  std::optional<Result<T>> run(const ChildEndPoint& endPoint) {
    std::optional<Result<T>> outcome;
    int calls = 0;
    runner_.task<T>(endPoint, [&](Result<T> result) {
      ++calls;
      outcome = std::move(result);
    });
    EXPECT_LE(calls, 1);
    return outcome;
  }

  std::optional<Result<AcceptanceModel>> post(std::optional<std::string> body, int status) {
    URLProtocolStub::stub(body ? std::optional(platform::toData(*body)) : std::nullopt, httpResponse(status),
                          std::nullopt);
    return run<AcceptanceModel>(ChildEndPoint::sendApplicationList({}));
  }

  // After a call that must not have sent anything: one more request, which the observer
  // sees after anything sent before it (the handlers load in order), is all there is.
  void expectOnlyTheFence(ObservedRequests& observed) {
    setToken("fence-token");
    EXPECT_FALSE(run<AcceptanceModel>(ChildEndPoint::me()));
    const auto first = observed.waitForOne();
    ASSERT_TRUE(first) << "the fence request was not seen";
    EXPECT_EQ(first->url, ChildEndPoint::me().url()) << "something was sent before the fence";
    EXPECT_EQ(first->value("Authorization"), "Bearer fence-token");
    EXPECT_EQ(observed.count(), 0u);
  }

  testsupport::ScopedSharedSuite shared_;
  platform::URLSession session_;
  NetworkManager runner_;
};

TEST_F(NetworkManagerTest, WithoutTokenNothingIsSentAndNoCompletionRuns) {
  setToken(std::nullopt);
  ObservedRequests observed;
  URLProtocolStub::observeRequests(observed.observer());
  EXPECT_FALSE(run<AcceptanceModel>(ChildEndPoint::getSafeSearchRules()));
  expectOnlyTheFence(observed);  // nothing was loaded: the call returned before sending
  URLProtocolStub::removeStub();
}

TEST_F(NetworkManagerTest, RequestCarriesTokenHeadersMethodAndBody) {
  for (const std::string token : {"tok-123", ""}) {
    setToken(token);
    ObservedRequests observed;
    URLProtocolStub::observeRequests(observed.observer());
    // An observed load delivers no data, so no completion runs; the call still returns.
    EXPECT_FALSE(run<AcceptanceModel>(ChildEndPoint::getSafeSearchRules()));
    auto seen = observed.waitForOne();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->httpMethod, "GET");
    EXPECT_FALSE(seen->httpBody);
    EXPECT_EQ(seen->headers,
              (platform::HeaderList{{"Authorization", "Bearer " + token}, {"Content-Type", "application/json"}}));
    EXPECT_TRUE(std::isinf(seen->timeoutInterval));
  }

  ObservedRequests observed;
  URLProtocolStub::observeRequests(observed.observer());
  run<AcceptanceModel>(ChildEndPoint::sendLocation({LocationModel{"1.0", "2.0", 3.0, {10.0f, false, 100}}}));
  auto posted = observed.waitForOne();
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->httpMethod, "POST");
  EXPECT_EQ(
      platform::toString(*posted->httpBody),
      R"([{"long":"1.0","lat":"2.0","time":3,"meta_data":{"accuracy":10,"battery_is_charging":false,"battery_percentage":100}}])");
}

TEST_F(NetworkManagerTest, TheAgentsOwnRequestsGoOutAsTheyAlwaysHave) {
  const std::string reportCookie =
      "connect.sid=s%3AFh3JkP9sQw2ErT6yUi8oLa4SdG7hZx5c.Mn6BvC2xZl9KjH4gFd8SaP3oIu7YtR1eWq5EzA0Ls6D";
  const std::string syncCookie =
      "connect.sid=s%3AQm7TwLp2Xc9RbN4vHs6KdJ8fYa3GtE5u.Wq4ZrT8nLm2VcX6bHp9KsD3fJy7GtA5eNu1RoYi0Bw8";
  const platform::HeaderList::value_type bearer{"Authorization", "Bearer tok-7"};
  const platform::HeaderList::value_type json{"Content-Type", "application/json"};
  const struct {
    ChildEndPoint endPoint;
    std::string path;
    const char* method;
    platform::HeaderList headers;
    std::optional<std::string> body;
  } cases[] = {
      {ChildEndPoint::smartAppRules(), "/api/v1/children/device-apps/smart-app-rules", "GET", {bearer}, std::nullopt},
      {ChildEndPoint::webContentRules(), "/api/v1/children/rules/web-rules/web-content", "GET", {bearer}, std::nullopt},
      {ChildEndPoint::usageReport("[\n  {}\n]"),
       "/api/v1/children/reports",
       "POST",
       {bearer, json, {"Cookie", reportCookie}},
       "[\n  {}\n]"},
      {ChildEndPoint::syncApps("[]"),
       "/api/v1/children/device-apps/sync-apps",
       "POST",
       {json, {"Cookie", syncCookie}, bearer},
       "[]"},
  };
  setToken("tok-7");
  const struct {
    std::optional<std::string> choice;
    std::string_view host;
  } hosts[] = {{std::nullopt, kFamilyApiHost}, {"school", kSchoolApiHost}, {"School", kFamilyApiHost}};
  auto* suite = &shared_.suite();
  for (const auto& host : hosts) {
    if (host.choice) suite->set(std::string(kSchoolFamilyApiAgent), *host.choice);
    else suite->removeObject(std::string(kSchoolFamilyApiAgent));
    for (const auto& c : cases) {
      SCOPED_TRACE(c.path + " " + host.choice.value_or("<none>"));
      ObservedRequests observed;
      URLProtocolStub::observeRequests(observed.observer());
      platform::DispatchSemaphore replied(0);
      ASSERT_TRUE(runner_.send(c.endPoint, "tok-7", [&](auto, auto, auto) { replied.signal(); }));
      replied.wait();
      auto seen = observed.waitForOne();
      ASSERT_TRUE(seen);
      EXPECT_EQ(seen->url, "https://" + std::string(host.host) + c.path);
      EXPECT_EQ(seen->httpMethod, c.method);
      EXPECT_EQ(seen->headers, c.headers);
      EXPECT_EQ(seen->httpBody ? std::optional(platform::toString(*seen->httpBody)) : std::nullopt, c.body);
      EXPECT_TRUE(std::isinf(seen->timeoutInterval));
    }
  }
  suite->removeObject(std::string(kSchoolFamilyApiAgent));
  URLProtocolStub::removeStub();
}

TEST_F(NetworkManagerTest, StatusRangeDecidesBetweenSuccessAndErrorBody) {
  setToken("t");
  const std::string body = R"({"message":"done","status":7})";
  const struct {
    int status;
    bool success;
  } cases[] = {{199, false}, {200, true}, {250, true}, {299, true}, {300, false}, {404, false}, {500, false}};
  for (const auto& c : cases) {
    auto outcome = post(body, c.status);
    ASSERT_TRUE(outcome) << c.status;  // "message" makes it an error body too
    EXPECT_EQ(outcome->has_value(), c.success) << c.status;
    if (!c.success) {
      EXPECT_EQ(outcome->error(), (ErrorModel{"done", 7, std::nullopt})) << c.status;
    }
  }
}

TEST_F(NetworkManagerTest, ErrorBodiesDecodeWithSnakeCaseConversion) {
  setToken("t");
  for (const char* body : {R"({"message":"bad","status":400,"exact_error":"E1"})",
                           R"({"message":"bad","status":400,"exactError":"E1"})"}) {
    auto outcome = post(std::string(body), 400);
    ASSERT_TRUE(outcome) << body;
    ASSERT_FALSE(outcome->has_value());
    EXPECT_EQ(outcome->error(), (ErrorModel{"bad", 400, "E1"})) << body;
  }
  // Not an error body: no completion, and the call still returns.
  for (const char* body : {R"({"status":400})", R"({"message":"m","status":"400"})", "not json", ""}) {
    EXPECT_FALSE(post(std::string(body), 400)) << body;
  }
}

TEST_F(NetworkManagerTest, UndecodableSuccessIsAFailureWithStatusMinusOne) {
  setToken("t");
  std::string invalidUtf8 = "{\"message\":\"\xC3\x28\"}";
  std::string huge = R"({"message":")" + std::string(std::size_t{8} * 1024 * 1024, 'a') + R"(","status":"x"})";
  for (const std::string& body : {std::string(), std::string("[]"), std::string("{\"status\":1}"),
                                  std::string("<html>"), invalidUtf8, huge, std::string(50000, '[')}) {
    auto outcome = post(body, 200);
    ASSERT_TRUE(outcome) << body.substr(0, 40);
    ASSERT_FALSE(outcome->has_value());
    EXPECT_THAT(outcome->error().message, StartsWith("can't decode json from server"));
    EXPECT_EQ(outcome->error().status, -1);
    EXPECT_FALSE(outcome->error().exactError);
  }
}

TEST_F(NetworkManagerTest, RepliesWithoutDataOrHttpResponseRunNoCompletion) {
  setToken("t");
  URLProtocolStub::stub(std::nullopt, httpResponse(200), std::nullopt);
  EXPECT_FALSE(run<AcceptanceModel>(ChildEndPoint::me()));
  URLProtocolStub::stub(platform::toData(R"({"message":"x"})"), std::make_shared<platform::URLResponse>("file:///x"),
                        std::nullopt);
  EXPECT_FALSE(run<AcceptanceModel>(ChildEndPoint::me()));
  URLProtocolStub::stub(platform::toData(R"({"message":"x"})"), nullptr, std::nullopt);
  EXPECT_FALSE(run<AcceptanceModel>(ChildEndPoint::me()));
}

TEST_F(NetworkManagerTest, TransportErrorCarriesItsCodeAndDescription) {
  setToken("t");
  URLProtocolStub::stub(platform::toData("{}"), httpResponse(200),
                        platform::Error::url(platform::URLErrorCode::cannotConnectToHost));
  auto outcome = run<AcceptanceModel>(ChildEndPoint::me());
  ASSERT_TRUE(outcome);
  ASSERT_FALSE(outcome->has_value());
  EXPECT_EQ(outcome->error().status, -1004);
  EXPECT_EQ(outcome->error().message,
            platform::Error::url(platform::URLErrorCode::cannotConnectToHost).localizedDescription);
}

TEST_F(NetworkManagerTest, UnencodableBodyIsReportedFromTheSessionQueueAndNothingIsSent) {
  setToken("t");
  ObservedRequests observed;
  URLProtocolStub::observeRequests(observed.observer());
  int calls = 0;
  bool onSessionQueue = false;
  std::optional<std::thread::id> completionThread;
  std::optional<ErrorModel> failure;
  runner_.sendLocation({LocationModel{"0.0", "0.0", 0.0 / 0.0, {}}}, [&](Result<AcceptanceModel> result) {
    ++calls;
    onSessionQueue = session_.delegateQueue().isCurrent();
    completionThread = std::this_thread::get_id();
    if (!result) failure = result.error();
  });
  // The completion has run by the time the call returns, yet never on the caller's thread.
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onSessionQueue);
  ASSERT_TRUE(completionThread);
  EXPECT_NE(*completionThread, std::this_thread::get_id());
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->status, -1);
  EXPECT_THAT(failure->message, StartsWith("can't encode request body "));
  expectOnlyTheFence(observed);
  session_.delegateQueue().sync([] {});  // a second completion would have run by now
  EXPECT_EQ(calls, 1);
}

TEST_F(NetworkManagerTest, StubWithoutStoredReplyFailsInsteadOfHanging) {
  setToken("t");
  URLProtocolStub::removeStub();
  auto outcome = run<AcceptanceModel>(ChildEndPoint::me());
  ASSERT_TRUE(outcome && !outcome->has_value());
  EXPECT_EQ(outcome->error().status, -1008);
}

TEST_F(NetworkManagerTest, CompletionRunsOffTheCallerThreadBeforeTheCallReturns) {
  setToken("t");
  URLProtocolStub::stub(platform::toData(R"({"message":"ok"})"), httpResponse(201), std::nullopt);
  std::thread::id completionThread;
  bool ran = false;
  runner_.sendAppList({}, [&](Result<AcceptanceModel> result) {
    completionThread = std::this_thread::get_id();
    ran = result.has_value();
  });
  EXPECT_TRUE(ran);  // visible right after the call returns
  EXPECT_NE(completionThread, std::this_thread::get_id());
}

TEST_F(NetworkManagerTest, SuccessfulRepliesPassTheKeyMapper) {
  setToken("t");
  URLProtocolStub::stub(
      platform::toData(
          R"({"category_rules":[{"_id":"c1","name":"Adult","rule":{"is_blocked":true}}],)"
          R"("is_active":false,"__v":3,"exceptions":[{"id":"e1","word":"two words","rule":{"isBlocked":false}}]})"),
      httpResponse(200), std::nullopt);
  std::optional<Result<rules::SafeSearchRulesBase>> outcome;
  runner_.getSafeSearch([&](Result<rules::SafeSearchRulesBase> r) { outcome = std::move(r); });
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(outcome->has_value()) << outcome->error().message;
  const auto& rules = **outcome;
  ASSERT_TRUE(rules.categoryRules);
  EXPECT_EQ(rules.categoryRules->at(0).id, "c1");
  EXPECT_EQ(rules.categoryRules->at(0).rule->isBlocked, true);
  EXPECT_EQ(rules.isActive, false);
  EXPECT_EQ(rules.exceptions->at(0).word, "two words");
  EXPECT_EQ(rules.exceptions->at(0).rule->isBlocked, false);
}

TEST(CustomDecoingStrategyTest, MapsKeysAsTheServerWritesThem) {
  platform::URLSession session(stubbedConfiguration());
  NetworkManager runner(session);
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"category_rules", "categoryRules"},
      {"is_active", "isActive"},
      {"first_installed_time", "firstInstalledTime"},
      {"isActive", "isActive"},
      {"URL_list", "URLList"},
      {"safe_URL", "safeUrl"},
      {"_private_key", "privateKey"},
      {"user__id", "userId"},
      {"___", ""},
      {"__v", "v"},
      {"_id", "id"},
      {"id_", "id"},
      {"_v", "v"},
      {"message", "message"},
  };
  for (const auto& c : cases) {
    const coding::CodingPath path{coding::AnyKey(std::string("outer")), coding::AnyKey(std::string(c.in))};
    EXPECT_EQ(runner.customDecoingStrategy(path).stringValue, c.out) << c.in;
    EXPECT_FALSE(runner.customDecoingStrategy(path).intValue);
  }
}

// A subclass that replaces the overridable entry changes every request: the generic one
// and the three API operations.
class RecordingRunner : public NetworkManager {
 public:
  using NetworkManager::NetworkManager;
  using NetworkManager::task;
  void task(const ChildEndPoint& endPoint, ReplyHandler handler) override {
    urls.push_back(endPoint.url());
    handler.failure(ErrorModel{"offline", 0, std::nullopt});
  }
  std::vector<std::string> urls;
};

// Sends every case of the table whose reply the runner decodes through request(), and
// says how many it sent.
template <class... C>
int requestEveryDecodedCase(RecordingRunner& runner, int& failures, std::vector<std::string>& expectedURLs,
                            std::variant<C...>*) {
  int sent = 0;
  auto one = [&]<class Case>(Case endPointCase) {
    if constexpr (DecodedReplyCase<Case>) {
      expectedURLs.push_back(ChildEndPoint(endPointCase).url());
      runner.request(endPointCase, [&](Result<ReplyOf<Case>> r) { failures += !r; });
      ++sent;
    }
  };
  (one(C{}), ...);
  return sent;
}

TEST_F(NetworkManagerTest, EveryRequestGoesThroughTheOverridableTask) {
  RecordingRunner recording(session_);
  int failures = 0;
  std::vector<std::string> expected;
  const int sent = requestEveryDecodedCase(recording, failures, expected, static_cast<ChildEndPoint::Case*>(nullptr));
  EXPECT_GT(sent, 0);

  // The operations the rest of the agent calls, each with its own case.
  recording.sendLocation({}, [&](Result<AcceptanceModel> r) { failures += !r; });
  expected.push_back(ChildEndPoint::sendLocation({}).url());
  recording.sendAppList({}, [&](Result<AcceptanceModel> r) { failures += !r; });
  expected.push_back(ChildEndPoint::sendApplicationList({}).url());
  recording.getSafeSearch([&](Result<rules::SafeSearchRulesBase> r) { failures += !r; });
  expected.push_back(ChildEndPoint::getSafeSearchRules().url());

  EXPECT_EQ(failures, sent + 3);
  EXPECT_EQ(recording.urls, expected);
}

}  // namespace
}  // namespace networks
