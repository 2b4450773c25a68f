#pragma once
// The agent's means of running commands: the privileged runner (a command line as root,
// through sudo) and two plain runners that need no state (a shell command's output, a
// host lookup).
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace agent {

// The tick's DNS flush, run as root: the cache of whichever resolver runs here
// (systemd-resolved, nscd) is flushed; where none runs it succeeds and says nothing.
// A resolver that runs and refuses the flush says why.
inline constexpr const char* kFlushDnsCacheCommand =
    "if resolvectl status >/dev/null 2>&1; then resolvectl flush-caches; fi; "
    "if nscd --statistics >/dev/null 2>&1; then nscd --invalidate=hosts; fi";

// The folders sudo is taken from when the children's PATH folders hold none: the
// system's own, never the PATH the agent inherited (the child's account can put
// anything first there).
inline constexpr const char* kSystemToolFolders[] = {"/usr/bin", "/bin", "/usr/sbin", "/sbin"};

// The sudo the privileged runner starts: the first executable regular file "sudo" in the
// absolute folders of `childPath` (the test setting), then in kSystemToolFolders;
// nothing when there is none.
std::optional<std::string> sudoExecutable(const std::string& childPath);

// Runs command lines as root. It reads the child token and the password from the shared
// suite at each call; it keeps nothing between calls but its settings.
class PrivilegedRunner {
 public:
  // How a run went.
  enum class Outcome {
    notStarted,  // no stored child token, no sudo, or it could not be started
    exited,      // sudo ended by itself, whatever its status
    ended,       // sudo was still running at the deadline and was ended
  };
  // A run and, when sudo exited by itself, its exit status (the command's, once sudo
  // let it run); -1 otherwise.
  struct Ran {
    Outcome outcome = Outcome::notStarted;
    int status = -1;
  };
  static constexpr std::chrono::milliseconds kDefaultDeadline{10000};

  // `childPath`: the folders put first in the PATH of the commands it starts, and the
  // first place sudo is looked for (sudoExecutable). `deadline`: how long sudo may run
  // when a call names no deadline of its own.
  explicit PrivilegedRunner(std::string childPath, std::chrono::milliseconds deadline = kDefaultDeadline)
      : childPath_(std::move(childPath)), deadline_(deadline) {}

  // Runs the command line as root ("<sudo> -S /bin/bash -c <line>") with the stored
  // password on standard input and waits for it; what it writes is printed ("read <n>",
  // then the text), then "Process did exit". Starts nothing without a stored child token.
  // A sudo still running `deadline` after it started (held, stopped, waiting on
  // something) is ended with a line that says so; what it wrote until then is printed as
  // usual.
  Outcome run(const std::string& commandLine, std::chrono::milliseconds deadline) const {
    return runWithInput(commandLine, {}, deadline).outcome;
  }
  // The same within the runner's own deadline.
  Outcome run(const std::string& commandLine) const { return run(commandLine, deadline_); }
  // As run(), with `input` on the command's standard input after the password line
  // (sudo -S reads the password and leaves the rest to the command; where sudo asks for
  // no password the command gets the password line first). Writing the input counts
  // against the deadline: a sudo that does not read it is ended all the same.
  Ran runWithInput(const std::string& commandLine, std::string_view input, std::chrono::milliseconds deadline) const;

  // How long sudo may run when a call names no deadline.
  std::chrono::milliseconds deadline() const { return deadline_; }

 private:
  std::string childPath_;
  std::chrono::milliseconds deadline_;
};

// Runs the command line with "/bin/zsh -c" and returns its output and error output;
// `childPath` is put first in the command's PATH.
std::string shellOutput(const std::string& command, const std::string& childPath);
// The token after the first "has" (or "has address") in the host-lookup tool's answer
// for the domain; `childPath` is put first in the tool's PATH.
std::optional<std::string> hostLookupAnswer(const std::string& domain, const std::string& childPath);

}  // namespace agent
