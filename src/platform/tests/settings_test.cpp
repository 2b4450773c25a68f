#include "platform/settings.h"

#include <filesystem>

#include "platform/bundle.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace platform::settings {
namespace {

// Sets or clears an environment variable for one test and puts it back afterwards.
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

TEST(Settings, ConnectToSplitsCommaSeparatedEntries) {
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
    ScopedVariable variable("MOPET_CONNECT_TO", c.value);
    EXPECT_EQ(connectTo(), c.entries);
  }
}

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
      {"/data/kid", "/opt/share:/var/lib/flatpak/exports/share/:/usr/share",
       {"/data/kid", "/opt/share", "/var/lib/flatpak/exports/share", "/usr/share"}},
      // Relative folders are ignored (a relative data home falls back to the default);
      // empty items and repeats are skipped.
      {"relative/share", "::share:/usr/share:/usr/share/:/data/kid", {"/home/kid/.local/share", "/usr/share", "/data/kid"}},
      {"/usr/share", "/usr/share:/usr/local/share", {"/usr/share", "/usr/local/share"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dataHome.value_or("(unset)") + " | " + c.dataDirs.value_or("(unset)"));
    ScopedVariable dataHome("XDG_DATA_HOME", c.dataHome);
    ScopedVariable dataDirs("XDG_DATA_DIRS", c.dataDirs);
    EXPECT_EQ(dataDirectories(), c.folders);
  }
  for (const auto& [value, folder] : std::vector<std::pair<std::optional<std::string>, std::string>>{
           {std::nullopt, "/home/kid/.config"}, {"", "/home/kid/.config"}, {"relative", "/home/kid/.config"},
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

TEST(Settings, EachSettingIsReadAnewWithItsDefaultWhenUnset) {
  struct Case {
    const char* variable;
    std::string (*read)();
    std::string whenUnset;
  };
  const Case cases[] = {
      {"MOPET_HOSTS_FILE", &hostsFile, "/etc/hosts"},
      {"MOPET_CHILD_PATH", &childPath, defaultToolFolder()},
      {"SSL_CERT_FILE", &caFile, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable);
    {
      ScopedVariable unset(c.variable, std::nullopt);
      EXPECT_EQ(c.read(), c.whenUnset);
    }
    ScopedVariable set(c.variable, "/tmp/first");
    EXPECT_EQ(c.read(), "/tmp/first");
    setenv(c.variable, "/tmp/second", 1);
    EXPECT_EQ(c.read(), "/tmp/second");
  }
}

TEST(Settings, HomeComesFromHomeElseThePasswordDatabase) {
  {
    ScopedVariable home("HOME", "/tmp/sandbox-home");
    EXPECT_EQ(homeDirectory(), "/tmp/sandbox-home");
  }
  ScopedVariable home("HOME", std::nullopt);
  const passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(homeDirectory(), entry->pw_dir);
}

}  // namespace
}  // namespace platform::settings
