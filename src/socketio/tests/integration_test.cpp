// The client against the npm Socket.IO server on loopback, over TLS with
// permessage-deflate.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "node_server.h"
#include "socketio/client.h"

namespace sio {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using test::eventAndTag;
using test::eventIs;
using test::NodeServer;
using test::TestCertificates;
using test::Waiter;

const std::string kToken = "tok en/=&é";

// The raw packets the client sent on its current connection.
test::Match packetFrom(const std::string& socketId) {
  return [socketId](const json& r) { return r.value("event", "") == "packet" && r.value("id", "") == socketId; };
}

// The test's own serial handle queue: a thread of its own, joined on destruction.
class Serial {
 public:
  Serial() : thread_([this] { loop(); }) {}
  ~Serial() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void post(std::function<void()> task) {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    cv_.notify_all();
  }
  std::thread::id threadId() const { return thread_.get_id(); }

 private:
  void loop() {
    std::unique_lock lock(mutex_);
    while (true) {
      cv_.wait(lock, [&] { return stop_ || !tasks_.empty(); });
      if (stop_) {
        return;
      }
      auto task = std::move(tasks_.front());
      tasks_.erase(tasks_.begin());
      lock.unlock();
      task();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::function<void()>> tasks_;
  bool stop_ = false;
  std::thread thread_;
};

// Records client events and log lines of one manager in a Waiter.
struct Client {
  Waiter waiter;
  std::atomic<int> posts{0};
  std::unique_ptr<SocketManager> manager;

  Client(const std::string& url, SocketManagerConfig config, std::vector<std::string> connectTo = {},
         std::string caFile = TestCertificates::get().caFile) {
    SocketManagerEnvironment env;
    env.caFile = std::move(caFile);
    env.connectTo = std::move(connectTo);
    env.logger = [this](const std::string& line) { waiter.add("log", line); };
    // A counting poster in front of the default serial thread shows that
    // every handler goes through the handle queue.
    queue_ = std::make_shared<Serial>();
    env.handleQueue = [this, q = queue_](std::function<void()> task) {
      ++posts;
      q->post(std::move(task));
    };
    config.log = true;
    manager = std::make_unique<SocketManager>(url, std::move(config), std::move(env));
    auto& socket = manager->defaultSocket();
    const std::pair<SocketClientEvent, const char*> events[] = {
        {SocketClientEvent::connect, "connect"},
        {SocketClientEvent::disconnect, "disconnect"},
        {SocketClientEvent::error, "error"},
        {SocketClientEvent::reconnect, "reconnect"},
        {SocketClientEvent::reconnectAttempt, "reconnectAttempt"}};
    for (auto [event, name] : events) {
      socket.on(event, [this, n = std::string(name)](const std::vector<json>& data, SocketAckEmitter& ack) {
        EXPECT_FALSE(ack.expected());
        EXPECT_EQ(std::this_thread::get_id(), queue_->threadId());
        waiter.add(n, data);
      });
    }
  }

  ~Client() { manager.reset(); }

  SocketIOClient& socket() { return manager->defaultSocket(); }

 private:
  std::shared_ptr<Serial> queue_;
};

std::vector<std::string> logLines(Client& client) {
  std::vector<std::string> lines;
  for (std::size_t i = 1; i <= client.waiter.count("log"); ++i) {
    lines.push_back(client.waiter.waitFor("log", i, 0ms)->get<std::string>());
  }
  return lines;
}

SocketManagerConfig fastConfig() {
  SocketManagerConfig config;
  config.compress = true;
  config.forceWebsockets = true;
  config.connectParams = {{"token", kToken}};
  config.reconnectWait = 50ms;
  config.reconnectWaitMax = 200ms;
  config.connectTimeout = 5s;
  return config;
}

class SocketIOServerTest : public ::testing::Test {
 protected:
  void SetUp() override { server = std::make_unique<NodeServer>(); }

  std::string url() const { return "https://localhost:" + std::to_string(server->port()); }

  // Connects a client and returns the server's id of its socket.
  std::string connect(Client& client) {
    std::size_t nth = server->count(eventIs("connection")) + 1;
    client.socket().connect();
    auto connected = client.waiter.waitFor("connect");
    EXPECT_TRUE(connected);
    auto record = server->waitFor(eventIs("connection"), nth);
    EXPECT_TRUE(record);
    return record ? (*record)["id"].get<std::string>() : std::string();
  }

  void emit(const std::string& tag, const std::string& name, json args, bool ack) {
    server->send({{"cmd", "emit"}, {"tag", tag}, {"name", name}, {"args", std::move(args)}, {"ack", ack}});
    ASSERT_TRUE(server->waitFor(eventAndTag("emitted", tag)));
  }

  std::unique_ptr<NodeServer> server;
};

TEST_F(SocketIOServerTest, HandshakeCarriesTokenAndNegotiatesCompression) {
  Client client(url(), fastConfig());
  connect(client);
  auto record = server->waitFor(eventIs("connection"));
  ASSERT_TRUE(record);
  EXPECT_EQ((*record)["query"]["token"], kToken);
  EXPECT_EQ((*record)["query"]["EIO"], "4");
  EXPECT_EQ((*record)["query"]["transport"], "websocket");
  EXPECT_NE((*record)["offered"].get<std::string>().find("permessage-deflate"), std::string::npos);
  EXPECT_EQ((*record)["extensions"], "permessage-deflate");
  EXPECT_NE(client.manager->negotiatedExtensions().find("permessage-deflate"), std::string::npos);
  // The server compresses each message on its own (it may then send small ones plainly).
  EXPECT_NE(client.manager->negotiatedExtensions().find("server_no_context_takeover"), std::string::npos);
  EXPECT_EQ(client.socket().status(), SocketIOStatus::connected);
  // The log shows the connection but never the token.
  auto lines = logLines(client);
  EXPECT_FALSE(lines.empty());
  for (const auto& line : lines) {
    EXPECT_EQ(line.find("tok"), std::string::npos) << line;
  }

  // A replaced option set without `compress` turns compression off for the next connection.
  SocketManagerConfig replaced;
  replaced.forceWebsockets = true;
  replaced.connectParams = {{"token", "second"}};
  replaced.log = true;
  client.manager->setConfig(replaced);
  EXPECT_FALSE(client.manager->config().compress);
  client.socket().disconnect();
  ASSERT_TRUE(client.waiter.waitFor("disconnect"));
  client.socket().connect(json{{"device", "mac-1"}});  // a connect payload travels as the handshake's auth
  ASSERT_TRUE(client.waiter.waitFor("connect", 2));
  auto second = server->waitFor(eventIs("connection"), 2);
  ASSERT_TRUE(second);
  EXPECT_EQ((*second)["query"]["token"], "second");
  EXPECT_EQ((*second)["auth"], json({{"device", "mac-1"}}));
  EXPECT_EQ((*record)["auth"], json::object());
  EXPECT_EQ((*second)["offered"], "");
  EXPECT_EQ((*second)["extensions"], "");
  EXPECT_EQ(client.manager->negotiatedExtensions(), "");
}

TEST_F(SocketIOServerTest, AcknowledgesExactlyWhatTheEventAskedFor) {
  Client client(url(), fastConfig());
  std::atomic<int> firstRuns{0};
  std::atomic<int> secondRuns{0};
  // Two handlers: both run, in order; only the first `with` is sent.
  client.socket().on("command", [&](const std::vector<json>& data, SocketAckEmitter& ack) {
    EXPECT_EQ(secondRuns.load(), firstRuns.load());
    ++firstRuns;
    client.waiter.add(
        "command",
        {{"data", data}, {"expected", ack.expected()}, {"id", ack.ackNum() ? json(*ack.ackNum()) : json(nullptr)}});
    if (!data.empty() && data[0].is_object() && data[0].contains("reply")) {
      ack.with(data[0]["reply"].get<std::vector<json>>());
    } else {
      ack.with(json{{"status", "ok"}});
    }
  });
  client.socket().on("command", [&](const std::vector<json>&, SocketAckEmitter& ack) {
    ++secondRuns;
    ack.with(json{{"status", "second"}});
    client.waiter.add("second", nullptr);
  });
  auto removed = client.socket().on(
      "command", [&](const std::vector<json>&, SocketAckEmitter&) { ADD_FAILURE() << "a removed handler ran"; });
  client.socket().off(removed);
  client.socket().on("other", [&](const std::vector<json>&, SocketAckEmitter&) { ADD_FAILURE() << "removed"; });
  client.socket().off("other");
  std::string sid = connect(client);

  struct Case {
    std::string tag;
    json args;
    bool ack;
    json expectedAck;  // the server's callback arguments
  };
  const Case cases[] = {
      {"ok", json::array({{{"flag", true}}}), true, json::array({{{"status", "ok"}}})},
      {"none", json::array({{{"flag", false}}}), false, nullptr},
      {"empty", json::array(), true, json::array({{{"status", "ok"}}})},
      {"null", json::array({nullptr}), true, json::array({{{"status", "ok"}}})},
      {"items", json::array({{{"reply", json::array({1, "two", nullptr, {{"k", json::array({3.5})}}})}}}), true,
       json::array({1, "two", nullptr, {{"k", json::array({3.5})}}})},
      {"nothing", json::array({{{"reply", json::array()}}}), true, json::array()},
  };
  std::size_t n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tag);
    emit(c.tag, "command", c.args, c.ack);
    auto seen = client.waiter.waitFor("command", ++n);
    ASSERT_TRUE(seen);
    EXPECT_EQ((*seen)["data"], c.args);
    EXPECT_EQ((*seen)["expected"], c.ack);
    if (c.ack) {
      auto ack = server->waitFor(eventAndTag("ack", c.tag));
      ASSERT_TRUE(ack);
      EXPECT_EQ((*ack)["args"], c.expectedAck);
    }
  }
  // Ids need not start at 0: the client answers whatever id the server used.
  server->send({{"cmd", "raw"}, {"tag", "raw"}, {"text", R"(42987654["command",{"raw":1}])"}});
  ASSERT_TRUE(client.waiter.waitFor("command", ++n));
  EXPECT_EQ((*client.waiter.waitFor("command", n))["id"], 987654);
  auto rawAck =
      server->waitFor([&](const json& r) { return packetFrom(sid)(r) && r["data"] == R"(3987654[{"status":"ok"}])"; });
  EXPECT_TRUE(rawAck);

  // Exactly one acknowledgement per event that asked, none for the one that did not.
  server->send({{"cmd", "emit"}, {"tag", "fence"}, {"name", "command"}, {"args", json::array()}, {"ack", true}});
  ASSERT_TRUE(server->waitFor(eventAndTag("ack", "fence")));
  std::size_t acks = 0;
  for (const auto& p : server->matching(packetFrom(sid))) {
    std::string text = p["data"].get<std::string>();
    EXPECT_EQ(text[0], '3') << text;  // the client sends nothing but acks here
    ++acks;
    EXPECT_EQ(text.find("second"), std::string::npos) << text;
  }
  EXPECT_EQ(acks, 7u);  // five asked in the table, the raw one, the fence
  EXPECT_EQ(server->count(eventIs("ackTimeout")), 0u);
  // The fence's acknowledgement went out from the first handler; the second may still be running.
  ASSERT_TRUE(client.waiter.waitFor("second", 8));
  EXPECT_EQ(firstRuns.load(), 8);
  EXPECT_EQ(secondRuns.load(), 8);
  EXPECT_GT(client.posts.load(), 8);
}

// Many events in flight at once: every handler runs once, in order, and every
// acknowledgement goes back with its own id, compressed or not.
TEST_F(SocketIOServerTest, BurstsOfEventsAreAcknowledgedOneByOne) {
  for (bool compress : {true, false}) {
    SCOPED_TRACE(compress ? "compressed" : "plain");
    auto config = fastConfig();
    config.compress = compress;
    Client client(url(), config);
    std::mutex mutex;
    std::vector<int> seen;
    client.socket().on("burst", [&](const std::vector<json>& data, SocketAckEmitter& ack) {
      ASSERT_EQ(data.size(), 1u);
      {
        std::lock_guard lock(mutex);
        seen.push_back(data[0].get<int>());
      }
      ack.with(json{{"n", data[0]}});
    });
    connect(client);
    const std::string tag = compress ? "compressed" : "plain";
    constexpr int kCount = 2000;
    server->send({{"cmd", "burst"}, {"tag", tag}, {"name", "burst"}, {"count", kCount}});
    auto done = server->waitFor(eventAndTag("burstDone", tag), 1, 60s);
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["matched"], kCount);
    EXPECT_EQ((*done)["wrong"], 0);
    EXPECT_EQ((*done)["lost"], 0);
    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
      ASSERT_EQ(seen[static_cast<std::size_t>(i)], i);
    }
  }
}

// flush() from a handler: it returns once the acknowledgements given so far are
// written, whether or not a connection is there to write them to.
TEST_F(SocketIOServerTest, FlushWaitsForWhatWasGivenBefore) {
  {
    Client idle(url(), fastConfig());
    EXPECT_TRUE(idle.manager->flush(5s));  // never connected: nothing to wait for
  }
  Client client(url(), fastConfig());
  std::atomic<int> flushed{0};
  client.socket().on("burst", [&](const std::vector<json>& data, SocketAckEmitter& ack) {
    ack.with(json{{"n", data[0]}});
    if (client.manager->flush(5s)) ++flushed;
  });
  connect(client);
  constexpr int kCount = 50;
  server->send({{"cmd", "burst"}, {"tag", "flush"}, {"name", "burst"}, {"count", kCount}});
  auto done = server->waitFor(eventAndTag("burstDone", "flush"), 1, 30s);
  ASSERT_TRUE(done);
  EXPECT_EQ((*done)["matched"], kCount);
  EXPECT_EQ((*done)["lost"], 0);
  EXPECT_EQ(flushed.load(), kCount);
  client.socket().disconnect();
  ASSERT_TRUE(client.waiter.waitFor("disconnect"));
  EXPECT_TRUE(client.manager->flush(5s));  // disconnected: nothing to wait for
}

TEST_F(SocketIOServerTest, BadInputIsDroppedAndTheConnectionKept) {
  Client client(url(), fastConfig());
  std::atomic<int> runs{0};
  client.socket().on("command", [&](const std::vector<json>& data, SocketAckEmitter& ack) {
    ++runs;
    client.waiter.add("command", data);
    ack.with(json{{"status", "ok"}});
  });
  std::string sid = connect(client);

  const std::string garbage[] = {
      "garbage",
      "",
      "9",
      "4",
      "4x",
      "47",
      R"(42{"a":1})",
      R"(42"text")",
      "42[]",
      "42[1]",
      R"(42["command")",
      R"(43[{"status":"ok"}])",
      R"(4399["x"])",
      R"(42/other,5["command"])",
      R"(45["command"])",
      R"(44{"message":"x"})",
      "42" + std::string(2000, '[') + std::string(2000, ']'),
  };
  int tag = 0;
  for (const auto& text : garbage) {
    server->send({{"cmd", "raw"}, {"tag", std::to_string(++tag)}, {"text", text}});
  }
  server->send({{"cmd", "raw"}, {"tag", "bin"}, {"binary", "AAEC"}});  // binary frame with nothing pending
  ASSERT_TRUE(server->waitFor(eventAndTag("sent", "bin")));

  // A 1 MB payload, then binary attachments, are delivered and acknowledged.
  server->send({{"cmd", "big"}, {"tag", "big"}, {"name", "command"}, {"size", 1 << 20}, {"ack", true}});
  auto big = server->waitFor(eventAndTag("ack", "big"));
  ASSERT_TRUE(big);
  EXPECT_EQ((*big)["args"], json::array({{{"status", "ok"}}}));
  auto bigData = client.waiter.waitFor("command", 1);
  ASSERT_TRUE(bigData);
  EXPECT_EQ((*bigData)[0]["blob"].get<std::string>().size(), 1u << 20);

  server->send({{"cmd", "emitBinary"},
                {"tag", "binary"},
                {"name", "command"},
                {"args", json::array({{{"$binary", "3q2+7w=="}}, "after"})},
                {"ack", true}});
  ASSERT_TRUE(server->waitFor(eventAndTag("ack", "binary")));
  auto binary = client.waiter.waitFor("command", 2);
  ASSERT_TRUE(binary);
  ASSERT_TRUE((*binary)[0].is_binary()) << binary->dump();
  EXPECT_EQ(static_cast<const std::vector<std::uint8_t>&>((*binary)[0].get_binary()),
            (std::vector<std::uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ((*binary)[1], "after");

  // A binary packet whose attachment never comes is dropped when the next packet arrives.
  server->send({{"cmd", "raw"}, {"tag", "half"}, {"text", R"(451-77["command",{"_placeholder":true,"num":0}])"}});
  emit("after-half", "command", json::array({"ok"}), true);
  ASSERT_TRUE(server->waitFor(eventAndTag("ack", "after-half")));

  EXPECT_EQ(runs.load(), 3);
  EXPECT_EQ(client.waiter.count("disconnect"), 0u);
  EXPECT_EQ(client.waiter.count("error"), 0u);
  EXPECT_EQ(server->count(eventIs("connection")), 1u);
  EXPECT_EQ(server->count(eventIs("disconnect")), 0u);
  EXPECT_EQ(client.socket().status(), SocketIOStatus::connected);
  // Three acknowledgements, nothing else went out (the raw ids 99 and 77 were never answered).
  auto packets = server->matching(packetFrom(sid));
  ASSERT_EQ(packets.size(), 3u);
  for (const auto& p : packets) {
    EXPECT_EQ(p["data"].get<std::string>().substr(0, 1), "3");
  }
  // Each drop was reported in the log.
  auto lines = logLines(client);
  auto dropped = std::count_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.find("dropped") != std::string::npos; });
  EXPECT_GE(static_cast<std::size_t>(dropped), std::size(garbage) + 2);  // the stray frame and the half packet too
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("event data must be an array") != std::string::npos;
  }));
}

TEST_F(SocketIOServerTest, ReconnectsAfterServerRestartAndRunsLaterEventsOnce) {
  Client client(url(), fastConfig());
  std::atomic<int> runs{0};
  client.socket().on("command", [&](const std::vector<json>&, SocketAckEmitter& ack) {
    ++runs;
    ack.with(json{{"status", "ok"}});
  });
  connect(client);

  server->send({{"cmd", "restart"}});
  ASSERT_TRUE(client.waiter.waitFor("disconnect"));
  ASSERT_TRUE(client.waiter.waitFor("reconnect"));
  ASSERT_TRUE(server->waitFor(eventIs("listening"), 2));
  ASSERT_TRUE(client.waiter.waitFor("connect", 2));
  auto second = server->waitFor(eventIs("connection"), 2);
  ASSERT_TRUE(second);
  EXPECT_EQ((*second)["query"]["token"], kToken);

  emit("later", "command", json::array({1}), true);
  ASSERT_TRUE(server->waitFor(eventAndTag("ack", "later")));
  // An abrupt end of the transport also reconnects.
  server->send({{"cmd", "dropTransport"}});
  ASSERT_TRUE(client.waiter.waitFor("connect", 3));
  emit("latest", "command", json::array({2}), true);
  ASSERT_TRUE(server->waitFor(eventAndTag("ack", "latest")));
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(server->count(eventIs("ack")), 2u);
  EXPECT_EQ(client.waiter.count("connect"), 3u);
}

TEST_F(SocketIOServerTest, DisconnectThenReconnectingStartsOver) {
  Client client(url(), fastConfig());
  std::atomic<int> runs{0};
  client.socket().on("command", [&](const std::vector<json>&, SocketAckEmitter& ack) {
    ++runs;
    ack.with(json{{"status", "ok"}});
  });
  connect(client);
  client.socket().disconnect();
  client.socket().setReconnecting("Socket Disconnected, Reconnecting...");
  client.socket().connect();
  ASSERT_TRUE(client.waiter.waitFor("connect", 2));
  auto gone = server->waitFor(eventIs("disconnect"));
  ASSERT_TRUE(gone);
  EXPECT_EQ((*gone)["reason"], "client namespace disconnect");
  auto reason = client.waiter.waitFor("reconnect");
  ASSERT_TRUE(reason);
  EXPECT_EQ(*reason, json::array({"Socket Disconnected, Reconnecting..."}));
  EXPECT_EQ(*client.waiter.waitFor("disconnect"), json::array({"io client disconnect"}));

  emit("after", "command", json::array({1}), true);
  ASSERT_TRUE(server->waitFor(eventAndTag("ack", "after")));
  EXPECT_EQ(runs.load(), 1);
  client.socket().emit("hello", {json{{"n", 1}}, "two"});
  auto hello = server->waitFor(eventIs("clientEvent"));
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["name"], "hello");
  EXPECT_EQ((*hello)["args"], json::array({{{"n", 1}}, "two"}));

  // A disconnect by the client is final: no reconnection follows.
  client.socket().disconnect();
  ASSERT_TRUE(server->waitFor(eventIs("disconnect"), 2));
  std::this_thread::sleep_for(300ms);  // longer than the reconnect wait
  EXPECT_EQ(server->count(eventIs("connection")), 2u);
  EXPECT_EQ(client.socket().status(), SocketIOStatus::disconnected);
}

TEST_F(SocketIOServerTest, ServerDisconnectAndRefusalAreFinal) {
  {
    Client client(url(), fastConfig());
    connect(client);
    server->send({{"cmd", "kick"}});
    auto reason = client.waiter.waitFor("disconnect");
    ASSERT_TRUE(reason);
    EXPECT_EQ(*reason, json::array({"io server disconnect"}));
  }
  auto config = fastConfig();
  config.connectParams = {{"token", "reject"}};
  Client refused(url(), config);
  refused.socket().connect();
  auto error = refused.waiter.waitFor("error");
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)[0]["message"], "not authorized");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(refused.waiter.count("reconnectAttempt"), 0u);
  EXPECT_EQ(refused.socket().status(), SocketIOStatus::disconnected);
  EXPECT_EQ(server->count(eventIs("connection")), 1u);
}

TEST(SocketIOPingTest, AnswersPingsAndReconnectsWhenPingsStop) {
  // The server pings every 250 ms and waits long for each pong; the client is
  // told a 3 s timeout, so a busy machine neither drops a live connection nor
  // makes the lost one slow to notice.
  NodeServer server({"--ping-interval", "250", "--ping-timeout", "30000", "--told-ping-timeout", "3000"});
  Client client("https://localhost:" + std::to_string(server.port()), fastConfig());
  client.socket().connect();
  ASSERT_TRUE(client.waiter.waitFor("connect", 1, 20s));
  // Several ping rounds pass: answered, so the server keeps the connection.
  ASSERT_TRUE(server.waitFor(eventIs("pong"), 4, 20s));
  EXPECT_EQ(client.waiter.count("disconnect"), 0u);
  EXPECT_EQ(server.count(eventIs("disconnect")), 0u);

  server.send({{"cmd", "silence"}});
  auto reason = client.waiter.waitFor("disconnect", 1, 30s);
  ASSERT_TRUE(reason);
  EXPECT_EQ(*reason, json::array({"ping timeout"}));
  ASSERT_TRUE(client.waiter.waitFor("connect", 2, 20s));
  // The server's record of the new connection may come a moment after the client's.
  EXPECT_TRUE(server.waitFor(eventIs("connection"), 2, 20s));
  EXPECT_EQ(server.count(eventIs("connection")), 2u);
}

// Whatever ping settings the open packet tells (huge, beyond 64 bits, negative,
// zero), the client connects, answers the server's real pings and stays.
TEST(SocketIOPingTest, ClampsThePingSettingsTheServerTells) {
  struct Case {
    std::string name;
    std::string interval;
    std::string timeout;
  };
  const Case cases[] = {
      {"huge", "9223372036854775807", "1e13"},
      {"beyond 64 bits", "18446744073709551616", "9223372036854775807"},
      {"negative", "-1", "-9223372036854775808"},
      {"zero", "0", "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NodeServer server({"--ping-interval", "200", "--ping-timeout", "5000", "--told-ping-interval", c.interval,
                       "--told-ping-timeout", c.timeout});
    Client client("https://localhost:" + std::to_string(server.port()), fastConfig());
    client.socket().on("command", [](const std::vector<json>&, SocketAckEmitter& ack) {
      ack.with(json{{"status", "ok"}});
    });
    client.socket().connect();
    ASSERT_TRUE(client.waiter.waitFor("connect"));
    auto open = server.waitFor(eventIs("open"));
    ASSERT_TRUE(open);
    EXPECT_NE((*open)["data"].get<std::string>().find("\"pingInterval\":" + c.interval), std::string::npos);
    ASSERT_TRUE(server.waitFor(eventIs("pong"), 3));  // several ping rounds answered
    server.send({{"cmd", "emit"}, {"tag", "after"}, {"name", "command"}, {"args", json::array()}, {"ack", true}});
    ASSERT_TRUE(server.waitFor(eventAndTag("ack", "after")));
    EXPECT_EQ(client.waiter.count("disconnect"), 0u);
    EXPECT_EQ(client.waiter.count("error"), 0u);
    EXPECT_EQ(server.count(eventIs("connection")), 1u);
  }
}

// Certificate and host-name verification, and the connect-to mapping.
TEST_F(SocketIOServerTest, VerifiesCertificatesAndHonoursConnectTo) {
  const std::string port = std::to_string(server->port());
  struct Case {
    std::string name;
    std::string url;
    std::vector<std::string> connectTo;
    std::string caFile;  // empty: the system's authorities
    bool connects;
    std::string detail;  // Host header seen by the server, or part of the error
  };
  const std::string ca = TestCertificates::get().caFile;
  const Case cases[] = {
      {"localhost", "https://localhost:" + port, {}, ca, true, "localhost:" + port},
      {"ip address", "https://127.0.0.1:" + port, {}, ca, true, "127.0.0.1:" + port},
      {"mapped name", "https://sio.mopet.test", {"sio.mopet.test:443:127.0.0.1:" + port}, ca, true, "sio.mopet.test"},
      {"mapped any host",
       "wss://sio.mopet.test",
       {"other.test:443:127.0.0.2:1", "::127.0.0.1:" + port},
       ca,
       true,
       "sio.mopet.test"},
      {"wrong name",
       "https://wrong.mopet.test",
       {"wrong.mopet.test:443:127.0.0.1:" + port},
       ca,
       false,
       "certificate verify failed"},
      {"untrusted", "https://localhost:" + port, {}, "", false, "certificate verify failed"},
      {"missing CA file", "https://localhost:" + port, {}, "/nonexistent/ca.pem", false, "loading trusted"},
  };
  std::size_t connections = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto config = fastConfig();
    config.reconnects = false;
    Client client(c.url, config, c.connectTo, c.caFile);
    Client* used = &client;
    used->socket().connect();
    if (c.connects) {
      ASSERT_TRUE(used->waiter.waitFor("connect"));
      auto record = server->waitFor(eventIs("connection"), ++connections);
      ASSERT_TRUE(record);
      EXPECT_EQ((*record)["host"], c.detail);
    } else {
      auto error = used->waiter.waitFor("error");
      ASSERT_TRUE(error);
      EXPECT_NE((*error)[0].get<std::string>().find(c.detail), std::string::npos) << error->dump();
      EXPECT_EQ(used->socket().status(), SocketIOStatus::disconnected);
    }
  }
  EXPECT_EQ(server->count(eventIs("connection")), connections);
}

TEST(SocketIOFailureTest, GivesUpAfterTheAllowedAttempts) {
  auto config = fastConfig();
  config.reconnectAttempts = 2;
  config.reconnectWait = 10ms;
  config.reconnectWaitMax = 20ms;
  Client client("https://localhost:" + std::to_string(test::unusedPort()), config);
  client.socket().connect();
  auto last = client.waiter.waitFor("disconnect");
  ASSERT_TRUE(last);
  EXPECT_EQ(*last, json::array({"Reconnect Failed"}));
  EXPECT_EQ(client.waiter.count("error"), 3u);  // the first try and two retries
  EXPECT_EQ(client.waiter.count("reconnect"), 1u);
  EXPECT_EQ(client.waiter.count("reconnectAttempt"), 2u);
  EXPECT_EQ(client.socket().status(), SocketIOStatus::disconnected);

  Client badURL("notaurl", config);
  badURL.socket().connect();
  ASSERT_TRUE(badURL.waiter.waitFor("error"));

  // With `log` off the logger hears nothing.
  std::atomic<int> lines{0};
  std::atomic<bool> failed{false};
  SocketManagerEnvironment quiet;
  quiet.logger = [&](const std::string&) { ++lines; };
  config.log = false;
  config.reconnects = false;
  SocketManager silent("https://localhost:" + std::to_string(test::unusedPort()), config, quiet);
  silent.defaultSocket().on(SocketClientEvent::error,
                            [&](const std::vector<json>&, SocketAckEmitter&) { failed = true; });
  silent.defaultSocket().connect();
  for (int i = 0; i < 500 && !failed; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(failed);
  EXPECT_EQ(lines.load(), 0);
}

// Destroying a manager in any state stops it cleanly (run under the sanitizers).
TEST_F(SocketIOServerTest, DestroyingManagersInEveryStateIsClean) {
  for (int round = 0; round < 3; ++round) {
    // While connecting.
    {
      Client connecting(url(), fastConfig());
      connecting.socket().connect();
    }
    // While waiting to reconnect to nothing.
    {
      Client waiting("https://localhost:" + std::to_string(test::unusedPort()), fastConfig());
      waiting.socket().connect();
      ASSERT_TRUE(waiting.waiter.waitFor("error"));
    }
    // While connected, with events arriving and handlers acknowledging from other threads.
    std::vector<std::thread> threads;
    std::mutex mutex;
    {
      Client busy(url(), fastConfig());
      busy.socket().on("command", [&](const std::vector<json>&, SocketAckEmitter& ack) {
        std::lock_guard lock(mutex);
        threads.emplace_back([ack]() mutable { ack.with(json{{"status", "late"}}); });
      });
      connect(busy);
      server->send({{"cmd", "emit"},
                    {"tag", "burst" + std::to_string(round)},
                    {"name", "command"},
                    {"args", json::array({1})},
                    {"ack", true}});
      server->send({{"cmd", "big"},
                    {"tag", "big" + std::to_string(round)},
                    {"name", "command"},
                    {"size", 100000},
                    {"ack", true}});
      busy.manager.reset();
    }  // the client's handle queue has stopped: no handler runs any more
    for (auto& t : threads) {
      t.join();
    }
  }
  // Without a handle queue of our own, the internal one is used.
  SocketManager manager(url(), fastConfig(), {.caFile = TestCertificates::get().caFile});
  std::atomic<bool> connected{false};
  manager.defaultSocket().on(SocketClientEvent::connect,
                             [&](const std::vector<json>&, SocketAckEmitter&) { connected = true; });
  manager.defaultSocket().connect();
  for (int i = 0; i < 500 && !connected; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(connected);
}

// A manager destroyed from inside one of its own handlers, on each kind of
// handle queue: the internal one, the test's serial thread, and a queue that
// runs every handler at once on the I/O thread.
TEST_F(SocketIOServerTest, DestroyingFromItsOwnHandlerIsSafe) {
  auto serial = std::make_shared<Serial>();
  struct Case {
    std::string name;
    std::function<void(std::function<void()>)> handleQueue;
  };
  const Case cases[] = {
      {"internal queue", nullptr},
      {"serial thread", [serial](std::function<void()> task) { serial->post(std::move(task)); }},
      {"at once on the I/O thread", [](const std::function<void()>& task) { task(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto manager = std::make_unique<SocketManager>(
        url(), fastConfig(),
        SocketManagerEnvironment{.handleQueue = c.handleQueue, .caFile = TestCertificates::get().caFile});
    // Shared with the handlers: the destroying one still runs when the test goes on.
    auto waiter = std::make_shared<Waiter>();
    std::atomic<bool> laterRan{false};
    manager->defaultSocket().on(SocketClientEvent::connect, [waiter](const std::vector<json>&, SocketAckEmitter&) {
      waiter->add("connect", nullptr);
    });
    manager->defaultSocket().on("command", [&manager, waiter](const std::vector<json>&, SocketAckEmitter& ack) {
      ack.with(json{{"status", "ok"}});
      manager.reset();
      waiter->add("destroyed", nullptr);
    });
    manager->defaultSocket().on("command", [&](const std::vector<json>&, SocketAckEmitter&) { laterRan = true; });
    manager->defaultSocket().connect();
    ASSERT_TRUE(waiter->waitFor("connect"));
    emit(c.name, "command", json::array({1}), true);
    ASSERT_TRUE(waiter->waitFor("destroyed"));
    EXPECT_FALSE(laterRan.load());
    ASSERT_TRUE(server->waitFor(eventIs("disconnect"), server->count(eventIs("connection"))));
  }
}

// Acknowledgement handles in use on the handle queue while another thread
// destroys the manager: the last reference to the manager's internals may drop
// inside a task of that queue. The queue is owned by the manager alone, so it
// must end on the destroying thread (its destructor joins its thread), never
// inside its own task.
TEST_F(SocketIOServerTest, DestroyingWhileTheHandleQueueAcknowledgesIsSafe) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    auto serial = std::make_shared<Serial>();
    std::weak_ptr<Serial> weakSerial = serial;
    Waiter waiter;
    std::atomic<int> lines{0};
    SocketManagerEnvironment env{.handleQueue = [serial](std::function<void()> task) { serial->post(std::move(task)); },
                                 .logger = [&](const std::string&) { ++lines; },
                                 .caFile = TestCertificates::get().caFile};
    serial.reset();
    auto config = fastConfig();
    config.log = true;
    auto manager = std::make_unique<SocketManager>(url(), config, std::move(env));
    std::mutex mutex;
    std::optional<SocketAckEmitter> kept;
    manager->defaultSocket().on(SocketClientEvent::connect,
                                [&](const std::vector<json>&, SocketAckEmitter&) { waiter.add("connect", nullptr); });
    manager->defaultSocket().on("command", [&](const std::vector<json>&, SocketAckEmitter& ack) {
      std::lock_guard lock(mutex);
      kept = ack;
      waiter.add("command", nullptr);
    });
    manager->defaultSocket().connect();
    ASSERT_TRUE(waiter.waitFor("connect"));
    emit("keep" + std::to_string(round), "command", json::array({1}), true);
    ASSERT_TRUE(waiter.waitFor("command"));
    // A task on the queue that keeps acknowledging (each call holds the manager's internals).
    auto queue = weakSerial.lock();
    ASSERT_TRUE(queue);
    queue->post([&] {
      std::optional<SocketAckEmitter> ack;
      {
        std::lock_guard lock(mutex);
        ack = kept;
      }
      waiter.add("spinning", nullptr);
      for (int i = 0; i < 20000; ++i) {
        ack->with(json{{"status", "again"}});
      }
    });
    queue.reset();
    ASSERT_TRUE(waiter.waitFor("spinning"));
    manager.reset();
    EXPECT_TRUE(weakSerial.expired());  // the queue ended on this thread, after its task
  }
}

}  // namespace
}  // namespace sio
