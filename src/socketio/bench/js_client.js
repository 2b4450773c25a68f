// The same client with the official JavaScript library (socket.io-client).
//   node js_client.js URL CA_FILE [--no-compress]
"use strict";
const path = require("path");
const fs = require("fs");
const modules = process.env.MOPET_NODE_MODULES || path.join(__dirname, "../../../tests/service/node_modules");
const { io } = require(path.join(modules, "socket.io-client"));

const [url, caFile, flag] = process.argv.slice(2);
const socket = io(url, {
  transports: ["websocket"],
  query: { token: "bench" },
  ca: fs.readFileSync(caFile),
  perMessageDeflate: flag === "--no-compress" ? false : { threshold: 0 },
});
socket.on("connect", () => console.log("connected"));
socket.on("connect_error", (e) => console.error("error: " + e.message));
socket.on("bench", (...args) => {
  const ack = args[args.length - 1];
  if (typeof ack === "function") ack({ status: "ok" });
});
process.stdin.resume();
process.stdin.on("end", () => process.exit(0));
