#include "networks/url_protocol_stub.h"

#include <mutex>

namespace networks {
namespace {

std::mutex& stubMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

// The one stored reply of the process, guarded by stubMutex().
std::optional<URLProtocolStub::Stub>& URLProtocolStub::storage() {
  static std::optional<URLProtocolStub::Stub> stub;
  return stub;
}

std::optional<URLProtocolStub::Stub> URLProtocolStub::currentStub() {
  std::lock_guard lock(stubMutex());
  return storage();
}

void URLProtocolStub::setStub(std::optional<Stub> stub) {
  std::lock_guard lock(stubMutex());
  storage() = std::move(stub);
}

void URLProtocolStub::stub(std::optional<platform::Data> data, std::shared_ptr<const platform::URLResponse> response,
                           std::optional<platform::Error> error) {
  setStub(Stub{std::move(data), std::move(response), std::move(error), nullptr});
}

void URLProtocolStub::observeRequests(RequestObserver observer) {
  setStub(Stub{std::nullopt, nullptr, std::nullopt, std::move(observer)});
}

void URLProtocolStub::removeStub() { setStub(std::nullopt); }

void URLProtocolStub::startLoading() {
  auto* sink = client();
  const auto stub = currentStub();  // one copy; a later change does not affect this load
  if (!stub) {
    if (sink) sink->didFailWithError(*this, platform::Error{"NSURLErrorDomain", -1008, "resource unavailable"});
    return;
  }
  if (sink && stub->data) sink->didLoadData(*this, *stub->data);
  if (sink && stub->response)
    sink->didReceiveResponse(*this, stub->response, platform::URLCacheStoragePolicy::notAllowed);
  if (sink) {
    if (stub->error) sink->didFailWithError(*this, *stub->error);
    else sink->didFinishLoading(*this);
  }
  if (stub->requestObserver) stub->requestObserver(request());
}

}  // namespace networks
