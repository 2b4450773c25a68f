#pragma once
// Asking the browser to reload a content-blocker extension, which then reads its rule
// list anew.
//
// On Linux there is no browser service to ask. The reload is recorded instead: the
// marker file "<folder>/<identifier>.reload" is replaced (atomically) by one line, the
// time of the request in milliseconds since 1970, so that an extension or a watcher
// can notice it. The folder is "$HOME/Library/Application Support/ContentBlockers"
// unless given. The completion then runs on the global queue.
#include <functional>
#include <optional>
#include <string>

#include "platform/url_session.h"  // platform::Error

namespace platform {

// Error codes of the content-blocker error domain "SFErrorDomain".
namespace ContentBlockerErrorCode {
inline constexpr long noExtensionFound = 1;
inline constexpr long noAttachmentFound = 2;
inline constexpr long loadingInterrupted = 3;
}  // namespace ContentBlockerErrorCode
inline constexpr const char* kContentBlockerErrorDomain = "SFErrorDomain";

class ContentBlockerManager {
 public:
  // Gets the outcome: absent on success, else the error.
  using Completion = std::function<void(std::optional<Error> error)>;
  virtual ~ContentBlockerManager() = default;

  // The process's manager (the Linux one below, over the default folder).
  static ContentBlockerManager& shared();

  // Asks for the reload of the extension `identifier` and returns at once; the
  // completion runs later, on a queue of the manager's choosing, exactly once.
  virtual void reloadContentBlocker(const std::string& identifier, Completion completion) = 0;
};

class LinuxContentBlockerManager final : public ContentBlockerManager {
 public:
  // `folder` absent: the default folder under $HOME, read at every reload.
  explicit LinuxContentBlockerManager(std::optional<std::string> folder = std::nullopt) : folder_(std::move(folder)) {}

  // An identifier that cannot name a file (empty, ".", "..", holding "/" or a NUL)
  // reports noExtensionFound; a marker that cannot be written, loadingInterrupted.
  void reloadContentBlocker(const std::string& identifier, Completion completion) override;

  std::string folder() const;
  // The marker file of `identifier`.
  std::string markerPath(const std::string& identifier) const;

 private:
  std::optional<std::string> folder_;
};

}  // namespace platform
