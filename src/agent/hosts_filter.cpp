// The hosts-file web filter: host names and text, root's replacement line and the
// agent's own replacement, the host list and its web-rule request, the staging file,
// the writer and the replacement.
#include "agent/hosts_filter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <idn2.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string_view>
#include <system_error>

#include "agent/describe.h"
#include "agent/text.h"
#include "networks/network_manager.h"
#include "networks/print_line.h"
#include "networks/shared_settings.h"
#include "platform/text.h"
#include "rules/web_filter_rules.h"

namespace agent {
namespace {

constexpr const char* kBlockedAddress = "127.0.0.1";

// Whether the text is a host name of ASCII letters (either case), digits, hyphens and
// underscores in dot-separated labels of 1 to 63 characters, at most 253 in all.
bool isAsciiHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  std::size_t labelStart = 0;
  while (true) {
    std::size_t dot = name.find('.', labelStart);
    std::size_t end = dot == std::string_view::npos ? name.size() : dot;
    std::size_t length = end - labelStart;
    if (length < 1 || length > 63) return false;
    for (std::size_t i = labelStart; i < end; ++i) {
      unsigned char c = static_cast<unsigned char>(name[i]);
      if (!(std::isalnum(c) && c < 0x80) && c != '-' && c != '_') return false;
    }
    if (dot == std::string_view::npos) return true;
    labelStart = dot + 1;
  }
}

}  // namespace

std::optional<std::string> hostsFileName(std::string_view name) {
  // Blanks, control characters and "#" would end the name or the line, or start a
  // comment, whatever the conversion below made of them.
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f || c == '#') return std::nullopt;
  }
  // The root's dot is written without it; a second one would leave an empty label.
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  bool ascii = true;
  for (char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    if (!isAsciiHostName(name)) return std::nullopt;
    return std::string(name);
  }
  // An internationalised name goes in its ASCII form. The conversion also maps what
  // looks like a letter or a dot to one, so the result is checked like any other name.
  char* converted = nullptr;
  const std::string input(name);
  int status = idn2_to_ascii_8z(input.c_str(), &converted, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT);
  if (status != IDN2_OK) {
    idn2_free(converted);
    converted = nullptr;
    status = idn2_to_ascii_8z(input.c_str(), &converted, IDN2_TRANSITIONAL | IDN2_NFC_INPUT);
  }
  std::optional<std::string> result;
  if (status == IDN2_OK && converted != nullptr && isAsciiHostName(converted)) result = std::string(converted);
  idn2_free(converted);
  return result;
}

bool isValidHostName(const std::string& name) { return hostsFileName(name).has_value(); }

namespace {

// As isNeverSunk, given what hostsFileName made of the domain already.
bool isNeverSunk(std::string_view domain, const std::optional<std::string>& name) {
  const std::string raw(domain);
  in6_addr v6{};
  if (::inet_pton(AF_INET6, raw.c_str(), &v6) == 1) return true;
  if (!name) return false;
  std::string lower = *name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // The resolver reads every numeric form ("127.1", "0x7f000001", "2130706433") as an
  // address, never as a name.
  in_addr v4{};
  if (::inet_aton(lower.c_str(), &v4) != 0) return true;
  return lower == "localhost" || lower == networks::kFamilyApiHost || lower == networks::kSchoolApiHost;
}

// The entries that sink the domains a reply blocks. A domain that is not a host name
// could add or override arbitrary lines, and sinking the service, localhost or an
// address would cut the agent off or break the machine: both are skipped, each with
// a printed line. Every exception prints its "model:" line.
HostEntries blockedEntries(const std::vector<rules::WebException>& exceptions) {
  HostEntries blocked;
  for (const auto& exception : exceptions) {
    std::optional<bool> flag = exception.rule ? exception.rule->is_blocked : std::nullopt;
    if (flag && *flag && exception.domain) {
      auto name = hostsFileName(*exception.domain);
      if (isNeverSunk(*exception.domain, name)) {
        networks::printLine("Skipping blocked domain that is never sunk (the service, localhost or an address): " +
                            describe(exception.domain));
      } else if (!name) {
        networks::printLine("Skipping blocked domain that is not a valid host name: " + describe(exception.domain));
      } else {
        blocked.emplace_back(std::move(*name), kBlockedAddress);
      }
    }
    networks::printLine("model: " + describe(exception.domain) + " - " + describe(flag));
  }
  return blocked;
}

}  // namespace

bool isNeverSunk(std::string_view domain) { return isNeverSunk(domain, hostsFileName(domain)); }

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

namespace {

// The SHA-256 digest of the text, in lower-case hex (as sha256sum writes it).
std::string sha256Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return "";
  std::string hex;
  hex.reserve(std::size_t{length} * 2);
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace

std::string hostsReplacementCommand(const std::string& target, std::string_view text, unsigned long uid) {
  // Everything here runs as root, and root reads nothing of the child's: the new text
  // comes on standard input, from the agent, never from a file. Root
  //  - enters the target's folder once (cd -P) and works there by relative names only;
  //    a target that is a folder is refused;
  //  - takes the last bytes of its input, as many as the agent's text holds (sudo has
  //    read the password line before them, or left it when it asked for none), reading
  //    no more than that and a password line, into a new file of its own beside the
  //    target that no one else may read or change (mode 0600), and refuses that copy
  //    unless it is exactly the agent's text (by SHA-256);
  //  - gives the copy the target's mode and owner (0644 and root's when there is no
  //    target yet) and renames it over the target in one step.
  // The line uses no shell expansion: the path is a quoted word, nothing else varies.
  namespace fs = std::filesystem;
  const fs::path targetPath(target);
  std::string targetFolder = targetPath.parent_path().empty() ? "." : targetPath.parent_path().string();
  if (targetFolder.back() != '/') targetFolder += '/';  // entered, never taken as a file
  const std::string t = shellQuoted("./" + targetPath.filename().string());
  const std::string copy = shellQuoted(".mopet-hosts-" + std::to_string(uid));
  // sudo takes a password of at most 1023 bytes, and its line ends with a newline.
  const std::string inputLimit = std::to_string(text.size() + 1024);
  auto fail = [](const std::string& why) {
    return "echo " + shellQuoted("Hosts file not replaced: " + why) + " >&2; ";
  };
  const std::string dropCopy = "rm -f -- " + copy + "; exit 1; ";

  std::string line = "umask 077; set -o pipefail; ";
  line += "cd -P -- " + shellQuoted(targetFolder) + " || exit 1; ";
  line += "if test -d " + t + "; then " + fail("the target is a folder") + "exit 1; fi; ";
  line += "rm -rf -- " + copy + " || exit 1; ";
  line += "if ! head -c " + inputLimit + " | tail -c " + std::to_string(text.size()) + " | dd of=" + copy +
          " conv=excl status=none; then " + dropCopy + "fi; ";
  line += "if ! dd if=" + copy + " iflag=nofollow,nonblock status=none | sha256sum | grep -qxF " +
          shellQuoted(sha256Hex(text) + "  -") + "; then " +
          fail("the text root was given is not the text the agent wrote") + dropCopy + "fi; ";
  line += "if test -e " + t + "; then chmod --reference=" + t + " -- " + copy + " && chown --reference=" + t + " -- " +
          copy + "; else chmod 644 -- " + copy + "; fi || { " + fail("the move failed") + dropCopy + "}; ";
  line += "if ! mv -T -- " + copy + " " + t + "; then " + fail("the move failed") + dropCopy + "fi";
  return line;
}

namespace {

// The printed refusal, and the same as the result.
std::string refusal(const std::string& why) {
  networks::printLine("Hosts file not replaced: " + why);
  return why;
}

std::string withReason(const std::string& what, int error) {
  return what + ": " + std::generic_category().message(error);
}

// Writes the text into a new file `name` in the folder `folder`, mode `mode`, and flushes
// it to the disk; an error number when that fails (the file is then gone).
int writeNewFile(int folder, const std::string& name, std::string_view text, mode_t mode) {
  const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int error = 0;
  for (std::size_t offset = 0; offset < text.size() && error == 0;) {
    const ssize_t written = ::write(fd, text.data() + offset, text.size() - offset);
    if (written < 0 && errno != EINTR) error = errno;
    if (written > 0) offset += static_cast<std::size_t>(written);
  }
  if (error == 0 && ::fchmod(fd, mode) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error != 0) ::unlinkat(folder, name.c_str(), 0);
  return error;
}

}  // namespace

std::optional<std::string> replaceUsersHostsFile(const std::string& target, std::string_view text) {
  namespace fs = std::filesystem;
  const fs::path targetPath(target);
  const std::string name = targetPath.filename().string();
  const std::string folderPath = targetPath.parent_path().empty() ? "." : targetPath.parent_path().string();
  // The folder is opened once; everything after works in it by relative names and never
  // follows a link in the last step.
  const int folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return refusal(withReason("the target's folder cannot be opened", errno));
  struct stat info {};
  std::optional<std::string> refused;
  const bool found = !name.empty() && ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (found && S_ISDIR(info.st_mode)) {
    refused = refusal("the target is a folder");
  } else if (!found || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    refused = refusal("the target is neither the system's hosts file nor a regular file of the agent's user");
  }
  const std::string copy = ".mopet-hosts-" + std::to_string(::geteuid());
  if (!refused) {
    // A copy left by an earlier run that was cut short goes first.
    ::unlinkat(folder, copy.c_str(), 0);
    if (const int writeError = writeNewFile(folder, copy, text, info.st_mode & 0777); writeError != 0) {
      refused = refusal(withReason("the new file cannot be written beside the target", writeError));
    } else if (::renameat(folder, copy.c_str(), folder, name.c_str()) != 0) {
      const int moveError = errno;
      ::unlinkat(folder, copy.c_str(), 0);
      refused = refusal(withReason("the move failed", moveError));
    } else {
      ::fsync(folder);  // the rename itself reaches the disk
    }
  }
  ::close(folder);
  return refused;
}

HostEntries defaultHostEntries() {
  return {{"localhost", "::1"},
          {"localhost", "127.0.0.1"},
          {"broadcasthost", "255.255.255.255"},
          {"www.example.com", "127.0.0.1"},
          {"example.com", "127.0.0.1"},
          {"www.example.org", "127.0.0.1"}};
}

namespace {

// As handleWebRuleReply(); with an order, the reply to request `number` replaces the
// list only when it is newer than every reply that replaced it before.
void handleNumberedWebRuleReply(Locked<HostEntries>& list, const HostEntries& defaults, platform::ReplyOrder* order,
                                platform::ReplyOrder::Number number, const std::optional<platform::Data>& data,
                                const std::shared_ptr<const platform::URLResponse>& response,
                                const std::optional<platform::Error>& error) {
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
  const auto* http = dynamic_cast<const platform::HTTPURLResponse*>(response.get());
  const bool arrived = http && http->hasSuccessStatus();
  if (!arrived) {
    networks::printLine("Keeping the blocked domains: the web-rule reply has status " +
                        (http ? std::to_string(http->statusCode()) : std::string("none")));
  }
  // An absent list of exceptions is walked as an empty one: a rule set that arrived
  // whole without it blocks no domain.
  HostEntries blocked = decoded->exceptions ? blockedEntries(*decoded->exceptions) : HostEntries{};
  if (!arrived) return;
  HostEntries next;
  next.reserve(defaults.size() + blocked.size());
  next.insert(next.end(), defaults.begin(), defaults.end());
  next.insert(next.end(), std::make_move_iterator(blocked.begin()), std::make_move_iterator(blocked.end()));
  // Swapped in under the lock, where the order is checked too, so that of two replies
  // the newer one is in force whichever lands last; the old list is freed after it.
  const bool applied = list.modify([&](HostEntries& entries) {
    if (order != nullptr && !order->accept(number)) return false;
    entries.swap(next);
    return true;
  });
  if (!applied) networks::printLine("Keeping the blocked domains: a newer web-rule reply is in force");
}

}  // namespace

void handleWebRuleReply(Locked<HostEntries>& list, const HostEntries& defaults,
                        const std::optional<platform::Data>& data,
                        const std::shared_ptr<const platform::URLResponse>& response,
                        const std::optional<platform::Error>& error) {
  handleNumberedWebRuleReply(list, defaults, nullptr, 0, data, response, error);
}

void handleWebRuleReply(Locked<HostEntries>& list, const HostEntries& defaults, platform::ReplyOrder& order,
                        platform::ReplyOrder::Number number, const std::optional<platform::Data>& data,
                        const std::shared_ptr<const platform::URLResponse>& response,
                        const std::optional<platform::Error>& error) {
  handleNumberedWebRuleReply(list, defaults, &order, number, data, response, error);
}

HostsFilter::HostsFilter(const platform::FileManager& files, networks::NetworkManager& requests)
    : files_(files),
      requests_(requests),
      defaults_(defaultHostEntries()),
      hostList_(std::make_shared<Locked<HostEntries>>(defaults_)),
      replyOrder_(std::make_shared<platform::ReplyOrder>()) {}

void HostsFilter::requestWebRules() {
  const auto token = networks::storedChildToken();
  if (!token) return;

  // Only a rule set that arrived whole replaces the blocked domains; anything else (no
  // answer, an error status, a body that does not decode) leaves the domains in force
  // until a later reply does arrive. Requests are numbered: a slow reply that lands after
  // the reply to a later request is dropped.
  requests_.send(
      networks::ChildEndPoint::webContentRules(), *token,
      [list = hostList_, defaults = defaults_, order = replyOrder_, number = replyOrder_->next()](
          const std::optional<platform::Data>& data, const std::shared_ptr<const platform::URLResponse>& response,
          const std::optional<platform::Error>& error) {
        handleWebRuleReply(*list, defaults, *order, number, data, response, error);
      });
}

std::string HostsFilter::documentsDirectoryURL() const {
  return platform::fileURLText(files_.documentsDirectory()) + "/";
}

std::string HostsFilter::stagingPath() const {
  // The Documents folder as it is on disk (not its URL, which escapes blanks and quotes).
  return files_.documentsDirectory() + "/hosts";
}

void HostsFilter::removeFile(const std::string& atPath) const {
  auto removed = files_.removeItem(atPath);
  if (removed) networks::printLine("File removed successfully.");
  else networks::printLine("Error removing file: " + removed.error().localizedDescription());
}

HostsReplacement HostsFilter::replaceHostsFile(std::string_view text, const std::string& target,
                                               const std::string& systemFile, const PrivilegedRunner& root,
                                               std::chrono::milliseconds deadline) const {
  HostsReplacement replacement = HostsReplacement::skipped;
  if (target == systemFile) {
    const auto ran = root.runWithInput(hostsReplacementCommand(target, text, ::getuid()), text, deadline);
    if (ran.outcome == PrivilegedRunner::Outcome::ended) return HostsReplacement::sudoEnded;
    if (ran.outcome == PrivilegedRunner::Outcome::notStarted) return HostsReplacement::skipped;
    replacement = ran.status == 0 ? HostsReplacement::throughSudo : HostsReplacement::refused;
  } else {
    // As through root: without a paired child nothing is enforced.
    if (!networks::storedChildToken()) return HostsReplacement::skipped;
    replacement = replaceUsersHostsFile(target, text) ? HostsReplacement::refused : HostsReplacement::byTheAgent;
  }
  if (replacement != HostsReplacement::refused) (void)files_.removeItem(stagingPath());
  return replacement;
}

std::expected<std::string, platform::FileError> HostsFilter::writeHostsFile(const HostEntries& with,
                                                                            const std::string& at) const {
  HostEntries valid;
  valid.reserve(with.size());
  for (const auto& entry : with) {
    if (auto name = hostsFileName(entry.first)) valid.emplace_back(std::move(*name), entry.second);
    else networks::printLine("Skipping hosts entry that is not a valid host name: " + describe(entry.first));
  }
  std::string text = hostsFileText(valid);
  auto written = files_.write(at, text, true);
  if (!written) {
    networks::printLine("Failed to create hosts file: " + written.error().localizedDescription());
    return std::unexpected(written.error());
  }
  networks::printLine("Hosts file created successfully at " + at);
  return text;
}

}  // namespace agent
