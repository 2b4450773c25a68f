#pragma once
// The network content filter's configuration and the system-extension request whose
// delegate hears how the installation of an extension went.
//
// ContentFilterManager holds the configuration in memory; load and save move it from
// and to the "system preferences". On Linux (PlistFilterManager) these are one
// property-list file,
//
//   <home>/Library/Preferences/so.velmorhome.mopet.networkextension.plist
//
// in the home of the file manager it is built over,
// a dictionary keyed by the configuring application's bundle identifier, each value a
// dictionary {"localizedDescription": text, "enabled": bool, "providerConfiguration":
// dictionary of the FilterProviderConfiguration fields under their own names}. The file
// is a UserDefaults store (UserDefaults::atPath): writes are locked read-modify-writes
// that replace the file atomically, and a missing or unreadable file holds nothing.
// Load, save and remove run on the manager's own serial queue and call their
// completion there.
//
// Nothing on Linux enforces the filter: the file records what was configured.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/file_manager.h"
#include "platform/lifeline.h"
#include "platform/url_session.h"    // platform::Error
#include "platform/user_defaults.h"  // platform::PlistValue

namespace platform {

class DispatchQueue;

struct FilterProviderConfiguration {
  bool filterSockets = false;
  bool filterPackets = false;
  std::optional<std::string> filterDataProviderBundleIdentifier;
  std::optional<std::string> filterPacketProviderBundleIdentifier;
  std::optional<std::string> organization;
  std::optional<std::string> serverAddress;
  std::optional<std::string> username;
  std::optional<PlistValue::Dictionary> vendorConfiguration;
  bool operator==(const FilterProviderConfiguration&) const = default;
};

// Error codes of the filter error domain "NEFilterErrorDomain".
namespace FilterErrorCode {
inline constexpr long configurationInvalid = 1;
inline constexpr long configurationDisabled = 2;
inline constexpr long configurationStale = 3;
inline constexpr long configurationCannotBeRemoved = 4;
inline constexpr long configurationPermissionDenied = 5;
inline constexpr long configurationInternalError = 6;
}  // namespace FilterErrorCode
inline constexpr const char* kFilterErrorDomain = "NEFilterErrorDomain";

class ContentFilterManager {
 public:
  // Absent on success, else the error.
  using Completion = std::function<void(std::optional<Error> error)>;
  virtual ~ContentFilterManager() = default;

  // The process's manager: the one main built and handed to install() (a
  // PlistFilterManager in the home of its file manager, for the main bundle's
  // identifier). Asking before that ends the process.
  static ContentFilterManager& shared();
  // Makes `manager` the one shared() returns; it must live for the rest of the process.
  static void install(ContentFilterManager& manager);

  // Replaces the configuration in memory with the stored one (the empty configuration
  // when none is stored). On an error the configuration in memory is unchanged.
  virtual void loadFromPreferences(Completion completion) = 0;
  // Stores the configuration in memory. It must have a provider configuration that
  // filters sockets (with a data-provider identifier) or packets (with a
  // packet-provider identifier); otherwise configurationInvalid and nothing is stored.
  virtual void saveToPreferences(Completion completion) = 0;
  // Removes the stored configuration and empties the one in memory.
  virtual void removeFromPreferences(Completion completion) = 0;

  // The configuration in memory; safe from any thread.
  std::optional<FilterProviderConfiguration> providerConfiguration() const;
  void setProviderConfiguration(std::optional<FilterProviderConfiguration> configuration);
  std::string localizedDescription() const;
  void setLocalizedDescription(std::string description);
  bool isEnabled() const;
  void setEnabled(bool enabled);

  // The whole configuration in memory.
  struct State {
    std::optional<FilterProviderConfiguration> providerConfiguration;
    std::string localizedDescription;
    bool enabled = false;
    bool operator==(const State&) const = default;
  };
  State state() const;
  void setState(State state);

  // Why `state` cannot be saved, absent when it can.
  static std::optional<Error> validate(const State& state);

 private:
  mutable std::mutex mutex_;
  State state_;
};

class PlistFilterManager final : public ContentFilterManager {
 public:
  // `path` absent: the default file in the home of `files`.
  PlistFilterManager(const FileManager& files, std::string applicationIdentifier,
                     std::optional<std::string> path = std::nullopt);
  ~PlistFilterManager() override;

  // <home of files>/Library/Preferences/so.velmorhome.mopet.networkextension.plist.
  static std::string defaultPath(const FileManager& files);
  const std::string& path() const { return path_; }

  void loadFromPreferences(Completion completion) override;
  void saveToPreferences(Completion completion) override;
  void removeFromPreferences(Completion completion) override;

 private:
  std::string applicationIdentifier_;
  std::string path_;
  std::shared_ptr<UserDefaults> store_;
  std::shared_ptr<DispatchQueue> queue_;
};

// ---- system-extension requests ------------------------------------------------

// What to do when an extension of the same identifier is already installed.
enum class ExtensionReplacementAction { cancel = 0, replace = 1 };
enum class SystemExtensionRequestResult { completed = 0, willCompleteAfterReboot = 1 };

struct ExtensionProperties {
  std::string bundleIdentifier;
  std::string bundleVersion;
  std::string bundleShortVersion;
  std::string url;  // where the extension's bundle is
};

class SystemExtensionRequest;

class SystemExtensionRequestDelegate {
 public:
  SystemExtensionRequestDelegate() : alive_(this) {}
  SystemExtensionRequestDelegate(const SystemExtensionRequestDelegate&) : SystemExtensionRequestDelegate() {}
  // A copy keeps its own liveness token, so assigning changes nothing, to itself or not.
  // NOLINTNEXTLINE(bugprone-unhandled-self-assignment)
  SystemExtensionRequestDelegate& operator=(const SystemExtensionRequestDelegate&) { return *this; }
  virtual ~SystemExtensionRequestDelegate() = default;

  virtual ExtensionReplacementAction actionForReplacingExtension(SystemExtensionRequest& request,
                                                                 const ExtensionProperties& existing,
                                                                 const ExtensionProperties& extension) = 0;
  virtual void requestNeedsUserApproval(SystemExtensionRequest& request) = 0;
  virtual void didFinishWithResult(SystemExtensionRequest& request, SystemExtensionRequestResult result) = 0;
  virtual void didFailWithError(SystemExtensionRequest& request, const Error& error) = 0;

 private:
  friend class SystemExtensionRequest;
  Lifeline<SystemExtensionRequestDelegate> alive_;
};

// A request to activate or deactivate a system extension. Linux has no system-
// extension manager to submit it to; the request only carries its identifier and
// delegate, and SystemExtensionRequestDriver (fakes/fake_system_extension.h) plays
// the manager's part in tests.
class SystemExtensionRequest {
 public:
  enum class Kind { activation, deactivation };
  static std::shared_ptr<SystemExtensionRequest> activationRequest(std::string identifier);
  static std::shared_ptr<SystemExtensionRequest> deactivationRequest(std::string identifier);

  const std::string& identifier() const { return identifier_; }
  Kind kind() const { return kind_; }
  // Not owned; reads as absent once destroyed.
  void setDelegate(SystemExtensionRequestDelegate* delegate);
  SystemExtensionRequestDelegate* delegate() const;

 private:
  SystemExtensionRequest(std::string identifier, Kind kind) : identifier_(std::move(identifier)), kind_(kind) {}
  std::string identifier_;
  Kind kind_;
  SystemExtensionRequestDelegate* delegate_ = nullptr;
  Lifeline<SystemExtensionRequestDelegate>::Weak delegateAlive_;
};

}  // namespace platform
