// The agent's means of running commands: the privileged runner, the shell runner and
// the host lookup.
#include "agent/privileged_runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <vector>

#include "agent/text.h"
#include "networks/print_line.h"
#include "networks/shared_settings.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/user_defaults.h"

namespace agent {

std::optional<std::string> sudoExecutable(const std::string& childPath) {
  std::vector<std::string> folders;
  std::size_t start = 0;
  while (start <= childPath.size()) {
    const auto end = std::min(childPath.find(':', start), childPath.size());
    std::string folder = childPath.substr(start, end - start);
    // A relative folder would depend on where the agent was started from.
    if (!folder.empty() && folder.front() == '/') folders.push_back(std::move(folder));
    start = end + 1;
  }
  for (const char* folder : kSystemToolFolders) folders.emplace_back(folder);
  for (const auto& folder : folders) {
    const std::string candidate = folder + "/sudo";
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

namespace {

// How long an ended sudo gets to go after the polite signal, and after the kill.
constexpr std::chrono::milliseconds kEndGrace{1000};

std::string secondsText(std::chrono::milliseconds duration) {
  const auto tenths = duration.count() / 100;
  std::string text = std::to_string(tenths / 10);
  if (tenths % 10 != 0) text += "." + std::to_string(tenths % 10);
  return text;
}

}  // namespace

PrivilegedRunner::Outcome PrivilegedRunner::run(const std::string& input) const {
  auto shared = networks::openSharedSuite();
  if (!shared || !networks::storedChildToken(*shared)) return Outcome::notStarted;
  // Without a stored password sudo gets an empty line (enough where no password is
  // asked for; otherwise sudo refuses and says so on the output pipe).
  std::string password = shared->string(std::string(networks::kMacosPassword)).value_or("") + "\n";

  const auto sudo = sudoExecutable(childPath_);
  if (!sudo) {
    networks::printLine("Could not start sudo: there is none in the system's folders");
    return Outcome::notStarted;
  }
  platform::Process task;
  task.childPath = childPath_;
  task.executablePath = *sudo;
  task.arguments = {"-S", "/bin/bash", "-c", input};
  platform::Pipe outputPipe;
  platform::Pipe inputPipe;
  task.standardOutput = outputPipe;
  task.standardError = outputPipe;
  task.standardInput = inputPipe;

  if (auto started = task.run(); !started) {
    networks::printLine("Could not start sudo: " + started.error().localizedDescription);
    return Outcome::notStarted;
  }

  platform::FileHandle output = outputPipe.fileHandleForReading();
  output.setReadabilityHandler([](const platform::Data& chunk) {
    if (chunk.empty()) return;
    networks::printLine("read " + std::to_string(chunk.size()));
    networks::printLine(printableText(chunk));
  });

  platform::FileHandle writer = inputPipe.fileHandleForWriting();
  (void)writer.write(password);
  (void)writer.close();

  Outcome outcome = Outcome::exited;
  if (!task.waitUntilExit(deadline_)) {
    // Held past its deadline (stopped, or waiting on something): sudo passes the polite
    // signal on to the command; a stopped sudo gets it once it goes on, and is killed
    // when it does not end.
    outcome = Outcome::ended;
    (void)task.sendSignal(SIGTERM);
    (void)task.sendSignal(SIGCONT);
    if (!task.waitUntilExit(kEndGrace)) {
      (void)task.sendSignal(SIGKILL);
      (void)task.waitUntilExit(kEndGrace);
    }
  }
  // Let the output that the command wrote before it ended be printed first; a command
  // that left something behind holding the pipe does not keep us here.
  output.waitForReadabilityEnd(std::chrono::milliseconds(1000));
  if (outcome == Outcome::ended) {
    networks::printLine("sudo did not end within " + secondsText(deadline_) +
                        " seconds and was ended; the command failed");
  }
  networks::printLine("Process did exit");
  return outcome;
}

std::string shellOutput(const std::string& command, const std::string& childPath) {
  platform::Process task;
  task.childPath = childPath;
  task.executablePath = "/bin/zsh";
  task.arguments = {"-c", command};
  platform::Pipe pipe;
  task.standardOutput = pipe;
  task.standardError = pipe;
  task.standardInput = platform::NullDevice{};
  if (auto started = task.run(); !started) {
    networks::printLine("Could not start zsh: " + started.error().localizedDescription);
    return "";
  }
  return platform::toString(pipe.fileHandleForReading().readDataToEndOfFile());
}

std::optional<std::string> hostLookupAnswer(const std::string& from, const std::string& childPath) {
  platform::Process task;
  task.childPath = childPath;
  task.executablePath = "/usr/bin/env";
  task.arguments = {"host", from};
  platform::Pipe pipe;
  task.standardOutput = pipe;
  task.standardError = pipe;
  if (!task.run()) return std::nullopt;
  platform::Data data = pipe.fileHandleForReading().readDataToEndOfFile();
  task.waitUntilExit();
  if (!platform::isValidUTF8(data)) return std::nullopt;

  std::vector<std::string> tokens;
  std::string current;
  for (char c : platform::toString(data)) {
    if (c == ' ' || c == '\t') {
      if (!current.empty()) tokens.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) tokens.push_back(std::move(current));
  // "<name> has address <address>": the answer is the token after "has", or after
  // "has address", up to the end of its line.
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i] != "has") continue;
    std::size_t answer = i + 1;
    if (answer + 1 < tokens.size() && tokens[answer] == "address") ++answer;
    if (answer >= tokens.size()) return std::nullopt;
    std::string address = tokens[answer].substr(0, tokens[answer].find('\n'));
    if (address.empty()) return std::nullopt;
    return address;
  }
  return std::nullopt;
}

}  // namespace agent
