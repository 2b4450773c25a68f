// The local work of one enforcement tick, without the network: looking for 100
// blocked identifiers among 1,000 running processes (a scripted workspace, and the
// Linux workspace over a /proc-like tree of 1,000 processes), and writing a host list
// of 10,000 entries.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <system_error>
#include <utility>

#include "agent/app_delegate.h"
#include "agent/tests/fixtures/delegate_platform.h"
#include "platform/fakes/fake_workspace.h"
#include "support/temp_home.h"

namespace {

constexpr int kProcesses = 1000;
constexpr int kBlocked = 100;
constexpr int kHostEntries = 10000;

// Keeps the agent's diagnostics out of the figures.
class QuietOutput {
 public:
  QuietOutput() : previous_(std::cout.rdbuf(&null_)) {}
  ~QuietOutput() { std::cout.rdbuf(previous_); }

 private:
  struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
  } null_;
  std::streambuf* previous_;
};

// The delegate over the tests' fakes, with the workspace under measure.
struct Bench {
  testsupport::TempHome home;
  agent::testing::DelegatePlatform fakes;

  std::shared_ptr<agent::AppDelegate> delegate(platform::Workspace& workspace) {
    return std::make_shared<agent::AppDelegate>(fakes.bundle(workspace));
  }
};

std::set<std::string> blockedIdentifiers() {
  // None of them runs, so every look goes through the whole list and nothing ends.
  std::set<std::string> ids;
  for (int i = 0; i < kBlocked; ++i) ids.insert("com.blocked.app" + std::to_string(i));
  return ids;
}

platform::FakeWorkspace& scriptedWorkspace() {
  static platform::FakeWorkspace* workspace = [] {
    auto* w = new platform::FakeWorkspace;
    std::vector<platform::FakeWorkspace::Application> apps;
    for (int i = 0; i < kProcesses; ++i) {
      platform::FakeWorkspace::Application a;
      a.bundleIdentifier = "org.example.running" + std::to_string(i);
      a.processIdentifier = 1000 + i;
      apps.push_back(a);
    }
    w->setRunningApplications(apps);
    return w;
  }();
  return *workspace;
}

// A folder removed when the process ends.
struct TemporaryTree {
  explicit TemporaryTree(std::filesystem::path folder) : path(std::move(folder)) {}
  std::filesystem::path path;
  TemporaryTree(const TemporaryTree&) = delete;
  TemporaryTree& operator=(const TemporaryTree&) = delete;
  ~TemporaryTree() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

// A /proc-like tree: stat, status, comm, environ and an exe link per process.
const std::filesystem::path& procTree() {
  static const TemporaryTree tree{[] {
    auto dir = std::filesystem::temp_directory_path() / ("mopet-bench-proc-" + std::to_string(::getpid()));
    for (int i = 0; i < kProcesses; ++i) {
      const int pid = 1000 + i;
      auto p = dir / std::to_string(pid);
      std::filesystem::create_directories(p);
      const std::string name = "app" + std::to_string(i);
      // The whole line, as the kernel writes it for one's own process: the program
      // image's addresses differ from process to process.
      const unsigned long long code = 94922502942720ULL + 0x100000ULL * static_cast<unsigned long long>(i);
      const unsigned long long stack = 140727778260896ULL - 0x100000ULL * static_cast<unsigned long long>(i);
      std::ofstream(p / "stat") << pid << " (" << name << ") S 1 1 1 0 -1 4194304 99 0 0 0 0 0 0 0 20 0 1 0 "
                                << 100000 + i << " 3133440 408 18446744073709551615 " << code << " " << code + 19881
                                << " " << stack << " 0 0 0 0 0 0 0 0 0 17 5 0 0 0 0 0 " << code + 35888 << " "
                                << code + 37504 << " " << code + 969670656 << " " << stack + 4843 << " " << stack + 4863
                                << " " << stack + 4863 << " " << stack + 6219 << " 0\n";
      std::ofstream(p / "status") << "Name:\t" << name << "\nUid:\t" << ::getuid() << "\t" << ::getuid() << "\t"
                                  << ::getuid() << "\t" << ::getuid() << "\n";
      std::ofstream(p / "comm") << name << "\n";
      std::string environ = std::string("HOME=/home/child") + '\0' + "LANG=C.UTF-8" + '\0' + "DISPLAY=:0" + '\0';
      std::ofstream(p / "environ", std::ios::binary) << environ;
      std::filesystem::create_symlink("/opt/" + name + "/bin/" + name, p / "exe");
    }
    return dir;
  }()};
  return tree.path;
}

platform::LinuxWorkspace& procWorkspace() {
  static platform::LinuxWorkspace* workspace = [] {
    platform::WorkspaceOptions options;
    options.procRoot = procTree().string();
    return new platform::LinuxWorkspace(options);
  }();
  return *workspace;
}

// What the tick does: one list of the running applications for all identifiers.
void BM_BlockAppsByRule_Scripted(benchmark::State& state) {
  Bench bench;
  auto delegate = bench.delegate(scriptedWorkspace());
  delegate->blockingAppsArrayString.set(blockedIdentifiers());
  for (auto _ : state) delegate->blockAppsByRule();
}
BENCHMARK(BM_BlockAppsByRule_Scripted)->Unit(benchmark::kMicrosecond);

// For comparison: a fresh list for each identifier (blockAnApp on its own).
void BM_BlockAnAppEach_Scripted(benchmark::State& state) {
  Bench bench;
  auto delegate = bench.delegate(scriptedWorkspace());
  const auto ids = blockedIdentifiers();
  for (auto _ : state)
    for (const auto& id : ids) delegate->blockAnApp(id);
}
BENCHMARK(BM_BlockAnAppEach_Scripted)->Unit(benchmark::kMicrosecond);

void BM_BlockAppsByRule_ProcTree(benchmark::State& state) {
  Bench bench;
  auto delegate = bench.delegate(procWorkspace());
  delegate->blockingAppsArrayString.set(blockedIdentifiers());
  if (procWorkspace().runningApplications().size() != kProcesses) state.SkipWithError("proc tree not read");
  for (auto _ : state) delegate->blockAppsByRule();
}
BENCHMARK(BM_BlockAppsByRule_ProcTree)->Unit(benchmark::kMillisecond);

// The scan's physical limit: the same tree read once, the process list and each
// process's stat file, with nothing kept.
void BM_ProcTreeReadOnce(benchmark::State& state) {
  const std::string root = procTree().string();
  std::string text;
  for (auto _ : state) {
    std::size_t bytes = 0;
    DIR* dir = ::opendir(root.c_str());
    if (dir == nullptr) state.SkipWithError("proc tree not read");
    while (dir != nullptr) {
      const dirent* entry = ::readdir(dir);  // NOLINT(concurrency-mt-unsafe): one thread
      if (entry == nullptr) break;
      if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
      const int fd = ::open((root + "/" + entry->d_name + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      std::array<char, 4096> buffer;
      const ssize_t count = ::read(fd, buffer.data(), buffer.size());
      if (count > 0) bytes += static_cast<std::size_t>(count);
      ::close(fd);
    }
    if (dir != nullptr) ::closedir(dir);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_ProcTreeReadOnce)->Unit(benchmark::kMillisecond);

void BM_BlockAnAppEach_ProcTree(benchmark::State& state) {
  Bench bench;
  auto delegate = bench.delegate(procWorkspace());
  const auto ids = blockedIdentifiers();
  for (auto _ : state)
    for (const auto& id : ids) delegate->blockAnApp(id);
}
BENCHMARK(BM_BlockAnAppEach_ProcTree)->Unit(benchmark::kMillisecond)->Iterations(3);

agent::HostEntries manyEntries() {
  agent::HostEntries entries = agent::defaultHostEntries();
  for (int i = static_cast<int>(entries.size()); i < kHostEntries; ++i)
    entries.emplace_back("blocked-" + std::to_string(i) + ".example.com", "127.0.0.1");
  return entries;
}

void BM_CreateHostsFile_10000(benchmark::State& state) {
  Bench bench;
  platform::FakeWorkspace workspace;
  auto delegate = bench.delegate(workspace);
  const auto entries = manyEntries();
  const std::string path = (bench.home.path() / "hosts").string();
  QuietOutput quiet;
  for (auto _ : state) {
    auto written = delegate->createHostsFile(entries, path);
    if (!written) state.SkipWithError("write failed");
  }
  state.SetItemsProcessed(state.iterations() * kHostEntries);
}
BENCHMARK(BM_CreateHostsFile_10000)->Unit(benchmark::kMillisecond);

// The part of it that is not the file system: checking the names and making the text.
void BM_HostsText_10000(benchmark::State& state) {
  const auto entries = manyEntries();
  for (auto _ : state) {
    std::size_t valid = 0;
    for (const auto& entry : entries) valid += agent::isValidHostName(entry.first);
    auto text = agent::hostsFileText(entries);
    benchmark::DoNotOptimize(valid);
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(state.iterations() * kHostEntries);
}
BENCHMARK(BM_HostsText_10000)->Unit(benchmark::kMicrosecond);

// The web-rule reply appending 10,000 entries under the host list's lock.
void BM_HostListAppends_10000(benchmark::State& state) {
  Bench bench;
  platform::FakeWorkspace workspace;
  auto delegate = bench.delegate(workspace);
  const auto entries = manyEntries();
  for (auto _ : state) {
    delegate->g_input.set(delegate->g_input_org);
    for (const auto& entry : entries)
      delegate->g_input.modify([&](agent::HostEntries& list) { list.push_back(entry); });
    benchmark::DoNotOptimize(delegate->g_input.get().size());
  }
}
BENCHMARK(BM_HostListAppends_10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
