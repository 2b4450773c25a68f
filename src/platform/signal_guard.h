#pragma once
// Which processes the agent never signals, whatever a rule names. The workspace asks
// before every signal it sends, and the application blocker asks first so that it can
// say why a rule was not carried out. Everything is read from a /proc-like folder
// (/proc/<pid>/status, stat and cgroup), so that tests can hand in a tree of their own.
//
// A process is refused when it is:
//   - the agent's own process;
//   - one whose real, effective or saved user (the first three numbers of the Uid: line
//     of its status) is not the agent's: a setuid program the child runs is not the
//     child's to stop, though the kernel would let the signal through by real user;
//   - one of the desktop's own: a process of the user manager's session.slice (the
//     shell, the session bus, the portals; a "session.slice" part of its control group
//     right below "user@<uid>.service", in the cgroup v2 line or the hybrid layout's
//     name=systemd line);
//   - the login session's leader: the process that holds the child's login session. The
//     login manager (or sshd, or login) registers the session with logind and runs the
//     user's first process in the session's scope ("session-<id>.scope") as the leader
//     of a new process session; when it ends, the login session ends. So: a process
//     whose session id (field 6 of its stat line) is its own pid, in a session scope,
//     whose parent is in the same scope and is not the agent's user's (logind's own
//     leader, that parent, runs as root and is refused by the rule above). A terminal's
//     shell leads a process session too, but its parent is the terminal, the user's;
//   - one of the agent's own helpers: a descendant of the agent (the sudo, sh or query
//     tool it runs) that is still in the agent's process session. What the agent
//     launches for the user (an application, a URL's handler) starts a session of its
//     own and is stopped like any other program.
// A process that /proc no longer shows (or shows too little of to tell) is refused as
// gone.
#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

// Why a process is never signalled.
enum class SignalRefusal {
  agentItself,
  agentHelper,
  otherUser,
  desktopSession,
  sessionLeader,
  gone,
};

// The reason as the printed lines give it, e.g. "the desktop's own process".
std::string_view describe(SignalRefusal refusal);

class SignalGuard {
 public:
  struct Options {
    std::string procRoot = "/proc";
    // The agent's process and user: by default this process and its real user.
    pid_t agent = ::getpid();
    uid_t user = ::getuid();
  };

  explicit SignalGuard(Options options) : options_(std::move(options)) {}
  // This process as the agent, its real user as the agent's.
  explicit SignalGuard(std::string procRoot) : SignalGuard(Options{.procRoot = std::move(procRoot)}) {}

  // Why `pid` must not be signalled, or nullopt when it may be.
  std::optional<SignalRefusal> refusal(pid_t pid) const;

 private:
  bool isAgentHelper(pid_t pid, pid_t session) const;
  bool isLoginSessionLeader(pid_t pid, pid_t parent, pid_t session, std::string_view unit) const;

  Options options_;
};

}  // namespace platform
