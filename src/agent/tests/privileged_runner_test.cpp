// The agent's command runners on their own: the privileged runner against a stub sudo
// (token, password, input, output, the DNS flush line), the shell runner and the host
// lookup.
#include "agent/privileged_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>

#include "agent/tests/support/agent_fixture.h"
#include "agent/tests/support/printed.h"
#include "platform/fakes/capturing_log_sink.h"

namespace {

using agenttest::AgentFixture;
using ::testing::HasSubstr;
using ::testing::Not;

// The fixture's temporary HOME and stub tools; the runner needs nothing of the platform.
class Runner : public AgentFixture {
 protected:
  agent::PrivilegedRunner runner_{settings_.childPath};
};

TEST_F(Runner, StartsNothingWithoutAStoredToken) {
  storePassword("pw");
  platform::CapturedOutput captured;
  runner_.run("touch " + (home_.path() / "x").string());
  EXPECT_THAT(captured.take(), ::testing::IsEmpty());
  EXPECT_TRUE(tools_.calls().empty());
  EXPECT_FALSE(std::filesystem::exists(home_.path() / "x"));
}

TEST_F(Runner, OutputThatIsNotUTF8IsReportedAsSuch) {
  storeToken();
  storePassword("pw");
  platform::CapturedOutput captured;
  runner_.run("printf '\\377\\376abc'");
  std::string out = agenttest::printedText(captured.take());
  EXPECT_THAT(out, HasSubstr("read 5\n<UTF8 conversion failed>\n"));
}

TEST_F(Runner, ErrorOutputArrivesThroughTheSamePipeAndAMissingPasswordIsAnEmptyLine) {
  storeToken();
  platform::CapturedOutput captured;
  runner_.run("echo oops >&2; exit 3");
  std::string out = agenttest::printedText(captured.take());
  EXPECT_THAT(out, HasSubstr("oops"));
  EXPECT_THAT(out, HasSubstr("Process did exit"));
  ASSERT_EQ(tools_.calls().size(), 1u);
  EXPECT_EQ(tools_.calls()[0].standardInput, "\n");
}

class DnsFlush : public Runner {};

// The flush as the resolvers of a machine answer it: what runs is flushed, what does
// not is passed over without a word.
TEST_F(DnsFlush, FlushesWhicheverResolverRunsAndIsQuietWhereNoneDoes) {
  storeToken();
  storePassword("pw");
  const std::string resolvedRuns = "exit 0\n";
  const std::string resolvedDown =
      "if [ \"$1\" = status ]; then echo 'Failed to get global data: Unit dbus-org.freedesktop.resolve1.service "
      "not found.' >&2; exit 1; fi\nexit 0\n";
  const std::string nscdRuns = "exit 0\n";
  const std::string nscdDown = "echo 'nscd: nscd not running!' >&2; exit 1\n";
  const std::string resolvedRefuses =
      "if [ \"$1\" = flush-caches ]; then echo 'Failed to flush caches: Access denied' >&2; exit 1; fi\nexit 0\n";
  using Calls = std::vector<std::vector<std::string>>;
  struct Case {
    std::string name;
    std::string resolved;
    std::string nscd;
    Calls resolvectlCalls;
    Calls nscdCalls;
    std::string printed;  // empty: nothing at all
  } cases[] = {
      {"systemd-resolved", resolvedRuns, nscdDown, {{"status"}, {"flush-caches"}}, {{"--statistics"}}, ""},
      {"nscd", resolvedDown, nscdRuns, {{"status"}}, {{"--statistics"}, {"--invalidate=hosts"}}, ""},
      {"both", resolvedRuns, nscdRuns, {{"status"}, {"flush-caches"}}, {{"--statistics"}, {"--invalidate=hosts"}}, ""},
      {"none", resolvedDown, nscdDown, {{"status"}}, {{"--statistics"}}, ""},
      {"a refused flush",
       resolvedRefuses,
       nscdDown,
       {{"status"}, {"flush-caches"}},
       {{"--statistics"}},
       "Failed to flush caches: Access denied"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(tools_.binFolder() / "log" / "resolvectl");
    std::filesystem::remove_all(tools_.binFolder() / "log" / "nscd");
    tools_.recordingStub("resolvectl", c.resolved);
    tools_.recordingStub("nscd", c.nscd);
    platform::CapturedOutput captured;
    runner_.run(agent::kFlushDnsCacheCommand);
    std::string out = agenttest::printedText(captured.take());
    auto arguments = [&](const std::string& tool) {
      Calls calls;
      for (const auto& call : tools_.calls(tool)) calls.push_back(call.arguments);
      return calls;
    };
    EXPECT_EQ(arguments("resolvectl"), c.resolvectlCalls) << c.name;
    EXPECT_EQ(arguments("nscd"), c.nscdCalls) << c.name;
    if (c.printed.empty()) EXPECT_EQ(out, "Process did exit\n") << c.name;
    else EXPECT_THAT(out, HasSubstr(c.printed)) << c.name;
  }
}

TEST_F(Runner, TheShellReturnsOutputWithErrorOutputAndTrailingLineFeed) {
  EXPECT_EQ(agent::shellOutput("echo one; echo two >&2", settings_.childPath), "one\ntwo\n");
  EXPECT_EQ(agent::shellOutput("printf x", settings_.childPath), "x");
  // Standard input is no handle: a reader gets end of file at once.
  EXPECT_EQ(agent::shellOutput("cat; echo end", settings_.childPath), "end\n");
}

TEST_F(Runner, HostLookupReturnsTheTokenAfterTheFirstHas) {
  // A stand-in for the host-lookup tool, first in the children's PATH.
  auto host = std::filesystem::path(tools_.childPath()) / "host";
  agenttest::writeFile(
      host,
      "#!/bin/bash\n"
      "case \"$1\" in\n"
      "  two.example) printf 'two.example has address 192.0.2.7\\ntwo.example has address 1.1.1.1\\n';;\n"
      "  tab.example) printf 'tab.example\\thas\\t192.0.2.8\\n';;\n"
      "  last.example) printf 'last.example has';;\n"
      "  bad.example) printf '\\377 has 1.2.3.4';;\n"
      "  *) printf 'Host %s not found: 3(NXDOMAIN)\\n' \"$1\";;\n"
      "esac\n");
  std::filesystem::permissions(host, std::filesystem::perms::owner_all);
  // The first answer line decides; the address ends with its line.
  EXPECT_EQ(agent::hostLookupAnswer("two.example", settings_.childPath), "192.0.2.7");
  EXPECT_EQ(agent::hostLookupAnswer("tab.example", settings_.childPath), "192.0.2.8");
  EXPECT_EQ(agent::hostLookupAnswer("last.example", settings_.childPath), std::nullopt);
  EXPECT_EQ(agent::hostLookupAnswer("bad.example", settings_.childPath), std::nullopt);
  EXPECT_EQ(agent::hostLookupAnswer("none.example", settings_.childPath), std::nullopt);
}

// A sudo held past the runner's deadline (stopped by the child's account, hanging, or
// deaf to the polite signal) is ended: what it wrote is printed, a line says why, and
// the run counts as ended. The stub is the sudo the runner starts, so the signals reach
// only the test's own children.
TEST_F(Runner, ASudoHeldPastTheDeadlineIsEndedWithItsOutputKept) {
  storeToken();
  storePassword("pw");
  agent::PrivilegedRunner runner(settings_.childPath, std::chrono::milliseconds(200));
  const auto pidFile = home_.path() / "sudo-pid";
  const std::string recordPid = "echo $$ > " + agent::shellQuoted(pidFile.string()) + "; ";
  struct Case {
    std::string name;
    std::string sudo;
  } cases[] = {
      {"stops itself", recordPid + "echo before; kill -STOP $$; echo after\n"},
      {"hangs", recordPid + "echo before; exec sleep 30\n"},
      {"ignores the polite signal", recordPid + "trap '' TERM; echo before; exec sleep 30\n"},
  };
  for (const auto& c : cases) {
    tools_.recordingStub("sudo", c.sudo);
    std::filesystem::remove(pidFile);
    platform::CapturedOutput captured;
    EXPECT_EQ(runner.run("echo ran"), agent::PrivilegedRunner::Outcome::ended) << c.name;
    const std::string out = agenttest::printedText(captured.take());
    EXPECT_THAT(out, HasSubstr("before\n")) << c.name;
    EXPECT_THAT(out, Not(HasSubstr("after"))) << c.name;
    EXPECT_THAT(out, HasSubstr("sudo did not end within 0.2 seconds and was ended; the command failed\n"
                               "Process did exit\n"))
        << c.name;
    // The stub is gone (a process of ours would still take signal 0).
    const pid_t pid = std::stoi(agenttest::readFile(pidFile));
    EXPECT_TRUE(agenttest::waitFor([&] { return ::kill(pid, 0) != 0; })) << c.name;
  }
  // A sudo that ends in time is no failure of the runner's, whatever its status.
  tools_.recordingStub("sudo", "exit 3\n");
  EXPECT_EQ(runner.run("echo ran"), agent::PrivilegedRunner::Outcome::exited);
}

// The input after the password reaches the command (as sudo -S leaves it), and the run
// tells the command's exit status.
TEST_F(Runner, InputAfterThePasswordReachesTheCommandAndItsStatusComesBack) {
  storeToken();
  storePassword("pw");
  const auto got = home_.path() / "got";
  struct Case {
    std::string name;
    std::string line;
    std::string input;
    int status;
  } cases[] = {
      {"a line", "cat > " + agent::shellQuoted(got.string()), "127.0.0.1\tblocked.example\n", 0},
      {"nothing", "cat > " + agent::shellQuoted(got.string()), "", 0},
      {"more than a pipe holds", "cat > " + agent::shellQuoted(got.string()), std::string(300000, 'x'), 0},
      {"a failing command", "cat > " + agent::shellQuoted(got.string()) + "; exit 3", "text\n", 3},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(got);
    platform::CapturedOutput quiet;
    const auto ran = runner_.runWithInput(c.line, c.input, std::chrono::seconds(5));
    EXPECT_EQ(ran.outcome, agent::PrivilegedRunner::Outcome::exited) << c.name;
    EXPECT_EQ(ran.status, c.status) << c.name;
    EXPECT_EQ(agenttest::readFile(got), c.input) << c.name;
    EXPECT_EQ(tools_.calls().back().standardInput, "pw\n" + c.input) << c.name;
  }
}

// A sudo that never reads its input (stopped, or waiting for something else) holds the
// write only until the deadline, and is ended there like any held sudo.
TEST_F(Runner, ASudoThatDoesNotReadItsInputIsEndedAtTheDeadline) {
  storeToken();
  storePassword("pw");
  const auto pidFile = home_.path() / "sudo-pid";
  tools_.recordingStub("sudo", "echo $$ > " + agent::shellQuoted(pidFile.string()) + "; exec sleep 30\n");
  platform::CapturedOutput captured;
  const auto ran =
      runner_.runWithInput("cat > /dev/null", std::string(std::size_t{4} << 20, 'x'), std::chrono::milliseconds(300));
  const std::string out = agenttest::printedText(captured.take());
  EXPECT_EQ(ran.outcome, agent::PrivilegedRunner::Outcome::ended);
  EXPECT_EQ(ran.status, -1);
  EXPECT_THAT(out, HasSubstr("sudo did not end within 0.3 seconds and was ended; the command failed\n"));
  const pid_t pid = std::stoi(agenttest::readFile(pidFile));
  EXPECT_TRUE(agenttest::waitFor([&] { return ::kill(pid, 0) != 0; }));
}

// sudo comes from the children's PATH folders (the test setting) when one holds an
// executable sudo, else from the system's folders.
TEST_F(Runner, SudoIsTakenFromTheSettingOrTheSystemsFolders) {
  const auto notExecutable = home_.path() / "plain";
  std::filesystem::create_directories(notExecutable);
  agenttest::writeFile(notExecutable / "sudo", "#!/bin/bash\n");
  std::optional<std::string> system;
  for (const char* folder : agent::kSystemToolFolders) {
    const std::string candidate = std::string(folder) + "/sudo";
    if (::access(candidate.c_str(), X_OK) == 0) {
      system = candidate;
      break;
    }
  }
  struct Case {
    std::string name;
    std::string childPath;
    std::optional<std::string> expected;
  } cases[] = {
      {"the setting's stub", notExecutable.string() + ":" + tools_.childPath(), tools_.childPath() + "/sudo"},
      {"no setting", "", system},
      {"a sudo that is not executable", notExecutable.string(), system},
  };
  for (const auto& c : cases) EXPECT_EQ(agent::sudoExecutable(c.childPath), c.expected) << c.name;
}

}  // namespace
