#include "platform/signal_guard.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <vector>

namespace platform {

namespace {

// The longest chain of parents looked up (a process tree is far shallower).
constexpr int kMaxAncestors = 1024;
// /proc's status, stat and cgroup files are a few KiB at most.
constexpr std::size_t kProcFileLimit = std::size_t{64} * 1024;

// A /proc file's text; nullopt when it cannot be read (the process is gone). Opened
// without blocking, so a FIFO put into a test's tree is refused rather than waited on.
std::optional<std::string> readProcFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::string text;
  std::array<char, 4096> buffer;
  bool ok = true;
  while (text.size() < kProcFileLimit) {
    const ssize_t count = ::read(fd, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) ok = false;
    if (count <= 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(count));
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return text;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& out) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

// The blank-separated words of a line.
std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

// The line of `text` that starts with `prefix`, without the prefix.
std::optional<std::string_view> lineAfter(std::string_view text, std::string_view prefix) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const auto line = text.substr(start, end - start);
    if (line.starts_with(prefix)) return line.substr(prefix.size());
    start = end + 1;
  }
  return std::nullopt;
}

struct Users {
  uid_t real = 0;
  uid_t effective = 0;
  uid_t saved = 0;
};

// The real, effective and saved users of a status file's "Uid:" line.
std::optional<Users> usersOf(std::string_view status) {
  const auto line = lineAfter(status, "Uid:");
  if (!line) return std::nullopt;
  const auto values = words(*line);
  Users users;
  if (values.size() < 3 || !parseNumber(values[0], users.real) || !parseNumber(values[1], users.effective) ||
      !parseNumber(values[2], users.saved))
    return std::nullopt;
  return users;
}

struct Lineage {
  pid_t parent = 0;
  pid_t session = 0;
};

// Fields 4 (the parent) and 6 (the session) of a stat line; the command name before
// them may hold blanks and parentheses, so they are counted after the last ')'.
std::optional<Lineage> lineageOf(std::string_view stat) {
  const auto close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  const auto fields = words(stat.substr(close + 1));
  Lineage lineage;
  if (fields.size() < 4 || !parseNumber(fields[1], lineage.parent) || !parseNumber(fields[3], lineage.session))
    return std::nullopt;
  return lineage;
}

// The control group that systemd keeps the process in: the name=systemd line of the
// hybrid (and legacy) layout, else the cgroup v2 line ("0::"). Empty when neither is
// there.
std::string systemdGroup(std::string_view cgroup) {
  std::size_t start = 0;
  std::string_view unified;
  while (start < cgroup.size()) {
    std::size_t end = cgroup.find('\n', start);
    if (end == std::string_view::npos) end = cgroup.size();
    const auto line = cgroup.substr(start, end - start);
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second != std::string_view::npos) {
      const auto controllers = line.substr(first + 1, second - first - 1);
      if (controllers == "name=systemd") return std::string(line.substr(second + 1));
      if (line.substr(0, first) == "0" && controllers.empty()) unified = line.substr(second + 1);
    }
    start = end + 1;
  }
  return std::string(unified);
}

std::vector<std::string_view> groupParts(std::string_view group) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= group.size()) {
    std::size_t end = group.find('/', start);
    if (end == std::string_view::npos) end = group.size();
    if (end > start) parts.push_back(group.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// "user@<uid>.service": the user manager.
bool isUserManager(std::string_view part) {
  constexpr std::string_view prefix = "user@";
  constexpr std::string_view suffix = ".service";
  if (!part.starts_with(prefix) || !part.ends_with(suffix) || part.size() == prefix.size() + suffix.size())
    return false;
  uid_t uid = 0;
  return parseNumber(part.substr(prefix.size(), part.size() - prefix.size() - suffix.size()), uid);
}

// A group in the user manager's session.slice.
bool isDesktopSessionGroup(std::string_view group) {
  const auto parts = groupParts(group);
  for (std::size_t i = 0; i + 1 < parts.size(); ++i)
    if (isUserManager(parts[i]) && parts[i + 1] == "session.slice") return true;
  return false;
}

// The logind session scope ("session-<id>.scope", outside the user manager) that holds
// the group, as the group's path up to it; empty when there is none.
std::string_view sessionScope(std::string_view group) {
  std::size_t start = 0;
  while (start < group.size()) {
    std::size_t end = group.find('/', start);
    if (end == std::string_view::npos) end = group.size();
    const auto part = group.substr(start, end - start);
    if (isUserManager(part)) return {};
    if (part.starts_with("session-") && part.ends_with(".scope") && part.size() > 14) return group.substr(0, end);
    start = end + 1;
  }
  return {};
}

std::string procPath(const std::string& root, pid_t pid, const char* file) {
  return root + "/" + std::to_string(pid) + "/" + file;
}

}  // namespace

std::string_view describe(SignalRefusal refusal) {
  switch (refusal) {
    case SignalRefusal::agentItself:
      return "the agent's own process";
    case SignalRefusal::agentHelper:
      return "a program the agent runs";
    case SignalRefusal::otherUser:
      return "a process of another user";
    case SignalRefusal::desktopSession:
      return "the desktop's own process";
    case SignalRefusal::sessionLeader:
      return "the login session's leader";
    case SignalRefusal::gone:
      break;
  }
  return "a process that is gone";
}

std::optional<SignalRefusal> SignalGuard::refusal(pid_t pid) const {
  if (pid == options_.agent) return SignalRefusal::agentItself;
  const auto& root = options_.procRoot;
  const auto status = readProcFile(procPath(root, pid, "status"));
  const auto stat = readProcFile(procPath(root, pid, "stat"));
  const auto users = status ? usersOf(*status) : std::nullopt;
  const auto lineage = stat ? lineageOf(*stat) : std::nullopt;
  if (!users || !lineage) return SignalRefusal::gone;
  const uid_t user = options_.user;
  if (users->real != user || users->effective != user || users->saved != user) return SignalRefusal::otherUser;
  // Without a control group (no cgroup file in a test's tree) no unit protects it.
  const auto cgroup = readProcFile(procPath(root, pid, "cgroup"));
  const std::string group = cgroup ? systemdGroup(*cgroup) : std::string();
  if (isDesktopSessionGroup(group)) return SignalRefusal::desktopSession;
  if (isLoginSessionLeader(pid, lineage->parent, lineage->session, group)) return SignalRefusal::sessionLeader;
  if (isAgentHelper(lineage->parent, lineage->session)) return SignalRefusal::agentHelper;
  return std::nullopt;
}

bool SignalGuard::isLoginSessionLeader(pid_t pid, pid_t parent, pid_t session, std::string_view group) const {
  if (session != pid) return false;
  const auto scope = sessionScope(group);
  if (scope.empty()) return false;
  const auto parentGroup = readProcFile(procPath(options_.procRoot, parent, "cgroup"));
  // A parent that is gone already cannot be told apart: the process is taken for the
  // leader, the safe side.
  if (!parentGroup) return true;
  if (sessionScope(systemdGroup(*parentGroup)) != scope) return false;
  const auto parentStatus = readProcFile(procPath(options_.procRoot, parent, "status"));
  const auto parentUsers = parentStatus ? usersOf(*parentStatus) : std::nullopt;
  return !parentUsers || parentUsers->real != options_.user;
}

bool SignalGuard::isAgentHelper(pid_t parent, pid_t session) const {
  for (int step = 0; step < kMaxAncestors && parent > 1; ++step) {
    if (parent == options_.agent) {
      const auto agentStat = readProcFile(procPath(options_.procRoot, options_.agent, "stat"));
      const auto agent = agentStat ? lineageOf(*agentStat) : std::nullopt;
      // The agent's session unknown: every descendant is taken for a helper.
      return !agent || agent->session == session;
    }
    const auto stat = readProcFile(procPath(options_.procRoot, parent, "stat"));
    const auto lineage = stat ? lineageOf(*stat) : std::nullopt;
    if (!lineage) return false;
    parent = lineage->parent;
  }
  return false;
}

}  // namespace platform
