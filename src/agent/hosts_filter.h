#pragma once
// The hosts-file web filter: the host list that the next hosts file is written from,
// the web-rule request whose replies fill it, the staging file in Documents and the
// hosts-file writer; and the text rules of the hosts file (which names it holds, the
// text, root's replacement line).
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/locked.h"
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
// The root command line that puts the staging file's text over the target when, and
// only when, the staging entry is still the plain single-link file holding `text` that
// the agent wrote, in a folder owned by `uid`, and the target is the system's hosts file
// ("/etc/hosts") or a regular file owned by `uid`; mode 0644, one rename. Root never
// opens the staging entry in a way that follows a link or waits, and reads no more of
// it than `text` holds. Anything else leaves the target as it was and says why on the
// error output.
std::string hostsReplacementCommand(const std::string& staging, const std::string& target, std::string_view text,
                                    unsigned long uid);
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
