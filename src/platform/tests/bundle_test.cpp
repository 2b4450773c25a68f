// The main bundle: identity and resource lookup.
#include "platform/bundle.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace platform {
namespace {

namespace fs = std::filesystem;

// What the search finds from a build tree: the source tree's resources, when there are any.
fs::path sourceResources() {
  const fs::path folder = fs::path(MOPET_SOURCE_DIR) / "resources";
  return fs::is_directory(folder) ? fs::weakly_canonical(folder) : fs::path();
}

fs::path canonical(const std::string& folder) { return folder.empty() ? fs::path() : fs::weakly_canonical(folder); }

class BundleTest : public ::testing::Test {
 protected:
  BundleTest() { folder_ = testsupport::makeTemporaryFolder("bundle-test"); }
  ~BundleTest() override {
    Bundle::main().setResourcePath("");
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  fs::path folder_;
};

TEST_F(BundleTest, IdentifierAndOneInstance) {
  EXPECT_EQ(Bundle::main().bundleIdentifier(), "so.velmorhome.mopet.agent");
  EXPECT_EQ(&Bundle::main(), &Bundle::main());
}

TEST_F(BundleTest, FindsTheSourceTreesResourcesFromABuildTree) {
  // The test executable lives in the build tree, which has no resources folder of its own.
  EXPECT_EQ(canonical(Bundle::main().resourcePath()), sourceResources());
}

TEST_F(BundleTest, LooksResourcesUpByNameAndType) {
  std::ofstream(folder_ / "wordsSafeSearch.json") << "[]";
  std::ofstream(folder_ / "README") << "x";
  fs::create_directories(folder_ / "nibs/Main.nib");
  std::ofstream(folder_ / "nibs/Status.json") << "{}";
  std::ofstream(folder_.parent_path() / (folder_.filename().string() + "-outside.json")) << "{}";
  Bundle::main().setResourcePath(folder_.string());
  EXPECT_EQ(Bundle::main().resourcePath(), folder_.string());

  struct Case {
    const char* name;
    const char* type;
    std::optional<fs::path> expected;
  };
  const std::string outside = "../" + folder_.filename().string() + "-outside";
  const Case cases[] = {
      {"wordsSafeSearch", "json", folder_ / "wordsSafeSearch.json"},
      {"README", "", folder_ / "README"},
      {"nibs/Status", "json", folder_ / "nibs/Status.json"},
      {"nibs/Main", "nib", folder_ / "nibs/Main.nib"},
      {"wordsSafeSearch", "txt", std::nullopt},
      {"missing", "json", std::nullopt},
      {"", "", std::nullopt},
      {outside.c_str(), "json", std::nullopt},
      {"nibs/../wordsSafeSearch", "json", std::nullopt},
      {"/etc/passwd", "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "." + c.type);
    const auto found = Bundle::main().path(c.name, c.type);
    EXPECT_EQ(found.has_value(), c.expected.has_value());
    if (found && c.expected) {
      EXPECT_EQ(fs::path(*found), *c.expected);
    }
  }
  fs::remove(folder_.parent_path() / (folder_.filename().string() + "-outside.json"));

  Bundle::main().setResourcePath("");  // searches again
  EXPECT_EQ(canonical(Bundle::main().resourcePath()), sourceResources());
}

}  // namespace
}  // namespace platform
