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

namespace {

// Starts sudo for the command line with its output and error output on `output` and its
// input on `input`; prints why when it cannot.
bool startSudo(platform::Process& task, const std::string& sudo, const std::string& childPath,
               const std::string& commandLine, platform::Pipe& output, platform::Pipe& input) {
  task.childPath = childPath;
  task.executablePath = sudo;
  task.arguments = {"-S", "/bin/bash", "-c", commandLine};
  task.standardOutput = output;
  task.standardError = output;
  task.standardInput = input;
  if (auto started = task.run(); !started) {
    networks::printLine("Could not start sudo: " + started.error().localizedDescription);
    return false;
  }
  return true;
}

// Ends a sudo held past its deadline (stopped, or waiting on something): sudo passes the
// polite signal on to the command; a stopped sudo gets it once it goes on, and is killed
// when it does not end.
void endHeldSudo(platform::Process& task) {
  (void)task.sendSignal(SIGTERM);
  (void)task.sendSignal(SIGCONT);
  if (!task.waitUntilExit(kEndGrace)) {
    (void)task.sendSignal(SIGKILL);
    (void)task.waitUntilExit(kEndGrace);
  }
}

std::chrono::milliseconds leftUntil(std::chrono::steady_clock::time_point end) {
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()));
}

}  // namespace

PrivilegedRunner::Ran PrivilegedRunner::runWithInput(const std::string& commandLine, std::string_view input,
                                                     std::chrono::milliseconds deadline) const {
  const auto end = std::chrono::steady_clock::now() + deadline;
  auto shared = networks::openSharedSuite();
  if (!shared || !networks::storedChildToken(*shared)) return {};
  // Without a stored password sudo gets an empty line (enough where no password is
  // asked for; otherwise sudo refuses and says so on the output pipe).
  std::string stdinText = shared->string(std::string(networks::kMacosPassword)).value_or("") + "\n";
  stdinText += input;

  const auto sudo = sudoExecutable(childPath_);
  if (!sudo) {
    networks::printLine("Could not start sudo: there is none in the system's folders");
    return {};
  }
  platform::Process task;
  platform::Pipe outputPipe;
  platform::Pipe inputPipe;
  if (!startSudo(task, *sudo, childPath_, commandLine, outputPipe, inputPipe)) return {};

  platform::FileHandle output = outputPipe.fileHandleForReading();
  output.setReadabilityHandler([](const platform::Data& chunk) {
    if (chunk.empty()) return;
    networks::printLine("read " + std::to_string(chunk.size()));
    networks::printLine(printableText(chunk));
  });

  // A sudo that does not read (stopped, or asking for something else) holds the write
  // only until the deadline; whatever was not taken by then is dropped with the pipe.
  platform::FileHandle writer = inputPipe.fileHandleForWriting();
  (void)writer.write(platform::Data(stdinText.begin(), stdinText.end()), leftUntil(end));
  (void)writer.close();

  Ran ran{Outcome::exited, -1};
  if (!task.waitUntilExit(leftUntil(end))) {
    ran.outcome = Outcome::ended;
    endHeldSudo(task);
  } else if (task.terminationReason() == platform::TerminationReason::exit) {
    ran.status = task.terminationStatus();
  }
  // Let the output that the command wrote before it ended be printed first; a command
  // that left something behind holding the pipe does not keep us here.
  output.waitForReadabilityEnd(std::chrono::milliseconds(1000));
  if (ran.outcome == Outcome::ended) {
    networks::printLine("sudo did not end within " + secondsText(deadline) +
                        " seconds and was ended; the command failed");
  }
  networks::printLine("Process did exit");
  return ran;
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
