// The public face of the client: acknowledgement handles, sockets and the
// manager, each a thin call into the manager's core (manager.h).
#include "socketio/client.h"

#include "socketio/manager.h"

namespace sio {

std::string_view toString(SocketIOStatus status) {
  switch (status) {
    case SocketIOStatus::notConnected:
      return "notConnected";
    case SocketIOStatus::disconnected:
      return "disconnected";
    case SocketIOStatus::connecting:
      return "connecting";
    case SocketIOStatus::connected:
      return "connected";
  }
  return "unknown";
}

// ---- SocketAckEmitter --------------------------------------------------------

SocketAckEmitter::SocketAckEmitter() : state_(std::make_shared<detail::AckState>()) {}

SocketAckEmitter::SocketAckEmitter(std::shared_ptr<detail::AckState> state) : state_(std::move(state)) {}

bool SocketAckEmitter::expected() const { return state_->id.has_value(); }

std::optional<std::uint64_t> SocketAckEmitter::ackNum() const { return state_->id; }

void SocketAckEmitter::with(std::vector<nlohmann::json> items) {
  if (!state_->id) {
    return;  // the server did not ask for an acknowledgement
  }
  if (state_->used.exchange(true)) {
    if (auto core = state_->core.lock()) {
      core->log("second acknowledgement of " + std::to_string(*state_->id) + " dropped");
    }
    return;
  }
  if (auto core = state_->core.lock()) {
    core->sendAck(state_, std::move(items));
  }
}

// ---- SocketIOClient ------------------------------------------------------------

SocketIOClient::SocketIOClient(std::shared_ptr<detail::ManagerCore> core, std::string nsp)
    : core_(std::move(core)), nsp_(std::move(nsp)) {}

HandlerId SocketIOClient::on(SocketClientEvent event, NormalCallback callback) {
  return core_->on(event, std::move(callback));
}

HandlerId SocketIOClient::on(const std::string& event, NormalCallback callback) {
  return core_->on(event, std::move(callback));
}

void SocketIOClient::off(HandlerId id) { core_->off(id); }

void SocketIOClient::off(const std::string& event) { core_->off(detail::EventKey(event)); }

void SocketIOClient::connect(nlohmann::json payload) { core_->connect(std::move(payload)); }

void SocketIOClient::disconnect() { core_->disconnect(); }

void SocketIOClient::setReconnecting(const std::string& reason) { core_->setReconnecting(reason); }

void SocketIOClient::emit(const std::string& event, std::vector<nlohmann::json> items) {
  core_->emit(event, std::move(items));
}

SocketIOStatus SocketIOClient::status() const { return core_->status(); }

// ---- SocketManager -------------------------------------------------------------

SocketManager::SocketManager(std::string socketURL, SocketManagerConfig config, SocketManagerEnvironment environment)
    : socketURL_(std::move(socketURL)),
      core_(std::make_shared<detail::ManagerCore>(socketURL_, std::move(config), std::move(environment))),
      defaultSocket_(new SocketIOClient(core_, "/")) {
  core_->start();
}

SocketManager::~SocketManager() {
  core_->shutdown();
  defaultSocket_.reset();
}

SocketManagerConfig SocketManager::config() const { return core_->config(); }

void SocketManager::setConfig(SocketManagerConfig config) { core_->setConfig(std::move(config)); }

std::string SocketManager::negotiatedExtensions() const { return core_->extensions(); }

bool SocketManager::flush(std::chrono::milliseconds timeout) { return core_->flush(timeout); }

}  // namespace sio
