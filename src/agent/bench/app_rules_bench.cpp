// An app-rule reply of 100,000 blocked identifiers: the reply handled as the agent
// handles it (decoded, its lines printed, every identifier stored) and then enforced by
// one pass over 1,000 running applications; beside it the least the same work can
// cost: the reply's identifiers parsed into a set and each running name looked up.
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/app_delegate.h"
#include "agent/tests/fixtures/delegate_platform.h"
#include "networks/shared_settings.h"
#include "networks/url_protocol_stub.h"
#include "platform/fakes/fake_workspace.h"
#include "platform/log.h"
#include "platform/user_defaults.h"
#include "support/scoped_user_defaults.h"
#include "support/temp_files.h"

namespace {

constexpr int kIdentifiers = 100000;
constexpr int kRunning = 1000;

// The reply: one black-list rule naming every identifier.
std::string appRuleReply() {
  nlohmann::json applications = nlohmann::json::array();
  for (int i = 0; i < kIdentifiers; ++i) {
    applications.push_back({{"id", "app-" + std::to_string(i)},
                            {"name", "Blocked Game " + std::to_string(i)},
                            {"pk", "com.blocked.game" + std::to_string(i)}});
  }
  nlohmann::json body = {
      {"rules", {{{"_id", "rule-1"}, {"rule_type", "BLACK_LIST"}, {"applications", std::move(applications)}}}},
      {"message", "ok"}};
  return body.dump();
}

// Running applications none of which is blocked, so the pass looks up every name.
std::vector<platform::FakeWorkspace::Application> runningApplications() {
  std::vector<platform::FakeWorkspace::Application> apps;
  for (int i = 0; i < kRunning; ++i) {
    platform::FakeWorkspace::Application a;
    a.bundleIdentifier = "org.example.running" + std::to_string(i);
    a.processIdentifier = 1000 + i;
    apps.push_back(a);
  }
  return apps;
}

// Keeps the agent's printed lines out of the figures (they are still made).
struct Discard : platform::LogSink {
  void write(const platform::LogEntry&) override {}
};

void BM_AppRuleReply_100000(benchmark::State& state) {
  testsupport::TempFiles home;
  testsupport::ScopedUserDefaults defaults;
  agent::testing::DelegatePlatform fakes;
  fakes.useFiles(home.files());
  fakes.workspace.setRunningApplications(runningApplications());
  defaults.suite().set(std::string(networks::kSharedChildToken), std::string("bench-token"));
  const std::string reply = appRuleReply();
  networks::URLProtocolStub::stub(platform::Data(reply.begin(), reply.end()), nullptr, std::nullopt);
  auto previous = platform::StandardOutput::setSink(std::make_shared<Discard>());
  auto delegate = std::make_shared<agent::AppDelegate>(fakes.bundle());
  auto stored = [&] {
    return delegate->blockingAppsArrayString.modify([](const std::set<std::string>& set) { return set.size(); });
  };
  for (auto _ : state) {
    state.PauseTiming();
    delegate->blockingAppsArrayString.set({});
    state.ResumeTiming();
    delegate->getAppRule();  // its own pass finds the set still empty
    // The reply is handled on the session's queue; it is done with its last identifier.
    while (stored() < static_cast<std::size_t>(kIdentifiers)) std::this_thread::yield();
    delegate->blockAppsByRule();
  }
  platform::StandardOutput::setSink(previous);
  if (!fakes.workspace.signals().empty()) state.SkipWithError("a running application was signalled");
}
BENCHMARK(BM_AppRuleReply_100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The least the same work can cost: the identifiers parsed into a set, and one look at
// the running applications with each of their names looked up in it.
void BM_AppRuleIdentifiersIntoSet_100000(benchmark::State& state) {
  platform::FakeWorkspace workspace;
  workspace.setRunningApplications(runningApplications());
  const std::string reply = appRuleReply();
  for (auto _ : state) {
    std::set<std::string> blocked;
    for (const auto& rule : nlohmann::json::parse(reply)["rules"])
      for (const auto& application : rule["applications"]) blocked.insert(application["pk"].get<std::string>());
    std::size_t found = 0;
    for (const auto& application : workspace.runningApplications())
      for (const auto& name : application->names()) found += blocked.contains(name);
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_AppRuleIdentifiersIntoSet_100000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
