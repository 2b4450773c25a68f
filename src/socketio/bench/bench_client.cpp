// The benchmark's client side: connects, acknowledges every "bench" event with
// {"status":"ok"}, and exits when its standard input closes.
//
//   socketio_bench_client URL CA_FILE [--no-compress]
#include <cstring>
#include <iostream>
#include <string>

#include "socketio/client.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: socketio_bench_client URL CA_FILE [--no-compress]\n";
    return 2;
  }
  bool compress = !(argc > 3 && std::strcmp(argv[3], "--no-compress") == 0);
  sio::SocketManagerConfig config;
  config.compress = compress;
  config.forceWebsockets = true;
  config.connectParams = {{"token", "bench"}};
  sio::SocketManagerEnvironment environment;
  environment.caFile = argv[2];
  sio::SocketManager manager(argv[1], config, environment);
  auto& socket = manager.defaultSocket();
  socket.on(sio::SocketClientEvent::connect,
            [](const std::vector<nlohmann::json>&, sio::SocketAckEmitter&) { std::cout << "connected" << std::endl; });
  socket.on(sio::SocketClientEvent::error, [](const std::vector<nlohmann::json>& data, sio::SocketAckEmitter&) {
    std::cerr << "error: " << (data.empty() ? "" : data[0].dump()) << std::endl;
  });
  socket.on("bench", [](const std::vector<nlohmann::json>&, sio::SocketAckEmitter& ack) {
    ack.with(nlohmann::json{{"status", "ok"}});
  });
  socket.connect();
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}
