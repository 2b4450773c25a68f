#include "platform/settings.h"

#include <filesystem>

#include "platform/bundle.h"
#include "support/scoped_settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <optional>

namespace platform {
namespace {

using ::testing::IsEmpty;

// Settings read from a table of variables instead of the process environment.
Settings readFrom(const std::map<std::string, std::string>& variables) {
  return Settings::read([&](const char* name) -> std::optional<std::string> {
    auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  });
}

TEST(SettingsValue, DesktopFoldersFollowXdgWithTheUsualDefaults) {
  struct Case {
    std::optional<std::string> dataHome;
    std::optional<std::string> dataDirs;
    std::vector<std::string> folders;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, {"/home/kid/.local/share", "/usr/local/share", "/usr/share"}},
      {"", "", {"/home/kid/.local/share", "/usr/local/share", "/usr/share"}},
      {"/data/kid",
       "/opt/share:/var/lib/flatpak/exports/share/:/usr/share",
       {"/data/kid", "/opt/share", "/var/lib/flatpak/exports/share", "/usr/share"}},
      // Relative folders are ignored (a relative data home falls back to the default);
      // empty items and repeats are skipped.
      {"relative/share",
       "::share:/usr/share:/usr/share/:/data/kid",
       {"/home/kid/.local/share", "/usr/share", "/data/kid"}},
      {"/usr/share", "/usr/share:/usr/local/share", {"/usr/share", "/usr/local/share"}},
      // A list of relative folders only is no list: the defaults do not come back.
      {"/data/kid/", "share:more", {"/data/kid"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dataHome.value_or("(unset)") + " | " + c.dataDirs.value_or("(unset)"));
    std::map<std::string, std::string> variables = {{"HOME", "/home/kid"}};
    if (c.dataHome) variables["XDG_DATA_HOME"] = *c.dataHome;
    if (c.dataDirs) variables["XDG_DATA_DIRS"] = *c.dataDirs;
    EXPECT_EQ(readFrom(variables).dataDirectories(), c.folders);
  }
  for (const auto& [value, folder] :
       std::vector<std::pair<std::optional<std::string>, std::string>>{{std::nullopt, "/home/kid/.config"},
                                                                       {"", "/home/kid/.config"},
                                                                       {"relative", "/home/kid/.config"},
                                                                       {"/cfg", "/cfg"}}) {
    SCOPED_TRACE(value.value_or("(unset)"));
    std::map<std::string, std::string> variables = {{"HOME", "/home/kid"}};
    if (value) variables["XDG_CONFIG_HOME"] = *value;
    EXPECT_EQ(readFrom(variables).configHome(), folder);
  }
}

TEST(SettingsValue, TheDesktopFoldersFollowAHomeChangedLater) {
  // A value whose home is changed after reading (as a sandbox home is installed) keeps
  // the user's folders under the new home, unless the variables named others.
  Settings settings = readFrom({{"HOME", "/home/kid"}});
  settings.homeDirectory = "/tmp/sandbox";
  EXPECT_EQ(settings.dataDirectories(),
            (std::vector<std::string>{"/tmp/sandbox/.local/share", "/usr/local/share", "/usr/share"}));
  EXPECT_EQ(settings.configHome(), "/tmp/sandbox/.config");
  settings = readFrom({{"HOME", "/home/kid"}, {"XDG_DATA_HOME", "/data"}, {"XDG_CONFIG_HOME", "/cfg"}});
  settings.homeDirectory = "/tmp/sandbox";
  EXPECT_EQ(settings.dataDirectories().front(), "/data");
  EXPECT_EQ(settings.configHome(), "/cfg");
}

// The install's tool folder, when the resources hold one.
std::string defaultToolFolder() {
  const std::string tools = Bundle::main().resourcePath() + "/tools";
  return std::filesystem::is_directory(tools) ? tools : std::string();
}

TEST(SettingsValue, ConnectToSplitsCommaSeparatedEntries) {
  struct Case {
    std::optional<std::string> value;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {std::nullopt, {}},
      {"", {}},
      {"api.family.test:443:127.0.0.1:8443", {"api.family.test:443:127.0.0.1:8443"}},
      {"a:443:127.0.0.1:1, b:443:127.0.0.1:2", {"a:443:127.0.0.1:1", "b:443:127.0.0.1:2"}},
      {",a:443:127.0.0.1:1,,", {"a:443:127.0.0.1:1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.value_or("(unset)"));
    std::map<std::string, std::string> variables;
    if (c.value) variables["MOPET_CONNECT_TO"] = *c.value;
    EXPECT_EQ(readFrom(variables).connectTo, c.entries);
  }
}

TEST(SettingsValue, EachSettingComesFromItsVariableWithItsDefaultWhenUnsetOrEmpty) {
  const Settings unset = readFrom({});
  EXPECT_EQ(unset.hostsFile, "/etc/hosts");
  EXPECT_EQ(unset.childPath, defaultToolFolder());
  EXPECT_THAT(unset.connectTo, IsEmpty());
  EXPECT_EQ(unset.caFile, "");
  EXPECT_EQ(unset.locationFile, "");
  const Settings empty = readFrom({{"MOPET_HOSTS_FILE", ""},
                                   {"MOPET_CHILD_PATH", ""},
                                   {"MOPET_CONNECT_TO", ""},
                                   {"SSL_CERT_FILE", ""},
                                   {"MOPET_LOCATION_FILE", ""},
                                   {"HOME", ""},
                                   {"XDG_DATA_HOME", ""},
                                   {"XDG_DATA_DIRS", ""},
                                   {"XDG_CONFIG_HOME", ""},
                                   {"PATH", ""},
                                   {"DISPLAY", ""}});
  EXPECT_EQ(empty, unset);
  EXPECT_EQ(unset.inheritedPath, "");
  EXPECT_EQ(unset.display, "");

  const Settings set = readFrom({{"MOPET_HOSTS_FILE", "/tmp/hosts"},
                                 {"MOPET_CHILD_PATH", "/tmp/a:/tmp/b"},
                                 {"MOPET_CONNECT_TO", "h:443:127.0.0.1:1"},
                                 {"SSL_CERT_FILE", "/tmp/ca.pem"},
                                 {"MOPET_LOCATION_FILE", "/tmp/fix.json"},
                                 {"HOME", "/elsewhere"},
                                 {"PATH", "/opt/bin::relative"},
                                 {"DISPLAY", ":7"}});
  EXPECT_EQ(set.hostsFile, "/tmp/hosts");
  EXPECT_EQ(set.childPath, "/tmp/a:/tmp/b");
  EXPECT_EQ(set.connectTo, std::vector<std::string>{"h:443:127.0.0.1:1"});
  EXPECT_EQ(set.caFile, "/tmp/ca.pem");
  EXPECT_EQ(set.locationFile, "/tmp/fix.json");
  EXPECT_EQ(set.homeDirectory, "/elsewhere");
  EXPECT_EQ(set.inheritedPath, "/opt/bin::relative");  // as it comes: the children's PATH drops empty items
  EXPECT_EQ(set.display, ":7");
}

TEST(SettingsValue, HomeComesFromHomeElseThePasswordDatabase) {
  EXPECT_EQ(readFrom({{"HOME", "/tmp/sandbox-home"}}).homeDirectory, "/tmp/sandbox-home");
  const passwd* entry = getpwuid(getuid());  // NOLINT(concurrency-mt-unsafe): no other thread runs
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(readFrom({}).homeDirectory, entry->pw_dir);
  EXPECT_EQ(readFrom({{"HOME", ""}}).homeDirectory, entry->pw_dir);
}

TEST(SettingsValue, TheEnvironmentIsReadWithTheSameNames) {
  // The variables this process was started with, read through the same names.
  const Settings settings = Settings::fromEnvironment();
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): nothing changes the environment
  EXPECT_EQ(settings.inheritedPath, path != nullptr ? path : "");
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): as above
  if (home != nullptr && *home != '\0') {
    EXPECT_EQ(settings.homeDirectory, home);
  }
}

TEST(SettingsInstalled, ExchangeInstallsAndGivesBackWhatWasCurrent) {
  const Settings before = Settings::current();
  EXPECT_EQ(Settings::current(), before);  // read once, the same value at every call
  Settings sandbox = before;
  sandbox.homeDirectory = "/tmp/sandbox-home";
  sandbox.hostsFile = "/tmp/hosts";
  EXPECT_EQ(Settings::exchange(sandbox), before);
  EXPECT_EQ(Settings::current(), sandbox);
  {
    // Nested scopes put back, innermost first, what each found.
    testsupport::ScopedSettings outer([](Settings& settings) { settings.homeDirectory = "/tmp/outer"; });
    EXPECT_EQ(Settings::current().homeDirectory, "/tmp/outer");
    EXPECT_EQ(Settings::current().hostsFile, "/tmp/hosts");
    {
      testsupport::ScopedSettings inner(Settings{});
      EXPECT_EQ(Settings::current(), Settings{});
    }
    EXPECT_EQ(Settings::current().homeDirectory, "/tmp/outer");
  }
  EXPECT_EQ(Settings::current(), sandbox);
  EXPECT_EQ(Settings::exchange(before), sandbox);
  EXPECT_EQ(Settings::current(), before);
}

}  // namespace
}  // namespace platform
