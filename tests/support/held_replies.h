#pragma once
// A URL-loading protocol handler that holds every request until the test answers it,
// each with a reply of its own and in whatever order the test chooses: two replies can
// be delivered in the opposite order of their requests, and a reply can come as late
// as the test likes without the test waiting for real. Process-wide, as a protocol
// handler is made by the session: reset() at the start of a test.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/url_session.h"

namespace testsupport {

class HeldReplies {
 public:
  static HeldReplies& shared() {
    static auto* replies = new HeldReplies;
    return *replies;
  }
  // The protocol class to list in a session's configuration.
  static platform::URLProtocolClass protocolClass();

  // Forgets the requests held so far (their loads stay open).
  void reset() {
    std::lock_guard lock(mutex_);
    held_.clear();
  }
  // How many requests came so far.
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return held_.size();
  }
  // Waits until `n` requests came; false after `timeout`.
  bool waitForCount(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return held_.size() >= n; });
  }
  // The URL of request `index` (from 0, in the order they came).
  std::string url(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < held_.size() ? held_[index].url : "";
  }
  // Answers request `index` with the status and the body; false when there is no such
  // request or it was answered already.
  bool answer(std::size_t index, int status, const std::string& body);
  // The same, and returns once the reply's completion on `session` (the session that
  // sent the request) has run: completions run in order on the session's queue, so a
  // barrier request answered after it completes later.
  bool answerAndWait(platform::URLSession& session, std::size_t index, int status, const std::string& body);

  // Called by the protocol.
  void add(platform::URLProtocol& protocol) {
    {
      std::lock_guard lock(mutex_);
      held_.push_back({&protocol, protocol.request().url});
    }
    changed_.notify_all();
  }
  void forget(const platform::URLProtocol* protocol) {
    std::lock_guard lock(mutex_);
    for (auto& held : held_)
      if (held.protocol == protocol) held.protocol = nullptr;
  }

 private:
  struct Held {
    platform::URLProtocol* protocol;  // null once answered or gone
    std::string url;
  };
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Held> held_;
};

class HeldProtocol : public platform::URLProtocol {
 public:
  using platform::URLProtocol::URLProtocol;
  ~HeldProtocol() override { HeldReplies::shared().forget(this); }
  static bool canInit(const platform::URLRequest&) { return true; }
  static platform::URLRequest canonicalRequest(const platform::URLRequest& request) { return request; }
  void startLoading() override { HeldReplies::shared().add(*this); }
  void stopLoading() override { HeldReplies::shared().forget(this); }
};

inline platform::URLProtocolClass HeldReplies::protocolClass() {
  return platform::URLProtocolClass::of<HeldProtocol>();
}

inline bool HeldReplies::answer(std::size_t index, int status, const std::string& body) {
  platform::URLProtocol* protocol = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (index >= held_.size() || held_[index].protocol == nullptr) return false;
    protocol = held_[index].protocol;
    held_[index].protocol = nullptr;
  }
  auto* client = protocol->client();
  if (client == nullptr) return false;
  client->didLoadData(*protocol, platform::toData(body));
  client->didReceiveResponse(
      *protocol, std::make_shared<platform::HTTPURLResponse>(protocol->request().url, status, platform::HeaderList{}),
      platform::URLCacheStoragePolicy::notAllowed);
  client->didFinishLoading(*protocol);
  return true;
}

inline bool HeldReplies::answerAndWait(platform::URLSession& session, std::size_t index, int status,
                                       const std::string& body) {
  if (!answer(index, status, body)) return false;
  const std::size_t barrier = count();
  auto done = std::make_shared<platform::DispatchSemaphore>(0);
  platform::URLRequest request;
  request.url = "https://barrier.invalid/";
  session.dataTask(request, [done](auto, auto, auto) { done->signal(); })->resume();
  if (!waitForCount(barrier + 1) || !answer(barrier, 200, "{}")) return false;
  return done->waitFor(std::chrono::seconds(10));
}

}  // namespace testsupport
