#include "platform/content_blocker.h"

#include <chrono>

#include "platform/dispatch.h"

namespace platform {

namespace {

bool namesAFile(const std::string& identifier) {
  return !identifier.empty() && identifier != "." && identifier != ".." && identifier.find('/') == std::string::npos &&
         identifier.find('\0') == std::string::npos;
}

Error blockerError(long code, std::string description) {
  return Error{kContentBlockerErrorDomain, code, std::move(description)};
}

}  // namespace

std::string LinuxContentBlockerManager::folder() const {
  if (folder_) return *folder_;
  return files_.homeDirectory() + "/Library/Application Support/ContentBlockers";
}

std::string LinuxContentBlockerManager::markerPath(const std::string& identifier) const {
  return folder() + "/" + identifier + ".reload";
}

void LinuxContentBlockerManager::reloadContentBlocker(const std::string& identifier, Completion completion) {
  std::optional<Error> outcome;
  if (!namesAFile(identifier)) {
    outcome = blockerError(ContentBlockerErrorCode::noExtensionFound,
                           "No content-blocker extension is named \"" + identifier + "\".");
  } else {
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    auto written = files_.createDirectory(folder());
    if (written) written = files_.write(markerPath(identifier), std::to_string(millis) + "\n");
    if (!written) {
      outcome = blockerError(ContentBlockerErrorCode::loadingInterrupted,
                             "The content blocker could not be reloaded: " + written.error().localizedDescription());
    }
  }
  if (!completion) return;
  DispatchQueue::global().async(
      [completion = std::move(completion), outcome = std::move(outcome)] { completion(outcome); });
}

}  // namespace platform
