// Child processes against real programs (/bin/sh, /bin/zsh, /usr/bin/env) and stub
// scripts in a temporary folder put first in the children's PATH.
#include "platform/process.h"
#include "platform/settings.h"
#include "support/eventually.h"
#include "support/temp_folder.h"
#include "support/text_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace platform {
namespace {

namespace fs = std::filesystem;
using testsupport::eventually;
using testsupport::readText;
using namespace std::chrono_literals;

// A temporary folder for stub programs, given to a process as its childPath.
class StubFolder {
 public:
  StubFolder() { path_ = testsupport::makeTemporaryFolder("process-test"); }
  ~StubFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  StubFolder(const StubFolder&) = delete;
  StubFolder& operator=(const StubFolder&) = delete;

  const fs::path& path() const { return path_; }

  fs::path script(const std::string& name, const std::string& body) const {
    fs::path file = path_ / name;
    std::ofstream(file) << "#!/bin/sh\n" << body;
    fs::permissions(file, fs::perms::owner_all);
    return file;
  }

 private:
  fs::path path_;
};

struct Outcome {
  std::string output;
  int status = 0;
  TerminationReason reason = TerminationReason::exit;
};

// Runs a child with one pipe for its standard output and error, reads to the end and waits.
Outcome runCapturing(const std::string& executable, std::vector<std::string> arguments,
                     std::map<std::string, std::string> environment = {},
                     std::optional<std::string> childPath = std::nullopt) {
  Process process;
  if (childPath) process.childPath = *childPath;
  process.executablePath = executable;
  process.arguments = std::move(arguments);
  process.environment = std::move(environment);
  Pipe pipe;
  process.standardOutput = pipe;
  process.standardError = pipe;
  process.standardInput = NullDevice{};
  auto started = process.run();
  EXPECT_TRUE(started) << (started ? "" : started.error().localizedDescription);
  if (!started) return {};
  Outcome outcome;
  outcome.output = toString(pipe.fileHandleForReading().readDataToEndOfFile());
  EXPECT_TRUE(process.waitUntilExit(10s));
  outcome.status = process.terminationStatus();
  outcome.reason = process.terminationReason();
  return outcome;
}

TEST(ProcessTest, RunsProgramsAndReportsOutputAndStatus) {
  struct Case {
    const char* name;
    std::string executable;
    std::vector<std::string> arguments;
    std::string output;
    int status;
    TerminationReason reason;
  };
  const std::vector<Case> cases = {
      {"zsh with output and error on one pipe",
       "/bin/zsh",
       {"-c", "print -n 'a\nb\n'; print err >&2; exit 3"},
       "a\nb\nerr\n",
       3,
       TerminationReason::exit},
      {"through env", "/usr/bin/env", {"printf", "%s|%s", "one two", ""}, "one two|", 0, TerminationReason::exit},
      {"arguments are passed whole",
       "/bin/sh",
       {"-c", "printf '[%s]' \"$@\"", "sh", "a b", "'\"", "$HOME"},
       "[a b]['\"][$HOME]",
       0,
       TerminationReason::exit},
      {"invalid UTF-8 passes through as bytes",
       "/bin/sh",
       {"-c", "printf '\\377\\376ok\\200\\n'"},
       "\xff\xfeok\x80\n",
       0,
       TerminationReason::exit},
      {"killed by a signal", "/bin/sh", {"-c", "kill -TERM $$"}, "", SIGTERM, TerminationReason::uncaughtSignal},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = runCapturing(c.executable, c.arguments);
    EXPECT_EQ(outcome.output, c.output);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.reason, c.reason);
  }
}

TEST(ProcessTest, FailuresToStartAreReportedNotThrown) {
  StubFolder folder;
  const fs::path notExecutable = folder.path() / "plain";
  std::ofstream(notExecutable) << "#!/bin/sh\necho no\n";
  fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);

  struct Case {
    const char* name;
    std::string executable;
    int code;
  };
  const std::vector<Case> cases = {
      {"missing executable", (folder.path() / "nowhere").string(), ENOENT},
      {"not executable", notExecutable.string(), EACCES},
      {"no executable", "", EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Process process;
    process.executablePath = c.executable;
    auto started = process.run();
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().code, c.code);
    EXPECT_FALSE(started.error().localizedDescription.empty());
    EXPECT_FALSE(process.isRunning());
    EXPECT_EQ(process.processIdentifier(), 0);
    process.waitUntilExit();  // returns at once for a child that never started
  }

  // A pipe whose end is already closed cannot be given to a child.
  Process closedPipe;
  closedPipe.executablePath = "/bin/true";
  Pipe pipe;
  ASSERT_TRUE(pipe.fileHandleForWriting().close());
  closedPipe.standardOutput = pipe;
  auto started = closedPipe.run();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().code, EBADF);

  // Starting twice.
  Process twice;
  twice.executablePath = "/bin/true";
  ASSERT_TRUE(twice.run());
  auto again = twice.run();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().code, EALREADY);
  twice.waitUntilExit();
  EXPECT_EQ(twice.terminationStatus(), 0);
}

// The privileged runner's pattern: a stub sudo first in the PATH, the password with
// one line feed on its standard input, output through a readability handler.
TEST(ProcessTest, StubFirstInChildPathReceivesArgumentsAndPassword) {
  StubFolder folder;
  const fs::path args = folder.path() / "args";
  const fs::path input = folder.path() / "stdin";
  folder.script("sudo", "printf '%s\\n' \"$@\" > '" + args.string() + "'\ncat > '" + input.string() +
                            "'\necho stub-sudo-ran\necho to-stderr >&2\n");

  Process process;
  process.childPath = folder.path().string();
  process.executablePath = "/usr/bin/env";
  process.arguments = {"sudo", "-S", "/bin/bash", "-c", "mv /a b /etc/hosts"};
  Pipe output;
  Pipe inputPipe;
  process.standardOutput = output;
  process.standardError = output;
  process.standardInput = inputPipe;
  ASSERT_TRUE(process.run());

  std::mutex mutex;
  std::string received;
  int endCalls = 0;
  bool chunkAfterEnd = false;
  output.fileHandleForReading().setReadabilityHandler([&](const Data& chunk) {
    std::lock_guard lock(mutex);
    if (chunk.empty()) {
      ++endCalls;
    } else {
      chunkAfterEnd = chunkAfterEnd || endCalls > 0;
      received += toString(chunk);
    }
  });
  ASSERT_TRUE(inputPipe.fileHandleForWriting().write(std::string("p@ss word\n")));
  ASSERT_TRUE(inputPipe.fileHandleForWriting().close());
  process.waitUntilExit();
  ASSERT_TRUE(output.fileHandleForReading().waitForReadabilityEnd(5s));

  std::lock_guard lock(mutex);
  EXPECT_EQ(received, "stub-sudo-ran\nto-stderr\n");
  EXPECT_EQ(endCalls, 1);
  EXPECT_FALSE(chunkAfterEnd);
  EXPECT_EQ(readText(args), "-S\n/bin/bash\n-c\nmv /a b /etc/hosts\n");
  EXPECT_EQ(readText(input), "p@ss word\n");
  EXPECT_EQ(process.terminationStatus(), 0);
}

TEST(ProcessTest, ChildSearchPathPutsChildFoldersFirst) {
  StubFolder folder;
  const std::string stub = folder.path().string();
  struct Case {
    const char* name;
    std::string childPath;
    std::string inherited;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"both", stub + ":/opt/tools", "/usr/bin:/bin", stub + ":/opt/tools:/usr/bin:/bin"},
      {"empty entries dropped", ":" + stub + "::", "/usr/bin::/bin:", stub + ":/usr/bin:/bin"},
      {"no child folders", "", "/usr/bin", "/usr/bin"},
      {"no inherited PATH", stub, "", stub + ":/usr/local/bin:/usr/bin:/bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Process::childSearchPath(c.childPath, c.inherited), c.expected);
  }
  // A process made without one takes the current settings' folders.
  EXPECT_EQ(Process().childPath, Settings::current().childPath);

  // What a real child sees: the child folders, then the PATH of the additions (or the
  // agent's own), and the other additions.
  Outcome withPath = runCapturing("/bin/sh", {"-c", "printf '%s|%s' \"$PATH\" \"$MOPET_PROCESS_TEST\""},
                                  {{"PATH", "/usr/bin:/bin"}, {"MOPET_PROCESS_TEST", "added value"}}, stub);
  EXPECT_EQ(withPath.output, stub + ":/usr/bin:/bin|added value");
  Outcome inherited = runCapturing("/bin/sh", {"-c", "printf '%s' \"$PATH\""}, {}, stub);
  EXPECT_EQ(inherited.output, Process::childSearchPath(stub, Settings::current().inheritedPath));

  // The stub wins over the real program of the same name.
  folder.script("id", "echo stub-id\n");
  EXPECT_EQ(runCapturing("/usr/bin/env", {"id"}, {}, stub).output, "stub-id\n");
  EXPECT_EQ(runCapturing("/bin/zsh", {"-c", "id"}, {}, stub).output, "stub-id\n");
}

TEST(ProcessTest, LargeOutputDoesNotBlockTheWait) {
  constexpr std::size_t size = 3 * 1024 * 1024 + 17;  // far more than a pipe holds
  Process process;
  process.executablePath = "/bin/sh";
  process.arguments = {"-c", "head -c " + std::to_string(size) + " /dev/zero; head -c 1000 /dev/zero >&2"};
  Pipe pipe;
  process.standardOutput = pipe;
  process.standardError = pipe;
  ASSERT_TRUE(process.run());
  ASSERT_TRUE(process.waitUntilExit(20s)) << "the child blocked on a full pipe";
  EXPECT_EQ(process.terminationStatus(), 0);
  EXPECT_EQ(pipe.fileHandleForReading().readDataToEndOfFile().size(), size + 1000);
}

TEST(ProcessTest, OnlyTheStandardStreamsReachTheChild) {
  // A descriptor of the agent without close-on-exec must not leak into children.
  const int leaky = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 0);
  Outcome outcome = runCapturing("/bin/ls", {"/proc/self/fd"});
  ::close(leaky);
  std::set<std::string> fds;
  std::istringstream lines(outcome.output);
  for (std::string line; std::getline(lines, line);) fds.insert(line);
  // 0-2 and the descriptor ls itself opens to read the folder.
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2", "3"})) << outcome.output;
}

TEST(ProcessTest, ExitedChildIsReapedWithoutAWait) {
  Process process;
  process.executablePath = "/bin/true";
  ASSERT_TRUE(process.run());
  const std::string proc = "/proc/" + std::to_string(process.processIdentifier());
  // No waitUntilExit: the background reaper collects it, so no zombie stays.
  EXPECT_TRUE(eventually([&] { return !fs::exists(proc); })) << "a zombie stayed behind";
  EXPECT_TRUE(eventually([&] { return !process.isRunning(); }));
  EXPECT_EQ(process.terminationStatus(), 0);
}

TEST(ProcessTest, TerminateEndsTheChild) {
  Process process;
  process.executablePath = "/bin/sleep";
  process.arguments = {"30"};
  ASSERT_TRUE(process.run());
  EXPECT_TRUE(process.isRunning());
  EXPECT_FALSE(process.waitUntilExit(20ms));
  ASSERT_TRUE(process.terminate());
  ASSERT_TRUE(process.waitUntilExit(10s));
  EXPECT_EQ(process.terminationReason(), TerminationReason::uncaughtSignal);
  EXPECT_EQ(process.terminationStatus(), SIGTERM);
  EXPECT_FALSE(process.terminate());  // gone: nothing more is sent
}

TEST(ProcessTest, WritingToAChildThatStoppedReadingFailsWithoutSigpipe) {
  Process process;
  process.executablePath = "/bin/true";
  Pipe input;
  process.standardInput = input;
  ASSERT_TRUE(process.run());
  process.waitUntilExit();
  auto written = input.fileHandleForWriting().write(std::string("password\n"));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().code, EPIPE);
  // Still alive, and the handle can be closed as usual.
  EXPECT_TRUE(input.fileHandleForWriting().close());
  EXPECT_TRUE(input.fileHandleForWriting().close());
}

// A write with a limit: a child that reads takes all of it, one that never reads (or
// stops) ends the write at the limit with ETIMEDOUT, not at the child's end.
TEST(ProcessTest, AWriteWithALimitEndsThereWhenTheChildDoesNotRead) {
  const Data text(std::size_t{1} << 20, 'x');  // far more than a pipe holds
  struct Case {
    std::string name;
    std::string script;
    std::optional<int> error;  // none: written whole
  } cases[] = {
      {"reads everything", "wc -c", std::nullopt},
      {"never reads", "exec sleep 30", ETIMEDOUT},
      {"stops itself", "kill -STOP $$", ETIMEDOUT},
  };
  for (const auto& c : cases) {
    Process process;
    process.executablePath = "/bin/sh";
    process.arguments = {"-c", c.script};
    Pipe input;
    Pipe output;
    process.standardInput = input;
    process.standardOutput = output;
    ASSERT_TRUE(process.run()) << c.name;
    auto written = input.fileHandleForWriting().write(text, 300ms);
    EXPECT_EQ(written ? std::nullopt : std::optional<int>(written.error().code), c.error) << c.name;
    EXPECT_TRUE(input.fileHandleForWriting().close());
    if (!c.error) {
      EXPECT_EQ(toString(output.fileHandleForReading().readDataToEndOfFile()), std::to_string(text.size()) + "\n");
    } else {
      EXPECT_TRUE(process.sendSignal(SIGKILL)) << c.name;
    }
    process.waitUntilExit();
  }
}

TEST(ProcessTest, ReadabilityHandlerStopsAndReadingGoesOn) {
  // cat echoes what we write; the handler sees the first part, then is removed; the
  // rest is read afterwards with readDataToEndOfFile.
  Process process;
  process.executablePath = "/bin/cat";
  Pipe input;
  Pipe output;
  process.standardInput = input;
  process.standardOutput = output;
  ASSERT_TRUE(process.run());

  std::mutex mutex;
  std::string seen;
  std::atomic<int> calls{0};
  output.fileHandleForReading().setReadabilityHandler([&](const Data& chunk) {
    std::lock_guard lock(mutex);
    ++calls;
    seen += toString(chunk);
  });
  ASSERT_TRUE(input.fileHandleForWriting().write(std::string("first")));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return seen == "first";
  }));
  output.fileHandleForReading().setReadabilityHandler(nullptr);
  const int callsAtStop = calls.load();

  ASSERT_TRUE(input.fileHandleForWriting().write(std::string("second")));
  ASSERT_TRUE(input.fileHandleForWriting().close());
  EXPECT_EQ(toString(output.fileHandleForReading().readDataToEndOfFile()), "second");
  process.waitUntilExit();
  EXPECT_EQ(calls.load(), callsAtStop);
  EXPECT_FALSE(output.fileHandleForReading().waitForReadabilityEnd(0ms));
}

TEST(ProcessTest, CloseInterruptsABlockedRead) {
  Pipe pipe;
  std::thread reader([&] { EXPECT_TRUE(pipe.fileHandleForReading().readDataToEndOfFile().empty()); });
  std::this_thread::sleep_for(20ms);  // let the reader block (the test holds either way)
  EXPECT_TRUE(pipe.fileHandleForReading().close());
  reader.join();
  EXPECT_FALSE(pipe.fileHandleForReading().isValid());
}

TEST(ProcessTest, HandlerKeepsRunningAfterThePipeObjectsAreGone) {
  // As the runner does: the handler is installed, the pipe and the process go out of
  // scope, and the output still arrives in full.
  auto state = std::make_shared<std::pair<std::mutex, std::string>>();
  auto ended = std::make_shared<std::atomic<bool>>(false);
  {
    Process process;
    process.executablePath = "/bin/sh";
    process.arguments = {"-c", "printf early; sleep 0.2; printf late"};
    Pipe output;
    process.standardOutput = output;
    ASSERT_TRUE(process.run());
    output.fileHandleForReading().setReadabilityHandler([state, ended](const Data& chunk) {
      if (chunk.empty()) {
        ended->store(true);
        return;
      }
      std::lock_guard lock(state->first);
      state->second += toString(chunk);
    });
  }
  ASSERT_TRUE(eventually([&] { return ended->load(); }));
  std::lock_guard lock(state->first);
  EXPECT_EQ(state->second, "earlylate");
}

TEST(ProcessTest, SendSignalReachesOnlyTheAddressedProcess) {
  // Signal 0 only checks; pids 0 and -1 would address a process group or everything.
  EXPECT_FALSE(sendSignal(0, 0));
  EXPECT_FALSE(sendSignal(-1, 0));
  Process child;
  child.executablePath = "/bin/sleep";
  child.arguments = {"30"};
  ASSERT_TRUE(child.run());
  EXPECT_TRUE(sendSignal(child.processIdentifier(), 0));
  EXPECT_TRUE(sendSignal(child.processIdentifier(), SIGKILL));
  ASSERT_TRUE(child.waitUntilExit(10s));
  EXPECT_EQ(child.terminationStatus(), SIGKILL);
  EXPECT_FALSE(child.sendSignal(SIGKILL));  // reaped: the pid is no longer ours
}

}  // namespace
}  // namespace platform
