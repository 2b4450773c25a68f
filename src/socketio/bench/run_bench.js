// Side-by-side benchmark: one Socket.IO server (TLS, permessage-deflate), two
// clients in turn (ours, then socket.io-client), the same measurements of each:
//   - round trip: one event with an ack at a time; median and tail of the time
//     from emit to the ack's arrival;
//   - throughput: events with acks kept in flight (a window), events per second
//     until every ack is back, and how many were lost (none expected).
//
//   node run_bench.js --key K --cert C --ca CA --ours PATH [--rounds N] [--events N] [--window N] [--no-compress]
//                     [--json FILE]   (also write the figures there, for scripts/bench)
"use strict";
const path = require("path");
const fs = require("fs");
const https = require("https");
const { spawn } = require("child_process");

const modules = process.env.MOPET_NODE_MODULES || path.join(__dirname, "../../../tests/service/node_modules");
const { Server } = require(path.join(modules, "socket.io"));

const args = {};
for (let i = 2; i < process.argv.length; i++) {
  const key = process.argv[i].replace(/^--/, "");
  const next = process.argv[i + 1];
  if (next === undefined || next.startsWith("--")) args[key] = true;
  else { args[key] = next; i++; }
}
const rounds = Number(args.rounds || 5000);
const events = Number(args.events || 50000);
const windowSize = Number(args.window || 256);
const warmup = 500;
const compress = !args["no-compress"];

const httpServer = https.createServer({ key: fs.readFileSync(args.key), cert: fs.readFileSync(args.cert) });
const io = new Server(httpServer, { transports: ["websocket"], perMessageDeflate: compress });
let onConnection = null;
io.on("connection", (socket) => onConnection && onConnection(socket));

const payload = { isInstantBlockActivated: true, note: "benchmark" };

function once(socket) {
  return new Promise((resolve, reject) => {
    const start = process.hrtime.bigint();
    socket.timeout(5000).emit("bench", payload, (err) => {
      if (err) reject(err);
      else resolve(Number(process.hrtime.bigint() - start) / 1000);
    });
  });
}

async function roundTrip(socket) {
  for (let i = 0; i < warmup; i++) await once(socket);
  const samples = [];
  for (let i = 0; i < rounds; i++) samples.push(await once(socket));
  samples.sort((a, b) => a - b);
  const at = (q) => samples[Math.min(samples.length - 1, Math.floor(q * samples.length))];
  return { median: at(0.5), p90: at(0.9), p99: at(0.99) };
}

function throughput(socket) {
  return new Promise((resolve) => {
    let sent = 0;
    let acked = 0;
    let lost = 0;
    const start = process.hrtime.bigint();
    const finish = () => {
      const seconds = Number(process.hrtime.bigint() - start) / 1e9;
      resolve({ perSecond: acked / seconds, acked, lost });
    };
    const sendOne = () => {
      sent++;
      socket.timeout(10000).emit("bench", payload, (err) => {
        if (err) lost++;
        else acked++;
        if (acked + lost === events) finish();
        else if (sent < events) sendOne();
      });
    };
    for (let i = 0; i < Math.min(windowSize, events); i++) sendOne();
  });
}

function runClient(name, command, commandArgs) {
  return new Promise((resolve, reject) => {
    onConnection = async (socket) => {
      onConnection = null;
      try {
        const rtt = await roundTrip(socket);
        const rate = await throughput(socket);
        child.stdin.end();
        resolve({ name, ...rtt, ...rate });
      } catch (e) {
        child.kill();
        reject(e);
      }
    };
    const child = spawn(command, commandArgs, { stdio: ["pipe", "ignore", "inherit"] });
    child.on("error", reject);
  });
}

httpServer.listen(0, "127.0.0.1", async () => {
  const url = "https://localhost:" + httpServer.address().port;
  const flag = compress ? [] : ["--no-compress"];
  const results = [];
  try {
    results.push(await runClient("ours (C++)", args.ours, [url, args.ca, ...flag]));
    results.push(await runClient("socket.io-client", process.execPath, [path.join(__dirname, "js_client.js"), url, args.ca, ...flag]));
  } catch (e) {
    console.error("benchmark failed:", e);
    process.exit(1);
  }
  console.log(`round trip: ${rounds} events one at a time; throughput: ${events} events, ${windowSize} in flight; compression ${compress ? "on" : "off"}`);
  console.log("client               median µs   p90 µs   p99 µs   acked/s   lost");
  for (const r of results) {
    console.log(
      r.name.padEnd(20) +
        r.median.toFixed(1).padStart(11) +
        r.p90.toFixed(1).padStart(9) +
        r.p99.toFixed(1).padStart(9) +
        Math.round(r.perSecond).toString().padStart(10) +
        String(r.lost).padStart(7)
    );
  }
  if (typeof args.json === "string") {
    const figures = { compress, rounds, events, window: windowSize, results };
    fs.writeFileSync(args.json, JSON.stringify(figures, null, 2) + "\n");
  }
  io.close();
  process.exit(0);
});
