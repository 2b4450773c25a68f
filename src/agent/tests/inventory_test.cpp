// The installed-application inventory against folder trees of desktop entries, with
// the scripting-tool stand-in (and a scripted one) in the children's PATH; the
// uncalled application-list sync and text-file writer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/app_delegate.h"
#include "agent/tests/fixtures/delegate_platform.h"
#include "agent/tests/support/printed.h"
#include "networks/shared_settings.h"
#include "networks/url_protocol_stub.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/file_manager.h"
#include "platform/settings.h"
#include "platform/user_defaults.h"
#include "support/held_replies.h"
#include "support/scoped_user_defaults.h"
#include "support/temp_files.h"

namespace agent {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
namespace fs = std::filesystem;

const std::string kTools = std::string(MOPET_SOURCE_DIR) + "/src/agent/tools";

void writeFile(const fs::path& path, const std::string& text, bool executable = false) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
  if (executable) fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
}

std::string desktopEntry(const std::string& nameLine, const std::string& exec = "Exec=true\n",
                         const std::string& extra = "") {
  return "[Desktop Entry]\nType=Application\n" + nameLine + exec + extra;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      out.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) out.push_back(line);
  return out;
}

// Keeps the requests the canned-response protocol sees (on the session's thread).
class RequestLog {
 public:
  void observe() {
    networks::URLProtocolStub::observeRequests([this](const platform::URLRequest& request) {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      changed_.notify_all();
    });
  }
  // The requests once `count` have come (or the time is up).
  std::vector<platform::URLRequest> waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5s, [&] { return requests_.size() >= count; });
    return requests_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<platform::URLRequest> requests_;
};

// A home with the user's application folder (home/local/applications, the data home)
// and a system one (home/share/applications, the data folders): the inventory finds
// them through the delegate's file manager, built over the folders of the delegate's
// settings, the stand-in (a child process) through the variables the recording tool
// sets for it. The children's PATH starts with that
// recording "osascript", which hands over to the stand-in, or to scripted answers.
class InventoryTest : public ::testing::Test {
 protected:
  InventoryTest()
      : root_(home_.path()),
        local_(root_ / "local/applications"),
        system_(root_ / "share/applications"),
        bin_(root_ / "bin") {
    fs::create_directories(local_);
    fs::create_directories(system_);
    useStandIn();
  }

  platform::FileManager& files() { return fakes_.files(); }
  // The children's PATH starts with the recording tool, then the stand-in's folder.
  std::string childPath() const { return bin_.string() + ":" + kTools; }
  // The delegate's settings: the home's folders, the desktop's two application folders.
  std::shared_ptr<AppDelegate> makeDelegate() {
    fakes_.settings = testsupport::TempFiles::homeAt(root_);
    fakes_.settings.xdgDataHome = (root_ / "local").string();
    fakes_.settings.xdgDataDirs = {(root_ / "share").string()};
    fakes_.settings.childPath = childPath();
    return fakes_.makeDelegate();
  }
  // A delegate over the folders of other settings, in place of the fixture's.
  void remakeOver(const std::function<void(platform::Settings&)>& change) {
    platform::Settings settings = fakes_.settings;
    change(settings);
    otherFiles_.emplace(settings);
    fakes_.useFiles(*otherFiles_);
    delegate_ = makeDelegate();
  }

  // The first lines of the recording tool: the script it got goes to the log.
  std::string recordingStart() const {
    return "#!/bin/sh\nprintf '%s\\n' \"$2\" >> '" + (root_ / "osascript.log").string() + "'\n";
  }
  // The scripting tool records each script it gets, then the stand-in answers from the
  // fixture's folders.
  void useStandIn() {
    writeFile(bin_ / "osascript",
              recordingStart() + "export HOME='" + root_.string() + "' XDG_DATA_HOME='" + (root_ / "local").string() +
                  "' XDG_DATA_DIRS='" + (root_ / "share").string() + "'\nexec '" + kTools + "/osascript' \"$@\"\n",
              true);
  }
  // The scripting tool records each script and prints the file answers/<name>.
  void useScriptedAnswers() {
    writeFile(bin_ / "osascript",
              recordingStart() + "name=${2#'id of app \"'}\nname=${name%'\"'}\ncat \"" + (root_ / "answers").string() +
                  "/$name\"\n",
              true);
  }
  void answer(const std::string& name, const std::string& output) { writeFile(root_ / "answers" / name, output); }

  std::vector<std::string> scriptsRun() const {
    std::ifstream in(root_ / "osascript.log");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return lines(text);
  }

  void setShared(const std::string& key, const std::optional<std::string>& value) {
    auto& suite = defaults_.suite();
    if (value) suite.set(key, *value);
    else suite.removeObject(key);
  }

  struct Run {
    std::vector<MetadataItem> items;
    std::string printed;
  };
  Run inventory() {
    Run run;
    platform::CapturedOutput captured;
    run.items = delegate_->getAllApplications();
    run.printed = agenttest::printedText(captured.take());
    return run;
  }

  // The report the one upload carried.
  nlohmann::json uploadedReport() {
    auto requests = log_.waitFor(1);
    EXPECT_EQ(requests.size(), 1u);
    if (requests.empty() || !requests[0].httpBody) return nullptr;
    EXPECT_EQ(requests[0].url,
              "https://" + std::string(networks::kFamilyApiHost) + "/api/v1/children/device-apps/sync-apps");
    EXPECT_EQ(requests[0].httpMethod, "POST");
    return nlohmann::json::parse(platform::toString(*requests[0].httpBody));
  }

  static nlohmann::json norules(const std::vector<std::pair<std::string, std::string>>& entries) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [name, pk] : entries) list.push_back({{"name", name}, {"pk", pk}});
    return list;
  }

  testsupport::TempFiles home_;
  testsupport::ScopedUserDefaults defaults_;
  fs::path root_;
  fs::path local_;
  fs::path system_;
  fs::path bin_;
  testing::DelegatePlatform fakes_;
  std::optional<platform::FileManager> otherFiles_;
  std::shared_ptr<AppDelegate> delegate_ = makeDelegate();
  RequestLog log_;
};

TEST_F(InventoryTest, ReportsTheExecutableNamedEntriesOfBothFoldersInOrder) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  log_.observe();
  const std::string pwned = (root_ / "pwned").string();
  // Local folder, listed by file name.
  writeFile(local_ / "b-editor.desktop", desktopEntry("Name=Beta Editor\n"));
  writeFile(local_ / "a-viewer.desktop", desktopEntry("Name=Alpha Viewer\n", "Exec=/bin/true %U\n"));
  writeFile(local_ / "c-unnamed.desktop", desktopEntry(""));
  writeFile(local_ / "d-uninstalled.desktop", desktopEntry("Name=Not Installed\n", "Exec=/nonexistent/prog\n"));
  writeFile(local_ / "e-link.desktop", "[Desktop Entry]\nType=Link\nName=A Link\nURL=https://example.com\n");
  writeFile(local_ / "f-deleted.desktop", desktopEntry("Name=Deleted\n", "Exec=true\n", "Hidden=true\n"));
  writeFile(local_ / "g-quoted.desktop",
            desktopEntry("Name=Bob's \"Quoted\" App $(touch " + pwned + ") `touch " + pwned + "` \\\\ end\n"));
  writeFile(local_ / "h-trytool.desktop", desktopEntry("Name=Try Tool\n", "Exec=true\n", "TryExec=/nonexistent/try\n"));
  writeFile(local_ / "notes.txt", "not an application\n");
  writeFile(local_ / "tool.sh", "#!/bin/sh\n", true);  // executable, but nothing installed of that name
  // The system folder.
  writeFile(system_ / "terminal.desktop", desktopEntry("Name=Terminal\n"));

  const auto run = inventory();

  // One metadata item per executable entry, named ones or not, in listing order.
  std::vector<std::string> paths;
  paths.reserve(run.items.size());
  for (const auto& item : run.items) paths.push_back(fs::path(item.path).filename().string());
  EXPECT_THAT(paths, ElementsAre("a-viewer.desktop", "b-editor.desktop", "c-unnamed.desktop", "g-quoted.desktop",
                                 "tool.sh", "terminal.desktop"));
  EXPECT_EQ(run.items[2].displayName, std::nullopt);
  EXPECT_EQ(run.items[4].displayName, "tool.sh");

  // One lookup per named item; the name reaches the tool whole, and the shell ran
  // nothing else.
  const std::string quotedName = "Bob's \\\"Quoted\\\" App $(touch " + pwned + ") `touch " + pwned + "` \\\\ end";
  EXPECT_THAT(scriptsRun(),
              ElementsAre("id of app \"Alpha Viewer\"", "id of app \"Beta Editor\"", "id of app \"" + quotedName + "\"",
                          "id of app \"tool.sh\"", "id of app \"Terminal\""));
  EXPECT_FALSE(fs::exists(pwned));

  const nlohmann::json expected = {
      {"norules", norules({{"Alpha Viewer", "a-viewer"},
                           {"Beta Editor", "b-editor"},
                           {"Bob's \"Quoted\" App $(touch " + pwned + ") `touch " + pwned + "` \\ end", "g-quoted"},
                           {"Terminal", "terminal"}})},
      {"allowed",
       {{{"name", "System"},
         {"first_installed_time", 0},
         {"pk", "com.apple.com"},
         {"current_version", "22222"},
         {"icon", "empty"}}}},
      {"blocked", {{{"name", "System Extentions"}, {"pk", "com.apple.com"}, {"icon", "empty"}}}}};
  EXPECT_EQ(uploadedReport(), expected);
  EXPECT_TRUE(uploadedReport()["allowed"][0]["first_installed_time"].is_number_integer());
  // The observed request gets no reply, so neither outcome is printed.
  EXPECT_EQ(lines(run.printed).back(), "appList: []");
  EXPECT_THAT(run.printed, ::testing::Not(HasSubstr("sendAppList")));
}

TEST_F(InventoryTest, OnlyWhatAMenuShowsIsListed) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  log_.observe();
  // As the desktop's shells and a language runtime install their entries.
  writeFile(
      system_ / "org.gnome.Shell.desktop",
      desktopEntry("Name=GNOME Shell\n", "Exec=true\n", "NoDisplay=true\nX-GNOME-Autostart-Phase=DisplayServer\n"));
  writeFile(system_ / "org.kde.plasmashell.desktop", desktopEntry("Name=Plasma\n", "Exec=true\n", "NoDisplay=true\n"));
  writeFile(system_ / "python3.11.desktop",
            desktopEntry("Name=Python (v3.11)\n", "Exec=true\n", "Terminal=true\nNoDisplay=true\n"));
  writeFile(system_ / "shown.desktop", desktopEntry("Name=Shown Game\n", "Exec=true\n", "NoDisplay=false\n"));
  writeFile(system_ / "deleted.desktop", desktopEntry("Name=Deleted\n", "Exec=true\n", "Hidden=true\n"));
  writeFile(system_ / "untyped.desktop", "[Desktop Entry]\nName=No Type\nExec=true\n");
  writeFile(system_ / "folder.desktop", "[Desktop Entry]\nType=Directory\nName=Games\n");

  const auto run = inventory();

  std::vector<std::string> paths;
  paths.reserve(run.items.size());
  for (const auto& item : run.items) paths.push_back(fs::path(item.path).filename().string());
  EXPECT_THAT(paths, ElementsAre("shown.desktop"));
  EXPECT_THAT(scriptsRun(), ElementsAre("id of app \"Shown Game\""));
  // The placeholder rows stay.
  EXPECT_EQ(uploadedReport()["allowed"][0]["name"], "System");
  EXPECT_EQ(uploadedReport()["blocked"][0]["name"], "System Extentions");
}

TEST_F(InventoryTest, TheToolsOutputBecomesTheIdentifier) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  log_.observe();
  useScriptedAnswers();
  struct Case {
    std::string file;
    std::string name;
    std::string output;
    std::optional<std::string> pk;  // absent: left out of the report
  };
  const std::vector<Case> cases = {
      {"a.desktop", "Plain", "org.plain\n", "org.plain"},
      {"b.desktop", "Two Lines", "com.one\ncom.two\n", "com.onecom.two"},
      {"c.desktop", "Silent", "", ""},
      {"d.desktop", "Late Error", "warning: slow\n0:2: execution error\n", std::nullopt},
      {"e.desktop", "Error Inside", "x0:2:y", std::nullopt},
      {"f.desktop", "Noise Kept", "note on stderr\norg.noise\n", "note on stderrorg.noise"},
      {"g.desktop", "Near Miss", "0:20: syntax error\n", "0:20: syntax error"},
  };
  std::vector<std::pair<std::string, std::string>> expected;
  for (const auto& c : cases) {
    writeFile(local_ / c.file, desktopEntry("Name=" + c.name + "\n"));
    answer(c.name, c.output);
    if (c.pk) expected.emplace_back(c.name, *c.pk);
  }
  inventory();
  EXPECT_EQ(scriptsRun().size(), cases.size());
  EXPECT_EQ(uploadedReport()["norules"], norules(expected));
}

// The inventory on its own, with a command runner of the test's: each named entry gets
// one scripting command, its name quoted whole, and the runner's answer becomes its
// identifier unless it reports a script error.
TEST_F(InventoryTest, EachNamedEntryGetsOneScriptingCommandWhoseAnswerNamesIt) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  log_.observe();
  writeFile(local_ / "a.desktop", desktopEntry("Name=Kid's \"Game\"\n"));
  writeFile(local_ / "b.desktop", desktopEntry("Name=Broken\n"));
  std::vector<std::string> commands;
  networks::NetworkManager requests(fakes_.session);
  agent::Inventory inventory(
      files(), requests,
      [&](const std::string& command) {
        commands.push_back(command);
        return command.find("Broken") != std::string::npos ? std::string("0:2: execution error\n")
                                                           : std::string("org.kids.game\n");
      },
      childPath(), platform::Settings::current().inheritedPath);
  platform::CapturedOutput quiet;  // keeps the printed lines off the test output
  const auto items = inventory.collect();
  EXPECT_EQ(items.size(), 2u);
  EXPECT_EQ(commands, (std::vector<std::string>{"osascript -e 'id of app \"Kid'\\''s \\\"Game\\\"\"'",
                                                "osascript -e 'id of app \"Broken\"'"}));
  EXPECT_EQ(uploadedReport()["norules"], norules({{"Kid's \"Game\"", "org.kids.game"}}));
  EXPECT_TRUE(inventory.appList().empty());
}

TEST_F(InventoryTest, EmptyFoldersStillSendThePlaceholders) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  for (const bool accepted : {true, false}) {
    SCOPED_TRACE(accepted);
    networks::URLProtocolStub::stub(
        platform::toData(accepted ? R"({"message":"ok"})" : R"({"message":"nope","status":400})"),
        std::make_shared<platform::HTTPURLResponse>("https://x/", accepted ? 200 : 400, platform::HeaderList{}),
        std::nullopt);
    const auto run = inventory();
    EXPECT_THAT(run.items, IsEmpty());
    const auto printed = lines(run.printed);
    ASSERT_GE(printed.size(), 2u);
    EXPECT_EQ(printed[printed.size() - 2], accepted ? "success sendAppList" : "failed sendAppList");
    EXPECT_EQ(printed.back(), "appList: []");
  }
  EXPECT_THAT(scriptsRun(), IsEmpty());
}

// The inventory runs off the main thread: its upload waits for the reply however late it
// comes (past the wait that its runner gives the main thread), so that the reply's line
// comes before the list's. The reply is held until the test answers it.
TEST_F(InventoryTest, ASlowReplyIsWaitedForAndItsLineComesFirst) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  auto& held = testsupport::HeldReplies::shared();
  held.reset();
  platform::URLSessionConfiguration configuration;
  configuration.protocolClasses = {testsupport::HeldReplies::protocolClass()};
  platform::URLSession session(configuration);
  networks::NetworkManager requests(session);
  requests.setReplyWaitLimit(10ms);  // what the main thread's runner would wait
  agent::Inventory inventory(
      files(), requests, [](const std::string&) { return std::string(); }, childPath(),
      platform::Settings::current().inheritedPath);

  platform::CapturedOutput captured;
  std::atomic<bool> returned{false};
  std::thread collector([&] {
    inventory.collect();
    returned = true;
  });
  ASSERT_TRUE(held.waitForCount(1));
  // Many times the runner's wait: the inventory is still waiting for its reply.
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(returned);
  EXPECT_THAT(agenttest::printedText(captured.take()), ::testing::Not(HasSubstr("appList: ")));
  ASSERT_TRUE(held.answer(0, 200, R"({"message":"ok"})"));
  collector.join();
  const auto printed = lines(agenttest::printedText(captured.take()));
  ASSERT_GE(printed.size(), 2u);
  EXPECT_EQ(printed[printed.size() - 2], "success sendAppList");
  EXPECT_EQ(printed.back(), "appList: []");
}

// The names of the items' files, in order.
std::vector<std::string> fileNames(const std::vector<MetadataItem>& items) {
  std::vector<std::string> names;
  names.reserve(items.size());
  for (const auto& item : items) names.push_back(fs::path(item.path).filename().string());
  return names;
}

TEST_F(InventoryTest, AMissingFolderIsAnEmptyOne) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  log_.observe();
  struct Case {
    std::string what;
    std::function<void()> arrange;
    std::vector<std::string> reported;
  };
  const std::vector<Case> cases = {
      {"no user folder (a fresh account)", [&] { fs::remove_all(local_); }, {"system.desktop"}},
      {"no user data folder at all", [&] { fs::remove_all(root_ / "local"); }, {"system.desktop"}},
      {"the user folder is a file",
       [&] {
         fs::remove_all(local_);
         writeFile(local_, "x");
       },
       {"system.desktop"}},
      {"no system folder", [&] { fs::remove_all(system_); }, {"user.desktop"}},
  };
  std::size_t uploads = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(local_);
    fs::remove_all(system_);
    writeFile(local_ / "user.desktop", desktopEntry("Name=User App\n"));
    writeFile(system_ / "system.desktop", desktopEntry("Name=System App\n"));
    c.arrange();
    const auto run = inventory();
    EXPECT_EQ(fileNames(run.items), c.reported);
    EXPECT_EQ(lines(run.printed).back(), "appList: []");
    EXPECT_EQ(log_.waitFor(++uploads).size(), uploads);
  }
}

TEST_F(InventoryTest, EveryFolderInTheDesktopsOrderEachIdOnce) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  log_.observe();
  useScriptedAnswers();
  const fs::path flatpak = root_ / "flatpak/exports/share/applications";
  const fs::path snap = root_ / "snap/share/applications";
  remakeOver([&](platform::Settings& settings) {
    settings.xdgDataDirs = {(root_ / "share").string(), (root_ / "missing").string(),
                            (root_ / "flatpak/exports/share").string(), (root_ / "snap/share").string()};
  });
  writeFile(local_ / "editor.desktop", desktopEntry("Name=My Editor\n"));
  writeFile(local_ / "removed.desktop", desktopEntry("Name=Removed\n", "Exec=true\n", "Hidden=true\n"));
  writeFile(system_ / "editor.desktop", desktopEntry("Name=System Editor\n"));
  writeFile(system_ / "removed.desktop", desktopEntry("Name=Removed Too\n"));
  writeFile(system_ / "terminal.desktop", desktopEntry("Name=Terminal\n"));
  writeFile(flatpak / "org.game.Game.desktop", desktopEntry("Name=Game\n"));
  writeFile(flatpak / "terminal.desktop", desktopEntry("Name=Flatpak Terminal\n"));
  writeFile(snap / "chat.desktop", desktopEntry("Name=Chat\n"));
  for (const std::string name : {"My Editor", "Terminal", "Game", "Chat"}) answer(name, name + ".id\n");

  const auto run = inventory();

  // The user's folder first, then each data folder in order; the first folder holding
  // an id wins, even with an entry that hides it.
  EXPECT_EQ(fileNames(run.items),
            (std::vector<std::string>{"editor.desktop", "terminal.desktop", "org.game.Game.desktop", "chat.desktop"}));
  EXPECT_EQ(run.items[0].path, (local_ / "editor.desktop").string());
  EXPECT_EQ(run.items[1].path, (system_ / "terminal.desktop").string());
  EXPECT_EQ(
      uploadedReport()["norules"],
      norules({{"My Editor", "My Editor.id"}, {"Terminal", "Terminal.id"}, {"Game", "Game.id"}, {"Chat", "Chat.id"}}));
}

TEST_F(InventoryTest, EntriesInSubfoldersAreListedUnderTheirDesktopEntryIds) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  log_.observe();
  useScriptedAnswers();
  // As Wine writes a game's entries: the path below the folder, "/" made "-", is the id.
  writeFile(local_ / "wine/Programs/Game.desktop", desktopEntry("Name=Wine Game\n"));
  writeFile(local_ / "wine/Programs/Uninstall.desktop",
            desktopEntry("Name=Uninstall Game\n", "Exec=true\n", "NoDisplay=true\n"));
  writeFile(local_ / "wine/Programs/Readme.desktop", desktopEntry("Name=Readme\n", "Exec=true\n", "Hidden=true\n"));
  writeFile(local_ / "wine/Programs/notes.txt", "not an entry");
  // The user's entries stand in for the system's of the same id, at any depth.
  writeFile(local_ / "kde-editor.desktop", desktopEntry("Name=My Editor\n"));
  writeFile(system_ / "kde/editor.desktop", desktopEntry("Name=System Editor\n"));
  writeFile(system_ / "wine-Programs-Game.desktop", desktopEntry("Name=System Game\n"));
  writeFile(system_ / "wine/Programs/Readme.desktop", desktopEntry("Name=System Readme\n"));
  writeFile(system_ / "games/arcade/Pinball.desktop", desktopEntry("Name=Pinball\n"));
  for (const std::string name : {"Wine Game", "My Editor", "Pinball"}) answer(name, name + ".id\n");

  const auto run = inventory();

  std::vector<std::string> paths;
  paths.reserve(run.items.size());
  for (const auto& item : run.items) paths.push_back(fs::relative(item.path, root_).string());
  EXPECT_THAT(paths,
              ElementsAre("local/applications/kde-editor.desktop", "local/applications/wine/Programs/Game.desktop",
                          "share/applications/games/arcade/Pinball.desktop"));
  EXPECT_EQ(uploadedReport()["norules"],
            norules({{"My Editor", "My Editor.id"}, {"Wine Game", "Wine Game.id"}, {"Pinball", "Pinball.id"}}));
}

TEST_F(InventoryTest, AnUnlistableFolderStopsBeforeAnyLookupOrUpload) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  log_.observe();
  writeFile(local_ / "a.desktop", desktopEntry("Name=Beta Editor\n"));
  // A folder that is there but cannot be listed (a loop of links fails for root too).
  for (const fs::path& broken : {local_, system_}) {
    SCOPED_TRACE(broken.string());
    const fs::path kept = root_ / "kept";
    fs::rename(broken, kept);
    fs::create_symlink(broken, broken);
    const auto run = inventory();
    EXPECT_THAT(run.items, IsEmpty());
    EXPECT_EQ(run.printed, "");
    fs::remove(broken);
    fs::rename(kept, broken);
  }
  EXPECT_THAT(scriptsRun(), IsEmpty());
  EXPECT_THAT(log_.waitFor(0), IsEmpty());
}

TEST_F(InventoryTest, WithoutATokenNothingIsSentButTheListLineIsPrinted) {
  setShared(std::string(networks::kSharedChildToken), std::nullopt);
  log_.observe();
  writeFile(local_ / "a.desktop", desktopEntry("Name=Beta Editor\n"));
  const auto run = inventory();
  EXPECT_EQ(run.items.size(), 1u);
  EXPECT_EQ(run.printed, "appList: []\n");
  EXPECT_THAT(log_.waitFor(0), IsEmpty());
}

TEST_F(InventoryTest, TheStandInAnswersFromTheDesktopEntries) {
  writeFile(local_ / "spaced.desktop", desktopEntry("Name=Spaced\\sName\n"));
  writeFile(local_ / "twice-local.desktop", desktopEntry("Name=Twice\n"));
  writeFile(system_ / "twice-share.desktop", desktopEntry("Name=Twice\n"));
  writeFile(system_ / "deep/nested.desktop", desktopEntry("Name=Nested\n"));
  writeFile(local_ / "hidden.desktop", desktopEntry("Name=Hidden\n", "Exec=true\n", "Hidden=true\n"));
  writeFile(local_ / "action.desktop",
            desktopEntry("Name=Main\n", "Exec=true\n", "[Desktop Action new]\nName=Other Group\nExec=true\n"));
  struct Case {
    std::string script;
    std::string output;  // exact, or "0:2:" for a lookup that must fail
  };
  const std::vector<Case> cases = {
      {R"(id of app "Spaced Name")", "spaced\n"}, {R"(id of application "Spaced Name")", "spaced\n"},
      {R"(id of app "Twice")", "twice-local\n"},  // the user's folder comes first
      {R"(id of app "Nested")", "nested\n"},      {R"(id of app "Hidden")", "0:2:"},
      {R"(id of app "Other Group")", "0:2:"},     {R"(id of app "Nobody")", "0:2:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    const std::string output = delegate_->shell("osascript -e '" + c.script + "'");
    if (c.output == "0:2:") {
      EXPECT_THAT(output, HasSubstr("0:2:"));
    } else {
      EXPECT_EQ(output, c.output);
    }
  }
  // Scripts it does not understand fail without claiming a missing application.
  for (const std::string script : {R"(display dialog "x")", R"(id of app "a"b")"}) {
    SCOPED_TRACE(script);
    const std::string output = delegate_->shell("osascript -e '" + script + "'");
    EXPECT_THAT(output, HasSubstr("syntax error"));
    EXPECT_THAT(output, ::testing::Not(HasSubstr("0:2:")));
  }
}

// ---- the uncalled sync and writer ---------------------------------------------------

TEST_F(InventoryTest, SyncAppsPostsTheListTextToTheChosenHost) {
  setShared(std::string(networks::kSharedChildToken), "tok-1");
  struct Case {
    std::optional<std::string> setting;
    std::string host;
    std::vector<std::string> printed;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::string(networks::kFamilyApiHost), {"USE SCHOOL SSS: nil", "nil"}},
      {"School", std::string(networks::kFamilyApiHost), {"USE SCHOOL SSS: Optional(\"School\")", "nil"}},
      {"school",
       std::string(networks::kSchoolApiHost),
       {"USE SCHOOL SSS: Optional(\"school\")", "USE SCHOOL FOR APP SYNC", "nil"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    setShared(std::string(networks::kSchoolFamilyApiAgent), c.setting);
    RequestLog log;
    log.observe();
    platform::CapturedOutput captured;
    EXPECT_EQ(delegate_->syncApps(), "");
    EXPECT_EQ(lines(agenttest::printedText(captured.take())), c.printed);
    auto requests = log.waitFor(1);
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.url, "https://" + c.host + "/api/v1/children/device-apps/sync-apps");
    EXPECT_EQ(request.httpMethod, "POST");
    ASSERT_EQ(request.headers.size(), 3u);
    EXPECT_EQ(request.headers[0], (std::pair<std::string, std::string>{"Content-Type", "application/json"}));
    EXPECT_EQ(
        request.headers[1],
        (std::pair<std::string, std::string>{
            "Cookie", "connect.sid=s%3AQm7TwLp2Xc9RbN4vHs6KdJ8fYa3GtE5u.Wq4ZrT8nLm2VcX6bHp9KsD3fJy7GtA5eNu1RoYi0Bw8"}));
    EXPECT_TRUE(std::isinf(request.timeoutInterval));
    EXPECT_EQ(request.headers[2], (std::pair<std::string, std::string>{"Authorization", "Bearer tok-1"}));
    ASSERT_TRUE(request.httpBody);
    EXPECT_EQ(platform::toString(*request.httpBody), "[]");
  }
}

TEST_F(InventoryTest, SyncAppsPrintsTheReplyOrTheErrorAndReturnsEmpty) {
  setShared(std::string(networks::kSharedChildToken), "tok");
  struct Case {
    std::optional<platform::Data> data;
    int status;
    std::optional<platform::Error> error;
    std::string printed;
  };
  const platform::Error refused{"NSURLErrorDomain", -1004, "Could not connect to the server."};
  const std::vector<Case> cases = {
      {platform::toData("{\"message\":\"ok\"}"), 200, std::nullopt, "{\"message\":\"ok\"}"},
      {platform::toData("server broke"), 500, std::nullopt, "server broke"},
      {platform::Data{'a', 0xff, 'b'}, 200, std::nullopt,
       "a\xEF\xBF\xBD"
       "b"},
      {std::nullopt, 0, refused, "Optional(" + refused.description() + ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printed);
    networks::URLProtocolStub::stub(
        c.data,
        c.error ? nullptr : std::make_shared<platform::HTTPURLResponse>("https://x/", c.status, platform::HeaderList{}),
        c.error);
    platform::CapturedOutput captured;
    EXPECT_EQ(delegate_->syncApps(), "");
    EXPECT_EQ(lines(agenttest::printedText(captured.take())).back(), c.printed);
  }

  setShared(std::string(networks::kSharedChildToken), std::nullopt);
  RequestLog log;
  log.observe();
  platform::CapturedOutput captured;
  EXPECT_EQ(delegate_->syncApps(), "");
  EXPECT_THAT(captured.take(), IsEmpty());
  EXPECT_THAT(log.waitFor(0), IsEmpty());
}

TEST_F(InventoryTest, WriteReplacesTheFileUnderDocuments) {
  const fs::path documents = home_.path() / "Documents";
  auto read = [](const fs::path& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  delegate_->write("first text", "notes");
  EXPECT_EQ(read(documents / "SavedFiles/notes.txt"), "first text");
  delegate_->write("second", "notes");  // folder already there, file replaced
  EXPECT_EQ(read(documents / "SavedFiles/notes.txt"), "second");
  delegate_->write("elsewhere", "other", "Deep/Folder");
  EXPECT_EQ(read(documents / "Deep/Folder/other.txt"), "elsewhere");

  // A folder in the way of the file: ignored, nothing thrown.
  fs::create_directories(documents / "SavedFiles/blocked.txt");
  delegate_->write("lost", "blocked");
  EXPECT_TRUE(fs::is_directory(documents / "SavedFiles/blocked.txt"));
}

}  // namespace
}  // namespace agent
