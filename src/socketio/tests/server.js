// A Socket.IO server on loopback for the client's integration tests.
//
//   node server.js --key K --cert C [--port P] [--ping-interval MS] [--ping-timeout MS] [--no-deflate]
//                  [--told-ping-interval TEXT] [--told-ping-timeout TEXT]
//
// The --told-* options replace the numbers the open packet tells the client (as
// raw JSON text, e.g. 9223372036854775807 or 1e13); the server itself keeps
// pinging by --ping-interval and --ping-timeout.
//
// Prints one JSON object per line on stdout (what it sees) and obeys one JSON
// command per line on stdin. It exits when stdin closes.
"use strict";

const path = require("path");
const fs = require("fs");
const https = require("https");
const readline = require("readline");

const modules = process.env.MOPET_NODE_MODULES || path.join(__dirname, "../../../tests/service/node_modules");
const { Server } = require(path.join(modules, "socket.io"));
const { Socket: EngineSocket } = require(path.join(modules, "engine.io/build/socket"));

const args = {};
for (let i = 2; i < process.argv.length; i++) {
  const key = process.argv[i].replace(/^--/, "");
  const next = process.argv[i + 1];
  if (next === undefined || next.startsWith("--")) {
    args[key] = true;
  } else {
    args[key] = next;
    i++;
  }
}

if (args["told-ping-interval"] !== undefined || args["told-ping-timeout"] !== undefined) {
  const sendPacket = EngineSocket.prototype.sendPacket;
  EngineSocket.prototype.sendPacket = function (type, data, ...rest) {
    if (type === "open") {
      for (const [key, option] of [["pingInterval", "told-ping-interval"], ["pingTimeout", "told-ping-timeout"]]) {
        if (args[option] !== undefined) {
          data = data.replace(new RegExp(`"${key}":[^,}]*`), `"${key}":${args[option]}`);
        }
      }
      print({ event: "open", data });
    }
    return sendPacket.call(this, type, data, ...rest);
  };
}

const tls = { key: fs.readFileSync(args.key), cert: fs.readFileSync(args.cert) };
let port = Number(args.port || 0);
let httpServer = null;
let io = null;
const sockets = new Map(); // id -> socket
let pending = 0;

function print(record) {
  process.stdout.write(JSON.stringify(record) + "\n");
}

function start() {
  httpServer = https.createServer(tls);
  io = new Server(httpServer, {
    transports: ["websocket"],
    perMessageDeflate: args["no-deflate"] ? false : { threshold: 0 },
    pingInterval: Number(args["ping-interval"] || 25000),
    pingTimeout: Number(args["ping-timeout"] || 20000),
    maxHttpBufferSize: 4e6,
  });
  io.use((socket, next) => {
    if (socket.handshake.query.token === "reject") {
      next(new Error("not authorized"));
    } else {
      next();
    }
  });
  io.on("connection", (socket) => {
    sockets.set(socket.id, socket);
    const ws = socket.conn.transport.socket;
    print({
      event: "connection",
      id: socket.id,
      query: socket.handshake.query,
      auth: socket.handshake.auth,
      offered: socket.request.headers["sec-websocket-extensions"] || "",
      extensions: ws && ws.extensions !== undefined ? String(ws.extensions) : "",
      host: socket.request.headers.host,
    });
    // Every packet the client sends, raw, so tests see exactly what went out.
    socket.conn.on("packet", (packet) => {
      if (packet.type === "message") {
        const data = Buffer.isBuffer(packet.data) ? { binary: packet.data.toString("base64") } : packet.data;
        print({ event: "packet", id: socket.id, data });
      } else if (packet.type === "pong") {
        print({ event: "pong", id: socket.id });
      }
    });
    socket.onAny((name, ...rest) => {
      print({ event: "clientEvent", id: socket.id, name, args: rest });
    });
    socket.on("disconnect", (reason) => {
      sockets.delete(socket.id);
      print({ event: "disconnect", id: socket.id, reason });
    });
  });
  httpServer.listen(port, "127.0.0.1", () => {
    port = httpServer.address().port;
    print({ event: "listening", port });
  });
}

function stop(done) {
  for (const socket of sockets.values()) {
    socket.conn.close();
  }
  sockets.clear();
  io.close(() => done());
}

function rawSend(data) {
  for (const socket of sockets.values()) {
    socket.conn.transport.socket.send(data);
  }
}

function emit(cmd) {
  const list = [...sockets.values()];
  for (const socket of list) {
    if (cmd.ack) {
      pending++;
      socket.timeout(cmd.timeout || 5000).emit(cmd.name, ...(cmd.args || []), (err, ...reply) => {
        pending--;
        if (err) {
          print({ event: "ackTimeout", tag: cmd.tag });
        } else {
          print({ event: "ack", tag: cmd.tag, args: reply });
        }
      });
    } else {
      socket.emit(cmd.name, ...(cmd.args || []));
    }
  }
  print({ event: "emitted", tag: cmd.tag, sockets: list.length });
}

const commands = {
  emit,
  // Raw frames straight onto the WebSocket: text as given, or binary from base64.
  raw: (cmd) => {
    rawSend(cmd.binary !== undefined ? Buffer.from(cmd.binary, "base64") : cmd.text);
    print({ event: "sent", tag: cmd.tag });
  },
  // A binary event: `args` with base64 strings under "$binary" turned into Buffers.
  emitBinary: (cmd) => {
    const revive = (v) =>
      v && typeof v === "object" && !Array.isArray(v) && v.$binary !== undefined
        ? Buffer.from(v.$binary, "base64")
        : v;
    emit({ ...cmd, args: (cmd.args || []).map(revive) });
  },
  // `count` events with acks at once, args [i]; reports how many acks came
  // back carrying their own event's number.
  burst: (cmd) => {
    for (const socket of sockets.values()) {
      let matched = 0;
      let wrong = 0;
      let lost = 0;
      const done = () => {
        if (matched + wrong + lost === cmd.count) print({ event: "burstDone", tag: cmd.tag, matched, wrong, lost });
      };
      for (let i = 0; i < cmd.count; i++) {
        socket.timeout(cmd.timeout || 20000).emit(cmd.name, i, (err, reply) => {
          if (err) lost++;
          else if (reply && reply.n === i) matched++;
          else wrong++;
          done();
        });
      }
    }
  },
  big: (cmd) => {
    emit({ ...cmd, args: [{ blob: "x".repeat(cmd.size) }] });
  },
  // Stops the server's pings without closing anything.
  silence: () => {
    for (const socket of sockets.values()) {
      clearTimeout(socket.conn.pingIntervalTimer);
      clearTimeout(socket.conn.pingTimeoutTimer);
      socket.conn.pingIntervalTimer = null;
      socket.conn.pingTimeoutTimer = null;
      socket.conn.schedulePing = () => {};
      socket.conn.resetPingTimeout = () => {};
    }
    print({ event: "silenced" });
  },
  kick: () => {
    for (const socket of sockets.values()) {
      socket.disconnect(true);
    }
    print({ event: "kicked" });
  },
  dropTransport: () => {
    for (const socket of sockets.values()) {
      socket.conn.transport.socket.terminate();
    }
    print({ event: "dropped" });
  },
  restart: () => {
    stop(() => start());
  },
};

const input = readline.createInterface({ input: process.stdin });
input.on("line", (line) => {
  if (!line.trim()) return;
  let cmd;
  try {
    cmd = JSON.parse(line);
  } catch (e) {
    print({ event: "badCommand", line });
    return;
  }
  const handler = commands[cmd.cmd];
  if (!handler) {
    print({ event: "badCommand", line });
    return;
  }
  handler(cmd);
});
input.on("close", () => process.exit(0));

start();
