#include "platform/settings.h"

#include <filesystem>

#include "platform/bundle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <optional>

namespace platform {
namespace {

using settings::configHome;
using settings::dataDirectories;
using settings::homeDirectory;
using ::testing::IsEmpty;

// Sets or clears an environment variable for one test and puts it back afterwards.
// What is tested here reads the process environment itself, so the tests change it;
// each does so on the main thread while no other thread of the test runs.
// NOLINTBEGIN(concurrency-mt-unsafe)
class ScopedVariable {
 public:
  ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};
// NOLINTEND(concurrency-mt-unsafe)

TEST(Settings, DesktopFoldersFollowXdgWithTheUsualDefaults) {
  ScopedVariable home("HOME", "/home/kid");
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dataHome.value_or("(unset)") + " | " + c.dataDirs.value_or("(unset)"));
    ScopedVariable dataHome("XDG_DATA_HOME", c.dataHome);
    ScopedVariable dataDirs("XDG_DATA_DIRS", c.dataDirs);
    EXPECT_EQ(dataDirectories(), c.folders);
  }
  for (const auto& [value, folder] :
       std::vector<std::pair<std::optional<std::string>, std::string>>{{std::nullopt, "/home/kid/.config"},
                                                                       {"", "/home/kid/.config"},
                                                                       {"relative", "/home/kid/.config"},
                                                                       {"/cfg", "/cfg"}}) {
    SCOPED_TRACE(value.value_or("(unset)"));
    ScopedVariable configHomeVariable("XDG_CONFIG_HOME", value);
    EXPECT_EQ(configHome(), folder);
  }
}

// The install's tool folder, when the resources hold one.
std::string defaultToolFolder() {
  const std::string tools = Bundle::main().resourcePath() + "/tools";
  return std::filesystem::is_directory(tools) ? tools : std::string();
}

// Settings read from a table of variables instead of the process environment.
Settings readFrom(const std::map<std::string, std::string>& variables) {
  return Settings::read([&](const char* name) -> std::optional<std::string> {
    auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  });
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
                                   {"MOPET_LOCATION_FILE", ""}});
  EXPECT_EQ(empty, unset);

  const Settings set = readFrom({{"MOPET_HOSTS_FILE", "/tmp/hosts"},
                                 {"MOPET_CHILD_PATH", "/tmp/a:/tmp/b"},
                                 {"MOPET_CONNECT_TO", "h:443:127.0.0.1:1"},
                                 {"SSL_CERT_FILE", "/tmp/ca.pem"},
                                 {"MOPET_LOCATION_FILE", "/tmp/fix.json"},
                                 {"HOME", "/elsewhere"}});
  EXPECT_EQ(set.hostsFile, "/tmp/hosts");
  EXPECT_EQ(set.childPath, "/tmp/a:/tmp/b");
  EXPECT_EQ(set.connectTo, std::vector<std::string>{"h:443:127.0.0.1:1"});
  EXPECT_EQ(set.caFile, "/tmp/ca.pem");
  EXPECT_EQ(set.locationFile, "/tmp/fix.json");
}

TEST(SettingsValue, TheEnvironmentIsReadWithTheSameNames) {
  ScopedVariable hosts("MOPET_HOSTS_FILE", "/tmp/from-environment");
  EXPECT_EQ(Settings::fromEnvironment().hostsFile, "/tmp/from-environment");
}

TEST(Settings, HomeComesFromHomeElseThePasswordDatabase) {
  {
    ScopedVariable home("HOME", "/tmp/sandbox-home");
    EXPECT_EQ(homeDirectory(), "/tmp/sandbox-home");
  }
  ScopedVariable home("HOME", std::nullopt);
  const passwd* entry = getpwuid(getuid());  // NOLINT(concurrency-mt-unsafe): no other thread runs
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(homeDirectory(), entry->pw_dir);
}

}  // namespace
}  // namespace platform
