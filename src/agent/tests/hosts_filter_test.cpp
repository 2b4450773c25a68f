// The hosts filter: host names, the hosts-file text and writer, the staging path, and
// root's replacement of the hosts file (with the privileged runner, against a stub
// sudo); and the delegate's runner operation as the tick calls it.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "agent/app_delegate.h"
#include "agent/hosts_filter.h"
#include "agent/tests/support/agent_fixture.h"
#include "agent/tests/support/printed.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/process.h"
#include "platform/settings.h"
#include "support/held_replies.h"

namespace {

using agenttest::AgentFixture;
using agenttest::readFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(HostName, IsWrittenAsTheHostsFileCanHoldItOrRefused) {
  const std::string label63(63, 'a');
  const std::optional<std::string> refused;
  struct Case {
    std::string name;
    std::optional<std::string> written;
  } cases[] = {
      {"example.com", "example.com"},
      {"www.Example-1.co.UK", "www.Example-1.co.UK"},
      {"localhost", "localhost"},
      {"-example.com", "-example.com"},
      {"example-.com", "example-.com"},
      // Underscores, common in tracker hosts.
      {"_dmarc.example.com", "_dmarc.example.com"},
      {"ads_tracker.example.net", "ads_tracker.example.net"},
      // The root's dot is dropped; one more leaves an empty label.
      {"example.com.", "example.com"},
      {"example.com..", refused},
      {".", refused},
      // Internationalised names in their ASCII form.
      {"b\xC3\xBC"
       "cher.example",
       "xn--bcher-kva.example"},
      {"B\xC3\x9C"
       "CHER.example",
       "xn--bcher-kva.example"},
      {"tracker_x.b\xC3\xBC"
       "cher.example.",
       "tracker_x.xn--bcher-kva.example"},
      {"xn--bcher-kva.example", "xn--bcher-kva.example"},
      {"\xE4\xBE\x8B\xE3\x81\x88.\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88", "xn--r8jz45g.xn--zckzah"},
      // Labels of 1 to 63.
      {label63 + ".com", label63 + ".com"},
      {std::string(64, 'a') + ".com", refused},
      {"", refused},
      {".example.com", refused},
      {"exa..mple.com", refused},
      // Blanks, control characters, "#": they would end the name or the line.
      {"exa mple.com", refused},
      {"example.com\n127.0.0.1 bank.example", refused},
      {"example.com\tbank.example", refused},
      {"example.com\r", refused},
      {"example.com#comment", refused},
      {"exam\x7Fple.com", refused},
      {std::string("exa\0mple.com", 12), refused},
      // A no-break space is mapped to a blank by the conversion: still refused.
      {"exa\xC2\xA0mple.com", refused},
      {"b\xC3\xBC"
       "cher.example\n1.2.3.4 bank.example",
       refused},
      // Not UTF-8; other characters.
      {"b\xFC"
       "cher.example",
       refused},
      {"exam*ple.com", refused},
      {"exam/ple.com", refused},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(agent::hostsFileName(c.name), c.written) << c.name;
    EXPECT_EQ(agent::isValidHostName(c.name), c.written.has_value()) << c.name;
  }

  // 253 characters in all, no more, also with the trailing dot and in ASCII form.
  std::string name = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  ASSERT_EQ(name.size(), 253u);
  EXPECT_EQ(agent::hostsFileName(name), name);
  EXPECT_EQ(agent::hostsFileName(name + "."), name);
  EXPECT_FALSE(agent::hostsFileName(name + "b"));
  // 249 bytes as UTF-8; the ASCII form of the last label has 63 characters, 255 in all.
  const std::string longLabel = std::string(55, 'b') + "\xC3\xBC";
  ASSERT_EQ(agent::hostsFileName(longLabel + ".example").value_or("").find('.'), 63u);
  EXPECT_FALSE(agent::hostsFileName(label63 + "." + label63 + "." + label63 + "." + longLabel));
}

TEST(NeverSunk, TheServiceLocalhostAndAddressesInEveryForm) {
  const char* never[] = {
      "api.family.mopet.velmorhome.so",
      "API.School.Mopet.Velmorhome.so.",
      "localhost",
      "LocalHost.",
      "\xEF\xBC\xAC\xEF\xBC\xAF\xEF\xBC\xA3\xEF\xBC\xA1\xEF\xBC\xAC\xEF\xBD\x88ost",  // full-width "LOCALh" + "ost"
      "127.0.0.1",
      "1.2.3.4",
      "127.1",
      "0x7f000001",
      "2130706433",
      "10.0.0.1.",
      "::1",
      "2001:db8::1",
      "::ffff:127.0.0.1"};
  for (const char* name : never) EXPECT_TRUE(agent::isNeverSunk(name)) << name;
  const char* sinkable[] = {"games.example.com",
                            "www.mopet.velmorhome.so",
                            "family.mopet.velmorhome.so",
                            "x.api.family.mopet.velmorhome.so",
                            "localhost.example",
                            "1.2.3.4.5",
                            "1.2.3.com",
                            "bad host",
                            ""};
  for (const char* name : sinkable) EXPECT_FALSE(agent::isNeverSunk(name)) << name;
}

TEST(HostsFileText, IsAddressTabNameLineFeedPerEntry) {
  EXPECT_EQ(agent::hostsFileText(agent::defaultHostEntries()),
            "::1\tlocalhost\n"
            "127.0.0.1\tlocalhost\n"
            "255.255.255.255\tbroadcasthost\n"
            "127.0.0.1\twww.example.com\n"
            "127.0.0.1\texample.com\n"
            "127.0.0.1\twww.example.org\n");
  EXPECT_EQ(agent::hostsFileText({}), "");
}

TEST(ShellQuoting, SurvivesBashWordSplittingAndQuotes) {
  const std::string texts[] = {"/home/a b/Documents/hosts", "/home/o'neil/x", "$(touch pwned)", "a\"b\\c", ""};
  for (const auto& text : texts) {
    platform::Process echo;
    echo.executablePath = "/bin/bash";
    echo.arguments = {"-c", "printf '%s' " + agent::shellQuoted(text)};
    platform::Pipe pipe;
    echo.standardOutput = pipe;
    ASSERT_TRUE(echo.run());
    EXPECT_EQ(platform::toString(pipe.fileHandleForReading().readDataToEndOfFile()), text);
    echo.waitUntilExit();
  }
}

// The filter on its own, built with the fixture's file manager and a request runner
// over the fixture's canned session.
class HostsFile : public AgentFixture {
 protected:
  networks::NetworkManager requests_{session_};
  agent::HostsFilter filter_{files(), requests_};
};

TEST_F(HostsFile, SixDefaultEntriesAreWrittenByteForByte) {
  ASSERT_TRUE(filter_.writeHostsFile(filter_.defaults(), stagingPath()));
  EXPECT_EQ(readFile(stagingPath()), agent::hostsFileText(agent::defaultHostEntries()));
  EXPECT_THAT(filter_.hostList().get(), ::testing::ContainerEq(filter_.defaults()));
  // The delegate's properties are the filter's state under their old names.
  auto& d = delegate();
  EXPECT_THAT(d.g_input.get(), ::testing::ContainerEq(d.g_input_org));
  EXPECT_EQ(d.g_input_org, agent::defaultHostEntries());
}

TEST_F(HostsFile, InvalidNamesAreLeftOutAndDuplicatesKept) {
  agent::HostEntries entries = {{"localhost", "127.0.0.1"},
                                {"evil.example\n1.2.3.4\tbank.example", "127.0.0.1"},
                                {"blocked.example", "127.0.0.1"},
                                {"blocked.example", "127.0.0.1"},
                                {"", "127.0.0.1"}};
  platform::CapturedOutput captured;
  ASSERT_TRUE(filter_.writeHostsFile(entries, stagingPath()));
  std::string out = agenttest::printedText(captured.take());
  EXPECT_EQ(readFile(stagingPath()), "127.0.0.1\tlocalhost\n127.0.0.1\tblocked.example\n127.0.0.1\tblocked.example\n");
  EXPECT_THAT(out, HasSubstr("Hosts file created successfully at " + stagingPath()));
  EXPECT_THAT(out, HasSubstr("not a valid host name"));
}

TEST_F(HostsFile, AFailedWriteIsReportedAndReturned) {
  platform::CapturedOutput captured;
  auto written = filter_.writeHostsFile(agent::defaultHostEntries(), (home_.path() / "missing" / "hosts").string());
  std::string out = agenttest::printedText(captured.take());
  EXPECT_FALSE(written);
  EXPECT_THAT(out, HasSubstr("Failed to create hosts file: "));
}

TEST_F(HostsFile, StagingPathIsTheDocumentsFolderAsOnDisk) {
  auto& d = filter_;
  EXPECT_EQ(d.documentsDirectoryURL(), "file://" + (home_.path() / "Documents").string() + "/");
  EXPECT_EQ(d.stagingPath(), stagingPath());

  // A home whose name holds a blank and a quote: the URL escapes the blank, the
  // staging path is still the real folder.
  auto odd = home_.path() / "o'neil home";
  std::filesystem::create_directories(odd / "Documents");
  // The folders are those of the file manager's home.
  useFolders([&](platform::Settings& settings) { settings.homeDirectory = odd.string(); });
  agent::HostsFilter oddFilter(files(), requests_);
  EXPECT_THAT(oddFilter.documentsDirectoryURL(), HasSubstr("o'neil%20home/Documents/"));
  EXPECT_EQ(oddFilter.stagingPath(), (odd / "Documents" / "hosts").string());
}

TEST_F(HostsFile, RemoveFileReportsBothOutcomes) {
  agenttest::writeFile(stagingPath(), "x");
  platform::CapturedOutput captured;
  filter_.removeFile(stagingPath());
  filter_.removeFile(stagingPath());
  std::string out = agenttest::printedText(captured.take());
  EXPECT_FALSE(std::filesystem::exists(stagingPath()));
  EXPECT_THAT(out, HasSubstr("File removed successfully.\n"));
  EXPECT_THAT(out, HasSubstr("Error removing file: "));
}

// The privileged replacement against a staging path that the child's account changes
// between the agent's write and root's command (the stub sudo runs the change first).
// The web-rule replies, each held until the test answers it: a reply to an older request
// that lands after a newer one never brings the older rule set back.
class WebRuleReplies : public AgentFixture {
 protected:
  WebRuleReplies() { testsupport::HeldReplies::shared().reset(); }
  static platform::URLSessionConfiguration heldConfiguration() {
    platform::URLSessionConfiguration configuration;
    configuration.protocolClasses.push_back(testsupport::HeldReplies::protocolClass());
    return configuration;
  }
  static std::string blocking(const std::string& domain) {
    return R"({"exceptions":[{"domain":")" + domain + R"(","rule":{"is_blocked":true}}]})";
  }
  std::vector<std::string> blockedNames() {
    std::vector<std::string> names;
    const auto entries = filter_.hostList().get();
    for (std::size_t i = agent::defaultHostEntries().size(); i < entries.size(); ++i) names.push_back(entries[i].first);
    return names;
  }
  void answer(std::size_t index, int status, const std::string& body) {
    ASSERT_TRUE(testsupport::HeldReplies::shared().answerAndWait(heldSession_, index, status, body));
  }
  // Sends two web-rule requests and answers them in the order given.
  using Answer = std::pair<std::size_t, std::pair<int, std::string>>;
  void twoReplies(const Answer& first, const Answer& second) {
    testsupport::HeldReplies::shared().reset();
    filter_.requestWebRules();
    filter_.requestWebRules();
    ASSERT_TRUE(testsupport::HeldReplies::shared().waitForCount(2));
    answer(first.first, first.second.first, first.second.second);
    answer(second.first, second.second.first, second.second.second);
  }

  platform::URLSession heldSession_{heldConfiguration()};
  networks::NetworkManager requests_{heldSession_};
  agent::HostsFilter filter_{files(), requests_};
};

TEST_F(WebRuleReplies, AnOlderReplyLandingLastIsDropped) {
  storeToken();
  platform::CapturedOutput captured;
  // The newer request's rule set first, then the older one's: the newer stays.
  twoReplies({1, {200, blocking("newer.example")}}, {0, {200, blocking("older.example")}});
  EXPECT_EQ(blockedNames(), std::vector<std::string>{"newer.example"});
  EXPECT_THAT(agenttest::printedText(captured.take()),
              HasSubstr("Keeping the blocked domains: a newer web-rule reply is in force\n"));
  // Only a reply that was applied counts: after a newer one that failed, an older rule
  // set is still the newest that arrived whole.
  twoReplies({1, {500, blocking("failed.example")}}, {0, {200, blocking("late.example")}});
  EXPECT_EQ(blockedNames(), std::vector<std::string>{"late.example"});
  // In their own order both apply, the later last.
  twoReplies({0, {200, blocking("first.example")}}, {1, {200, blocking("second.example")}});
  EXPECT_EQ(blockedNames(), std::vector<std::string>{"second.example"});
  EXPECT_THAT(agenttest::printedText(captured.take()), Not(HasSubstr("a newer web-rule reply is in force")));
}

class Replacement : public AgentFixture {
 protected:
  void SetUp() override {
    // A root line that waits on something fails here in seconds, not at the real deadline.
    settings_.privilegedCommandDeadline = std::chrono::seconds(3);
    storeToken();
    storePassword("pw");
    agenttest::writeFile(victim(), "secret\n");
    std::filesystem::permissions(victim(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  std::string victim() const { return (home_.path() / "victim").string(); }
  // Root's copy beside the target while it is checked.
  std::string rootCopy() const {
    return (std::filesystem::path(hostsTarget()).parent_path() / (".mopet-hosts-" + std::to_string(::getuid())))
        .string();
  }
  // Writes the staging file as the tick does.
  void stage() {
    agent::HostEntries entries = agent::defaultHostEntries();
    entries.emplace_back("blocked.example", "127.0.0.1");
    auto text = delegate().createHostsFile(entries, stagingPath());
    EXPECT_TRUE(text);
    written_ = text.value_or("");
  }
  // Runs root's line for the staging file, with `swap` run first.
  std::string runRootLine(const std::string& swap = "") {
    platform::CapturedOutput captured;
    if (!swap.empty()) tools_.beforeNextSudo(swap);
    delegate().runScriptThatNeedsSudo(
        agent::hostsReplacementCommand(stagingPath(), hostsTarget(), written_, ::getuid()));
    return agenttest::printedText(captured.take());
  }
  std::string replace(const std::string& swap = "") {
    {
      platform::CapturedOutput quiet;
      stage();
    }
    return runRootLine(swap);
  }
  std::string written_;
};

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(Replacement, TheAgentsTextBecomesANewFileWithMode644) {
  // The inode the agent wrote, as a descriptor kept open on it would see it.
  const auto inodeFile = home_.path() / "staged-inode";
  std::string out = replace("stat -c %i " + agent::shellQuoted(stagingPath()) + " > " +
                            agent::shellQuoted(inodeFile.string()) + "\n");
  EXPECT_EQ(readFile(hostsTarget()), written_);
  EXPECT_THAT(written_, HasSubstr("127.0.0.1\tblocked.example\n"));
  EXPECT_EQ(modeOf(hostsTarget()), 0644u);
  struct stat info {};
  ASSERT_EQ(::stat(hostsTarget().c_str(), &info), 0);
  EXPECT_NE(std::to_string(info.st_ino) + "\n", readFile(inodeFile));
  EXPECT_FALSE(std::filesystem::exists(stagingPath()));
  EXPECT_FALSE(std::filesystem::exists(rootCopy()));
  EXPECT_THAT(out, Not(HasSubstr("not replaced")));
  // A target of the user's own stays the user's (the system's file would be root's).
  ASSERT_EQ(tools_.calls("chown").size(), 1u);
  EXPECT_THAT(tools_.calls("chown")[0].arguments,
              ElementsAre("-h", std::to_string(::getuid()), ".mopet-hosts-" + std::to_string(::getuid())));
}

TEST_F(Replacement, ASwappedStagingFileLeavesTheHostsFileAndWhatItNamesAlone) {
  const std::string staging = agent::shellQuoted(stagingPath());
  const std::string copy = agent::shellQuoted((home_.path() / "copy").string());
  struct Case {
    std::string name;
    std::string swap;
    std::string printed;
  } cases[] = {
      {"symbolic link", "ln -sfn " + agent::shellQuoted(victim()) + " " + staging,
       "the staging file is not a plain file with one link"},
      // A hard link that even holds the agent's text: the other name could change it.
      {"hard link", "cp " + staging + " " + copy + " && rm " + staging + " && ln " + copy + " " + staging,
       "the staging file is not a plain file with one link"},
      {"foreign plain file", "printf '6.6.6.6\\tbank.example.com\\n' > " + copy + " && mv " + copy + " " + staging,
       "the staging file does not hold the text the agent wrote"},
      {"the agent's text with one byte changed",
       "printf X | dd of=" + staging + " bs=1 seek=3 conv=notrunc status=none",
       "the staging file does not hold the text the agent wrote"},
      {"the agent's text and one line more", "printf '6.6.6.6\\tbank.example.com\\n' >> " + staging,
       "the staging file is larger than the text the agent wrote"},
      // Nothing of it is read or copied: only its size is looked at.
      {"a sparse file of 3 GiB", "rm " + staging + " && truncate -s 3G " + staging,
       "the staging file is larger than the text the agent wrote"},
      {"a named pipe", "rm " + staging + " && mkfifo " + staging, "the staging file is not a plain file with one link"},
      // A writer holds the pipe open without writing: a read would wait; root does not
      // even open it.
      {"a named pipe with a writer",
       "rm " + staging + " && mkfifo " + staging + " && { sleep 2 1<> " + staging + " 2>/dev/null </dev/null & }",
       "the staging file is not a plain file with one link"},
      {"a folder", "rm " + staging + " && mkdir " + staging + " && touch " + staging + "/x",
       "the staging file is not a plain file with one link"},
      {"gone", "rm " + staging, "Hosts file not replaced: no staging file"},
  };
  const unsigned targetMode = modeOf(hostsTarget());
  for (const auto& c : cases) {
    std::string out = replace(c.swap);
    EXPECT_THAT(out, HasSubstr(c.printed)) << c.name;
    EXPECT_THAT(out, Not(HasSubstr("did not end"))) << c.name;
    EXPECT_EQ(readFile(hostsTarget()), "# the machine's hosts file\n") << c.name;
    EXPECT_EQ(modeOf(hostsTarget()), targetMode) << c.name;
    EXPECT_EQ(readFile(victim()), "secret\n") << c.name;
    EXPECT_EQ(modeOf(victim()), 0600u) << c.name;
    EXPECT_FALSE(std::filesystem::exists(rootCopy())) << c.name;
    EXPECT_TRUE(tools_.calls("chown").empty()) << c.name;
    std::filesystem::remove_all(stagingPath());
    std::filesystem::remove(home_.path() / "copy");
  }
}

// A write lease that the child's account holds on the staging file: opening the file
// would wait for the kernel's lease-break time; root's read fails at once instead.
TEST_F(Replacement, ALeaseOnTheStagingFileIsNotWaitedFor) {
  {
    platform::CapturedOutput quiet;
    stage();
  }
  const int fd = ::open(stagingPath().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  // The lease break is announced with a signal that is ignored by default.
  ASSERT_EQ(::fcntl(fd, F_SETSIG, SIGURG), 0);
  if (::fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
    ::close(fd);
    GTEST_SKIP() << "this file system takes no leases";
  }
  std::string out = runRootLine();
  ::close(fd);
  EXPECT_THAT(out, HasSubstr("Hosts file not replaced: the staging file could not be read at once"));
  EXPECT_THAT(out, Not(HasSubstr("did not end")));
  EXPECT_EQ(readFile(hostsTarget()), "# the machine's hosts file\n");
  EXPECT_FALSE(std::filesystem::exists(rootCopy()));
}

TEST_F(Replacement, AStagingFolderOfSomeoneElseIsNotEntered) {
  // Documents becomes a link to a folder that is not the user's, holding a "hosts".
  auto foreign = home_.path() / "foreign";
  std::string owner;
  if (::getuid() == 0) {
    std::filesystem::create_directories(foreign);
    agenttest::writeFile(foreign / "hosts", "theirs\n");
    ASSERT_EQ(::chown(foreign.c_str(), 54321, 54321), 0);
  } else {
    foreign = "/";  // root's; nothing named "hosts" is in it, and nothing is moved
  }
  const std::string documents = agent::shellQuoted((home_.path() / "Documents").string());
  std::string out =
      replace("rm -rf " + documents + " && ln -s " + agent::shellQuoted(foreign.string()) + " " + documents + "\n");
  EXPECT_THAT(out, HasSubstr("Hosts file not replaced: the staging folder belongs to someone else"));
  EXPECT_EQ(readFile(hostsTarget()), "# the machine's hosts file\n");
  if (::getuid() == 0) {
    EXPECT_EQ(readFile(foreign / "hosts"), "theirs\n");
  }
  EXPECT_FALSE(std::filesystem::exists(rootCopy()));
}

// Root replaces only the system's hosts file or a regular file of the user's own:
// whatever else the target names is left as it was, with a printed line.
TEST_F(Replacement, ATargetThatIsNotAHostsFileOfTheUsersIsRefused) {
  const auto folder = home_.path() / "targets";
  std::filesystem::create_directories(folder);
  // A file of someone else's: made so where the test may, else one of root's that no
  // one can write (the refusal comes before anything is tried).
  std::string foreign = (folder / "theirs").string();
  if (::getuid() == 0) {
    agenttest::writeFile(foreign, "theirs\n");
    ASSERT_EQ(::chown(foreign.c_str(), 54321, 54321), 0);
  } else {
    foreign = "/proc/version";
  }
  const std::string link = (folder / "link").string();
  std::filesystem::create_symlink(victim(), link);
  const std::string fifo = (folder / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string name;
    std::string target;
    std::string printed;
  } cases[] = {
      {"a file of someone else", foreign,
       "the target is neither the system's hosts file nor a regular file of the agent's user"},
      {"a link to a file of the user's", link,
       "the target is neither the system's hosts file nor a regular file of the agent's user"},
      {"a named pipe", fifo, "the target is neither the system's hosts file nor a regular file of the agent's user"},
      {"missing", (folder / "missing").string(),
       "the target is neither the system's hosts file nor a regular file of the agent's user"},
      {"a folder", folder.string(), "the target is a folder"},
  };
  for (const auto& c : cases) {
    {
      platform::CapturedOutput quiet;
      stage();
    }
    platform::CapturedOutput captured;
    delegate().runScriptThatNeedsSudo(agent::hostsReplacementCommand(stagingPath(), c.target, written_, ::getuid()));
    const std::string out = agenttest::printedText(captured.take());
    EXPECT_THAT(out, HasSubstr("Hosts file not replaced: " + c.printed)) << c.name;
    EXPECT_EQ(readFile(victim()), "secret\n") << c.name;
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << c.name;
    EXPECT_FALSE(std::filesystem::exists(folder / "missing")) << c.name;
    EXPECT_FALSE(std::filesystem::exists(folder / (".mopet-hosts-" + std::to_string(::getuid())))) << c.name;
    // The staging file is not even looked at.
    EXPECT_EQ(readFile(stagingPath()), written_) << c.name;
  }
  if (::getuid() == 0) {
    EXPECT_EQ(readFile(foreign), "theirs\n");
  }
  EXPECT_TRUE(tools_.calls("chown").empty());
}

TEST_F(Replacement, AHostsPathThatIsAFolderIsAFailure) {
  std::filesystem::remove(hostsTarget());
  std::filesystem::create_directories(hostsTarget());
  std::string out = replace();
  EXPECT_THAT(out, HasSubstr("Hosts file not replaced: the target is a folder"));
  EXPECT_TRUE(std::filesystem::is_empty(hostsTarget()));
}

class Runner : public AgentFixture {};

TEST_F(Runner, HandsTheCommandLineToSudoWithThePasswordOnStandardInput) {
  storeToken();
  storePassword("s3cret pass");
  auto marker = home_.path() / "ran";
  std::string line = "echo hello > " + agent::shellQuoted(marker.string()) + " && echo done";
  platform::CapturedOutput captured;
  EXPECT_EQ(delegate().runScriptThatNeedsSudo(line), "");
  std::string out = agenttest::printedText(captured.take());

  auto calls = tools_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_THAT(calls[0].arguments, ElementsAre("-S", "/bin/bash", "-c", line));
  EXPECT_EQ(calls[0].standardInput, "s3cret pass\n");
  // The command ran before the runner returned, and its output was printed first.
  EXPECT_EQ(readFile(marker), "hello\n");
  EXPECT_THAT(out, HasSubstr("read 5\ndone\n"));
  EXPECT_THAT(out, HasSubstr("Process did exit\n"));
  EXPECT_LT(out.find("done"), out.find("Process did exit"));
}

}  // namespace
