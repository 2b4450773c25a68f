// The file manager against a temporary folder (and a temporary home folder).
#include "platform/file_manager.h"
#include "platform/bundle.h"
#include "platform/settings.h"
#include "support/scoped_settings.h"
#include "support/temp_folder.h"
#include "support/text_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

namespace platform {
namespace {

namespace fs = std::filesystem;
using testsupport::readText;
using testsupport::writeText;

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// The file manager's folders come from the settings it is built over: each test builds
// one whose home is a temporary folder of its own.
class FileManagerTest : public ::testing::Test {
 protected:
  FileManagerTest() : root_(testsupport::makeTemporaryFolder("files-test")), files_(withHome(root_)) {}
  ~FileManagerTest() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // The current settings with `home` as the home and the user's folders under it.
  static Settings withHome(const fs::path& home) {
    Settings settings = Settings::current();
    settings.homeDirectory = home.string();
    settings.xdgDataHome.clear();
    settings.xdgDataDirs = Settings{}.xdgDataDirs;
    settings.xdgConfigHome.clear();
    return settings;
  }

  // The names in a folder, as the test sees them.
  std::vector<std::string> namesIn(const fs::path& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
  FileManager files_;
};

TEST_F(FileManagerTest, FoldersFollowHomeAndTheSettings) {
  EXPECT_EQ(files_.homeDirectory(), root_.string());
  EXPECT_EQ(files_.documentsDirectory(), (root_ / "Documents").string());
  EXPECT_EQ(files_.containerPath("group.so.velmorhome.mopet"),
            (root_ / "Library/Group Containers/group.so.velmorhome.mopet").string());
  for (const std::string& bad :
       {std::string(), std::string("."), std::string(".."), std::string("a/b"), std::string("nul\0", 4)}) {
    EXPECT_EQ(files_.containerPath(bad), std::nullopt) << bad;
  }
  // Asking for Documents makes it, private to the user; nothing else is made.
  EXPECT_TRUE(fs::is_directory(root_ / "Documents"));
  EXPECT_EQ(modeOf(root_ / "Documents"), 0700u);
  EXPECT_FALSE(fs::exists(root_ / "Library"));

  // The desktop's folders (Settings::dataDirectories), each with its "applications".
  {
    Settings desktop = withHome(root_);
    desktop.xdgDataHome = (root_ / "data").string();
    desktop.xdgDataDirs = {"/opt/share/", "/usr/share"};
    desktop.xdgConfigHome = (root_ / "cfg").string();
    const FileManager files(desktop);
    EXPECT_EQ(files.applicationDirectories(),
              (std::vector<std::string>{(root_ / "data/applications").string(), "/opt/share/applications",
                                        "/usr/share/applications"}));
    EXPECT_EQ(files.autostartDirectory(), (root_ / "cfg/autostart").string());
  }
  EXPECT_EQ(files_.applicationDirectories(),
            (std::vector<std::string>{(root_ / ".local/share/applications").string(), "/usr/local/share/applications",
                                      "/usr/share/applications"}));
  EXPECT_EQ(files_.autostartDirectory(), (root_ / ".config/autostart").string());
  EXPECT_FALSE(fs::exists(root_ / ".config"));
}

// A manager built over settings takes its folders from them, whatever settings are
// installed later.
TEST_F(FileManagerTest, AManagerBuiltOverSettingsKeepsItsFolders) {
  Settings own = withHome(root_ / "own");
  own.xdgDataHome = (root_ / "own-data").string();
  own.xdgConfigHome = (root_ / "own-cfg").string();
  FileManager built(own);
  testsupport::ScopedSettings elsewhere(withHome(root_ / "elsewhere"));

  EXPECT_EQ(built.homeDirectory(), (root_ / "own").string());
  EXPECT_EQ(built.documentsDirectory(), (root_ / "own/Documents").string());
  EXPECT_EQ(built.containerPath("group.a"), (root_ / "own/Library/Group Containers/group.a").string());
  EXPECT_EQ(built.applicationDirectories().front(), (root_ / "own-data/applications").string());
  EXPECT_EQ(built.autostartDirectory(), (root_ / "own-cfg/autostart").string());
  EXPECT_EQ(files_.homeDirectory(), root_.string());
}

// The documents folder as the desktop's user-dirs.dirs names it, made when missing.
TEST_F(FileManagerTest, DocumentsFollowTheDesktopsUserFolders) {
  const std::string home = root_.string();
  struct Case {
    std::string name;
    std::optional<std::string> file;  // user-dirs.dirs; nothing: no file
    std::string documents;            // under the home; "/" + ... absolute
  } cases[] = {
      {"no file", std::nullopt, "Documents"},
      {"as the desktop writes it",
       "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
       "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n",
       "Dokumente"},
      {"blanks, a nested folder, a trailing slash", "  XDG_DOCUMENTS_DIR = \"$HOME/My Files/Papers/\"\n",
       "My Files/Papers"},
      {"an escaped quote", "XDG_DOCUMENTS_DIR=\"$HOME/say \\\"hi\\\"\"\n", "say \"hi\""},
      {"an absolute folder", "XDG_DOCUMENTS_DIR=\"" + home + "/elsewhere/docs\"\n", "/elsewhere/docs"},
      {"the last line counts", "XDG_DOCUMENTS_DIR=\"$HOME/first\"\nXDG_DOCUMENTS_DIR=\"$HOME/second\"\n", "second"},
      {"the home itself", "XDG_DOCUMENTS_DIR=\"$HOME\"\n", ""},
      {"a relative folder is ignored", "XDG_DOCUMENTS_DIR=\"relative/docs\"\n", "Documents"},
      {"an unclosed quote is ignored", "XDG_DOCUMENTS_DIR=\"$HOME/open\n", "Documents"},
      {"$HOME as a prefix of a word", "XDG_DOCUMENTS_DIR=\"$HOMEWORK\"\n", "Documents"},
      {"another folder only", "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", "Documents"},
      {"a commented line", "#XDG_DOCUMENTS_DIR=\"$HOME/not-this\"\n", "Documents"},
  };
  for (const auto& c : cases) {
    fs::remove_all(root_ / ".config");
    if (c.file) {
      fs::create_directories(root_ / ".config");
      writeText(root_ / ".config" / "user-dirs.dirs", *c.file);
    }
    const std::string expected = c.documents.empty()          ? home
                                 : c.documents.front() == '/' ? home + c.documents
                                                              : home + "/" + c.documents;
    EXPECT_EQ(files_.documentsDirectory(), expected) << c.name;
    EXPECT_TRUE(fs::is_directory(expected)) << c.name;
    if (!c.documents.empty()) {
      EXPECT_EQ(modeOf(expected), 0700u) << c.name;
    }
  }

  // The file is looked for in the desktop's configuration folder.
  Settings configured = withHome(root_);
  configured.xdgConfigHome = (root_ / "cfg").string();
  const FileManager configuredFiles(configured);
  fs::create_directories(root_ / "cfg");
  writeText(root_ / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/from-cfg\"\n");
  EXPECT_EQ(configuredFiles.documentsDirectory(), home + "/from-cfg");

  // A folder that exists keeps its mode; one that cannot be made is still named (the
  // write that follows says why it fails).
  fs::create_directories(root_ / "open");
  ::chmod((root_ / "open").c_str(), 0755);
  writeText(root_ / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/open\"\n");
  EXPECT_EQ(configuredFiles.documentsDirectory(), home + "/open");
  EXPECT_EQ(modeOf(root_ / "open"), 0755u);
  writeText(root_ / "a-file", "x");
  writeText(root_ / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/a-file/docs\"\n");
  EXPECT_EQ(configuredFiles.documentsDirectory(), home + "/a-file/docs");
  EXPECT_FALSE(fs::exists(root_ / "a-file" / "docs"));
}

TEST_F(FileManagerTest, AtomicWriteReplacesTheFileWholeAndKeepsItsMode) {
  const fs::path hosts = root_ / "hosts";
  writeText(hosts, "old content");
  ::chmod(hosts.c_str(), 0640);
  // A reader that has the old file open, and a second name of it, keep the old bytes:
  // the new content arrives as a new file, never over the old one.
  std::ifstream reader(hosts);
  fs::create_hard_link(hosts, root_ / "old-name");

  ASSERT_TRUE(files_.write(hosts.string(), std::string_view("127.0.0.1\tblocked.example\n")));
  EXPECT_EQ(readText(hosts), "127.0.0.1\tblocked.example\n");
  EXPECT_EQ(modeOf(hosts), 0640u);
  std::string oldSeen;
  std::getline(reader, oldSeen);
  EXPECT_EQ(oldSeen, "old content");
  EXPECT_EQ(readText(root_ / "old-name"), "old content");
  EXPECT_EQ(namesIn(root_), (std::vector<std::string>{"hosts", "old-name"}));  // no temporary left
}

TEST_F(FileManagerTest, ANewFileGetsTheUsualModeNotAPrivateOne) {
  const mode_t previous = ::umask(027);
  const auto written = files_.write((root_ / "new").string(), std::string_view("x"));
  ::umask(previous);
  ASSERT_TRUE(written);
  EXPECT_EQ(modeOf(root_ / "new"), 0640u);
}

TEST_F(FileManagerTest, WriteInPlaceKeepsTheFile) {
  const fs::path notes = root_ / "notes.txt";
  writeText(notes, "a longer old content");
  fs::create_hard_link(notes, root_ / "same-file");
  ASSERT_TRUE(files_.write(notes.string(), toData("new"), false));
  EXPECT_EQ(readText(notes), "new");
  EXPECT_EQ(readText(root_ / "same-file"), "new");
}

TEST_F(FileManagerTest, FailedWritesSayWhyAndLeaveNothingBehind) {
  fs::create_directory(root_ / "folder");
  writeText(root_ / "folder/inside", "kept");
  struct Case {
    const char* name;
    fs::path path;
    bool atomically;
    std::errc expected;
  };
  const Case cases[] = {
      {"a folder in the way", root_ / "folder", true, std::errc::is_a_directory},
      {"a folder in the way, in place", root_ / "folder", false, std::errc::is_a_directory},
      {"a missing folder", root_ / "missing/file", true, std::errc::no_such_file_or_directory},
      {"a file as folder", root_ / "folder/inside/file", true, std::errc::not_a_directory},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto written = files_.write(c.path.string(), std::string_view("bytes"), c.atomically);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, std::make_error_code(c.expected));
    EXPECT_NE(written.error().localizedDescription().find(c.path.string()), std::string::npos);
  }
  EXPECT_EQ(namesIn(root_ / "folder"), (std::vector<std::string>{"inside"}));
  EXPECT_EQ(readText(root_ / "folder/inside"), "kept");
  EXPECT_EQ(namesIn(root_), (std::vector<std::string>{"folder"}));
}

TEST_F(FileManagerTest, ContentsReadsTheWholeFile) {
  std::string big(200000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  writeText(root_ / "big", big);
  const auto data = files_.contents((root_ / "big").string());
  ASSERT_TRUE(data);
  EXPECT_EQ(toString(*data), big);

  const auto missing = files_.contents((root_ / "missing").string());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().localizedDescription(),
            "Could not read \"" + (root_ / "missing").string() + "\": No such file or directory");
  EXPECT_EQ(files_.contents(root_.string()).error().code, std::make_error_code(std::errc::is_a_directory));
}

TEST_F(FileManagerTest, RemoveItemRemovesFilesLinksAndWholeFolders) {
  writeText(root_ / "target", "stays");
  fs::create_symlink(root_ / "target", root_ / "link");
  fs::create_directories(root_ / "tree/a/b");
  writeText(root_ / "tree/a/b/file", "x");
  writeText(root_ / "tree/.hidden", "x");
  fs::create_symlink(root_ / "target", root_ / "tree/link-inside");

  EXPECT_TRUE(files_.removeItem((root_ / "link").string()));
  EXPECT_TRUE(files_.removeItem((root_ / "tree").string()));
  EXPECT_EQ(namesIn(root_), (std::vector<std::string>{"target"}));
  EXPECT_EQ(readText(root_ / "target"), "stays");  // links were removed, not followed

  const auto missing = files_.removeItem((root_ / "tree").string());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, std::make_error_code(std::errc::no_such_file_or_directory));
}

TEST_F(FileManagerTest, ExistenceAndExecutability) {
  writeText(root_ / "plain", "x");
  writeText(root_ / "tool", "#!/bin/sh\n");
  ::chmod((root_ / "plain").c_str(), 0644);
  ::chmod((root_ / "tool").c_str(), 0755);
  fs::create_directory(root_ / "App.app");
  fs::create_symlink(root_ / "nowhere", root_ / "dangling");

  struct Case {
    const char* name;
    bool exists;
    bool isDirectory;
    bool executable;
  };
  const Case cases[] = {
      {"plain", true, false, false},     {"tool", true, false, true},      {"App.app", true, true, true},
      {"dangling", false, false, false}, {"missing", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool isDirectory = false;
    const std::string path = (root_ / c.name).string();
    EXPECT_EQ(files_.fileExists(path, isDirectory), c.exists);
    EXPECT_EQ(files_.fileExists(path), c.exists);
    EXPECT_EQ(isDirectory, c.isDirectory);
    EXPECT_EQ(files_.isExecutableFile(path), c.executable);
  }
}

TEST_F(FileManagerTest, CreateDirectory) {
  const fs::path nested = root_ / "Documents/SavedFiles/deeper";
  ASSERT_TRUE(files_.createDirectory(nested.string()));
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_TRUE(files_.createDirectory(nested.string()));  // already there: fine
  EXPECT_TRUE(files_.createDirectory(nested.string() + "/"));

  writeText(root_ / "file", "x");
  EXPECT_EQ(files_.createDirectory((root_ / "file/sub").string()).error().code,
            std::make_error_code(std::errc::not_a_directory));
  EXPECT_EQ(files_.createDirectory((root_ / "file").string()).error().code,
            std::make_error_code(std::errc::not_a_directory));
  EXPECT_EQ(files_.createDirectory(nested.string(), false).error().code, std::make_error_code(std::errc::file_exists));
  EXPECT_EQ(files_.createDirectory((root_ / "no/parent").string(), false).error().code,
            std::make_error_code(std::errc::no_such_file_or_directory));
}

TEST_F(FileManagerTest, ContentsOfDirectoryListsDirectEntriesWithHiddenOnes) {
  fs::create_directories(root_ / "apps/Mail.app/Contents");
  writeText(root_ / "apps/.hidden", "x");
  writeText(root_ / "apps/Zed", "x");
  writeText(root_ / "apps/Mail.app/Contents/Info", "x");
  const auto listing = files_.contentsOfDirectory((root_ / "apps").string());
  ASSERT_TRUE(listing);
  const std::string folder = (root_ / "apps").string();
  EXPECT_EQ(*listing, (std::vector<std::string>{folder + "/.hidden", folder + "/Mail.app", folder + "/Zed"}));
  EXPECT_EQ(*files_.contentsOfDirectory(folder + "/"), *listing);

  EXPECT_EQ(files_.contentsOfDirectory((root_ / "missing").string()).error().code,
            std::make_error_code(std::errc::no_such_file_or_directory));
  EXPECT_EQ(files_.contentsOfDirectory((root_ / "apps/Zed").string()).error().code,
            std::make_error_code(std::errc::not_a_directory));
}

TEST_F(FileManagerTest, MoveItemNeverReplaces) {
  writeText(root_ / "a", "a");
  writeText(root_ / "b", "b");
  EXPECT_EQ(files_.moveItem((root_ / "a").string(), (root_ / "b").string()).error().code,
            std::make_error_code(std::errc::file_exists));
  EXPECT_EQ(readText(root_ / "a"), "a");
  EXPECT_EQ(readText(root_ / "b"), "b");

  fs::create_directories(root_ / "folder/sub");
  writeText(root_ / "folder/sub/f", "f");
  ASSERT_TRUE(files_.moveItem((root_ / "folder").string(), (root_ / "moved").string()));
  EXPECT_EQ(readText(root_ / "moved/sub/f"), "f");
  EXPECT_FALSE(fs::exists(root_ / "folder"));
  EXPECT_FALSE(files_.moveItem((root_ / "missing").string(), (root_ / "c").string()));
}

TEST_F(FileManagerTest, MoveItemAcrossFileSystemsCopiesAndRemoves) {
  struct stat here {
  }, there{};
  if (::stat("/dev/shm", &there) != 0 || ::stat(root_.c_str(), &here) != 0 || here.st_dev == there.st_dev) {
    GTEST_SKIP() << "no second file system to move to (/dev/shm is missing or on the test folder's file system)";
  }
  // A chroot or container may mount /dev/shm read-only or leave it to root alone.
  std::string pattern = "/dev/shm/files-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    GTEST_SKIP() << "no second file system to move to: cannot make a folder in /dev/shm ("
                 << std::generic_category().message(errno) << ")";
  }
  const fs::path other = pattern;
  fs::create_directories(root_ / "folder/sub");
  writeText(root_ / "folder/sub/f", "content");
  ::chmod((root_ / "folder/sub/f").c_str(), 0751);
  const auto moved = files_.moveItem((root_ / "folder").string(), (other / "folder").string());
  const std::string content = readText(other / "folder/sub/f");
  const mode_t mode = modeOf(other / "folder/sub/f");
  fs::remove_all(other);
  ASSERT_TRUE(moved);
  EXPECT_EQ(content, "content");
  EXPECT_EQ(mode, 0751u);
  EXPECT_FALSE(fs::exists(root_ / "folder"));
}

TEST_F(FileManagerTest, CopyItemCopiesTreesLinksAndModes) {
  fs::create_directories(root_ / "src/sub");
  writeText(root_ / "src/sub/tool", "#!/bin/sh\n");
  ::chmod((root_ / "src/sub/tool").c_str(), 0750);
  writeText(root_ / "src/.hidden", "h");
  fs::create_symlink("sub/tool", root_ / "src/link");
  ::chmod((root_ / "src/sub").c_str(), 0710);

  ASSERT_TRUE(files_.copyItem((root_ / "src").string(), (root_ / "dst").string()));
  EXPECT_EQ(readText(root_ / "dst/sub/tool"), "#!/bin/sh\n");
  EXPECT_EQ(modeOf(root_ / "dst/sub/tool"), 0750u);
  EXPECT_EQ(modeOf(root_ / "dst/sub"), 0710u);
  EXPECT_EQ(readText(root_ / "dst/.hidden"), "h");
  EXPECT_EQ(fs::read_symlink(root_ / "dst/link"), "sub/tool");
  EXPECT_EQ(readText(root_ / "src/sub/tool"), "#!/bin/sh\n");  // the source stays

  EXPECT_EQ(files_.copyItem((root_ / "src/.hidden").string(), (root_ / "dst/.hidden").string()).error().code,
            std::make_error_code(std::errc::file_exists));
  EXPECT_EQ(files_.copyItem((root_ / "src").string(), (root_ / "src/sub/again").string()).error().code,
            std::make_error_code(std::errc::invalid_argument));
  EXPECT_FALSE(fs::exists(root_ / "src/sub/again"));
  EXPECT_FALSE(files_.copyItem((root_ / "missing").string(), (root_ / "x").string()));
  EXPECT_FALSE(fs::exists(root_ / "x"));
}

}  // namespace
}  // namespace platform
