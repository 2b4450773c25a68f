#pragma once
// The agent's means of running commands: the privileged runner (a command line as root,
// through sudo) and two plain runners that need no state (a shell command's output, a
// host lookup).
#include <optional>
#include <string>
#include <utility>

namespace agent {

// The tick's DNS flush, run as root: the cache of whichever resolver runs here
// (systemd-resolved, nscd) is flushed; where none runs it succeeds and says nothing.
// A resolver that runs and refuses the flush says why.
inline constexpr const char* kFlushDnsCacheCommand =
    "if resolvectl status >/dev/null 2>&1; then resolvectl flush-caches; fi; "
    "if nscd --statistics >/dev/null 2>&1; then nscd --invalidate=hosts; fi";

// Runs command lines as root. It reads the child token and the password from the shared
// suite at each call; it keeps nothing between calls but the children's PATH folders.
class PrivilegedRunner {
 public:
  // `childPath`: the folders put first in the PATH of the commands it starts.
  explicit PrivilegedRunner(std::string childPath) : childPath_(std::move(childPath)) {}

  // Runs the command line as root ("sudo -S /bin/bash -c <line>") with the stored
  // password on standard input and waits for it; what it writes is printed ("read <n>",
  // then the text), then "Process did exit". Starts nothing without a stored child token.
  void run(const std::string& commandLine) const;

 private:
  std::string childPath_;
};

// Runs the command line with "/bin/zsh -c" and returns its output and error output;
// `childPath` is put first in the command's PATH.
std::string shellOutput(const std::string& command, const std::string& childPath);
// The token after the first "has" (or "has address") in the host-lookup tool's answer
// for the domain; `childPath` is put first in the tool's PATH.
std::optional<std::string> hostLookupAnswer(const std::string& domain, const std::string& childPath);

}  // namespace agent
