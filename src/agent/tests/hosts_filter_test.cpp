// The hosts filter: host names, the hosts-file text and writer, the staging path, and
// the replacement of the hosts file (root's, with the privileged runner against a stub
// sudo, and the agent's own); and the delegate's runner operation as the tick calls it.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>

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

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

ino_t inodeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Opens and reads of watched files and folders, as the kernel reports them (inotify):
// what touched them between two looks, whoever did it.
class OpenWatch {
 public:
  OpenWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~OpenWatch() { ::close(fd_); }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;
  // A file (its inode, under every name it has), or the entries of a folder.
  bool watch(const std::string& path) { return ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_ACCESS) >= 0; }
  // The names opened or read since the last look ("" for a watched file itself; the
  // folder's own listing is left out).
  std::vector<std::string> take() {
    std::vector<std::string> names;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t length; (length = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        const bool folderItself = event->len == 0 && (event->mask & IN_ISDIR) != 0;
        if (!folderItself) names.emplace_back(event->len > 0 ? event->name : "");
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return names;
  }

 private:
  int fd_;
};

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

// The tick's replacement of the hosts file. The fixture's target stands in for the
// system's hosts file (Settings::systemHostsFile), so it goes through the stub sudo,
// whose command gets what follows the password line on its input, as sudo -S does.
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
  // The new copy beside `target` while it is checked.
  static std::string copyBeside(const std::string& target) {
    return (std::filesystem::path(target).parent_path() / (".mopet-hosts-" + std::to_string(::getuid()))).string();
  }
  // Writes the staging file as the tick does.
  void stage() {
    platform::CapturedOutput quiet;
    agent::HostEntries entries = agent::defaultHostEntries();
    entries.emplace_back("blocked.example", "127.0.0.1");
    auto text = delegate().createHostsFile(entries, stagingPath());
    EXPECT_TRUE(text);
    written_ = text.value_or("");
  }
  // The tick's replacement of `target` with the staged text; what it printed.
  std::string replace(const std::string& target, agent::HostsReplacement* how = nullptr) {
    platform::CapturedOutput captured;
    const agent::PrivilegedRunner root(settings_.childPath, settings_.privilegedCommandDeadline);
    const auto done = filter_.replaceHostsFile(written_, target, settings_.systemHostsFile, root,
                                               settings_.privilegedCommandDeadline);
    if (how != nullptr) *how = done;
    return agenttest::printedText(captured.take());
  }
  // Root's line run with `input` after the password, as the replacement runs it.
  std::string runRootLine(const std::string& input) {
    platform::CapturedOutput captured;
    const agent::PrivilegedRunner root(settings_.childPath);
    root.runWithInput(agent::hostsReplacementCommand(hostsTarget(), written_, ::getuid()), input,
                      std::chrono::seconds(3));
    return agenttest::printedText(captured.take());
  }

  networks::NetworkManager requests_{session_};
  agent::HostsFilter filter_{files(), requests_};
  std::string written_;
};

TEST_F(Replacement, RootGetsTheTextOnItsInputAndTheNewFileTakesTheTargetsModeAndOwner) {
  ::chmod(hostsTarget().c_str(), 0640);
  const ino_t before = inodeOf(hostsTarget());
  stage();
  agent::HostsReplacement how{};
  const std::string out = replace(hostsTarget(), &how);
  EXPECT_EQ(how, agent::HostsReplacement::throughSudo);
  EXPECT_EQ(readFile(hostsTarget()), written_);
  EXPECT_THAT(written_, HasSubstr("127.0.0.1\tblocked.example\n"));
  EXPECT_EQ(modeOf(hostsTarget()), 0640u);
  EXPECT_NE(inodeOf(hostsTarget()), before);  // renamed into place, never written over
  EXPECT_FALSE(std::filesystem::exists(copyBeside(hostsTarget())));
  EXPECT_THAT(out, Not(HasSubstr("not replaced")));
  // The text came after the password; the line names no file of the child's.
  ASSERT_EQ(tools_.calls().size(), 1u);
  EXPECT_EQ(tools_.calls()[0].standardInput, "pw\n" + written_);
  EXPECT_THAT(tools_.sudoCommandLines()[0], Not(HasSubstr("Documents")));
  // The owner is the target's (root's, for the system's file).
  ASSERT_EQ(tools_.calls("chown").size(), 1u);
  EXPECT_THAT(tools_.calls("chown")[0].arguments,
              ElementsAre("--reference=./etc-hosts", "--", ".mopet-hosts-" + std::to_string(::getuid())));
  // The staging file goes once the target holds the text, as root took it before.
  EXPECT_FALSE(std::filesystem::exists(stagingPath()));
}

// Whatever the child's account makes of the staging file before root runs, root opens
// neither it nor what it names (the kernel reports every open), and the target gets the
// text the agent wrote.
TEST_F(Replacement, RootNeverOpensTheStagingFileWhateverItHasBecome) {
  const std::string staging = stagingPath();
  const std::string copy = (home_.path() / "copy").string();
  pid_t writer = 0;
  struct Case {
    std::string name;
    std::function<void()> swap;
  } cases[] = {
      {"left as written", [] {}},
      {"a symbolic link to another file", [&] { std::filesystem::create_symlink(victim(), staging); }},
      // With hard links allowed, the staging entry may become another file itself.
      {"a hard link of another file", [&] { std::filesystem::create_hard_link(victim(), staging); }},
      {"other text", [&] { agenttest::writeFile(staging, "6.6.6.6\tbank.example.com\n"); }},
      {"a named pipe with a writer that never writes",
       [&] {
         ASSERT_EQ(::mkfifo(staging.c_str(), 0600), 0);
         writer = ::fork();
         if (writer == 0) {
           const int fd = ::open(staging.c_str(), O_WRONLY);
           ::pause();
           ::_exit(fd < 0 ? 1 : 0);
         }
       }},
      {"gone", [] {}},
  };
  for (const auto& c : cases) {
    stage();
    agenttest::writeFile(hostsTarget(), "# the machine's hosts file\n");
    if (c.name != "left as written") std::filesystem::remove(staging);
    c.swap();
    OpenWatch watch;
    ASSERT_TRUE(watch.watch((home_.path() / "Documents").string())) << c.name;
    ASSERT_TRUE(watch.watch(victim())) << c.name;
    agent::HostsReplacement how{};
    const std::string out = replace(hostsTarget(), &how);
    EXPECT_EQ(how, agent::HostsReplacement::throughSudo) << c.name << out;
    EXPECT_EQ(readFile(hostsTarget()), written_) << c.name;
    EXPECT_THAT(watch.take(), ::testing::IsEmpty()) << c.name;
    EXPECT_EQ(readFile(victim()), "secret\n") << c.name;
    EXPECT_EQ(modeOf(victim()), 0600u) << c.name;
    if (writer > 0) {
      ::kill(writer, SIGKILL);
      ::waitpid(writer, nullptr, 0);
      writer = 0;
    }
    std::filesystem::remove(staging);
    std::filesystem::remove(copy);
  }
}

// Root takes only the agent's text: input that is not exactly it (the text changed,
// cut short, or with more before it than a password line) leaves the target as it was.
// Where sudo asks for no password the password line reaches the command too, and the
// text after it still goes in.
TEST_F(Replacement, RootTakesOnlyTheAgentsTextFromItsInput) {
  const std::string digestRefusal = "Hosts file not replaced: the text root was given is not the text the agent wrote";
  stage();
  std::string changed = written_;
  changed[3] = 'X';
  struct Case {
    std::string name;
    std::string input;
    std::string sudo;  // "": the fixture's, which reads the password line
    bool replaced;
  } cases[] = {
      {"the agent's text", written_, "", true},
      {"one byte changed", changed, "", false},
      {"cut short", written_.substr(0, written_.size() - 2), "", false},
      {"another line first", "6.6.6.6\tbank.example.com\n" + written_.substr(0, written_.size() - 10), "", false},
      {"more than a password line first", std::string(2000, 'x') + "\n" + written_.substr(0, 5), "", false},
      {"sudo asked for no password", written_, "shift\nexec \"$@\"\n", true},
  };
  for (const auto& c : cases) {
    agenttest::writeFile(hostsTarget(), "# the machine's hosts file\n");
    if (!c.sudo.empty()) tools_.recordingStub("sudo", c.sudo);
    const std::string out = runRootLine(c.input);
    EXPECT_EQ(readFile(hostsTarget()), c.replaced ? written_ : "# the machine's hosts file\n") << c.name;
    if (c.replaced) EXPECT_THAT(out, Not(HasSubstr("not replaced"))) << c.name;
    else EXPECT_THAT(out, HasSubstr(digestRefusal)) << c.name;
    EXPECT_FALSE(std::filesystem::exists(copyBeside(hostsTarget()))) << c.name;
  }
}

TEST_F(Replacement, ASystemHostsFileThatIsAFolderIsRefused) {
  std::filesystem::remove(hostsTarget());
  std::filesystem::create_directories(hostsTarget());
  stage();
  agent::HostsReplacement how{};
  const std::string out = replace(hostsTarget(), &how);
  EXPECT_EQ(how, agent::HostsReplacement::refused);
  EXPECT_THAT(out, HasSubstr("Hosts file not replaced: the target is a folder"));
  EXPECT_TRUE(std::filesystem::is_empty(hostsTarget()));
  EXPECT_TRUE(std::filesystem::exists(stagingPath()));  // kept: nothing was replaced
}

// A target that is not the system's hosts file is the user's own (the sandbox's and the
// tests' MOPET_HOSTS_FILE): the agent replaces it itself, with no sudo at all.
class UsersHostsFile : public Replacement {
 protected:
  void SetUp() override {
    Replacement::SetUp();
    settings_.systemHostsFile = (home_.path() / "system-hosts").string();
  }
};

TEST_F(UsersHostsFile, IsReplacedByTheAgentItselfAtomically) {
  ::chmod(hostsTarget().c_str(), 0640);
  stage();
  // A reader that opened the old file before keeps reading it whole: the new text goes
  // in by a rename, never by writing over the old file.
  const int reader = ::open(hostsTarget().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  agent::HostsReplacement how{};
  const std::string out = replace(hostsTarget(), &how);
  char old[64] = {};
  const ssize_t got = ::pread(reader, old, sizeof old - 1, 0);
  ::close(reader);
  EXPECT_EQ(how, agent::HostsReplacement::byTheAgent);
  EXPECT_EQ(std::string(old, got > 0 ? static_cast<std::size_t>(got) : 0), "# the machine's hosts file\n");
  EXPECT_EQ(readFile(hostsTarget()), written_);
  EXPECT_EQ(modeOf(hostsTarget()), 0640u);
  EXPECT_FALSE(std::filesystem::exists(copyBeside(hostsTarget())));
  EXPECT_THAT(out, Not(HasSubstr("not replaced")));
  EXPECT_THAT(tools_.calls(), ::testing::IsEmpty());
  EXPECT_TRUE(tools_.calls("chown").empty());
  EXPECT_FALSE(std::filesystem::exists(stagingPath()));
}

TEST_F(UsersHostsFile, NothingIsReplacedWithoutAPairedChild) {
  sharedSuite()->removeObject("sharedChildToken");
  stage();
  agent::HostsReplacement how{};
  replace(hostsTarget(), &how);
  EXPECT_EQ(how, agent::HostsReplacement::skipped);
  EXPECT_EQ(readFile(hostsTarget()), "# the machine's hosts file\n");
  EXPECT_TRUE(tools_.calls().empty());
}

// Only a regular file of the user's own is replaced: whatever else the target names is
// left as it was, with a printed line, and nothing goes through root.
TEST_F(UsersHostsFile, ATargetThatIsNotAFileOfTheUsersIsRefused) {
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
  const std::string neither = "the target is neither the system's hosts file nor a regular file of the agent's user";
  struct Case {
    std::string name;
    std::string target;
    std::string printed;
  } cases[] = {
      {"a file of someone else", foreign, neither},
      {"a link to a file of the user's", link, neither},
      {"a named pipe", fifo, neither},
      {"missing", (folder / "missing").string(), neither},
      {"a folder", folder.string(), "the target is a folder"},
      {"in a folder that does not exist", (folder / "none" / "hosts").string(), "the target's folder cannot be opened"},
  };
  for (const auto& c : cases) {
    stage();
    agent::HostsReplacement how{};
    const std::string out = replace(c.target, &how);
    EXPECT_EQ(how, agent::HostsReplacement::refused) << c.name;
    EXPECT_THAT(out, HasSubstr("Hosts file not replaced: " + c.printed)) << c.name;
    EXPECT_EQ(readFile(victim()), "secret\n") << c.name;
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << c.name;
    EXPECT_FALSE(std::filesystem::exists(folder / "missing")) << c.name;
    EXPECT_FALSE(std::filesystem::exists(folder / (".mopet-hosts-" + std::to_string(::getuid())))) << c.name;
    EXPECT_EQ(readFile(stagingPath()), written_) << c.name;  // kept: nothing was replaced
  }
  if (::getuid() == 0) {
    EXPECT_EQ(readFile(foreign), "theirs\n");
  }
  EXPECT_TRUE(tools_.calls().empty());
}

// A file of the user's in a folder the user cannot write is not root's to replace either.
TEST_F(UsersHostsFile, AFolderTheUserCannotWriteIsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes every folder";
  const auto folder = home_.path() / "locked";
  std::filesystem::create_directories(folder);
  const std::string target = (folder / "hosts").string();
  agenttest::writeFile(target, "# the machine's hosts file\n");
  ::chmod(folder.c_str(), 0500);
  stage();
  const std::string out = replace(target);
  ::chmod(folder.c_str(), 0700);
  EXPECT_THAT(out, HasSubstr("Hosts file not replaced: the new file cannot be written beside the target: "));
  EXPECT_EQ(readFile(target), "# the machine's hosts file\n");
  EXPECT_TRUE(tools_.calls().empty());
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
