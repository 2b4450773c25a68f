#pragma once
// A URL-loading protocol handler that answers every request from one stored canned
// reply instead of the network, optionally handing each request to an observer.
// It takes effect in a session whose configuration lists it
// (platform::URLProtocolClass::of<URLProtocolStub>()) or once registered process-wide.
#include <functional>
#include <memory>
#include <optional>

#include "platform/url_session.h"

namespace networks {

class URLProtocolStub : public platform::URLProtocol {
 public:
  using RequestObserver = std::function<void(const platform::URLRequest&)>;

  // Stores a reply (no observer), replacing any earlier one.
  static void stub(std::optional<platform::Data> data, std::shared_ptr<const platform::URLResponse> response,
                   std::optional<platform::Error> error);
  // Stores a reply with no data, response or error, and the observer.
  static void observeRequests(RequestObserver observer);
  static void removeStub();

  static bool canInit(const platform::URLRequest&) { return true; }
  static platform::URLRequest canonicalRequest(const platform::URLRequest& request) { return request; }

  using platform::URLProtocol::URLProtocol;

  // Delivers data, then the response, then the failure or the finish, then calls
  // the observer. With no stored reply the load fails with "resource unavailable"
  // (-1008) rather than staying open for ever under a session without a time-out.
  void startLoading() override;
  void stopLoading() override {}

 private:
  struct Stub {
    std::optional<platform::Data> data;
    std::shared_ptr<const platform::URLResponse> response;
    std::optional<platform::Error> error;
    RequestObserver requestObserver;
  };
  static std::optional<Stub>& storage();  // guarded by a mutex in the .cpp
  static std::optional<Stub> currentStub();
  static void setStub(std::optional<Stub> stub);
};

}  // namespace networks
