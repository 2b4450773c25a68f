// The agent's means of running commands: the privileged runner, the shell runner and
// the host lookup.
#include "agent/privileged_runner.h"

#include <chrono>
#include <vector>

#include "agent/text.h"
#include "networks/network_manager.h"
#include "networks/shared_settings.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/user_defaults.h"

namespace agent {

void PrivilegedRunner::run(const std::string& input) const {
  if (!networks::storedChildToken()) return;
  auto shared = networks::openSharedSuite();
  if (!shared) return;
  // Without a stored password sudo gets an empty line (enough where no password is
  // asked for; otherwise sudo refuses and says so on the output pipe).
  std::string password = shared->string(std::string(networks::kMacosPassword)).value_or("") + "\n";

  platform::Process task;
  task.childPath = childPath_;
  task.executablePath = "/usr/bin/env";
  task.arguments = {"sudo", "-S", "/bin/bash", "-c", input};
  platform::Pipe outputPipe;
  platform::Pipe inputPipe;
  task.standardOutput = outputPipe;
  task.standardError = outputPipe;
  task.standardInput = inputPipe;

  if (auto started = task.run(); !started) {
    networks::printLine("Could not start sudo: " + started.error().localizedDescription);
    return;
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

  task.waitUntilExit();
  // Let the output that the command wrote before it ended be printed first; a command
  // that left something behind holding the pipe does not keep us here.
  output.waitForReadabilityEnd(std::chrono::milliseconds(1000));
  networks::printLine("Process did exit");
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
