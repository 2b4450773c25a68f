'use strict';
// A local stand-in for the parental-control service: the REST endpoints the agent
// calls and the Socket.IO command channel, both over TLS on one loopback port.
//
//   node service.js <scenario.json> [--dir D] [--port P] [--log FILE] [--stdin]
//
// --dir    folder for the certificate authority and the server certificate; they are
//          made there with the openssl tool when D/ca.pem does not exist yet
//          (default: a new temporary folder). The server certificate names the
//          family and school API hosts, so the agent's URLs verify.
// --port   the port to listen on (default 0: any free port)
// --log    also append every record to FILE
// --stdin  obey one JSON command per line on stdin; the end of stdin ends the process
//
// Records, one JSON object per line on stdout (and in the log):
//   {"event":"listening","port":P,"ca":"D/ca.pem","time":ms}
//   {"event":"request","method":..,"path":..,"query":..,"authorization":..,"body":..,"time":ms}
//   {"event":"connection","token":..,"time":ms}      {"event":"disconnect","reason":..}
//   {"event":"reply","path":..,"status":N}          when a reply is written
//   {"event":"emit","name":..,"id":..}   then   {"event":"ack","id":..,"args":[..]}
//                                          or   {"event":"no-ack","id":..}
//   {"event":"stopped"} / {"event":"listening",..} around a restart
// "time" is milliseconds since the epoch; "body" is the parsed JSON body, or its text
// when it is not JSON.
//
// The scenario file:
//   {
//     "replies": { "<path>": <reply> | [<reply>, ...] },   a list answers its n-th request
//                                                          with its n-th entry, the last
//                                                          entry from then on
//     "schedule": [ {"after_ms": N, ...command} ]           commands run N ms after the
//                                                          first channel connection
//   }
//   <reply>: {"status": 200, "body": <JSON value>} or {"status": 200, "text": "<raw>"}
//            or {"hang": true} (the request is accepted and never answered);
//            "delay_ms": N on a reply answers it N ms after the request came; [MIN, MAX]
//            answers each request after its own random delay in that range
// Paths without a reply answer 404 {"message":"not found"}.
//
// Commands (schedule entries and stdin lines):
//   {"emit":"<event>", "data":<value>, "id":"<label>", "ack_ms":N}
//        sends the event to every connected channel (no "data" key: an event without
//        data) and waits up to ack_ms (default 5000) for its acknowledgement
//   {"restart": N}   closes the server and every channel, listens again on the same
//                    port N ms later
//   {"reply": "<path>", "with": <reply> | [<reply>, ...]}   replaces a path's replies
//   {"mark": "<label>"}   writes {"event":"mark","label":..} (a fence for drivers)
//   {"quit": true}

const fs = require('fs');
const os = require('os');
const path = require('path');
const https = require('https');
const readline = require('readline');
const { execFileSync } = require('child_process');
const { Server } = require(path.join(__dirname, 'node_modules', 'socket.io'));

const HOSTS = ['api.family.mopet.velmorhome.so', 'api.school.mopet.velmorhome.so'];

function parseArguments(argv) {
  const options = { scenario: null, dir: null, port: 0, log: null, stdin: false };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === '--dir') options.dir = argv[++i];
    else if (arg === '--port') options.port = Number(argv[++i]);
    else if (arg === '--log') options.log = argv[++i];
    else if (arg === '--stdin') options.stdin = true;
    else if (!arg.startsWith('--') && options.scenario === null) options.scenario = arg;
    else throw new Error(`unknown argument ${arg}`);
  }
  if (options.scenario === null) throw new Error('usage: node service.js <scenario.json> [--dir D] [--port P] [--log FILE] [--stdin]');
  if (!Number.isInteger(options.port) || options.port < 0 || options.port > 65535) throw new Error('bad --port');
  return options;
}

// A certificate authority and a server certificate for the service's host names.
function makeCertificates(dir) {
  fs.mkdirSync(dir, { recursive: true });
  const file = (name) => path.join(dir, name);
  if (fs.existsSync(file('ca.pem')) && fs.existsSync(file('server.pem')) && fs.existsSync(file('server.key'))) return;
  const names = ['DNS:localhost', 'IP:127.0.0.1', ...HOSTS.map((h) => `DNS:${h}`)].join(',');
  fs.writeFileSync(
    file('server.ext'),
    `subjectAltName=${names}\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n`,
  );
  const ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes'];
  const run = (args) => execFileSync('openssl', args, { stdio: ['ignore', 'ignore', 'pipe'] });
  run(['req', '-x509', ...ec, '-keyout', file('ca.key'), '-out', file('ca.pem'), '-days', '2', '-subj',
    '/CN=Mopet Local Service Authority', '-addext', 'basicConstraints=critical,CA:TRUE', '-addext',
    'keyUsage=critical,keyCertSign,cRLSign']);
  run(['req', ...ec, '-keyout', file('server.key'), '-out', file('server.csr'), '-subj', `/CN=${HOSTS[0]}`]);
  run(['x509', '-req', '-in', file('server.csr'), '-CA', file('ca.pem'), '-CAkey', file('ca.key'),
    '-CAcreateserial', '-out', file('server.pem'), '-days', '2', '-extfile', file('server.ext')]);
}

function main() {
  const options = parseArguments(process.argv.slice(2));
  const scenario = JSON.parse(fs.readFileSync(options.scenario, 'utf8'));
  const dir = options.dir || fs.mkdtempSync(path.join(os.tmpdir(), 'mopet-service-'));
  makeCertificates(dir);
  const tls = { key: fs.readFileSync(path.join(dir, 'server.key')), cert: fs.readFileSync(path.join(dir, 'server.pem')) };
  const logStream = options.log ? fs.openSync(options.log, 'a') : null;

  function record(entry) {
    const line = JSON.stringify({ ...entry, time: Date.now() }) + '\n';
    process.stdout.write(line);
    if (logStream !== null) fs.writeSync(logStream, line);
  }

  const replies = new Map(Object.entries(scenario.replies || {}));
  const served = new Map(); // path -> requests answered so far
  const hanging = new Set();

  function replyFor(pathname) {
    const entry = replies.get(pathname);
    if (entry === undefined) return { status: 404, body: { message: 'not found' } };
    if (!Array.isArray(entry)) return entry;
    const n = served.get(pathname) || 0;
    served.set(pathname, n + 1);
    return entry[Math.min(n, entry.length - 1)];
  }

  // A reply's delay: a number, or a random one in [MIN, MAX].
  function delayOf(reply) {
    const d = reply.delay_ms;
    if (Array.isArray(d) && d.length === 2) return Number(d[0]) + Math.random() * (Number(d[1]) - Number(d[0]));
    return Number(d) > 0 ? Number(d) : 0;
  }

  function handle(req, res) {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      const url = new URL(req.url, 'https://service');
      const text = Buffer.concat(chunks).toString('utf8');
      let body = text;
      if (text.length) {
        try { body = JSON.parse(text); } catch (_) { /* kept as text */ }
      } else {
        body = null;
      }
      record({ event: 'request', method: req.method, path: url.pathname, query: url.search,
        authorization: req.headers.authorization || null, body });
      const reply = replyFor(url.pathname);
      if (reply.hang) {
        hanging.add(res);
        res.on('close', () => hanging.delete(res));
        return;
      }
      const payload = Buffer.from(reply.text !== undefined ? reply.text : JSON.stringify(reply.body ?? null));
      const answer = () => {
        if (res.destroyed || res.writableEnded) return;
        res.writeHead(reply.status || 200, { 'Content-Type': 'application/json', 'Content-Length': payload.length });
        res.end(payload);
        record({ event: 'reply', path: url.pathname, status: reply.status || 200 });
      };
      const delay = delayOf(reply);
      if (delay > 0) {
        hanging.add(res);
        res.on('close', () => hanging.delete(res));
        setTimeout(() => { hanging.delete(res); answer(); }, delay);
      } else {
        answer();
      }
    });
  }

  let server = null;
  let io = null;
  let port = options.port;
  let firstConnection = false;

  function listen(done) {
    server = https.createServer(tls, handle);
    io = new Server(server, { transports: ['websocket'], perMessageDeflate: { threshold: 0 } });
    io.on('connection', (socket) => {
      record({ event: 'connection', token: socket.handshake.query.token ?? null });
      socket.on('disconnect', (reason) => record({ event: 'disconnect', reason }));
      if (!firstConnection) {
        firstConnection = true;
        for (const step of scenario.schedule || []) setTimeout(() => obey(step), Number(step.after_ms) || 0);
      }
    });
    server.listen(port, '127.0.0.1', () => {
      port = server.address().port;
      record({ event: 'listening', port, ca: path.join(dir, 'ca.pem') });
      if (done) done();
    });
  }

  function stop(done) {
    for (const res of hanging) res.destroy();
    hanging.clear();
    io.close(() => {
      record({ event: 'stopped' });
      done();
    });
    // Keep-alive HTTPS connections would hold the port; end them too.
    server.closeAllConnections();
  }

  function obey(command) {
    if (command.emit !== undefined) {
      const id = command.id ?? command.emit;
      const args = 'data' in command ? [command.data] : [];
      const sockets = [...io.of('/').sockets.values()];
      record({ event: 'emit', name: command.emit, id, sockets: sockets.length });
      for (const socket of sockets) {
        socket.timeout(Number(command.ack_ms) || 5000).emit(command.emit, ...args, (error, ...ackArgs) => {
          if (error) record({ event: 'no-ack', name: command.emit, id });
          else record({ event: 'ack', name: command.emit, id, args: ackArgs });
        });
      }
    } else if (command.restart !== undefined) {
      stop(() => setTimeout(() => listen(), Number(command.restart) || 0));
    } else if (command.reply !== undefined) {
      replies.set(command.reply, command.with);
      served.delete(command.reply);
    } else if (command.mark !== undefined) {
      record({ event: 'mark', label: command.mark });
    } else if (command.quit) {
      process.exit(0);
    } else {
      record({ event: 'error', message: 'unknown command', command });
    }
  }

  listen();
  if (options.stdin) {
    const lines = readline.createInterface({ input: process.stdin });
    lines.on('line', (line) => {
      if (!line.trim()) return;
      try {
        obey(JSON.parse(line));
      } catch (e) {
        record({ event: 'error', message: String(e), line });
      }
    });
    lines.on('close', () => process.exit(0));
  }
}

try {
  main();
} catch (e) {
  process.stderr.write(`service: ${e.message}\n`);
  process.exit(2);
}
