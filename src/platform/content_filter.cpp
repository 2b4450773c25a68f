#include "platform/content_filter.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/dispatch.h"

namespace platform {

// ---- ContentFilterManager -----------------------------------------------------

namespace {
std::atomic<ContentFilterManager*> installedManager{nullptr};
}  // namespace

ContentFilterManager& ContentFilterManager::shared() {
  auto* manager = installedManager.load();
  if (manager == nullptr) {
    std::fputs("ContentFilterManager::shared() was asked for before main built the manager\n", stderr);
    std::abort();
  }
  return *manager;
}

void ContentFilterManager::install(ContentFilterManager& manager) { installedManager.store(&manager); }

std::optional<FilterProviderConfiguration> ContentFilterManager::providerConfiguration() const {
  std::lock_guard lock(mutex_);
  return state_.providerConfiguration;
}

void ContentFilterManager::setProviderConfiguration(std::optional<FilterProviderConfiguration> configuration) {
  std::lock_guard lock(mutex_);
  state_.providerConfiguration = std::move(configuration);
}

std::string ContentFilterManager::localizedDescription() const {
  std::lock_guard lock(mutex_);
  return state_.localizedDescription;
}

void ContentFilterManager::setLocalizedDescription(std::string description) {
  std::lock_guard lock(mutex_);
  state_.localizedDescription = std::move(description);
}

bool ContentFilterManager::isEnabled() const {
  std::lock_guard lock(mutex_);
  return state_.enabled;
}

void ContentFilterManager::setEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  state_.enabled = enabled;
}

ContentFilterManager::State ContentFilterManager::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void ContentFilterManager::setState(State state) {
  std::lock_guard lock(mutex_);
  state_ = std::move(state);
}

namespace {

Error filterError(long code, std::string description) {
  return Error{kFilterErrorDomain, code, std::move(description)};
}

bool present(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace

std::optional<Error> ContentFilterManager::validate(const State& state) {
  const auto& provider = state.providerConfiguration;
  if (!provider) {
    return filterError(FilterErrorCode::configurationInvalid,
                       "The filter configuration has no provider configuration.");
  }
  if (!provider->filterSockets && !provider->filterPackets) {
    return filterError(FilterErrorCode::configurationInvalid,
                       "The filter configuration filters neither sockets nor packets.");
  }
  if (provider->filterSockets && !present(provider->filterDataProviderBundleIdentifier)) {
    return filterError(FilterErrorCode::configurationInvalid,
                       "The filter configuration filters sockets but names no data provider.");
  }
  if (provider->filterPackets && !present(provider->filterPacketProviderBundleIdentifier)) {
    return filterError(FilterErrorCode::configurationInvalid,
                       "The filter configuration filters packets but names no packet provider.");
  }
  return std::nullopt;
}

// ---- the property-list form ---------------------------------------------------

namespace {

using Dictionary = PlistValue::Dictionary;

PlistValue encode(const FilterProviderConfiguration& c) {
  Dictionary d;
  d.emplace("filterSockets", c.filterSockets);
  d.emplace("filterPackets", c.filterPackets);
  auto text = [&](const char* key, const std::optional<std::string>& value) {
    if (value) d.emplace(key, *value);
  };
  text("filterDataProviderBundleIdentifier", c.filterDataProviderBundleIdentifier);
  text("filterPacketProviderBundleIdentifier", c.filterPacketProviderBundleIdentifier);
  text("organization", c.organization);
  text("serverAddress", c.serverAddress);
  text("username", c.username);
  if (c.vendorConfiguration) d.emplace("vendorConfiguration", *c.vendorConfiguration);
  return d;
}

PlistValue encode(const ContentFilterManager::State& state) {
  Dictionary d;
  d.emplace("localizedDescription", state.localizedDescription);
  d.emplace("enabled", state.enabled);
  if (state.providerConfiguration) d.emplace("providerConfiguration", encode(*state.providerConfiguration));
  return d;
}

// Reads one optional field of `d`; false when it is there with another type.
template <class T>
bool field(const Dictionary& d, const char* key, std::optional<T>& out) {
  auto found = d.find(key);
  if (found == d.end()) return true;
  const T* value = found->second.get<T>();
  if (value == nullptr) return false;
  out = *value;
  return true;
}

template <class T>
bool field(const Dictionary& d, const char* key, T& out) {
  std::optional<T> value;
  if (!field(d, key, value)) return false;
  if (value) out = *value;
  return true;
}

std::optional<FilterProviderConfiguration> decodeProvider(const PlistValue& value) {
  const auto* d = value.get<Dictionary>();
  if (d == nullptr) return std::nullopt;
  FilterProviderConfiguration c;
  bool ok = field(*d, "filterSockets", c.filterSockets) && field(*d, "filterPackets", c.filterPackets) &&
            field(*d, "filterDataProviderBundleIdentifier", c.filterDataProviderBundleIdentifier) &&
            field(*d, "filterPacketProviderBundleIdentifier", c.filterPacketProviderBundleIdentifier) &&
            field(*d, "organization", c.organization) && field(*d, "serverAddress", c.serverAddress) &&
            field(*d, "username", c.username) && field(*d, "vendorConfiguration", c.vendorConfiguration);
  if (!ok) return std::nullopt;
  return c;
}

std::optional<ContentFilterManager::State> decodeState(const PlistValue& value) {
  const auto* d = value.get<Dictionary>();
  if (d == nullptr) return std::nullopt;
  ContentFilterManager::State state;
  if (!field(*d, "localizedDescription", state.localizedDescription) || !field(*d, "enabled", state.enabled)) {
    return std::nullopt;
  }
  if (auto found = d->find("providerConfiguration"); found != d->end()) {
    state.providerConfiguration = decodeProvider(found->second);
    if (!state.providerConfiguration) return std::nullopt;
  }
  return state;
}

}  // namespace

// ---- PlistFilterManager -------------------------------------------------------

std::string PlistFilterManager::defaultPath(const FileManager& files) {
  return files.homeDirectory() + "/Library/Preferences/so.velmorhome.mopet.networkextension.plist";
}

PlistFilterManager::PlistFilterManager(const FileManager& files, std::string applicationIdentifier,
                                       std::optional<std::string> path)
    : applicationIdentifier_(std::move(applicationIdentifier)),
      path_(path ? std::move(*path) : defaultPath(files)),
      store_(UserDefaults::atPath(path_)),
      queue_(DispatchQueue::makeSerial("so.velmorhome.mopet.filter-manager")) {}

PlistFilterManager::~PlistFilterManager() {
  queue_.reset();  // runs what is still queued while the rest of the manager exists
}

void PlistFilterManager::loadFromPreferences(Completion completion) {
  queue_->async([this, completion = std::move(completion)] {
    std::optional<Error> error;
    auto stored = store_->object(applicationIdentifier_);
    if (!stored) {
      setState(State{});
    } else if (auto state = decodeState(*stored)) {
      setState(std::move(*state));
    } else {
      error = filterError(FilterErrorCode::configurationInternalError,
                          "The stored filter configuration in " + path_ + " is not valid.");
    }
    if (completion) completion(error);
  });
}

void PlistFilterManager::saveToPreferences(Completion completion) {
  queue_->async([this, completion = std::move(completion)] {
    State current = state();
    std::optional<Error> error = validate(current);
    if (!error) {
      bool written = store_->update(applicationIdentifier_, [&](std::optional<PlistValue>& value) {
        value = encode(current);
        return true;
      });
      if (!written) {
        error = filterError(FilterErrorCode::configurationPermissionDenied,
                            "The filter configuration could not be written to " + path_ + ".");
      }
    }
    if (completion) completion(error);
  });
}

void PlistFilterManager::removeFromPreferences(Completion completion) {
  queue_->async([this, completion = std::move(completion)] {
    std::optional<Error> error;
    bool written = store_->update(applicationIdentifier_, [](std::optional<PlistValue>& value) {
      if (!value) return false;
      value.reset();
      return true;
    });
    if (written) {
      setState(State{});
    } else {
      error = filterError(FilterErrorCode::configurationCannotBeRemoved,
                          "The filter configuration could not be removed from " + path_ + ".");
    }
    if (completion) completion(error);
  });
}

// ---- system-extension requests ------------------------------------------------

std::shared_ptr<SystemExtensionRequest> SystemExtensionRequest::activationRequest(std::string identifier) {
  return std::shared_ptr<SystemExtensionRequest>(new SystemExtensionRequest(std::move(identifier), Kind::activation));
}

std::shared_ptr<SystemExtensionRequest> SystemExtensionRequest::deactivationRequest(std::string identifier) {
  return std::shared_ptr<SystemExtensionRequest>(new SystemExtensionRequest(std::move(identifier), Kind::deactivation));
}

void SystemExtensionRequest::setDelegate(SystemExtensionRequestDelegate* delegate) {
  delegate_ = delegate;
  delegateAlive_ = delegate != nullptr ? delegate->alive_.weak() : Lifeline<SystemExtensionRequestDelegate>::Weak();
}

SystemExtensionRequestDelegate* SystemExtensionRequest::delegate() const {
  return delegateAlive_.expired() ? nullptr : delegate_;
}

}  // namespace platform
