#pragma once
// The hosts-file web filter: the host list that the next hosts file is written from,
// the web-rule request whose replies fill it, the staging file in Documents and the
// hosts-file writer and its replacement; and the text rules of the hosts file (which
// names it holds, the text, root's replacement line).
#include <chrono>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/locked.h"
#include "agent/privileged_runner.h"
#include "networks/network_manager.h"
#include "platform/file_manager.h"
#include "platform/reply_order.h"

namespace agent {

// One hosts-file entry: (host name, address). Written to the file the other way round.
using HostEntry = std::pair<std::string, std::string>;
using HostEntries = std::vector<HostEntry>;

// The six default hosts entries.
HostEntries defaultHostEntries();
// The name as a hosts file holds it, or nothing when it cannot go there without changing
// its meaning: letters in either case, digits, hyphens and underscores in dot-separated
// labels of 1 to 63 characters, at most 253 in all; one trailing dot is dropped; an
// internationalised name becomes its ASCII form (IDNA, libidn2). Blanks, control
// characters, "#", empty labels and longer names are refused.
std::optional<std::string> hostsFileName(std::string_view name);
// Whether hostsFileName() accepts the name.
bool isValidHostName(const std::string& name);
// Whether a blocked domain names what is never sunk: the service's own API hosts (family
// and school), "localhost", or an address (IPv4 in any numeric form, IPv6), in any case,
// with or without the trailing dot, also as an internationalised look-alike.
bool isNeverSunk(std::string_view domain);
// The hosts-file text of the entries (no validation).
std::string hostsFileText(const HostEntries& entries);
// Root's command line that puts `text`, read from its standard input, over the system's
// hosts file `target`: root opens no file of anyone else's and reads no more than the
// text and a password line; its new copy beside the target (".mopet-hosts-<uid>") stays
// mode 0600 until it is checked to be exactly `text` (SHA-256), then takes the target's
// mode and owner and is renamed over it in one step. Anything else leaves the target as
// it was and says why on the error output ("Hosts file not replaced: ...").
std::string hostsReplacementCommand(const std::string& target, std::string_view text, unsigned long uid);
// Replaces `target`, a regular file of the agent's own user in a folder the user can
// write, with `text` by the agent itself, atomically: a new file beside it (the
// target's mode), flushed to the disk, renamed over it. Works in the folder by relative
// names once it is opened, and follows no link at the target. Nothing when it is done;
// else why not, also printed ("Hosts file not replaced: ...").
std::optional<std::string> replaceUsersHostsFile(const std::string& target, std::string_view text);

// How the tick's replacement of the hosts file went.
enum class HostsReplacement {
  byTheAgent,   // a file of the user's own, replaced by the agent itself
  throughSudo,  // the system's hosts file, replaced by root
  refused,      // left as it was; a printed line says why
  skipped,      // no stored child token, or sudo could not be started
  sudoEnded,    // sudo was held past its deadline and ended; the file is as it was
};
// Quotes a text as one word for bash (single quotes).
std::string shellQuoted(const std::string& text);

// Handles one web-rule reply (its body, response and transfer error): prints the body,
// decodes it and prints a "model: " line per exception. A reply that arrived whole (a
// 2xx status and a body that decodes) makes `list` the defaults plus its blocked
// domains, none when it holds no list of exceptions; a failed transfer, another status
// or a body that does not decode leaves `list` as it was.
void handleWebRuleReply(Locked<HostEntries>& list, const HostEntries& defaults,
                        const std::optional<platform::Data>& data,
                        const std::shared_ptr<const platform::URLResponse>& response,
                        const std::optional<platform::Error>& error);
// The same for the reply to request `number` of `order` (ReplyOrder::next() when it was
// sent): a reply that arrived whole replaces `list` only when no reply to a later
// request has replaced it before; an older one is dropped with a line, so that a slow
// reply never brings an older rule set back.
void handleWebRuleReply(Locked<HostEntries>& list, const HostEntries& defaults, platform::ReplyOrder& order,
                        platform::ReplyOrder::Number number, const std::optional<platform::Data>& data,
                        const std::shared_ptr<const platform::URLResponse>& response,
                        const std::optional<platform::Error>& error);

// Built with the file manager (Documents, the staging file) and the request runner (the
// web rules). The host list is shared with the web-rule reply handler, which may run
// after the filter is gone, so the list lives as long as the last of them.
class HostsFilter {
 public:
  HostsFilter(const platform::FileManager& files, networks::NetworkManager& requests);

  // The host list: the defaults and the blocked domains of the last web-rule reply that
  // arrived whole (replaced only by such a reply).
  Locked<HostEntries>& hostList() { return *hostList_; }
  // The six default entries that every arriving rule set starts from.
  const HostEntries& defaults() const { return defaults_; }

  // Sends the web-content rule request without waiting; its reply is handled by
  // handleWebRuleReply() on the host list, in the order of the requests. Sends nothing without a stored child token.
  void requestWebRules();
  // The file URL of the user's Documents folder, ending with "/".
  std::string documentsDirectoryURL() const;
  // The staging file "hosts" in the Documents folder, as the path is on disk.
  std::string stagingPath() const;
  // Removes the item at the path; prints the outcome.
  void removeFile(const std::string& path) const;
  // Puts the text the tick wrote (`text`, in the staging file) over the hosts file
  // `target`; nothing without a stored child token. The system's hosts file
  // (`systemFile`) is replaced by root, which gets the text on its standard input after
  // the password (hostsReplacementCommand) within `deadline`; any other target by the
  // agent itself (replaceUsersHostsFile), never through root. The staging file goes once
  // the target holds the text, as root took it away before.
  HostsReplacement replaceHostsFile(std::string_view text, const std::string& target, const std::string& systemFile,
                                    const PrivilegedRunner& root, std::chrono::milliseconds deadline) const;
  // Writes the hosts file: one "address<TAB>name<LF>" line per entry, atomically.
  // Entries whose name is not a valid host name are printed and left out. The result
  // is the text written.
  std::expected<std::string, platform::FileError> writeHostsFile(const HostEntries& entries,
                                                                 const std::string& path) const;

 private:
  const platform::FileManager& files_;
  networks::NetworkManager& requests_;
  const HostEntries defaults_;
  const std::shared_ptr<Locked<HostEntries>> hostList_;
  // Numbers the web-rule requests for their replies (shared with the reply handlers).
  const std::shared_ptr<platform::ReplyOrder> replyOrder_;
};

}  // namespace agent
