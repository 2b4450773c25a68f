#pragma once
// Asking the browser to reload a content-blocker extension, which then reads its rule
// list anew.
//
// On Linux there is no browser service to ask. The reload is recorded instead: the
// marker file "<folder>/<identifier>.reload" is replaced (atomically) by one line, the
// time of the request in milliseconds since 1970, so that an extension or a watcher
// can notice it. The folder is "<home>/Library/Application Support/ContentBlockers" in
// the home of the manager's file manager, unless given. The completion then runs on
// the global queue.
#include <functional>
#include <optional>
#include <string>

#include "platform/file_manager.h"
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

  // Asks for the reload of the extension `identifier` and returns at once; the
  // completion runs later, on a queue of the manager's choosing, exactly once.
  virtual void reloadContentBlocker(const std::string& identifier, Completion completion) = 0;
};

class LinuxContentBlockerManager final : public ContentBlockerManager {
 public:
  // Writes through `files`, which must outlive the manager; `folder` absent: the
  // default folder in its home.
  explicit LinuxContentBlockerManager(const FileManager& files, std::optional<std::string> folder = std::nullopt)
      : files_(files), folder_(std::move(folder)) {}

  // An identifier that cannot name a file (empty, ".", "..", holding "/" or a NUL)
  // reports noExtensionFound; a marker that cannot be written, loadingInterrupted.
  void reloadContentBlocker(const std::string& identifier, Completion completion) override;

  std::string folder() const;
  // The marker file of `identifier`.
  std::string markerPath(const std::string& identifier) const;

 private:
  const FileManager& files_;
  std::optional<std::string> folder_;
};

}  // namespace platform
