#include "networks/network_manager.h"

#include <limits>
#include <memory>
#include <mutex>

#include "networks/print_line.h"
#include "networks/shared_settings.h"
#include "networks/token_mask.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/settings.h"
#include "platform/user_defaults.h"

namespace networks {
namespace {

coding::JSONDecoder errorDecoder() {
  coding::JSONDecoder decoder;
  decoder.keyDecodingStrategy = coding::KeyDecodingStrategy::convertFromSnakeCase();
  return decoder;
}

}  // namespace

std::string ErrorModel::description() const {
  std::string text = "ErrorModel(message: \"" + message + "\", status: ";
  text += status ? "Optional(" + std::to_string(*status) + ")" : "nil";
  text += ", exactError: ";
  text += exactError ? "Optional(\"" + *exactError + "\")" : "nil";
  return text + ")";
}

NetworkManager::NetworkManager(platform::URLSession& session)
    : session_(session), replyWaitLimit_(platform::Settings::current().replyWaitBudget) {}

NetworkManager::~NetworkManager() { alive_.end(); }

namespace {

// Waits for the reply's signal, at most `limit` (none: until it comes).
void waitForReply(platform::DispatchSemaphore& done, std::chrono::milliseconds limit) {
  if (limit == NetworkManager::kNoReplyWaitLimit) {
    done.wait();
    return;
  }
  (void)done.waitFor(limit);
}

}  // namespace

std::expected<platform::URLRequest, coding::EncodingError> NetworkManager::authorisedRequest(
    const ChildEndPoint& endPoint, std::string_view token) {
  auto body = endPoint.body();
  if (!body) return std::unexpected(body.error());
  platform::URLRequest request;
  request.url = endPoint.url();
  request.timeoutInterval = std::numeric_limits<double>::infinity();
  request.httpMethod = std::string(endPoint.httpMethod().rawValue());
  request.httpBody = std::move(*body);
  for (const auto& [field, value] : endPoint.headers(token)) request.addValue(value, field);
  return request;
}

bool NetworkManager::send(const ChildEndPoint& endPoint, std::string_view token,
                          platform::DataTaskCompletion completion) {
  auto request = authorisedRequest(endPoint, token);
  if (!request) return false;
  session_.dataTask(std::move(*request), std::move(completion))->resume();
  return true;
}

coding::AnyKey NetworkManager::customDecoingStrategy(const coding::CodingPath& codingPath) const {
  const std::string& key = codingPath.back().stringValue;
  if (key == "__v") return coding::AnyKey(std::string("v"));
  if (key == "_id") return coding::AnyKey(std::string("id"));
  std::string joined;
  std::size_t start = 0;
  while (start <= key.size()) {
    const auto end = key.find('_', start);
    const std::string piece = key.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!piece.empty()) joined += joined.empty() ? piece : coding::capitalized(piece);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return coding::AnyKey(joined);
}

coding::JSONDecoder NetworkManager::successDecoder() const {
  coding::JSONDecoder decoder;
  decoder.keyDecodingStrategy = coding::KeyDecodingStrategy::custom(
      [this](const coding::CodingPath& path) { return customDecoingStrategy(path); });
  return decoder;
}

void NetworkManager::task(const ChildEndPoint& endPoint, ReplyHandler handler) {
  const auto token = storedChildToken();
  if (!token) return;
  printLine("migratedData " + maskedToken(*token));

  auto done = std::make_shared<platform::DispatchSemaphore>(0);
  auto request = authorisedRequest(endPoint, *token);
  if (!request) {
    // A body the encoder refuses is never sent half-made: the caller is told instead,
    // from the session's queue as every other outcome, and the call returns after it.
    printLine("⛔️ can't encode request body: " + request.error().description());
    session_.delegateQueue().async(
        [handler = std::move(handler), done, message = "can't encode request body " + request.error().description()] {
          handler.failure(ErrorModel{message, -1, std::nullopt});
          done->signal();
        });
    waitForReply(*done, replyWaitLimit_);
    return;
  }

  auto task = session_.dataTask(std::move(*request), [handler = std::move(handler), done](
                                                         std::optional<platform::Data> data,
                                                         const std::shared_ptr<const platform::URLResponse>& response,
                                                         std::optional<platform::Error> error) {
    struct SignalOnExit {
      platform::DispatchSemaphore& semaphore;
      ~SignalOnExit() { semaphore.signal(); }
    } signalOnExit{*done};

    if (error) {
      printLine(error->description());
      handler.failure(ErrorModel{error->localizedDescription, error->code, std::nullopt});
      return;
    }
    if (!data) return;
    const auto* http = dynamic_cast<const platform::HTTPURLResponse*>(response.get());
    if (http == nullptr) return;

    if (http->hasSuccessStatus()) {
      if (auto failed = handler.decodeSuccess(*data)) {
        printLine("response data: " + http->description());
        handler.failure(ErrorModel{"can't decode json from server" + failed->description(), -1, std::nullopt});
      }
      return;
    }
    auto errorBody = errorDecoder().decode<ErrorModel>(*data);
    if (errorBody) {
      printLine("[X] error: " + errorBody->description());
      handler.failure(std::move(*errorBody));
    } else {
      printLine("\"Empty state occurred => \" " + errorBody.error().description());
    }
  });
  task->resume();
  waitForReply(*done, replyWaitLimit_);
}

}  // namespace networks
