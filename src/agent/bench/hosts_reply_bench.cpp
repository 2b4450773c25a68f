// A web-rule reply of 100,000 blocked domains, handled as it arrives (decoded, every
// domain checked and converted, the host list replaced) and enforced by the next tick's
// write of the hosts file (checked again, written atomically); beside it, writing the
// same hosts text with no decoding and no checks.
#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <streambuf>
#include <string>

#include "agent/app_delegate.h"
#include "agent/hosts_filter.h"
#include "agent/tests/fixtures/delegate_platform.h"
#include "platform/data.h"
#include "platform/fakes/fake_workspace.h"
#include "platform/file_manager.h"
#include "platform/url_session.h"
#include "support/scoped_user_defaults.h"
#include "support/temp_files.h"

namespace {

constexpr int kReplyDomains = 100000;

// Keeps the agent's printed lines (the body, a "model:" line per domain) off the terminal;
// they are still made.
class NoOutput {
 public:
  NoOutput() : previous_(std::cout.rdbuf(&null_)) {}
  ~NoOutput() { std::cout.rdbuf(previous_); }
  NoOutput(const NoOutput&) = delete;
  NoOutput& operator=(const NoOutput&) = delete;

 private:
  struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
  } null_;
  std::streambuf* previous_;
};

// The body as the service sends it: every domain blocked.
const platform::Data& replyBody() {
  static const platform::Data body = [] {
    std::string text = R"({"categoryRules":[],"exceptions":[)";
    for (int i = 0; i < kReplyDomains; ++i) {
      if (i) text += ',';
      text += R"({"_id":"e)" + std::to_string(i) + R"(","domain":"blocked-)" + std::to_string(i) +
              R"(.example.com","rule":{"is_blocked":true}})";
    }
    text += "]}";
    return platform::Data(text.begin(), text.end());
  }();
  return body;
}

struct HostsBench {
  testsupport::TempFiles home;
  testsupport::ScopedUserDefaults defaults;
  agent::testing::DelegatePlatform fakes;
  platform::FakeWorkspace workspace;
  std::shared_ptr<agent::AppDelegate> delegate = [this] {
    fakes.useFiles(home.files());
    return std::make_shared<agent::AppDelegate>(fakes.bundle(workspace));
  }();
  std::string path = (home.path() / "hosts").string();
};

void BM_WebRuleReply_100000(benchmark::State& state) {
  HostsBench bench;
  const auto response =
      std::make_shared<platform::HTTPURLResponse>("https://api.example/web", 200, platform::HeaderList{});
  const platform::Data& body = replyBody();
  NoOutput quiet;
  std::size_t entries = 0;
  for (auto _ : state) {
    agent::handleWebRuleReply(bench.delegate->g_input, bench.delegate->g_input_org, body, response, std::nullopt);
    auto written = bench.delegate->createHostsFile(bench.delegate->g_input.get(), bench.path);
    if (!written) state.SkipWithError("write failed");
    entries = bench.delegate->g_input.get().size();
  }
  if (entries != agent::defaultHostEntries().size() + kReplyDomains) state.SkipWithError("domains not all applied");
  state.SetItemsProcessed(state.iterations() * kReplyDomains);
}
BENCHMARK(BM_WebRuleReply_100000)->Unit(benchmark::kMillisecond);

// The baseline: the same hosts text, made beforehand, written the same way.
void BM_HostsTextWrite_100000(benchmark::State& state) {
  HostsBench bench;
  agent::HostEntries entries = agent::defaultHostEntries();
  for (int i = 0; i < kReplyDomains; ++i)
    entries.emplace_back("blocked-" + std::to_string(i) + ".example.com", "127.0.0.1");
  const std::string text = agent::hostsFileText(entries);
  const auto& files = bench.home.files();
  for (auto _ : state) {
    if (!files.write(bench.path, text, true)) state.SkipWithError("write failed");
  }
  state.SetItemsProcessed(state.iterations() * kReplyDomains);
}
BENCHMARK(BM_HostsTextWrite_100000)->Unit(benchmark::kMillisecond);

}  // namespace
