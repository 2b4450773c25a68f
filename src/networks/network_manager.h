#pragma once
// The request runner: one case of the endpoint table becomes one authorised JSON
// request; the caller is blocked until the reply has been handled, and the completion
// receives the decoded reply model or an ErrorModel.
//
// Seven outcomes, the first that holds decides:
//   1 transport error            -> failure {error's description, error's code}
//   2 no data                    -> no completion
//   3 not an HTTP response       -> no completion
//   4 2xx, decodes               -> success
//   5 2xx, does not decode       -> failure {"can't decode json from server" + error, -1}
//   6 other status, error body   -> failure {the decoded body}
//   7 other status, no error body-> no completion
// Without a token in the shared suite nothing is sent and no completion runs. In every
// case the call returns once the reply has been handled.
//
// It is also the one path of every authorised request of the agent: send() puts a case
// of the endpoint table on the wire as authorisedRequest() builds it and hands the raw
// reply to the caller, who reads it as its feature needs.
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "coding/codable.h"
#include "networks/app_list_report.h"
#include "networks/child_end_point.h"
#include "networks/error_model.h"
#include "networks/location_report.h"
#include "networks/replies.h"
#include "platform/url_session.h"
#include "rules/safe_search_rules.h"

namespace networks {

template <class T>
using Result = std::expected<T, ErrorModel>;

template <class T>
using Completion = std::function<void(Result<T>)>;

class NetworkManager {
 public:
  // Declared for callers that want a typed error; nothing raises it.
  enum class ResponseError { invalidCode };

  // What the runner does with a handled reply, independent of the reply type.
  struct ReplyHandler {
    // Decodes a 2xx body and, on success, runs the completion. Returns the decoding
    // error when the body does not decode (nothing has run then).
    std::function<std::optional<coding::DecodingError>(const platform::Data&)> decodeSuccess;
    std::function<void(ErrorModel)> failure;
  };

  explicit NetworkManager(platform::URLSession& session = platform::URLSession::shared());
  virtual ~NetworkManager() = default;

  // Sends one request; see the outcomes above. Overridable: the three API operations
  // below go through it.
  virtual void task(const ChildEndPoint& endPoint, ReplyHandler handler);

  template <class T>
  void task(const ChildEndPoint& endPoint, Completion<T> completion) {
    task(endPoint, ReplyHandler{[this, completion](const platform::Data& body) -> std::optional<coding::DecodingError> {
                                  auto decoded = successDecoder().decode<T>(body);
                                  if (!decoded) return decoded.error();
                                  completion(std::move(*decoded));
                                  return std::nullopt;
                                },
                                [completion](ErrorModel error) { completion(std::unexpected(std::move(error))); }});
  }

  // The key mapper of successful replies, the custom key-decoding strategy (the name,
  // misspelt, is the one its callers know): "__v" -> "v", "_id" -> "id", any other key
  // split at "_" (empty pieces dropped), the first piece kept, the later capitalised.
  virtual coding::AnyKey customDecoingStrategy(const coding::CodingPath& codingPath) const;

  // The request of the case authorised by `token`: its URL, method and body, no time
  // limit of its own, and its headers (ChildEndPoint::headers). The body's encoding
  // error when the encoder refuses it.
  static std::expected<platform::URLRequest, coding::EncodingError> authorisedRequest(const ChildEndPoint& endPoint,
                                                                                      std::string_view token);
  // Starts the authorised request of the case on the session and returns at once; the
  // completion gets the raw reply on the session's queue. A body that cannot be encoded
  // sends nothing and returns false (none of the agent's own cases can fail so).
  bool send(const ChildEndPoint& endPoint, std::string_view token, platform::DataTaskCompletion completion);

  void sendLocation(const std::vector<LocationModel>& samples, Completion<AcceptanceModel> completion);
  void sendAppList(const SendAppListModel& report, Completion<AcceptanceModel> completion);
  void getSafeSearch(Completion<rules::SafeSearchRulesBase> completion);

  platform::URLSession& session() const { return session_; }

 private:
  coding::JSONDecoder successDecoder() const;
  platform::URLSession& session_;
};

// Prints one line to standard output (whole lines, safe across threads), through the
// standard-output sink of the log layer (platform::StandardOutput), which tests replace.
void printLine(const std::string& line);

}  // namespace networks
