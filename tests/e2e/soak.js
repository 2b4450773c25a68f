'use strict';
// A run of the agent against the local service with a command every second, sampling
// the agent's resident memory and CPU time once a second. Not part of the test suite:
// scripts/bench runs it for one minute, and for ten with --soak.
//
//   node soak.js <VelmorMopetAgent> <tools folder of the build> [seconds, default 600] [--json FILE]
//
// The clock starts when the agent's command channel connects, so its start-up is not
// counted; the commands start then too. Prints one line per 30 s (per 10 s in runs of
// two minutes or less): elapsed, resident memory (KiB), CPU seconds used since the
// start, and the acknowledgements so far; then a summary, also written to FILE as JSON.
// Exits 1 when the agent ends early, never connects or leaves a command unacknowledged.

const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const { spawn, execFileSync } = require('child_process');

const positional = [];
let jsonFile = null;
for (let i = 2; i < process.argv.length; i++) {
  if (process.argv[i] === '--json') jsonFile = process.argv[++i];
  else positional.push(process.argv[i]);
}
const [agentPath, toolsFolder, secondsText = '600'] = positional;
const seconds = Number(secondsText);
if (!agentPath || !toolsFolder || !Number.isInteger(seconds) || seconds < 1 || (jsonFile === undefined)) {
  console.error('usage: node soak.js <VelmorMopetAgent> <tools folder> [seconds] [--json FILE]');
  process.exit(2);
}
const printEvery = seconds <= 120 ? 10 : 30;
const connectLimitMs = 60000;
const ackWaitMs = 7000; // the service gives up on an acknowledgement after 5 s

const serviceDir = path.join(__dirname, '..', 'service');
const sandbox = fs.mkdtempSync(path.join(os.tmpdir(), 'mopet-soak-'));
const token = 'soak-token';
execFileSync('bash', [path.join(serviceDir, 'prepare-sandbox'), sandbox, token, 'pw'], { stdio: 'inherit' });
const scenario = JSON.parse(fs.readFileSync(path.join(serviceDir, 'scenarios', 'demo.json'), 'utf8'));
delete scenario.schedule;
fs.writeFileSync(path.join(sandbox, 'scenario.json'), JSON.stringify(scenario));

const service = spawn(process.execPath, [path.join(serviceDir, 'service.js'), path.join(sandbox, 'scenario.json'),
  '--dir', path.join(sandbox, 'certs'), '--stdin'], { stdio: ['pipe', 'pipe', 'inherit'] });
let agent = null;
let acks = 0;
let noAcks = 0;
let started = false;
readline.createInterface({ input: service.stdout }).on('line', (line) => {
  const r = JSON.parse(line);
  if (r.event === 'listening' && !agent) startAgent(r.port);
  if (r.event === 'connection' && !started) { started = true; startRun(); }
  if (r.event === 'ack') acks++;
  if (r.event === 'no-ack') noAcks++;
});

function finish(code, message) {
  if (message) console.log(message);
  if (agent) { agent.removeAllListeners('exit'); agent.kill('SIGTERM'); }
  service.kill('SIGTERM');
  fs.rmSync(sandbox, { recursive: true, force: true });
  process.exit(code);
}

const ticks = Number(execFileSync('getconf', ['CLK_TCK']).toString().trim()); // clock ticks per second

function sample() {
  const status = fs.readFileSync(`/proc/${agent.pid}/status`, 'utf8');
  const rss = Number(/VmRSS:\s+(\d+)/.exec(status)[1]);
  const stat = fs.readFileSync(`/proc/${agent.pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  const cpu = (Number(fields[11]) + Number(fields[12])) / ticks; // utime + stime
  return { rss, cpu };
}

function startAgent(port) {
  const connectTo = ['api.family.mopet.velmorhome.so', 'api.school.mopet.velmorhome.so']
    .map((h) => `${h}:443:127.0.0.1:${port}`).join(',');
  const out = fs.openSync(path.join(sandbox, 'agent.out'), 'w');
  agent = spawn(agentPath, [], {
    env: { ...process.env, HOME: path.join(sandbox, 'home'), XDG_CONFIG_HOME: path.join(sandbox, 'home', '.config'),
      XDG_DATA_HOME: path.join(sandbox, 'home', '.local', 'share'), MOPET_HOSTS_FILE: path.join(sandbox, 'hosts'),
      SSL_CERT_FILE: path.join(sandbox, 'certs', 'ca.pem'), MOPET_CONNECT_TO: connectTo,
      MOPET_CHILD_PATH: `${path.join(sandbox, 'tools')}:${toolsFolder}` },
    stdio: ['ignore', out, out],
  });
  agent.on('exit', (code, signal) => finish(1, `agent ended early: ${code} ${signal}`));
  agent.on('error', (error) => finish(1, `the agent did not start: ${error.message}`));
  setTimeout(() => { if (!started) finish(1, `the agent did not connect within ${connectLimitMs / 1000} s`); },
    connectLimitMs).unref();
}

function startRun() {
  const names = ['web_content_rule', 'app_blocker_rule', 'instant_block_activation', 'live_location', 'safe_search_rule'];
  const data = { instant_block_activation: { isInstantBlockActivated: true },
    live_location: { distance: 50, duration: 60000, interval: 5000 } };
  let n = 0;
  const t0 = Date.now();
  const first = { t: 0, ...sample() };
  const samples = [first];
  const send = () => {
    const name = names[n++ % names.length];
    service.stdin.write(JSON.stringify({ emit: name, id: `${name}#${n}`, data: data[name] || { changed: true } }) + '\n');
  };
  send();
  const commands = setInterval(send, 1000);
  const sampler = setInterval(() => {
    const t = Math.round((Date.now() - t0) / 1000);
    const s = { t, ...sample() };
    samples.push(s);
    if (t % printEvery === 0 || t >= seconds) {
      console.log(`${t} s  rss ${s.rss} KiB  cpu ${(s.cpu - first.cpu).toFixed(2)} s  acks ${acks}  no-acks ${noAcks}`);
    }
    if (t < seconds) return;
    clearInterval(commands);
    clearInterval(sampler);
    const elapsed = (Date.now() - t0) / 1000;
    const summary = {
      seconds: elapsed,
      commands: n,
      rssStartKiB: first.rss,
      rssEndKiB: s.rss,
      rssMaxKiB: Math.max(...samples.map((x) => x.rss)),
      cpuSeconds: s.cpu - first.cpu,
      cpuPercentOfOneCore: (100 * (s.cpu - first.cpu)) / elapsed,
    };
    // The figures are taken; wait for the last commands' acknowledgements.
    const deadline = Date.now() + ackWaitMs;
    const settle = setInterval(() => {
      if (acks + noAcks < n && Date.now() < deadline) return;
      clearInterval(settle);
      Object.assign(summary, { acks, noAcks });
      console.log(`summary: ${n} commands, ${acks} acknowledged, ${noAcks} not; rss ${summary.rssStartKiB} KiB at 0 s -> ` +
        `${summary.rssEndKiB} KiB at ${s.t} s (max ${summary.rssMaxKiB}); ` +
        `cpu ${summary.cpuPercentOfOneCore.toFixed(2)} % of one core on average`);
      if (jsonFile) fs.writeFileSync(jsonFile, JSON.stringify(summary, null, 2) + '\n');
      finish(acks === n ? 0 : 1);
    }, 100);
  }, 1000);
}
