// The delegate's answers to a system-extension request and the content-filter
// configuration a finished request writes, with its log lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "agent/app_delegate.h"
#include "agent/tests/fixtures/delegate_platform.h"
#include "agent/tests/support/printed.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/fakes/fake_content_filter.h"
#include "platform/log.h"
#include "platform/run_loop.h"
#include "support/scoped_user_defaults.h"
#include "support/temp_files.h"

namespace agent {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Operation = platform::FakeFilterManager::Operation;
using State = platform::ContentFilterManager::State;

class ContentFilterTest : public ::testing::Test {
 protected:
  ContentFilterTest() : request_(platform::SystemExtensionRequest::activationRequest(kProvider)), driver_(request_) {
    request_->setDelegate(delegate_.get());
  }

  platform::FakeFilterManager& filter() { return fakes_.contentFilter; }

  // Finishes the request for `delegate` and runs the main loop until `filter` saved (or
  // the time ran out); returns what was printed.
  std::string finish(platform::SystemExtensionRequestResult result, platform::FakeFilterManager& filter,
                     AppDelegate& delegate) {
    request_->setDelegate(&delegate);
    platform::CapturedOutput captured;
    EXPECT_TRUE(driver_.finish(result));
    // Nothing but the load has been asked yet: the rest waits half a second.
    EXPECT_THAT(filter.calls(), ElementsAre(Operation::load));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(platform::RunLoop::main().runUntil([&] { return filter.calls().size() == 2; }, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
    filter.drain();
    return agenttest::printedText(captured.take());
  }
  std::string finish(platform::SystemExtensionRequestResult result) { return finish(result, filter(), *delegate_); }

  static constexpr const char* kProvider = "so.velmorhome.mopet.agent.ContentFilter";

  // A delegate over `fakes`, the fixture's file manager and user defaults.
  std::shared_ptr<AppDelegate> makeDelegate(testing::DelegatePlatform& fakes) {
    fakes.useFiles(home_.files());
    return fakes.makeDelegate();
  }

  testsupport::TempFiles home_;
  testsupport::ScopedUserDefaults defaults_;
  testing::DelegatePlatform fakes_;
  std::shared_ptr<AppDelegate> delegate_ = makeDelegate(fakes_);
  std::shared_ptr<platform::SystemExtensionRequest> request_;
  platform::SystemExtensionRequestDriver driver_;
  std::shared_ptr<platform::CapturingLogSink> log_ = std::make_shared<platform::CapturingLogSink>();
  platform::ScopedLogSink scopedLog_{log_};
};

TEST_F(ContentFilterTest, AFinishedRequestWithoutConfigurationCreatesEnablesAndSavesOne) {
  platform::FilterProviderConfiguration expected;
  expected.filterDataProviderBundleIdentifier = kProvider;
  expected.filterSockets = true;
  expected.filterPackets = false;
  // Both results are handled alike.
  for (const auto result : {platform::SystemExtensionRequestResult::completed,
                            platform::SystemExtensionRequestResult::willCompleteAfterReboot}) {
    SCOPED_TRACE(static_cast<int>(result));
    testing::DelegatePlatform fakes;
    auto delegate = makeDelegate(fakes);
    EXPECT_EQ(finish(result, fakes.contentFilter, *delegate), "didFinishWithResult\n");
    EXPECT_THAT(fakes.contentFilter.calls(), ElementsAre(Operation::load, Operation::save));
    EXPECT_EQ(fakes.contentFilter.stored(), (State{expected, "Velmor Mopet", true}));
  }
  EXPECT_THAT(log_->entries(), IsEmpty());
}

TEST_F(ContentFilterTest, AnExistingConfigurationIsKeptAndEnabled) {
  platform::FilterProviderConfiguration existing;
  existing.filterPackets = true;
  existing.filterPacketProviderBundleIdentifier = "org.other.packets";
  existing.organization = "Other";
  filter().setStored(State{existing, "Someone else's filter", false});

  EXPECT_EQ(finish(platform::SystemExtensionRequestResult::completed), "didFinishWithResult\n");
  EXPECT_EQ(filter().stored(), (State{existing, "Someone else's filter", true}));
  EXPECT_THAT(log_->entries(), IsEmpty());

  // A second finished request finds the saved configuration and saves it again.
  testing::DelegatePlatform again;
  again.contentFilter.setStored(filter().stored());
  auto delegate = makeDelegate(again);
  finish(platform::SystemExtensionRequestResult::completed, again.contentFilter, *delegate);
  EXPECT_EQ(again.contentFilter.stored(), (State{existing, "Someone else's filter", true}));
}

TEST_F(ContentFilterTest, LoadAndSaveFailuresGoToTheLog) {
  const platform::Error denied{platform::kFilterErrorDomain, platform::FilterErrorCode::configurationPermissionDenied,
                               "permission denied"};
  const platform::Error stale{platform::kFilterErrorDomain, platform::FilterErrorCode::configurationStale, "stale"};
  filter().failNext(Operation::load, denied);
  filter().failNext(Operation::save, stale);

  finish(platform::SystemExtensionRequestResult::completed);

  // The block ran despite the failed load; the failed save stored nothing.
  EXPECT_EQ(filter().stored(), std::nullopt);
  ASSERT_TRUE(log_->waitForEntries(2, 2s));
  const auto entries = log_->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].text, "QRVNSFilterLog: Failed to load the filter configuration: " + denied.description());
  EXPECT_EQ(entries[1].text, "QRVNSFilterLog: Failed to save the filter configuration: " + stale.description());
  for (const auto& entry : entries) {
    EXPECT_EQ(entry.subsystem, "so.velmorhome.mopet.agent");
    EXPECT_EQ(entry.category, "ContentBlockerQRV");
    EXPECT_EQ(entry.type, platform::LogType::Default);
  }
}

TEST_F(ContentFilterTest, TheOtherAnswersOnlyPrint) {
  const platform::ExtensionProperties installed{kProvider, "1", "1.0", "/old"};
  const platform::ExtensionProperties offered{kProvider, "2", "2.0", "/new"};
  platform::CapturedOutput captured;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(driver_.askToReplace(installed, offered), platform::ExtensionReplacementAction::cancel);
  }
  EXPECT_TRUE(driver_.needsUserApproval());
  EXPECT_TRUE(driver_.fail(platform::Error{"OSSystemExtensionErrorDomain", 8, "The request was rejected."}));
  EXPECT_THAT(captured.take(), ElementsAre("requestNeedsUserApproval", "didFailWithError: The request was rejected."));
  // Nothing touched the filter, now or later.
  platform::RunLoop::main().runUntil(std::chrono::steady_clock::now() + 600ms);
  EXPECT_THAT(filter().calls(), IsEmpty());
  EXPECT_THAT(log_->entries(), IsEmpty());
}

TEST_F(ContentFilterTest, NoConfigurationIsWrittenOnceTheDelegateIsGone) {
  platform::CapturedOutput quiet;  // keeps the printed lines off the test output
  ASSERT_TRUE(driver_.finish(platform::SystemExtensionRequestResult::completed));
  delegate_.reset();
  platform::RunLoop::main().runUntil(std::chrono::steady_clock::now() + 700ms);
  filter().drain();
  EXPECT_THAT(filter().calls(), ElementsAre(Operation::load));
}

}  // namespace
}  // namespace agent
