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
// case the call returns once the reply has been handled, or once the runner's reply wait
// (replyWaitLimit) is spent, whichever comes first: a reply that comes later is still
// handled when it comes, on the session's queue, and its completion runs then. So a
// completion given to a runner with a limit must own what it touches (shared state, not
// the caller's stack). The request itself keeps the session's own deadline.
//
// It is also the one path of every authorised request of the agent: send() puts a case
// of the endpoint table on the wire as authorisedRequest() builds it and hands the raw
// reply to the caller, who reads it as its feature needs.
#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
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
#include "platform/lifeline.h"
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
  // A reply handled after this runner is gone runs no success completion (its decoder
  // is the runner's); one being handled meanwhile is waited for.
  virtual ~NetworkManager();
  NetworkManager(const NetworkManager&) = delete;
  NetworkManager& operator=(const NetworkManager&) = delete;

  // How long task() waits for a reply at most: by default the settings' reply-wait
  // budget (Settings::replyWaitBudget, as installed when the runner is made); the
  // largest value waits until the reply has been handled, which the session's own
  // deadline bounds.
  static constexpr std::chrono::milliseconds kNoReplyWaitLimit = std::chrono::milliseconds::max();
  void setReplyWaitLimit(std::chrono::milliseconds limit) { replyWaitLimit_ = limit; }
  std::chrono::milliseconds replyWaitLimit() const { return replyWaitLimit_; }

  // Sends one request; see the outcomes above. Overridable: request() and the three API
  // operations below go through it.
  virtual void task(const ChildEndPoint& endPoint, ReplyHandler handler);

  template <class T>
  void task(const ChildEndPoint& endPoint, Completion<T> completion) {
    task(endPoint, replyHandler<T>(std::move(completion)));
  }

  // Sends one case of the endpoint table through task(); the completion gets the reply
  // record that the case names (ChildEndPoint's `Reply`). A case whose reply is raw goes
  // through send() instead.
  template <DecodedReplyCase C>
  void request(C endPointCase, Completion<ReplyOf<C>> completion) {
    task<ReplyOf<C>>(ChildEndPoint(std::move(endPointCase)), std::move(completion));
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

  // The three requests the rest of the agent sends through a runner.
  void sendLocation(const std::vector<LocationModel>& samples, Completion<AcceptanceModel> completion) {
    request(ChildEndPoint::SendLocation{samples}, std::move(completion));
  }
  void sendAppList(const SendAppListModel& report, Completion<AcceptanceModel> completion) {
    request(ChildEndPoint::SendApplicationList{report}, std::move(completion));
  }
  void getSafeSearch(Completion<rules::SafeSearchRulesBase> completion) {
    request(ChildEndPoint::GetSafeSearchRules{}, std::move(completion));
  }

  platform::URLSession& session() const { return session_; }

 private:
  // Decodes a successful reply as T with the runner's decoder and hands either outcome
  // to the completion. A reply that outlives the runner is dropped.
  template <class T>
  ReplyHandler replyHandler(Completion<T> completion) const {
    auto decodeSuccess = [alive = alive_.weak(), completion](const platform::Data& body) {
      std::optional<coding::DecodingError> failed;
      alive.withOwner([&](const NetworkManager& runner) {
        auto decoded = runner.successDecoder().decode<T>(body);
        if (decoded) completion(std::move(*decoded));
        else failed = decoded.error();
      });
      return failed;
    };
    auto failure = [completion](ErrorModel error) { completion(std::unexpected(std::move(error))); };
    return ReplyHandler{std::move(decodeSuccess), std::move(failure)};
  }

  coding::JSONDecoder successDecoder() const;
  platform::URLSession& session_;
  std::chrono::milliseconds replyWaitLimit_;
  // Whether the runner still exists, for reply handlers that may outlive it; a handler
  // holds the runner's life while it uses it (and may drop the runner's last owner).
  platform::Lifeline<const NetworkManager> alive_{this};
};

}  // namespace networks
