// Replays fuzz inputs through a fuzz target without libFuzzer, so that every test build
// (GCC included) runs the seed corpus and every kept crash input:
//
//   <target>_replay DIR_OR_FILE...
//
// A directory is read in name order; names starting with '.' are skipped, and a missing
// directory counts as empty (a target may have no kept crashes yet). A broken property
// aborts the process, so the failing input is the last one named on stderr.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool replayFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), bytes.size());
  // A copy of exactly the input's size, so a read past its end is caught by ASan.
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR_OR_FILE...\n", argv[0]);
    return 2;
  }
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path root = argv[i];
    std::error_code ec;
    if (fs::is_regular_file(root, ec)) {
      if (!replayFile(root)) return 1;
      ++replayed;
      continue;
    }
    if (!fs::is_directory(root, ec)) continue;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(root, ec)) {
      if (entry.is_regular_file() && !entry.path().filename().string().starts_with('.')) files.push_back(entry.path());
    }
    if (ec) {
      std::fprintf(stderr, "cannot list %s: %s\n", root.c_str(), ec.message().c_str());
      return 1;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      if (!replayFile(file)) return 1;
      ++replayed;
    }
  }
  if (replayed == 0) {
    std::fprintf(stderr, "no inputs found\n");
    return 1;
  }
  std::fprintf(stderr, "%zu inputs replayed, every property held\n", replayed);
  return 0;
}
