'use strict';
// A long run of the agent against the local service with a command every second,
// sampling the agent's resident memory and CPU time. Not part of the test suite.
//
//   node soak.js <VelmorMopetAgent> <tools folder of the build> [seconds, default 600]
//
// Prints one line per 30 s: elapsed, resident memory (KiB), CPU seconds used, and the
// acknowledgements received so far; then a summary.

const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const { spawn, execFileSync } = require('child_process');

const [agentPath, toolsFolder, secondsText = '600'] = process.argv.slice(2);
const seconds = Number(secondsText);
const serviceDir = path.join(__dirname, '..', 'service');
const sandbox = fs.mkdtempSync(path.join(os.tmpdir(), 'mopet-soak-'));
const token = 'soak-token';
execFileSync('bash', [path.join(serviceDir, 'prepare-sandbox'), sandbox, token, 'pw'], { stdio: 'inherit' });
const scenario = JSON.parse(fs.readFileSync(path.join(serviceDir, 'scenarios', 'demo.json'), 'utf8'));
delete scenario.schedule;
fs.writeFileSync(path.join(sandbox, 'scenario.json'), JSON.stringify(scenario));

const service = spawn(process.execPath, [path.join(serviceDir, 'service.js'), path.join(sandbox, 'scenario.json'),
  '--dir', path.join(sandbox, 'certs'), '--stdin'], { stdio: ['pipe', 'pipe', 'inherit'] });
let port = null;
let acks = 0;
let noAcks = 0;
readline.createInterface({ input: service.stdout }).on('line', (line) => {
  const r = JSON.parse(line);
  if (r.event === 'listening') port = r.port;
  if (r.event === 'ack') acks++;
  if (r.event === 'no-ack') noAcks++;
  if (r.event === 'listening' && !agent) startAgent();
});
let agent = null;
const samples = [];
const ticks = Number(execFileSync('getconf', ['CLK_TCK']).toString().trim()); // clock ticks per second

function sample() {
  const status = fs.readFileSync(`/proc/${agent.pid}/status`, 'utf8');
  const rss = Number(/VmRSS:\s+(\d+)/.exec(status)[1]);
  const stat = fs.readFileSync(`/proc/${agent.pid}/stat`, 'utf8').split(') ')[1].split(' ');
  const cpu = (Number(stat[11]) + Number(stat[12])) / ticks;
  return { rss, cpu };
}

function startAgent() {
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
  agent.on('exit', (code, signal) => { console.log(`agent ended early: ${code} ${signal}`); process.exit(1); });
  const names = ['web_content_rule', 'app_blocker_rule', 'instant_block_activation', 'live_location', 'safe_search_rule'];
  const data = { instant_block_activation: { isInstantBlockActivated: true },
    live_location: { distance: 50, duration: 60000, interval: 5000 } };
  let n = 0;
  const started = Date.now();
  const commands = setInterval(() => {
    const name = names[n++ % names.length];
    service.stdin.write(JSON.stringify({ emit: name, id: `${name}#${n}`, data: data[name] || { changed: true } }) + '\n');
  }, 1000);
  const sampler = setInterval(() => {
    const s = { t: Math.round((Date.now() - started) / 1000), ...sample(), acks, noAcks };
    samples.push(s);
    console.log(`${s.t} s  rss ${s.rss} KiB  cpu ${s.cpu.toFixed(2)} s  acks ${acks}  no-acks ${noAcks}`);
    if (s.t >= seconds) {
      clearInterval(commands);
      clearInterval(sampler);
      agent.removeAllListeners('exit');
      agent.kill('SIGTERM');
      service.kill('SIGTERM');
      const first = samples[1] || samples[0];
      const last = samples[samples.length - 1];
      console.log(`summary: ${n} commands, ${acks} acknowledged; rss ${first.rss} KiB at ${first.t} s -> ` +
        `${last.rss} KiB at ${last.t} s (max ${Math.max(...samples.map((x) => x.rss))}); ` +
        `cpu ${(100 * last.cpu / last.t).toFixed(2)} % of one core on average`);
      fs.rmSync(sandbox, { recursive: true, force: true });
    }
  }, 30000);
}
