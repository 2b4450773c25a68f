#pragma once
// Child processes: a process object with an executable, arguments, environment
// additions and standard streams; pipes and file handles to talk to it.
//
// - run() starts the child with posix_spawn. Every descriptor other than the three
//   standard streams is closed in the child, signal dispositions and the mask are reset.
// - The PATH a child sees is the process's childPath (colon-separated folders) first,
//   then the PATH of the environment additions, or else the agent's own PATH.
// - Each started child is reaped by a background waiter as soon as it exits, so no
//   zombie stays behind even when nobody calls waitUntilExit() (a detached launch).
// - waitUntilExit() keeps reading the child's output pipes that nobody else is reading
//   (no readability handler, no reader) into the handle's buffer, so a child that writes
//   more than a pipe holds does not block forever; a later read returns those bytes.
// - Nothing here throws across the interface; failures come back as ProcessError.
#include <sys/types.h>

#include <chrono>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/data.h"

namespace platform {

// A failure of the process machinery: the errno value and a readable description.
struct ProcessError {
  int code = 0;
  std::string localizedDescription;
  bool operator==(const ProcessError&) const = default;
};

template <typename T = void>
using ProcessResult = std::expected<T, ProcessError>;

// One end of a pipe, or any other file descriptor it owns. Copies share the same
// descriptor (reference semantics); it is closed when the last copy is gone, or by
// close(). Reads, writes and close may come from different threads.
class FileHandle {
 public:
  FileHandle();                    // no descriptor (isValid() is false)
  explicit FileHandle(int fd);     // takes ownership of fd
  ~FileHandle();
  FileHandle(const FileHandle&);
  FileHandle& operator=(const FileHandle&);

  bool isValid() const;
  int fileDescriptor() const;  // -1 when closed or invalid

  // Everything up to end of file (bytes buffered earlier come first). A read error
  // ends it early with what was read so far. Waits while another thread reads.
  Data readDataToEndOfFile();
  // The bytes available now, waiting for at least one; empty at end of file.
  Data availableData();

  // Writes all bytes; a closed reader gives an error (EPIPE), never SIGPIPE.
  ProcessResult<> write(const Data& data);
  ProcessResult<> write(std::string_view text);
  // The same within `timeout`: a reader that has not taken every byte by then gives an
  // error (ETIMEDOUT), with what it did take written.
  ProcessResult<> write(const Data& data, std::chrono::milliseconds timeout);

  // Closes the descriptor (a running readability handler is stopped first, a blocked
  // read returns). Closing twice is harmless.
  ProcessResult<> close();

  // Runs `handler` on a background thread with each chunk read, and then once with an
  // empty chunk at end of file, after which the handler is dropped. It keeps running
  // after every copy of the handle is gone, until end of file (the descriptor stays
  // open that long). Passing nullptr stops it; once that returns (from any thread but
  // the handler's own) the handler is not running and is never called again.
  using ReadabilityHandler = std::function<void(const Data& chunk)>;
  void setReadabilityHandler(ReadabilityHandler handler);
  // True once a readability handler has been called with its end-of-file chunk;
  // false when `timeout` passes first.
  bool waitForReadabilityEnd(std::chrono::milliseconds timeout);

  struct Impl;  // shared state; used by Process

 private:
  std::shared_ptr<Impl> impl_;
  friend class Process;
  friend class Pipe;
};

// A one-way channel: what is written to fileHandleForWriting() is read from
// fileHandleForReading(). Copies share the same two handles. If the system cannot
// create a pipe both handles are invalid and a process given it fails to run.
class Pipe {
 public:
  Pipe();
  FileHandle& fileHandleForReading() { return reading_; }
  FileHandle& fileHandleForWriting() { return writing_; }
  const FileHandle& fileHandleForReading() const { return reading_; }
  const FileHandle& fileHandleForWriting() const { return writing_; }

 private:
  FileHandle reading_;
  FileHandle writing_;
};

// What a standard stream of the child is connected to. The default (monostate) is
// the agent's own stream; NullDevice is "/dev/null". With a Pipe the child gets the
// pipe's writing end for output and its reading end for input; the agent's copy of
// that end is closed once the child runs, so end of file comes when the child (and
// whatever it started) is done with it. A FileHandle is given to the child as it is.
struct NullDevice {};
using StandardStream = std::variant<std::monostate, NullDevice, Pipe, FileHandle>;

enum class TerminationReason { exit = 1, uncaughtSignal = 2 };

class Process {
 public:
  Process();
  ~Process();  // does not stop the child; it is still reaped when it exits
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Set these before run(); changes afterwards have no effect on the child.
  std::string executablePath;          // absolute path, e.g. "/usr/bin/env"
  std::vector<std::string> arguments;  // argv[1...]; argv[0] is executablePath
  std::map<std::string, std::string> environment;  // added to (or replacing) the agent's
  // Folders (colon-separated) put first in the child's PATH; Settings::current()'s
  // childPath unless the maker gives its own.
  std::string childPath;
  StandardStream standardInput;
  StandardStream standardOutput;
  StandardStream standardError;
  bool startsNewSession = false;  // setsid() in the child (detached launches)

  // Starts the child. Fails when it is already started, the executable cannot be
  // run (missing, not executable), a pipe is invalid or the system refuses.
  ProcessResult<> run();

  // Blocks until the child has exited; returns at once when it was never started.
  void waitUntilExit();
  // The same with a limit; false when the child still runs after `timeout`.
  bool waitUntilExit(std::chrono::milliseconds timeout);

  bool isRunning() const;                // started and not yet exited
  pid_t processIdentifier() const;       // 0 before run()
  // After exit: the exit code, or the signal number for an uncaught signal.
  // 0 before exit; -1 when the status could not be collected.
  int terminationStatus() const;
  TerminationReason terminationReason() const;  // exit before the child has exited

  // Sends SIGTERM to the child if it still runs; false when it does not.
  bool terminate();
  // Sends `signal` to the child unless it has been reaped, so the pid is surely still
  // this child's (a recycled pid is never hit).
  bool sendSignal(int signal);

  // The PATH that children get: the `childPath` folders first, then `inheritedPath`
  // (the default PATH when empty); empty folders are left out.
  static std::string childSearchPath(const std::string& childPath, const std::string& inheritedPath);
  // The same with Settings::current()'s childPath.
  static std::string childSearchPath(const std::string& inheritedPath);
  // The program file `name` stands for: `name` itself when it holds a slash, else the
  // first "<folder>/<name>" of the colon-separated `searchPath`; only a file that
  // `runnable` accepts counts. nullopt when none does.
  static std::optional<std::string> findProgram(const std::string& name, const std::string& searchPath,
                                                const std::function<bool(const std::string&)>& runnable);

 private:
  struct State;
  // The output pipes that nobody reads, taken by a wait to keep them flowing.
  using DrainedPipes = std::vector<std::shared_ptr<FileHandle::Impl>>;

  // With the state's lock held, once the child runs: its pid, and its reaper started.
  void markLaunched(pid_t pid);
  // Whether the wait is over before it starts (never started, exited, or reaped here
  // when no reaper runs).
  bool exitedWithoutWaiting();
  DrainedPipes takeUnreadOutputPipes();
  // Waits for the exit until `deadline`, reading the drained pipes meanwhile; those that
  // end are released and dropped from `drained`.
  bool waitDraining(DrainedPipes& drained, std::chrono::steady_clock::time_point deadline);
  // One poll of the exit and the drained pipes, at most `waitMs`; reads what is ready.
  void drainOnce(DrainedPipes& drained, int waitMs, bool& timedOut);

  std::shared_ptr<State> state_;
};

// kill(2): sends `signal` to the process `pid`; false (errno set) when it fails.
bool sendSignal(pid_t pid, int signal);

}  // namespace platform
