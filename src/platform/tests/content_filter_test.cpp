// The content-filter configuration kept in a property-list file, its fake, and the
// system-extension request delegate driven as the system would.
#include "platform/content_filter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fakes/fake_content_filter.h"
#include "platform/user_defaults.h"
#include "support/temp_files.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Outcome {
  std::optional<Error> error;
  std::thread::id thread;
};

// Runs one asynchronous operation and waits for its completion.
Outcome await(const std::function<void(ContentFilterManager::Completion)>& operation) {
  std::promise<Outcome> promise;
  auto future = promise.get_future();
  operation([&promise](std::optional<Error> error) {
    promise.set_value({std::move(error), std::this_thread::get_id()});
  });
  if (future.wait_for(5s) != std::future_status::ready) {
    ADD_FAILURE() << "the completion never ran";
    return {};
  }
  return future.get();
}

Outcome load(ContentFilterManager& m) {
  return await([&](auto c) { m.loadFromPreferences(std::move(c)); });
}
Outcome save(ContentFilterManager& m) {
  return await([&](auto c) { m.saveToPreferences(std::move(c)); });
}
Outcome remove(ContentFilterManager& m) {
  return await([&](auto c) { m.removeFromPreferences(std::move(c)); });
}

FilterProviderConfiguration socketFilter() {
  FilterProviderConfiguration c;
  c.filterDataProviderBundleIdentifier = "so.velmorhome.mopet.agent.ContentFilter";
  c.filterSockets = true;
  c.filterPackets = false;
  return c;
}

class PlistFilterManagerTest : public ::testing::Test {
 protected:
  testsupport::TempFiles home;
  const std::string app = "so.velmorhome.mopet.agent";
};

TEST_F(PlistFilterManagerTest, LoadBeforeAnyConfigurationGivesAnEmptyOneAndAnEmptySaveIsRefused) {
  PlistFilterManager manager(home.files(), app);
  EXPECT_EQ(manager.path(), (home.path() / "Library/Preferences/so.velmorhome.mopet.networkextension.plist").string());
  manager.setLocalizedDescription("left over");

  auto loaded = load(manager);
  EXPECT_FALSE(loaded.error.has_value());
  EXPECT_NE(loaded.thread, std::this_thread::get_id());  // on the manager's own queue
  EXPECT_EQ(manager.state(), ContentFilterManager::State{});

  manager.setEnabled(true);
  auto saved = save(manager);
  ASSERT_TRUE(saved.error.has_value());
  EXPECT_EQ(saved.error->domain, "NEFilterErrorDomain");
  EXPECT_EQ(saved.error->code, FilterErrorCode::configurationInvalid);
  EXPECT_FALSE(fs::exists(manager.path()));  // nothing stored
}

TEST_F(PlistFilterManagerTest, ASavedConfigurationIsWhatTheNextLoadFindsInAnotherManager) {
  {
    PlistFilterManager first(home.files(), app);
    ASSERT_FALSE(load(first).error);
    first.setProviderConfiguration(socketFilter());
    first.setLocalizedDescription("Velmor Mopet");
    first.setEnabled(true);
    auto saved = save(first);
    ASSERT_FALSE(saved.error) << saved.error->description();
  }
  std::stringstream text;
  text << std::ifstream(PlistFilterManager::defaultPath(home.files())).rdbuf();
  EXPECT_NE(text.str().find("<key>filterDataProviderBundleIdentifier</key>"), std::string::npos);
  EXPECT_NE(text.str().find("<string>so.velmorhome.mopet.agent.ContentFilter</string>"), std::string::npos);

  PlistFilterManager second(home.files(), app);
  ASSERT_FALSE(load(second).error);
  EXPECT_EQ(second.providerConfiguration(), socketFilter());
  EXPECT_EQ(second.localizedDescription(), "Velmor Mopet");
  EXPECT_TRUE(second.isEnabled());

  // Another application's configuration lives beside it and is its own.
  PlistFilterManager other(home.files(), "com.example.other", second.path());
  ASSERT_FALSE(load(other).error);
  EXPECT_FALSE(other.providerConfiguration().has_value());

  ASSERT_FALSE(remove(second).error);
  EXPECT_EQ(second.state(), ContentFilterManager::State{});
  PlistFilterManager third(home.files(), app);
  third.setEnabled(true);
  ASSERT_FALSE(load(third).error);
  EXPECT_FALSE(third.isEnabled());
}

TEST_F(PlistFilterManagerTest, EveryFieldSurvivesTheFile) {
  FilterProviderConfiguration full;
  full.filterSockets = true;
  full.filterPackets = true;
  full.filterDataProviderBundleIdentifier = "a.data";
  full.filterPacketProviderBundleIdentifier = "a.packet";
  full.organization = "Velmor";
  full.serverAddress = "filter.example.test";
  full.username = "child";
  full.vendorConfiguration = PlistValue::Dictionary{
      {"level", PlistValue(std::int64_t{-3})},
      {"ratio", PlistValue(0.25)},
      {"blob", PlistValue(Data{0, 1, 255})},
      {"hosts", PlistValue(PlistValue::Array{PlistValue("a"), PlistValue("b")})},
      {"nested", PlistValue(PlistValue::Dictionary{{"on", PlistValue(true)}})},
  };
  PlistFilterManager writer(home.files(), app);
  writer.setProviderConfiguration(full);
  writer.setLocalizedDescription("Ünïcode description");
  ASSERT_FALSE(save(writer).error);

  PlistFilterManager reader(home.files(), app);
  ASSERT_FALSE(load(reader).error);
  EXPECT_EQ(reader.providerConfiguration(), full);
  EXPECT_EQ(reader.localizedDescription(), "Ünïcode description");
  EXPECT_FALSE(reader.isEnabled());
}

TEST_F(PlistFilterManagerTest, AStoredEntryOfTheWrongShapeFailsTheLoadAndKeepsTheMemory) {
  auto store = UserDefaults::atPath(PlistFilterManager::defaultPath(home.files()));
  store->set(app, PlistValue::Dictionary{{"enabled", PlistValue("yes")}});
  PlistFilterManager manager(home.files(), app);
  manager.setLocalizedDescription("kept");
  auto loaded = load(manager);
  ASSERT_TRUE(loaded.error.has_value());
  EXPECT_EQ(loaded.error->code, FilterErrorCode::configurationInternalError);
  EXPECT_EQ(manager.localizedDescription(), "kept");

  store->set(app, PlistValue("not a dictionary"));
  EXPECT_TRUE(load(manager).error.has_value());
}

TEST_F(PlistFilterManagerTest, OperationsCallBackInTheOrderAsked) {
  PlistFilterManager manager(home.files(), app);
  manager.setProviderConfiguration(socketFilter());
  std::mutex mutex;
  std::vector<std::string> order;
  std::promise<void> done;
  manager.saveToPreferences([&](auto) {
    std::lock_guard l(mutex);
    order.push_back("save");
  });
  manager.loadFromPreferences([&](auto) {
    std::lock_guard l(mutex);
    order.push_back("load");
  });
  manager.removeFromPreferences([&](auto) {
    {
      std::lock_guard l(mutex);
      order.push_back("remove");
    }
    done.set_value();
  });
  ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(order, (std::vector<std::string>{"save", "load", "remove"}));
}

TEST(FilterValidation, WhatCanBeSaved) {
  struct Case {
    const char* name;
    std::function<void(FilterProviderConfiguration&)> change;
    bool valid;
  };
  const Case cases[] = {
      {"sockets with a data provider", [](auto&) {}, true},
      {"neither sockets nor packets", [](auto& c) { c.filterSockets = false; }, false},
      {"sockets without a data provider", [](auto& c) { c.filterDataProviderBundleIdentifier.reset(); }, false},
      {"sockets with an empty data provider", [](auto& c) { c.filterDataProviderBundleIdentifier = ""; }, false},
      {"packets without a packet provider", [](auto& c) { c.filterPackets = true; }, false},
      {"packets with a packet provider",
       [](auto& c) {
         c.filterPackets = true;
         c.filterPacketProviderBundleIdentifier = "p";
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ContentFilterManager::State state;
    state.providerConfiguration = socketFilter();
    c.change(*state.providerConfiguration);
    EXPECT_EQ(!ContentFilterManager::validate(state).has_value(), c.valid);
  }
  EXPECT_TRUE(ContentFilterManager::validate(ContentFilterManager::State{}).has_value());
}

// ---- the fake -----------------------------------------------------------------

TEST(FakeFilterManagerTest, KeepsItsPreferencesInMemoryAndFailsOnRequest) {
  FakeFilterManager manager;
  EXPECT_FALSE(load(manager).error);
  EXPECT_FALSE(manager.stored().has_value());

  manager.setProviderConfiguration(socketFilter());
  manager.setEnabled(true);
  manager.failNext(FakeFilterManager::Operation::save, Error{"NEFilterErrorDomain", 5, "denied"});
  auto failed = save(manager);
  ASSERT_TRUE(failed.error.has_value());
  EXPECT_EQ(failed.error->code, 5);
  EXPECT_FALSE(manager.stored().has_value());

  EXPECT_FALSE(save(manager).error);
  ASSERT_TRUE(manager.stored().has_value());
  EXPECT_TRUE(manager.stored()->enabled);
  EXPECT_EQ(manager.calls(), (std::vector<FakeFilterManager::Operation>{FakeFilterManager::Operation::load,
                                                                        FakeFilterManager::Operation::save,
                                                                        FakeFilterManager::Operation::save}));
}

// ---- system-extension requests ------------------------------------------------

struct RecordingExtensionDelegate : SystemExtensionRequestDelegate {
  std::vector<std::string> events;
  ExtensionReplacementAction actionForReplacingExtension(SystemExtensionRequest& request,
                                                         const ExtensionProperties& existing,
                                                         const ExtensionProperties& extension) override {
    events.push_back("replace " + request.identifier() + " " + existing.bundleVersion + "->" + extension.bundleVersion);
    return ExtensionReplacementAction::cancel;
  }
  void requestNeedsUserApproval(SystemExtensionRequest&) override { events.push_back("approval"); }
  void didFinishWithResult(SystemExtensionRequest&, SystemExtensionRequestResult result) override {
    events.push_back("finished " + std::to_string(static_cast<int>(result)));
  }
  void didFailWithError(SystemExtensionRequest&, const Error& error) override {
    events.push_back("failed " + error.localizedDescription);
  }
};

TEST(SystemExtensionRequestTest, TheDriverReachesTheDelegateWhileItLives) {
  auto request = SystemExtensionRequest::activationRequest("so.velmorhome.mopet.agent.ContentFilter");
  EXPECT_EQ(request->kind(), SystemExtensionRequest::Kind::activation);
  SystemExtensionRequestDriver driver(request);
  {
    RecordingExtensionDelegate delegate;
    request->setDelegate(&delegate);
    EXPECT_EQ(driver.askToReplace({"x", "1", "1.0", ""}, {"x", "2", "2.0", ""}), ExtensionReplacementAction::cancel);
    EXPECT_TRUE(driver.needsUserApproval());
    EXPECT_TRUE(driver.finish(SystemExtensionRequestResult::willCompleteAfterReboot));
    EXPECT_TRUE(driver.fail(Error{"OSSystemExtensionErrorDomain", 4, "Extension not found"}));
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"replace so.velmorhome.mopet.agent.ContentFilter 1->2",
                                                         "approval", "finished 1", "failed Extension not found"}));
  }
  EXPECT_EQ(request->delegate(), nullptr);
  EXPECT_FALSE(driver.finish(SystemExtensionRequestResult::completed));
  EXPECT_EQ(driver.askToReplace({}, {}), std::nullopt);
}

}  // namespace
}  // namespace platform
