// The hosts-file web filter (host list, web-rule request, staging file, writer) and the
// agent's means of running commands (privileged runner, shell runner, host lookup).
#include <cctype>
#include <limits>
#include <sstream>
#include <string_view>

#include "agent/app_delegate.h"
#include "agent/describe.h"
#include "agent/text.h"
#include "networks/network_manager.h"
#include "networks/shared_settings.h"
#include "platform/process.h"
#include "platform/user_defaults.h"
#include "rules/web_filter_rules.h"

namespace agent {
namespace {

constexpr const char* kWebContentRulesPath = "/api/v1/children/rules/web-rules/web-content";
constexpr const char* kBlockedAddress = "127.0.0.1";

bool isHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

// A file URL's path with its escapes resolved.
std::string percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isHexDigit(text[i + 1]) && isHexDigit(text[i + 2])) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

bool isValidHostName(const std::string& name) {
  if (name.empty() || name.size() > 253) return false;
  std::size_t labelStart = 0;
  while (true) {
    std::size_t dot = name.find('.', labelStart);
    std::size_t end = dot == std::string::npos ? name.size() : dot;
    std::size_t length = end - labelStart;
    if (length < 1 || length > 63) return false;
    if (name[labelStart] == '-' || name[end - 1] == '-') return false;
    for (std::size_t i = labelStart; i < end; ++i) {
      unsigned char c = static_cast<unsigned char>(name[i]);
      if (!(std::isalnum(c) && c < 0x80) && c != '-') return false;
    }
    if (dot == std::string::npos) return true;
    labelStart = dot + 1;
  }
}

std::string hostsFileText(const HostEntries& entries) {
  std::string text;
  for (const auto& [name, address] : entries) {
    text += address;
    text += '\t';
    text += name;
    text += '\n';
  }
  return text;
}

std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

std::string AppDelegate::getWebfilterRule() {
  auto shared = platform::UserDefaults::suite(std::string(networks::kAppGroup));
  if (!shared) return "";
  auto token = shared->string(std::string(networks::kSharedChildToken));
  if (!token) return "";
  auto backend = shared->string(std::string(networks::kSchoolFamilyApiAgent));

  platform::URLRequest request;
  request.url = serviceBaseURL(backend) + kWebContentRulesPath;
  request.timeoutInterval = std::numeric_limits<double>::infinity();
  request.setValue("Bearer " + *token, "Authorization");
  request.httpMethod = "GET";

  std::weak_ptr<AppDelegate> weak = weak_from_this();
  auto task = platform_.urlSession.dataTask(
      std::move(request), [weak](std::optional<platform::Data> data, std::shared_ptr<const platform::URLResponse>,
                                 std::optional<platform::Error> error) {
        if (!data) {
          networks::printLine(error ? "Optional(" + error->description() + ")" : "nil");
          return;
        }
        networks::printLine(printableText(*data));
        auto decoded = rules::decodeWebfilterRules(*data);
        if (!decoded) {
          networks::printLine("Error decoding JSON: " + decoded.error().description());
          return;
        }
        auto self = weak.lock();
        if (!decoded->exceptions) return;
        for (const auto& exception : *decoded->exceptions) {
          std::optional<bool> flag = exception.rule ? exception.rule->is_blocked : std::nullopt;
          if (flag && *flag && exception.domain) {
            // A domain that is not a host name could add or override arbitrary lines.
            if (!isValidHostName(*exception.domain)) {
              networks::printLine("Skipping blocked domain that is not a valid host name: " +
                                  describe(exception.domain));
            } else if (self) {
              self->g_input.modify([&](HostEntries& list) { list.emplace_back(*exception.domain, kBlockedAddress); });
            }
          }
          networks::printLine("model: " + describe(exception.domain) + " - " + describe(flag));
        }
      });
  task->resume();
  return "";
}

std::string AppDelegate::getDocumentsDirectory() {
  return "file://" + percentEncodedPath(platform_.fileManager.documentsDirectory()) + "/";
}

std::string AppDelegate::stagingPath() {
  // The Documents URL's text less "file://", unescaped: the folder as it is on disk,
  // also when the home folder's name holds a blank or a quote.
  return percentDecoded(getDocumentsDirectory().substr(7)) + "hosts";
}

void AppDelegate::removeFile(const std::string& atPath) {
  auto removed = platform_.fileManager.removeItem(atPath);
  if (removed) networks::printLine("File removed successfully.");
  else networks::printLine("Error removing file: " + removed.error().localizedDescription());
}

std::expected<void, platform::FileError> AppDelegate::createHostsFile(const HostEntries& with, const std::string& at) {
  HostEntries valid;
  valid.reserve(with.size());
  for (const auto& entry : with) {
    if (isValidHostName(entry.first)) valid.push_back(entry);
    else networks::printLine("Skipping hosts entry that is not a valid host name: " + describe(entry.first));
  }
  auto written = platform_.fileManager.write(at, hostsFileText(valid), true);
  if (!written) {
    networks::printLine("Failed to create hosts file: " + written.error().localizedDescription());
    return std::unexpected(written.error());
  }
  networks::printLine("Hosts file created successfully at " + at);
  return {};
}

std::string AppDelegate::runScriptThatNeedsSudo(const std::string& input) {
  auto shared = platform::UserDefaults::suite(std::string(networks::kAppGroup));
  if (!shared || !shared->string(std::string(networks::kSharedChildToken))) return "";
  // Without a stored password sudo gets an empty line (enough where no password is
  // asked for; otherwise sudo refuses and says so on the output pipe).
  std::string password = shared->string(std::string(networks::kMacosPassword)).value_or("") + "\n";

  platform::Process task;
  task.executablePath = "/usr/bin/env";
  task.arguments = {"sudo", "-S", "/bin/bash", "-c", input};
  platform::Pipe outputPipe;
  platform::Pipe inputPipe;
  task.standardOutput = outputPipe;
  task.standardError = outputPipe;
  task.standardInput = inputPipe;

  if (auto started = task.run(); !started) {
    networks::printLine("Could not start sudo: " + started.error().localizedDescription);
    return "";
  }

  platform::FileHandle output = outputPipe.fileHandleForReading();
  output.setReadabilityHandler([](const platform::Data& chunk) {
    if (chunk.empty()) return;
    networks::printLine("read " + std::to_string(chunk.size()));
    networks::printLine(isValidUTF8(chunk) ? platform::toString(chunk) : "<UTF8 conversion failed>");
  });

  platform::FileHandle writer = inputPipe.fileHandleForWriting();
  (void)writer.write(password);
  (void)writer.close();

  task.waitUntilExit();
  // Let the output that the command wrote before it ended be printed first; a command
  // that left something behind holding the pipe does not keep us here.
  output.waitForReadabilityEnd(std::chrono::milliseconds(1000));
  networks::printLine("Process did exit");
  return "";
}

std::string AppDelegate::shell(const std::string& command) {
  platform::Process task;
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

std::optional<std::string> AppDelegate::getIPAddress(const std::string& from) {
  platform::Process task;
  task.executablePath = "/usr/bin/env";
  task.arguments = {"host", from};
  platform::Pipe pipe;
  task.standardOutput = pipe;
  task.standardError = pipe;
  if (!task.run()) return std::nullopt;
  platform::Data data = pipe.fileHandleForReading().readDataToEndOfFile();
  task.waitUntilExit();
  if (!isValidUTF8(data)) return std::nullopt;

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
