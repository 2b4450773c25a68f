'use strict';
// The real agent binary in a sandbox HOME against the local service: rules, reports,
// commands and their acknowledgements, a service restart, and the wipe and exit.
//
//   node agent_e2e.js <VelmorMopetAgent> <tools folder of the build>
//        [malformed|stall|closed-stdout|slow|slow-live|stopped-sudo]
//
// With "malformed" the service gives good rules once, then malformed replies on every
// endpoint: the agent must not stop, and must keep blocking applications and keep the
// content-blocker list of the last good rules. With "stall" the first usage report gets
// no answer: the agent must go on once the request's deadline (30 s) has passed. With
// "closed-stdout" the agent's standard output is a pipe whose reader is gone from the
// start: writing there must not end the agent, which goes on enforcing.
//
// The tick keeps its period under a slow or hostile service and a stopped sudo: with
// "slow" every reply comes 2 to 20 s late; with "slow-live" every reply comes 2.9 s late
// while a "live_location" with an interval of 1 s runs and a "safe_search_rule" comes
// every second; with "stopped-sudo" every sudo the agent starts stops itself at once
// (as the child's account could stop it). In each, consecutive ticks come at most 7 s
// apart, a blocked program started during the run is stopped within 10 s of its start,
// and every command is acknowledged.
//
// Exits 0 when every check held; prints what failed otherwise. Nothing outside the
// sandbox (a new temporary folder) is written; the only process the agent may stop
// is the one started here under an identifier made for this run.

const assert = require('assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const { spawn, execFileSync } = require('child_process');

const [agentPath, toolsFolder, mode = 'main'] = process.argv.slice(2);
const serviceDir = path.join(__dirname, '..', 'service');
const sandbox = fs.mkdtempSync(path.join(os.tmpdir(), 'mopet-e2e-'));
const home = path.join(sandbox, 'home');
const hostsFile = path.join(sandbox, 'hosts');
const groupFolder = path.join(home, 'Library', 'Group Containers', 'group.so.velmorhome.mopet');
const blockerList = path.join(groupFolder, 'safeSearchBlocker.json');
const agentDefaults = path.join(home, 'Library', 'Preferences', 'so.velmorhome.mopet.agent.plist');
const token = `e2e-token-${process.pid}`;
const blockedId = `e2e.blocked.${process.pid}.${Date.now()}`;
const slow = Number(process.env.MOPET_E2E_SLOW || 1); // stretch waits on slow builds

const APP_RULES = '/api/v1/children/device-apps/smart-app-rules';
const WEB_RULES = '/api/v1/children/rules/web-rules/web-content';
const SAFE_SEARCH = '/api/v1/children/rules/web-rules/safe-search';
const REPORTS = '/api/v1/children/reports';
const SYNC_APPS = '/api/v1/children/device-apps/sync-apps';

const records = [];
const waiters = [];
const children = [];

function note(record) {
  records.push(record);
  for (const waiter of [...waiters]) waiter();
}

// Resolves once test() holds for the records (or other state), rejects after ms.
function waitFor(what, test, ms) {
  return new Promise((resolve, reject) => {
    let timer = null;
    const check = () => {
      let value;
      try { value = test(); } catch (e) { value = undefined; }
      if (value) {
        clearTimeout(timer);
        waiters.splice(waiters.indexOf(check), 1);
        resolve(value);
      }
    };
    timer = setTimeout(() => {
      waiters.splice(waiters.indexOf(check), 1);
      reject(new Error(`timed out waiting for ${what}`));
    }, ms * slow);
    waiters.push(check);
    check();
  });
}
const poll = setInterval(() => { for (const waiter of [...waiters]) waiter(); }, 50);

const requests = (p) => records.filter((r) => r.event === 'request' && r.path === p);
const count = (event) => records.filter((r) => r.event === event).length;

function malformedScenario() {
  const good = goodScenario().replies;
  return {
    replies: {
      [APP_RULES]: [good[APP_RULES][1],
        { status: 200, text: '{"rules":[{"rule_type":"BLACK_LIST","applications":[{"pk":7}]}]}' },
        { status: 200, text: 'not json' },
        { status: 500, text: '<html>down</html>' }],
      [WEB_RULES]: [good[WEB_RULES], { status: 200, text: '{"exceptions":"nope"}' }, { status: 200, text: '' }],
      [SAFE_SEARCH]: [good[SAFE_SEARCH], { status: 200, text: '{"isActive":"yes","categoryRules":[]}' },
        { status: 200, text: '[1,2' }, { status: 500, body: { message: 'down', status: 500 } }],
      [REPORTS]: { status: 503, text: 'garbage \u0000' },
      [SYNC_APPS]: { status: 200, text: '{"message":5}' },
    },
  };
}

// The first usage report is accepted and never answered.
function stallScenario() {
  const replies = goodScenario().replies;
  replies[REPORTS] = [{ hang: true }, replies[REPORTS]];
  return { replies };
}

// Every reply `delay` late (a number of ms, or [MIN, MAX] for a random one each); the
// app rules block the run's program from the first reply on.
function lateScenario(delay) {
  const replies = goodScenario().replies;
  replies[APP_RULES] = replies[APP_RULES][1];
  for (const key of Object.keys(replies)) replies[key] = { ...replies[key], delay_ms: delay };
  return { replies };
}

const budgetModes = ['slow', 'slow-live', 'stopped-sudo'];

function scenario() {
  if (mode === 'stall') return stallScenario();
  if (mode === 'slow') return lateScenario([2000, 20000]);
  if (mode === 'slow-live') return lateScenario(2900);
  if (mode === 'stopped-sudo') {
    const replies = goodScenario().replies;
    replies[APP_RULES] = replies[APP_RULES][1];
    return { replies };
  }
  return mode === 'malformed' ? malformedScenario() : goodScenario();
}

function goodScenario() {
  return {
    replies: {
      [APP_RULES]: [
        { status: 200, body: { rules: [], message: 'no rules yet' } },
        // Answered a while after the tick that asked for it, as a real service would:
        // the tick terminates from the replies it already had, so an instant reply on a
        // loaded machine could otherwise overtake its own termination step.
        { status: 200, delay_ms: 1500, body: { message: 'ok', rules: [
          { _id: 'allow', rule_type: 'WHITE_LIST', applications: [{ id: 'x', name: 'Other', pk: `${blockedId}.other` }] },
          { _id: 'block', rule_type: 'BLACK_LIST', applications: [{ id: 'a', name: 'Blocky Game', pk: blockedId }, { id: 'b', name: 'no id' }] },
        ] } },
      ],
      [WEB_RULES]: { status: 200, body: { categoryRules: [], exceptions: [
        { _id: 'w1', domain: 'games.example.com', rule: { is_blocked: true } },
        { _id: 'w2', domain: 'homework.example.org', rule: { is_blocked: false } },
        { _id: 'w3', domain: 'bad host\n1.2.3.4 evil', rule: { is_blocked: true } },
        { _id: 'w4', domain: 'casino.example.net', rule: { is_blocked: true } },
      ] } },
      [SAFE_SEARCH]: { status: 200, body: { isActive: true,
        categoryRules: [{ name: 'Tobacco', rule: { is_blocked: true } }, { name: 'tobacco', rule: { isBlocked: true } }],
        exceptions: [{ word: 'poker night', rule: { isBlocked: true } }, { word: 'cigar', rule: { is_blocked: false } }] } },
      [REPORTS]: { status: 200, body: { message: 'report stored' } },
      [SYNC_APPS]: { status: 200, body: { message: 'applications stored', status: 200 } },
      '/api/v1/children/location': { status: 200, body: { message: 'location stored', status: 200 } },
    },
  };
}

function lines(stream, onLine) {
  readline.createInterface({ input: stream }).on('line', onLine);
}

async function main() {
  execFileSync('bash', [path.join(serviceDir, 'prepare-sandbox'), sandbox, token, 'pass word'], { stdio: 'inherit' });
  const scenarioFile = path.join(sandbox, 'scenario.json');
  fs.writeFileSync(scenarioFile, JSON.stringify(scenario()));

  const service = spawn(process.execPath, [path.join(serviceDir, 'service.js'), scenarioFile, '--dir',
    path.join(sandbox, 'certs'), '--stdin', '--log', path.join(sandbox, 'service.log')], { stdio: ['pipe', 'pipe', 'inherit'] });
  children.push(service);
  lines(service.stdout, (line) => note(JSON.parse(line)));
  const send = (command) => service.stdin.write(JSON.stringify(command) + '\n');
  const listening = await waitFor('the service', () => records.find((r) => r.event === 'listening'), 15000);

  // The process a rule blocks, started here under this run's own identifier.
  const blocked = spawn('sleep', ['300'], { env: { ...process.env, MOPET_BUNDLE_IDENTIFIER: blockedId }, stdio: 'ignore' });
  children.push(blocked);
  let blockedEnd = null;
  blocked.on('exit', (code, signal) => { blockedEnd = { code, signal, time: Date.now() }; });

  // Every written hosts file, as seen by a poll (the move into place is atomic).
  const hostsVersions = new Set();
  const hostsPoll = setInterval(() => {
    try { hostsVersions.add(fs.readFileSync(hostsFile, 'utf8')); } catch (_) { /* between moves */ }
  }, 50);

  const connectTo = ['api.family.mopet.velmorhome.so', 'api.school.mopet.velmorhome.so']
    .map((h) => `${h}:443:127.0.0.1:${listening.port}`).join(',');
  const locationFile = path.join(sandbox, 'location.json');
  fs.writeFileSync(locationFile, JSON.stringify({ latitude: 52.52, longitude: 13.405 }));
  // With "stopped-sudo", a sudo first in the children's PATH that stops itself before it
  // hands over to the sandbox's stub.
  let childPath = `${path.join(sandbox, 'tools')}:${toolsFolder}`;
  if (mode === 'stopped-sudo') {
    const stopping = path.join(sandbox, 'stopping-tools');
    fs.mkdirSync(stopping);
    fs.writeFileSync(path.join(stopping, 'sudo'),
      `#!/bin/bash\nkill -STOP $$\nexec ${JSON.stringify(path.join(sandbox, 'tools', 'sudo'))} "$@"\n`, { mode: 0o755 });
    childPath = `${stopping}:${childPath}`;
  }
  const agentOut = fs.openSync(path.join(sandbox, 'agent.out'), 'w');
  const agent = spawn(agentPath, [], {
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, '.config'),
      XDG_DATA_HOME: path.join(home, '.local', 'share'), MOPET_HOSTS_FILE: hostsFile, SSL_CERT_FILE: listening.ca,
      MOPET_LOCATION_FILE: locationFile,
      MOPET_CHILD_PATH: childPath, MOPET_CONNECT_TO: connectTo },
    stdio: ['ignore', mode === 'closed-stdout' ? 'pipe' : agentOut, agentOut],
  });
  if (mode === 'closed-stdout') agent.stdout.destroy(); // the reader goes away at once
  children.push(agent);
  let agentEnd = null;
  agent.on('exit', (code, signal) => { agentEnd = { code, signal }; note({ event: 'agent-exit' }); });

  await waitFor('the command channel', () => records.find((r) => r.event === 'connection'), 20000);
  assert.strictEqual(records.find((r) => r.event === 'connection').token, token);

  // Each command in turn; "ack" means exactly one acknowledgement {"status":"ok"}.
  let serial = 0;
  async function command(name, data, expect, extra = {}) {
    const id = `${name}#${++serial}`;
    const message = { emit: name, id, ack_ms: (expect === 'ack' ? 8000 : 2000) * slow, ...extra };
    if (data !== undefined) message.data = data;
    send(message);
    const answer = await waitFor(`an answer to ${id}`,
      () => records.find((r) => (r.event === 'ack' || r.event === 'no-ack') && r.id === id), 15000);
    assert.strictEqual(answer.event, expect, `${id}: expected ${expect}, got ${answer.event}`);
    if (expect === 'ack') assert.deepStrictEqual(answer.args, [{ status: 'ok' }], `${id}: acknowledgement`);
    assert.strictEqual(records.filter((r) => r.id === id && r.event === answer.event).length, 1);
    return id;
  }
  if (mode === 'malformed') {
    await malformedChecks();
    return;
  }
  if (mode === 'stall') {
    await stallChecks();
    return;
  }
  if (mode === 'closed-stdout') {
    await closedStdoutChecks();
    return;
  }
  if (budgetModes.includes(mode)) {
    await budgetChecks();
    return;
  }

  await command('web_content_rule', { changed: true }, 'ack');
  await command('app_blocker_rule', { changed: true }, 'ack');
  await command('instant_block_activation', { isInstantBlockActivated: true }, 'ack');
  await command('instant_block_activation', { is_instant_block_activated: false }, 'ack');
  await command('instant_block_activation', 'not an object', 'ack'); // undecodable: acknowledged all the same
  const before = requests(SAFE_SEARCH).length;
  const safeSearchId = await command('safe_search_rule', { changed: true }, 'ack');
  // The pass ran before the acknowledgement: its fetch reached the service first.
  const ackIndex = records.findIndex((r) => r.event === 'ack' && r.id === safeSearchId);
  const emitIndex = records.findIndex((r) => r.event === 'emit' && r.id === safeSearchId);
  assert.ok(records.slice(emitIndex, ackIndex).some((r) => r.event === 'request' && r.path === SAFE_SEARCH),
    'safe_search_rule: a safe-search fetch between the command and its acknowledgement');
  assert.ok(requests(SAFE_SEARCH).length > before);
  await command('live_location', { distance: 50, duration: 60000, interval: 5000, extra: 'ignored' }, 'ack');
  await command('live_location', { distance: 12.5, duration: 60000, interval: 5000 }, 'no-ack');
  await command('live_location', { duration: 60000, interval: 5000 }, 'no-ack');
  await command('session_termination', undefined, 'no-ack'); // without data: nothing happens
  await command('child_restriction', undefined, 'no-ack');
  assert.strictEqual(agentEnd, null, 'the agent ends on a command without data');

  // Effects of the ticks.
  await waitFor('the blocked process to end', () => blockedEnd, 25000);
  await waitFor('the installed-application report', () => requests(SYNC_APPS).length >= 1, 20000);
  await waitFor('four usage reports', () => requests(REPORTS).length >= 4, 25000);
  const expectedHosts = (text) => text.split('\n').filter(Boolean);
  await waitFor('a hosts file with the blocked domains',
    () => [...hostsVersions].some((v) => v.includes('games.example.com')), 15000);
  clearInterval(hostsPoll);

  // The blocked process: stopped by the tick after the one whose request returned the rule.
  const appRules = requests(APP_RULES);
  assert.ok(appRules.length >= 3, 'three app-rule requests');
  assert.strictEqual(blockedEnd.signal, 'SIGTERM', 'the blocked process was terminated');
  const ruleServed = appRules[1].time;
  const nextTick = appRules[2].time;
  assert.ok(blockedEnd.time > ruleServed + 1000, 'the blocked process survived the tick that fetched the rule');
  assert.ok(Math.abs(blockedEnd.time - nextTick) < 2000 * slow,
    `the blocked process ended with the next tick (${blockedEnd.time - nextTick} ms from it; ` +
    `app-rule requests at ${appRules.map((r) => r.time - blockedEnd.time).join(', ')} ms from its end)`);

  // Usage reports while the service was up throughout: 5, 10, 15, ...
  const steadyReports = requests(REPORTS);
  steadyReports.forEach((report, i) => {
    assert.strictEqual(report.body[0].info.duration, String(5 * (i + 1)), 'usage rises by 5 per report');
  });

  // The service goes away and comes back on the same port: the agent keeps ticking,
  // reconnects and acknowledges what comes later, once.
  const connections = count('connection');
  send({ restart: 2000 });
  await waitFor('the restarted service', () => count('listening') === 2, 10000);
  const afterRestart = (p) => {
    const restartedAt = records.filter((r) => r.event === 'listening')[1].time;
    return requests(p).filter((r) => r.time > restartedAt).length;
  };
  await waitFor('a reconnection', () => count('connection') > connections, 30000);
  await command('app_blocker_rule', { changed: true }, 'ack');
  await waitFor('ticks and usage reports after the restart',
    () => afterRestart(APP_RULES) >= 1 && afterRestart(REPORTS) >= 1, 15000);

  // Hosts: every version starts with the six defaults; one adds exactly the blocked,
  // valid domains, once each.
  const defaults = ['::1\tlocalhost', '127.0.0.1\tlocalhost', '255.255.255.255\tbroadcasthost'];
  for (const version of hostsVersions) {
    if (version === '127.0.0.1\tlocalhost\n') continue; // the sandbox's file before the first tick
    const got = expectedHosts(version);
    assert.deepStrictEqual(got.slice(0, 3), defaults, `hosts defaults in:\n${version}`);
    assert.ok(got.slice(3, 6).every((l) => /^127\.0\.0\.1\t[a-z0-9.-]+$/.test(l)), `hosts defaults in:\n${version}`);
    const extra = got.slice(6);
    assert.ok(extra.length === 0 || JSON.stringify(extra) === JSON.stringify(
      ['127.0.0.1\tgames.example.com', '127.0.0.1\tcasino.example.net']), `hosts additions in:\n${version}`);
    assert.ok(!version.includes('evil') && !version.includes('homework'), `hosts file:\n${version}`);
  }

  // The content-blocker list: the blocked category's words without blanks, the blocked
  // word as sent; the allowed word taken out once; the lower-case name matched nothing.
  const list = JSON.parse(fs.readFileSync(blockerList, 'utf8'));
  const filters = list.map((rule) => rule.trigger['url-filter']);
  assert.ok(list.every((rule) => rule.action.type === 'block'));
  for (const word of ['tobacco', 'cigarettes', 'buycigarettesonline', 'poker night']) {
    assert.ok(filters.includes(word), `content blocker holds ${word}`);
  }
  assert.ok(!filters.includes('cigar'), 'the allowed word was removed');
  assert.strictEqual(filters.filter((f) => f === 'tobacco').length, 1, 'each category word once');

  // Every usage report: the fixed fields, and a duration rising in steps of 5 (a
  // report due while the service was away is lost, its 5 still counted).
  const reports = requests(REPORTS);
  let last = 0;
  reports.forEach((report) => {
    assert.strictEqual(report.authorization, `Bearer ${token}`);
    assert.ok(Array.isArray(report.body) && report.body.length === 1, 'one report per request');
    const [entry] = report.body;
    assert.strictEqual(entry.report_type, 'APP_USAGE');
    assert.strictEqual(typeof entry.time, 'number');
    assert.strictEqual(entry.info.pk, 'com.apple.Safari');
    const duration = Number(entry.info.duration);
    assert.ok(duration > last && duration % 5 === 0, `usage ${entry.info.duration} after ${last}`);
    last = duration;
  });

  // The installed applications: our desktop entry among them, named by its identifier.
  const inventory = JSON.stringify(requests(SYNC_APPS)[0].body);
  assert.ok(inventory.includes('Blocky Game'), `inventory: ${inventory}`);
  assert.ok(!inventory.includes('command not found'), `inventory: ${inventory}`);

  // Where the child is: the provider's fix, as texts.
  const location = requests('/api/v1/children/location');
  assert.ok(location.length >= 1, 'a location report');
  assert.ok(location.every((r) => Array.isArray(r.body) && r.body.length >= 1 &&
    r.body.every((fix) => fix.lat === '52.52' && fix.long === '13.405')), JSON.stringify(location[0].body));

  // Ticks went on through the restart, with the token on every request.
  assert.ok(records.filter((r) => r.event === 'request').every((r) => r.authorization === `Bearer ${token}`));

  // The wipe and exit: no acknowledgement, status 0, the agent's own defaults gone and
  // the shared ones kept.
  assert.ok(fs.existsSync(agentDefaults), 'the agent keeps its own defaults while running');
  await command('session_termination', { deleted: true }, 'no-ack');
  await waitFor('the agent to exit', () => agentEnd, 10000);
  assert.deepStrictEqual(agentEnd, { code: 0, signal: null }, 'session_termination ends the agent with status 0');
  assert.ok(!fs.existsSync(agentDefaults), 'the agent removed its own defaults');
  const shared = fs.readFileSync(path.join(groupFolder, 'Library', 'Preferences', 'group.so.velmorhome.mopet.plist'), 'utf8');
  assert.ok(shared.includes(token), 'the shared pairing is kept');
  const sudoLog = fs.readFileSync(path.join(sandbox, 'log', 'sudo.log'), 'utf8');
  assert.ok(!sudoLog.includes('REFUSED'), `the stub sudo refused something:\n${sudoLog}`);

  async function stallChecks() {
    // The report that gets no answer holds the agent until the request's deadline (30 s)
    // ends it; then the agent goes on: reports, ticks, commands.
    await waitFor('the unanswered report', () => requests(REPORTS).length === 1, 20000);
    const stalledAt = requests(REPORTS)[0].time;
    await waitFor('the next report', () => requests(REPORTS).length >= 2, 60000);
    const resumedAt = requests(REPORTS)[1].time;
    assert.ok(resumedAt - stalledAt >= 28000, `the agent waited ${resumedAt - stalledAt} ms, less than the deadline`);
    assert.ok(resumedAt - stalledAt <= 45000 * slow, `the agent waited ${resumedAt - stalledAt} ms`);
    await waitFor('ticks after the stall', () => requests(APP_RULES).filter((r) => r.time > resumedAt).length >= 1, 15000);
    await command('app_blocker_rule', { changed: true }, 'ack');
    await command('session_termination', { deleted: true }, 'no-ack');
    await waitFor('the agent to exit', () => agentEnd, 10000);
    assert.deepStrictEqual(agentEnd, { code: 0, signal: null });
  }

  async function budgetChecks() {
    const connectedAt = records.find((r) => r.event === 'connection').time;
    let commands = null;
    const commandIds = [];
    if (mode === 'slow-live') {
      await command('live_location', { distance: 50, duration: 120000, interval: 1000 }, 'ack');
      commands = setInterval(() => {
        const id = `safe_search_rule#${++serial}`;
        commandIds.push(id);
        send({ emit: 'safe_search_rule', data: { changed: true }, id, ack_ms: 5000 });
      }, 1000);
    }
    // Once the blocking rule set has gone out, a program of it started now is stopped
    // by a tick within 10 s.
    await waitFor('the first app-rule reply', () => records.find((r) => r.event === 'reply' && r.path === APP_RULES),
      30000);
    await new Promise((resolve) => setTimeout(resolve, 1000));
    const late = spawn('sleep', ['300'], { env: { ...process.env, MOPET_BUNDLE_IDENTIFIER: blockedId }, stdio: 'ignore' });
    children.push(late);
    const lateStart = Date.now();
    let lateEnd = null;
    late.on('exit', (code, signal) => { lateEnd = { code, signal, time: Date.now() }; });
    await waitFor('the program started during the run to end', () => lateEnd, 20000);
    assert.strictEqual(lateEnd.signal, 'SIGTERM');
    assert.ok(lateEnd.time - lateStart <= 10000 * slow, `the blocked program lived ${lateEnd.time - lateStart} ms`);
    // The ticks over half a minute of the run: each app-rule request is one tick's.
    const until = Math.max(Date.now(), connectedAt + 30000);
    await waitFor('half a minute of ticks', () => Date.now() >= until, 40000);
    if (commands) clearInterval(commands);
    const ticks = requests(APP_RULES).filter((r) => r.time > connectedAt).map((r) => r.time);
    const gaps = ticks.slice(1).map((t, i) => t - ticks[i]);
    const gapLimit = slow > 1 ? 9000 : 7000;
    assert.ok(gaps.length >= 4, `ticks: ${gaps.length + 1}`);
    assert.ok(Math.max(...gaps) <= gapLimit, `ticks ${gaps.join(', ')} ms apart`);
    console.log(`${mode}: ${ticks.length} ticks, ${Math.min(...gaps)}-${Math.max(...gaps)} ms apart; ` +
      `the blocked program stopped ${lateEnd.time - lateStart} ms after its start`);
    if (mode === 'stopped-sudo') {
      const out = fs.readFileSync(path.join(sandbox, 'agent.out'), 'utf8');
      assert.ok(out.includes('sudo did not end within'), 'every sudo was held and ended');
    }
    // Every command of the run was acknowledged.
    await waitFor('the acknowledgements', () => commandIds.every((id) =>
      records.some((r) => (r.event === 'ack' || r.event === 'no-ack') && r.id === id)), 10000);
    const unacknowledged = commandIds.filter((id) => !records.some((r) => r.event === 'ack' && r.id === id));
    assert.deepStrictEqual(unacknowledged, [], 'commands without an acknowledgement');
    await command('session_termination', { deleted: true }, 'no-ack');
    await waitFor('the agent to exit', () => agentEnd, 10000);
    assert.deepStrictEqual(agentEnd, { code: 0, signal: null });
  }

  async function closedStdoutChecks() {
    // Every request prints a line to the closed pipe; the agent still blocks, reports
    // and answers commands, and ends only when told to.
    await waitFor('the blocked process to end', () => blockedEnd || agentEnd, 25000);
    assert.strictEqual(agentEnd, null, `the agent ended: ${JSON.stringify(agentEnd)}`);
    assert.strictEqual(blockedEnd.signal, 'SIGTERM');
    const reports = requests(REPORTS).length;
    await waitFor('two more usage reports', () => requests(REPORTS).length >= reports + 2 || agentEnd, 25000);
    assert.strictEqual(agentEnd, null, `the agent ended: ${JSON.stringify(agentEnd)}`);
    await command('app_blocker_rule', { changed: true }, 'ack');
    await command('session_termination', { deleted: true }, 'no-ack');
    await waitFor('the agent to exit', () => agentEnd, 10000);
    assert.deepStrictEqual(agentEnd, { code: 0, signal: null });
  }

  async function malformedChecks() {
    // The good rules came with the first replies: the blocked process goes.
    await waitFor('the blocked process to end', () => blockedEnd, 25000);
    assert.strictEqual(blockedEnd.signal, 'SIGTERM');
    await waitFor('a content-blocker list', () => fs.existsSync(blockerList), 10000);
    const goodList = fs.readFileSync(blockerList, 'utf8');
    assert.ok(goodList.includes('"tobacco"'));
    // Every malformed reply of every endpoint has been served at least once.
    await waitFor('the malformed replies', () => requests(APP_RULES).length >= 4 && requests(SAFE_SEARCH).length >= 4 &&
      requests(WEB_RULES).length >= 3 && requests(REPORTS).length >= 2 && requests(SYNC_APPS).length >= 1, 30000);
    assert.strictEqual(agentEnd, null, 'the agent stopped on a malformed reply');
    // The same application started again is still stopped, by the next tick.
    const again = spawn('sleep', ['300'], { env: { ...process.env, MOPET_BUNDLE_IDENTIFIER: blockedId }, stdio: 'ignore' });
    children.push(again);
    const startedAt = Date.now();
    let againEnd = null;
    again.on('exit', (code, signal) => { againEnd = { code, signal, time: Date.now() }; });
    await waitFor('the restarted blocked process to end', () => againEnd, 8000);
    assert.strictEqual(againEnd.signal, 'SIGTERM');
    assert.ok(againEnd.time - startedAt < 5000 * slow + 1500, 'stopped by the next tick');
    // The content-blocker list is the one of the last good rules.
    assert.strictEqual(fs.readFileSync(blockerList, 'utf8'), goodList, 'the content-blocker list was kept');
    clearInterval(hostsPoll);
    for (const version of hostsVersions) {
      if (version === '127.0.0.1\tlocalhost\n') continue;
      assert.ok(version.startsWith('::1\tlocalhost\n127.0.0.1\tlocalhost\n255.255.255.255\tbroadcasthost\n'),
        `hosts file:\n${version}`);
    }
    // Commands still work, and the session still ends cleanly.
    await command('web_content_rule', { changed: true }, 'ack');
    await command('session_termination', { deleted: true }, 'no-ack');
    await waitFor('the agent to exit', () => agentEnd, 10000);
    assert.deepStrictEqual(agentEnd, { code: 0, signal: null });
    assert.ok(!fs.existsSync(agentDefaults), 'the agent removed its own defaults');
  }
}

function cleanUp() {
  clearInterval(poll);
  for (const child of children) if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
}

main().then(() => {
  cleanUp();
  fs.rmSync(sandbox, { recursive: true, force: true });
  console.log('agent end-to-end: all checks held');
  process.exit(0);
}, (error) => {
  cleanUp();
  console.error(`agent end-to-end FAILED: ${error.stack || error}`);
  console.error(`sandbox kept: ${sandbox} (agent.out, log/sudo.log)`);
  console.error('last service records:');
  for (const r of records.slice(-25)) console.error(JSON.stringify(r).slice(0, 300));
  process.exit(1);
});
