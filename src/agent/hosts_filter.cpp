// The hosts-file web filter: host names and text, root's replacement line, the host
// list and its web-rule request, the staging file and the writer.
#include "agent/hosts_filter.h"

#include <arpa/inet.h>
#include <idn2.h>
#include <netinet/in.h>
#include <openssl/evp.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string_view>

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
// The system's hosts file: the one target root replaces that is not the user's own.
constexpr const char* kSystemHostsFile = "/etc/hosts";

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

std::string hostsReplacementCommand(const std::string& staging, const std::string& target, std::string_view text,
                                    unsigned long uid) {
  // Everything here runs as root while the child's account can change the staging
  // folder at will, and may have chosen the target. So root
  //  - enters the target's folder once (cd -P) and works there by relative names only,
  //    and replaces the target only when it is the system's hosts file or a regular
  //    file of the user's own (a sandbox); a target that is a folder is refused;
  //  - enters the staging folder once, in a subshell of its own, and goes on only when
  //    that folder is the user's own, so a swapped folder cannot make it read or remove
  //    a file of someone else's;
  //  - refuses the staging entry unless it is a plain file with one link (not a
  //    symbolic link, a named pipe or a hard link of another file) no larger than the
  //    agent's text, looking at it without opening it;
  //  - reads at most one byte more than the agent wrote, without following a link and
  //    without waiting (a lease or a pipe the child holds makes the read fail at once),
  //    into a new file of its own beside the target, so that a descriptor the child
  //    kept open on the staging file cannot change it, and refuses that copy unless it
  //    is exactly the agent's text (by SHA-256);
  //  - renames the copy (mode 0644; root's for the system's file, the user's for the
  //    user's own) over the target in one step, and removes the staging entry.
  // The line uses no shell expansion: the paths are quoted words, nothing else varies.
  namespace fs = std::filesystem;
  const fs::path stagingPath(staging);
  // Folders are named with a trailing slash: they are entered, never taken as files.
  auto asFolder = [](const fs::path& path) {
    std::string named = path.empty() ? "." : path.string();
    if (named.back() != '/') named += '/';
    return named;
  };
  const std::string folder = asFolder(stagingPath.parent_path());
  const std::string entry = shellQuoted("./" + stagingPath.filename().string());
  const fs::path targetPath(target);
  const std::string targetFolder = asFolder(targetPath.parent_path());
  const std::string t = shellQuoted("./" + targetPath.filename().string());
  const std::string copy = shellQuoted(".mopet-hosts-" + std::to_string(uid));
  const std::string user = std::to_string(uid);
  const std::string limit = std::to_string(text.size() + 1);
  const bool systemFile = target == kSystemHostsFile;
  auto fail = [](const std::string& why) {
    return "echo " + shellQuoted("Hosts file not replaced: " + why) + " >&2; ";
  };
  // Removes the staging entry (never a folder, never what a link names).
  const std::string dropEntry = "find " + entry + " -maxdepth 0 ! -type d -delete; ";

  std::string line = "umask 022; set -o pipefail; ";
  line += "cd -P -- " + shellQuoted(targetFolder) + " || exit 1; ";
  line += "if test -d " + t + "; then " + fail("the target is a folder") + "exit 1; fi; ";
  if (!systemFile) {
    line += "if ! find " + t + " -maxdepth 0 -type f -user " + user + " | grep -q .; then " +
            fail("the target is neither the system's hosts file nor a regular file of the agent's user") +
            "exit 1; fi; ";
  }
  line += "rm -rf -- " + copy + " || exit 1; ";
  // The staging side, in its own folder; it says why when it refuses.
  std::string read = "cd -P -- " + shellQuoted(folder) + " || exit 1; ";
  read += "if ! stat -c %u . | grep -qxF " + shellQuoted(user) + "; then " +
          fail("the staging folder belongs to someone else") + "exit 1; fi; ";
  read += "if ! test -e " + entry + " && ! test -L " + entry + "; then " + fail("no staging file") + "exit 1; fi; ";
  read += "if ! find " + entry + " -maxdepth 0 -type f -links 1 | grep -q .; then " +
          fail("the staging file is not a plain file with one link") + dropEntry + "exit 1; fi; ";
  read += "if ! find " + entry + " -maxdepth 0 -size -" + limit + "c | grep -q .; then " +
          fail("the staging file is larger than the text the agent wrote") + dropEntry + "exit 1; fi; ";
  read += "if ! dd if=" + entry + " iflag=nofollow,nonblock,count_bytes count=" + limit +
          " bs=65536 status=none; then " + fail("the staging file could not be read at once") + dropEntry +
          "exit 1; fi; ";
  read += dropEntry;
  line += "if ! ( " + read + ") | dd of=" + copy + " conv=excl status=none; then rm -f -- " + copy + "; exit 1; fi; ";
  line += "if ! dd if=" + copy + " iflag=nofollow,nonblock status=none | sha256sum | grep -qxF " +
          shellQuoted(sha256Hex(text) + "  -") + "; then " +
          fail("the staging file does not hold the text the agent wrote") + "rm -f -- " + copy + "; exit 1; fi; ";
  std::string move = systemFile ? "" : "chown -h " + user + " " + copy + " && ";
  move += "mv -T -- " + copy + " " + t;
  line += "if ! { " + move + "; }; then " + fail("the move failed") + "rm -f -- " + copy + "; exit 1; fi";
  return line;
}

HostEntries defaultHostEntries() {
  return {{"localhost", "::1"},
          {"localhost", "127.0.0.1"},
          {"broadcasthost", "255.255.255.255"},
          {"www.example.com", "127.0.0.1"},
          {"example.com", "127.0.0.1"},
          {"www.example.org", "127.0.0.1"}};
}

void handleWebRuleReply(Locked<HostEntries>& list, const HostEntries& defaults,
                        const std::optional<platform::Data>& data,
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
  // Swapped in under the lock; the old list is freed after it.
  list.modify([&](HostEntries& entries) { entries.swap(next); });
}

HostsFilter::HostsFilter(const platform::FileManager& files, networks::NetworkManager& requests)
    : files_(files),
      requests_(requests),
      defaults_(defaultHostEntries()),
      hostList_(std::make_shared<Locked<HostEntries>>(defaults_)) {}

void HostsFilter::requestWebRules() {
  const auto token = networks::storedChildToken();
  if (!token) return;

  // Only a rule set that arrived whole replaces the blocked domains; anything else (no
  // answer, an error status, a body that does not decode) leaves the domains in force
  // until a later reply does arrive.
  requests_.send(
      networks::ChildEndPoint::webContentRules(), *token,
      [list = hostList_, defaults = defaults_](
          const std::optional<platform::Data>& data, const std::shared_ptr<const platform::URLResponse>& response,
          const std::optional<platform::Error>& error) { handleWebRuleReply(*list, defaults, data, response, error); });
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
