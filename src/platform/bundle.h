#pragma once
// The main bundle: the agent's identity and where its resources are.
#include <mutex>
#include <optional>
#include <string>

namespace platform {

class Bundle {
 public:
  static Bundle& main();

  // "so.velmorhome.mopet.agent".
  const std::string& bundleIdentifier() const;
  // The file (or folder) of resource `name`.`type` in the resources folder (`name` alone
  // when `type` is empty), absent when missing or when `name` leaves the folder ("..").
  // The folder is the first of <exe dir>/resources (a build tree),
  // <exe dir>/../share/velmor-mopet-agent (an install: <prefix>/bin and <prefix>/share)
  // and the source tree's resources/ that exists, <exe dir> being the folder of
  // /proc/self/exe.
  std::optional<std::string> path(const std::string& name, const std::string& type) const;
  // The resources folder in use; empty when none of the above exists.
  std::string resourcePath() const;
  // For tests: use this folder for resources; an empty text searches again as above.
  void setResourcePath(std::string folder);

 private:
  Bundle();
  std::string identifier_;
  mutable std::mutex mutex_;
  std::string resourcePath_;
};

}  // namespace platform
