#pragma once
// The main bundle: the agent's identity and where its resources are.
#include <optional>
#include <string>

namespace platform {

class Bundle {
 public:
  static Bundle& main();

  // "so.velmorhome.mopet.agent".
  const std::string& bundleIdentifier() const;
  // The file of resource `name`.`type` in the resources folder, absent when missing.
  // The folder is found from the executable's location: <exe dir>/resources,
  // <exe dir>/../share/velmor-mopet-agent/resources, then the source tree's resources/.
  std::optional<std::string> path(const std::string& name, const std::string& type) const;
  // The resources folder in use.
  const std::string& resourcePath() const;
  // For tests: use this folder for resources.
  void setResourcePath(std::string folder);

 private:
  Bundle();
  std::string identifier_;
  std::string resourcePath_;
};

}  // namespace platform
