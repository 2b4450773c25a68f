#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/settings.h"

extern char** environ;

namespace platform {

namespace {

constexpr std::size_t kChunkSize = std::size_t{64} * 1024;
constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";

ProcessError errorFromErrno(int code, const std::string& what) {
  // The same text as strerror, without its shared buffer.
  return ProcessError{code, what + ": " + std::generic_category().message(code)};
}

// A write that reports EPIPE instead of raising SIGPIPE. SIGPIPE for a pipe is sent to
// the writing thread, so blocking it here and taking away a pending one keeps the
// agent alive when a child has closed its input.
ssize_t writeWithoutSigpipe(int fd, const std::uint8_t* bytes, std::size_t size) {
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  const bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
  ssize_t written = ::write(fd, bytes, size);
  const int error = errno;
  if (written < 0 && error == EPIPE && !wasPending) {
    const timespec zero{};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
}

// One write of at most `size` bytes, retried on EINTR. With `withoutBlocking` the
// descriptor is non-blocking for the write (EAGAIN when the reader is full).
ssize_t writeAtMostOnce(int fd, const std::uint8_t* bytes, std::size_t size, bool withoutBlocking) {
  const int flags = withoutBlocking ? ::fcntl(fd, F_GETFL) : -1;
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  ssize_t written;
  do {
    written = writeWithoutSigpipe(fd, bytes, size);
  } while (written < 0 && errno == EINTR);
  const int error = errno;
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) ::fcntl(fd, F_SETFL, flags);
  errno = error;
  return written;
}

int pollRetrying(pollfd* fds, nfds_t count, int timeoutMs) {
  int result;
  do {
    result = ::poll(fds, count, timeoutMs);
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

// ---- FileHandle --------------------------------------------------------------------

// One descriptor and who is using it. Only the current owner touches `fd` outside the
// mutex; close() and a handler stop interrupt the owner through `wakeFd`.
struct FileHandle::Impl {
  enum class Owner { none, reader, writer, handler, drain };

  std::mutex mutex;
  std::condition_variable changed;
  int fd = -1;
  int wakeFd = -1;  // eventfd, written to interrupt the owner's poll
  Owner owner = Owner::none;
  bool closing = false;
  bool endOfFile = false;
  Data pending;  // bytes read ahead by a process wait, delivered before anything else

  ReadabilityHandler handler;
  bool handlerActive = false;  // its thread runs
  bool handlerStop = false;
  bool handlerEnded = false;  // end of file delivered
  std::thread::id handlerThread;

  explicit Impl(int descriptor) : fd(descriptor) {
    if (fd >= 0) wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~Impl() {
    if (fd >= 0) ::close(fd);
    if (wakeFd >= 0) ::close(wakeFd);
  }

  bool mustLeave(Owner me) const { return closing || fd < 0 || (me == Owner::handler && handlerStop); }

  // Waits for the descriptor to be free and takes it; false when it is being closed.
  bool acquire(std::unique_lock<std::mutex>& lock, Owner me) {
    changed.wait(lock, [&] { return owner == Owner::none || mustLeave(me); });
    if (mustLeave(me)) return false;
    owner = me;
    return true;
  }
  void release() {
    owner = Owner::none;
    changed.notify_all();
  }
  void wake() const {
    if (wakeFd < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(wakeFd, &one, sizeof one);
  }
  void clearWake() const {
    if (wakeFd < 0) return;
    std::uint64_t value = 0;
    [[maybe_unused]] auto ignored = ::read(wakeFd, &value, sizeof value);
  }

  // With the lock held by the owner: waits (unlocked) until the descriptor is ready for
  // `events`, the owner is asked to leave or `timeoutMs` passes (-1: no limit). False
  // when it must leave.
  bool waitReady(std::unique_lock<std::mutex>& lock, Owner me, short events, int timeoutMs = -1) {
    if (mustLeave(me)) return false;
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    lock.unlock();
    pollRetrying(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
    lock.lock();
    return !mustLeave(me);
  }

  // One read by the owner, without the lock. Appends to `out`; false at end of file
  // or on an error (both end the reading).
  bool readOnce(std::unique_lock<std::mutex>& lock, Data& out) {
    const int descriptor = fd;
    lock.unlock();
    std::uint8_t buffer[kChunkSize];
    ssize_t count;
    do {
      count = ::read(descriptor, buffer, sizeof buffer);
    } while (count < 0 && errno == EINTR);
    const int error = errno;
    lock.lock();
    if (count > 0) {
      out.insert(out.end(), buffer, buffer + count);
      return true;
    }
    if (count < 0 && error == EAGAIN) return true;
    endOfFile = true;
    return false;
  }

  bool onHandlerThread() const { return handlerActive && std::this_thread::get_id() == handlerThread; }

  static void runHandler(std::shared_ptr<Impl> self);
};

void FileHandle::Impl::runHandler(std::shared_ptr<Impl> self) {
  std::unique_lock lock(self->mutex);
  auto finish = [&](bool deliverEnd) {
    if (deliverEnd && self->handler && !self->handlerStop) {
      auto deliver = self->handler;
      lock.unlock();
      deliver(Data{});
      lock.lock();
      self->handlerEnded = true;
    }
    self->handler = nullptr;
    self->handlerActive = false;
    self->handlerStop = false;
    if (self->owner == Owner::handler) self->owner = Owner::none;
    self->changed.notify_all();
  };
  if (!self->acquire(lock, Owner::handler)) {
    finish(false);
    return;
  }
  for (;;) {
    if (self->handlerStop || !self->handler) break;
    Data chunk = std::move(self->pending);
    self->pending.clear();
    if (chunk.empty()) {
      if (self->endOfFile) {
        finish(true);
        return;
      }
      if (!self->waitReady(lock, Owner::handler, POLLIN)) break;
      if (!self->readOnce(lock, chunk) && chunk.empty()) {
        finish(true);
        return;
      }
      if (chunk.empty()) continue;
    }
    auto handler = self->handler;
    if (!handler) break;
    lock.unlock();
    handler(chunk);
    lock.lock();
  }
  // Stopped (or closed) before end of file: no end-of-file call.
  finish(false);
}

FileHandle::FileHandle() : impl_(std::make_shared<Impl>(-1)) {}
FileHandle::FileHandle(int fd) : impl_(std::make_shared<Impl>(fd)) {}
FileHandle::~FileHandle() = default;
FileHandle::FileHandle(const FileHandle&) = default;
FileHandle& FileHandle::operator=(const FileHandle&) = default;

bool FileHandle::isValid() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->fd >= 0;
}

int FileHandle::fileDescriptor() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->fd;
}

Data FileHandle::readDataToEndOfFile() {
  std::unique_lock lock(impl_->mutex);
  Data result = std::move(impl_->pending);
  impl_->pending.clear();
  if (impl_->endOfFile || !impl_->acquire(lock, Impl::Owner::reader)) return result;
  // A drain may have buffered more while we waited for the descriptor.
  result.insert(result.end(), impl_->pending.begin(), impl_->pending.end());
  impl_->pending.clear();
  while (!impl_->endOfFile && impl_->waitReady(lock, Impl::Owner::reader, POLLIN)) {
    if (!impl_->readOnce(lock, result)) break;
  }
  if (impl_->owner == Impl::Owner::reader) impl_->release();
  return result;
}

Data FileHandle::availableData() {
  std::unique_lock lock(impl_->mutex);
  Data result = std::move(impl_->pending);
  impl_->pending.clear();
  if (!result.empty() || impl_->endOfFile || !impl_->acquire(lock, Impl::Owner::reader)) return result;
  result = std::move(impl_->pending);
  impl_->pending.clear();
  while (result.empty() && !impl_->endOfFile && impl_->waitReady(lock, Impl::Owner::reader, POLLIN)) {
    if (!impl_->readOnce(lock, result)) break;
  }
  if (impl_->owner == Impl::Owner::reader) impl_->release();
  return result;
}

ProcessResult<> FileHandle::write(std::string_view text) { return write(Data(text.begin(), text.end())); }

ProcessResult<> FileHandle::write(const Data& data) { return write(data, std::chrono::milliseconds::max()); }

namespace {

// Milliseconds to `deadline` for poll: -1 for no deadline, 0 once it has passed.
int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  if (deadline == Clock::time_point::max()) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

std::chrono::steady_clock::time_point deadlineAfter(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  return timeout == std::chrono::milliseconds::max() ? Clock::time_point::max() : Clock::now() + timeout;
}

}  // namespace

ProcessResult<> FileHandle::write(const Data& data, std::chrono::milliseconds timeout) {
  const auto deadline = deadlineAfter(timeout);
  std::unique_lock lock(impl_->mutex);
  if (!impl_->acquire(lock, Impl::Owner::writer)) return std::unexpected(errorFromErrno(EBADF, "write"));
  std::size_t offset = 0;
  std::optional<ProcessError> failure;
  while (offset < data.size()) {
    const int wait = millisecondsUntil(deadline);
    if (wait == 0) {
      failure = errorFromErrno(ETIMEDOUT, "write");
      break;
    }
    if (!impl_->waitReady(lock, Impl::Owner::writer, POLLOUT, wait)) {
      failure = errorFromErrno(EBADF, "write");
      break;
    }
    const int descriptor = impl_->fd;
    // After POLLOUT a pipe takes at least PIPE_BUF bytes without blocking; after a poll
    // that timed out the write is refused at once (the descriptor is made non-blocking
    // for it), so a reader that never reads cannot hold the writer past its deadline.
    const std::size_t piece = std::min<std::size_t>(data.size() - offset, PIPE_BUF);
    lock.unlock();
    ssize_t written = writeAtMostOnce(descriptor, data.data() + offset, piece, deadline != decltype(deadline)::max());
    const int error = errno;
    lock.lock();
    if (written < 0) {
      if (error == EAGAIN) continue;
      failure = errorFromErrno(error, "write");
      break;
    }
    offset += static_cast<std::size_t>(written);
  }
  if (impl_->owner == Impl::Owner::writer) impl_->release();
  if (failure) return std::unexpected(*failure);
  return {};
}

ProcessResult<> FileHandle::close() {
  std::unique_lock lock(impl_->mutex);
  if (impl_->fd < 0) return {};
  if (impl_->onHandlerThread()) {
    // Called from inside the handler, which owns the descriptor: close it here; the
    // handler's loop ends when the callback returns.
    const int descriptor = std::exchange(impl_->fd, -1);
    impl_->handlerStop = true;
    impl_->endOfFile = true;
    if (::close(descriptor) != 0 && errno != EINTR) return std::unexpected(errorFromErrno(errno, "close"));
    return {};
  }
  if (impl_->closing) {
    impl_->changed.wait(lock, [&] { return impl_->fd < 0; });
    return {};
  }
  impl_->closing = true;
  impl_->wake();
  impl_->changed.wait(lock, [&] { return impl_->owner == Impl::Owner::none && !impl_->handlerActive; });
  const int descriptor = std::exchange(impl_->fd, -1);
  impl_->closing = false;
  impl_->endOfFile = true;
  impl_->clearWake();
  impl_->changed.notify_all();
  lock.unlock();
  if (::close(descriptor) != 0 && errno != EINTR) return std::unexpected(errorFromErrno(errno, "close"));
  return {};
}

void FileHandle::setReadabilityHandler(ReadabilityHandler handler) {
  std::unique_lock lock(impl_->mutex);
  if (handler) {
    if (impl_->handlerActive && impl_->handlerStop && !impl_->onHandlerThread()) {
      // A stop is under way on another thread: let it finish, then start afresh.
      impl_->changed.wait(lock, [&] { return !impl_->handlerActive; });
    }
    impl_->handler = std::move(handler);
    if (impl_->handlerActive) {  // the running thread takes the new one
      impl_->handlerStop = false;
      return;
    }
    impl_->handlerActive = true;
    impl_->handlerStop = false;
    impl_->handlerEnded = false;
    try {
      std::thread thread(&Impl::runHandler, impl_);
      impl_->handlerThread = thread.get_id();
      thread.detach();
    } catch (const std::system_error&) {
      impl_->handler = nullptr;
      impl_->handlerActive = false;
    }
    return;
  }
  if (!impl_->handlerActive) return;
  impl_->handler = nullptr;
  impl_->handlerStop = true;
  if (impl_->onHandlerThread()) return;  // the loop ends after this callback
  if (impl_->owner == Impl::Owner::handler) impl_->wake();
  impl_->changed.notify_all();
  impl_->changed.wait(lock, [&] { return !impl_->handlerActive; });
  impl_->clearWake();
}

bool FileHandle::waitForReadabilityEnd(std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->handlerEnded; });
}

Pipe::Pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) == 0) {
    reading_ = FileHandle(fds[0]);
    writing_ = FileHandle(fds[1]);
  }
}

// ---- Process ---------------------------------------------------------------------

struct Process::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool launched = false;
  bool exited = false;
  bool reaperRunning = false;
  pid_t pid = 0;
  int rawStatus = 0;
  bool statusKnown = false;
  int exitFd = -1;  // eventfd, readable once the child has exited

  ~State() {
    if (exitFd >= 0) ::close(exitFd);
  }

  // Collects the child's exit. waitid with WNOWAIT first, so that the pid stays ours
  // (a zombie) until `exited` is set under the lock: terminate() never signals a
  // recycled pid.
  void reap() {
    siginfo_t info{};
    int result;
    do {
      result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    std::lock_guard lock(mutex);
    int status = 0;
    pid_t reaped;
    do {
      reaped = ::waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    statusKnown = reaped == pid;
    rawStatus = status;
    exited = true;
    if (exitFd >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] auto ignored = ::write(exitFd, &one, sizeof one);
    }
    changed.notify_all();
  }
};

Process::Process() : childPath(Settings::current().childPath), state_(std::make_shared<State>()) {}
Process::~Process() = default;

std::optional<std::string> Process::findProgram(const std::string& name, const std::string& searchPath,
                                                const std::function<bool(const std::string&)>& runnable) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) return runnable(name) ? std::optional(name) : std::nullopt;
  std::size_t start = 0;
  while (start <= searchPath.size()) {
    std::size_t colon = searchPath.find(':', start);
    if (colon == std::string::npos) colon = searchPath.size();
    if (colon > start) {
      std::string candidate = searchPath.substr(start, colon - start) + "/" + name;
      if (runnable(candidate)) return candidate;
    }
    start = colon + 1;
  }
  return std::nullopt;
}

std::string Process::childSearchPath(const std::string& inheritedPath) {
  return childSearchPath(Settings::current().childPath, inheritedPath);
}

std::string Process::childSearchPath(const std::string& childPath, const std::string& inheritedPath) {
  std::string path;
  auto append = [&](const std::string& part) {
    std::size_t start = 0;
    while (start <= part.size()) {
      std::size_t colon = part.find(':', start);
      if (colon == std::string::npos) colon = part.size();
      if (colon > start) {
        if (!path.empty()) path += ':';
        path.append(part, start, colon - start);
      }
      start = colon + 1;
    }
  };
  append(childPath);
  append(inheritedPath.empty() ? std::string(kDefaultPath) : inheritedPath);
  return path;
}

namespace {

// The child's environment as "NAME=value" texts: the agent's, then the additions, then
// PATH with the child folders first.
std::vector<std::string> childEnvironment(const std::map<std::string, std::string>& additions,
                                          const std::string& childPath) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    variables.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  for (const auto& [name, value] : additions) variables[name] = value;
  {
    auto it = variables.find("PATH");
    variables["PATH"] = Process::childSearchPath(childPath, it != variables.end() ? it->second : std::string());
  }
  std::vector<std::string> envText;
  envText.reserve(variables.size());
  for (const auto& [name, value] : variables) {
    std::string entry = name;
    entry += '=';
    entry += value;
    envText.push_back(std::move(entry));
  }
  return envText;
}

// The texts as posix_spawn takes them: pointers into `texts`, then a null pointer.
std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// What the child does with its descriptors before it runs: the three standard streams
// put in place, every other descriptor closed. Low descriptors of ours that a stream
// uses are moved out of the way of the dup2s first, into copies freed with the actions.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() {
    posix_spawn_file_actions_destroy(&actions_);
    for (int fd : temporaries_) ::close(fd);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;

  ProcessResult<> connect(StandardStream* const (&streams)[3]) {
    for (int slot = 0; slot < 3; ++slot) {
      if (std::holds_alternative<std::monostate>(*streams[slot])) continue;
      if (std::holds_alternative<NullDevice>(*streams[slot])) {
        posix_spawn_file_actions_addopen(&actions_, slot, "/dev/null", slot == 0 ? O_RDONLY : O_WRONLY, 0);
        continue;
      }
      auto source = childEnd(*streams[slot], slot);
      if (!source) return std::unexpected(source.error());
      posix_spawn_file_actions_adddup2(&actions_, *source, slot);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
    return {};
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  // The descriptor of ours that becomes the child's stream `slot`, at 3 or above.
  ProcessResult<int> childEnd(StandardStream& stream, int slot) {
    int source = -1;
    if (auto* pipe = std::get_if<Pipe>(&stream)) {
      source =
          slot == 0 ? pipe->fileHandleForReading().fileDescriptor() : pipe->fileHandleForWriting().fileDescriptor();
    } else if (auto* handle = std::get_if<FileHandle>(&stream)) {
      source = handle->fileDescriptor();
    }
    if (source < 0) return std::unexpected(ProcessError{EBADF, "a standard stream of the process is not open"});
    if (source >= 3) return source;
    int moved = ::fcntl(source, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return std::unexpected(errorFromErrno(errno, "fcntl"));
    temporaries_.push_back(moved);
    return moved;
  }

  posix_spawn_file_actions_t actions_;
  std::vector<int> temporaries_;
};

// The child's signal settings: nothing blocked, every disposition the default; its own
// session when asked.
class SpawnAttributes {
 public:
  explicit SpawnAttributes(bool startsNewSession) {
    posix_spawnattr_init(&attributes_);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    posix_spawnattr_setsigmask(&attributes_, &noSignals);
    sigset_t allSignals;
    sigfillset(&allSignals);
    posix_spawnattr_setsigdefault(&attributes_, &allSignals);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (startsNewSession) flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes_, flags);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace

ProcessResult<> Process::run() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->launched) return std::unexpected(ProcessError{EALREADY, "the process has already been launched"});
  }
  if (executablePath.empty()) return std::unexpected(ProcessError{EINVAL, "no executable given"});

  std::vector<std::string> envText = childEnvironment(environment, childPath);
  std::vector<std::string> argText{executablePath};
  argText.insert(argText.end(), arguments.begin(), arguments.end());
  std::vector<char*> envp = pointersTo(envText);
  std::vector<char*> argv = pointersTo(argText);

  StandardStream* const streams[3] = {&standardInput, &standardOutput, &standardError};
  {
    SpawnActions actions;
    if (auto connected = actions.connect(streams); !connected) return std::unexpected(connected.error());
    SpawnAttributes attributes(startsNewSession);
    std::lock_guard lock(state_->mutex);
    state_->exitFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, executablePath.c_str(), actions.get(), attributes.get(), argv.data(), envp.data());
    if (spawned != 0) return std::unexpected(errorFromErrno(spawned, "cannot run " + executablePath));
    markLaunched(pid);
  }

  // The child has its ends now; drop ours so that end of file can come.
  for (int slot = 0; slot < 3; ++slot) {
    if (auto* pipe = std::get_if<Pipe>(streams[slot])) {
      (slot == 0 ? pipe->fileHandleForReading() : pipe->fileHandleForWriting()).close();
    }
  }
  return {};
}

void Process::markLaunched(pid_t pid) {
  state_->launched = true;
  state_->pid = pid;
  try {
    std::thread([state = state_] { state->reap(); }).detach();
    state_->reaperRunning = true;
  } catch (const std::system_error&) {
    state_->reaperRunning = false;  // waitUntilExit() reaps instead
  }
}

bool Process::exitedWithoutWaiting() {
  std::unique_lock lock(state_->mutex);
  if (!state_->launched || state_->exited) return true;
  if (state_->reaperRunning) return false;
  lock.unlock();
  state_->reap();
  return true;
}

Process::DrainedPipes Process::takeUnreadOutputPipes() {
  DrainedPipes drained;
  for (StandardStream* stream : {&standardOutput, &standardError}) {
    auto* pipe = std::get_if<Pipe>(stream);
    if (pipe == nullptr) continue;
    auto impl = pipe->fileHandleForReading().impl_;
    bool seen = false;
    for (auto& other : drained) seen = seen || other == impl;
    if (seen) continue;
    std::lock_guard lock(impl->mutex);
    if (impl->owner == FileHandle::Impl::Owner::none && !impl->closing && impl->fd >= 0 && !impl->handlerActive &&
        !impl->endOfFile) {
      impl->owner = FileHandle::Impl::Owner::drain;
      drained.push_back(impl);
    }
  }
  return drained;
}

void Process::drainOnce(DrainedPipes& drained, int waitMs, bool& timedOut) {
  std::vector<pollfd> fds;
  fds.push_back({state_->exitFd, POLLIN, 0});
  for (auto& impl : drained) {
    fds.push_back({impl->fd, POLLIN, 0});
    fds.push_back({impl->wakeFd, POLLIN, 0});
  }
  const int ready = pollRetrying(fds.data(), fds.size(), waitMs);
  timedOut = ready == 0 && waitMs == 0;
  if (timedOut) return;
  DrainedPipes still;
  for (std::size_t i = 0; i < drained.size(); ++i) {
    auto& impl = drained[i];
    const pollfd& data = fds[1 + 2 * i];
    std::unique_lock lock(impl->mutex);
    bool keep = !impl->closing;
    if (keep && (data.revents & (POLLIN | POLLHUP | POLLERR)) != 0) keep = impl->readOnce(lock, impl->pending);
    if (keep) {
      still.push_back(impl);
    } else {
      impl->release();
    }
  }
  drained.swap(still);
}

bool Process::waitDraining(DrainedPipes& drained, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->exited) return true;
    }
    if (drained.empty()) {
      std::unique_lock lock(state_->mutex);
      if (deadline == std::chrono::steady_clock::time_point::max()) {
        state_->changed.wait(lock, [&] { return state_->exited; });
      } else {
        state_->changed.wait_until(lock, deadline, [&] { return state_->exited; });
      }
      return state_->exited;
    }
    const int wait = millisecondsUntil(deadline);
    bool timedOut = false;
    drainOnce(drained, wait, timedOut);
    if (timedOut || wait == 0) return false;
  }
}

bool Process::waitUntilExit(std::chrono::milliseconds timeout) {
  const auto deadline = deadlineAfter(timeout);
  if (exitedWithoutWaiting()) return true;

  // Take the output pipes nobody is reading, to keep them flowing while we wait.
  DrainedPipes drained = takeUnreadOutputPipes();
  bool exited = waitDraining(drained, deadline);
  for (auto& impl : drained) {
    std::lock_guard lock(impl->mutex);
    impl->release();
  }
  if (!exited) {
    std::lock_guard lock(state_->mutex);
    exited = state_->exited;
  }
  return exited;
}

void Process::waitUntilExit() { waitUntilExit(std::chrono::milliseconds::max()); }

bool Process::isRunning() const {
  std::lock_guard lock(state_->mutex);
  return state_->launched && !state_->exited;
}

pid_t Process::processIdentifier() const {
  std::lock_guard lock(state_->mutex);
  return state_->pid;
}

int Process::terminationStatus() const {
  std::lock_guard lock(state_->mutex);
  if (!state_->exited) return 0;
  if (!state_->statusKnown) return -1;
  if (WIFSIGNALED(state_->rawStatus)) return WTERMSIG(state_->rawStatus);
  return WEXITSTATUS(state_->rawStatus);
}

TerminationReason Process::terminationReason() const {
  std::lock_guard lock(state_->mutex);
  if (state_->exited && state_->statusKnown && WIFSIGNALED(state_->rawStatus)) return TerminationReason::uncaughtSignal;
  return TerminationReason::exit;
}

bool Process::terminate() { return sendSignal(SIGTERM); }

bool Process::sendSignal(int signal) {
  std::lock_guard lock(state_->mutex);
  if (!state_->launched || state_->exited) return false;
  return ::kill(state_->pid, signal) == 0;
}

bool sendSignal(pid_t pid, int signal) {
  // 0 and negative values address process groups or every process: never wanted here.
  if (pid <= 0) {
    errno = EINVAL;
    return false;
  }
  return ::kill(pid, signal) == 0;
}

}  // namespace platform
