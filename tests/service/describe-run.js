'use strict';
// Tells in plain words what happened in a sandboxed run of the agent against the local
// service (used by scripts/demo).
//
//   node describe-run.js <sandbox> <blocked identifier> <blocked status> <agent status>
//
// <blocked status> and <agent status> are the shell's exit statuses of the blocked
// test process and of the agent (143 = ended by SIGTERM).

const fs = require('fs');
const path = require('path');

const [sandbox, blockedId, blockedStatus, agentStatus] = process.argv.slice(2);
const home = path.join(sandbox, 'home');
const read = (file) => { try { return fs.readFileSync(file, 'utf8'); } catch (_) { return null; } };
const records = (read(path.join(sandbox, 'service.log')) || '').split('\n').filter(Boolean).map((l) => JSON.parse(l));
const requests = (p) => records.filter((r) => r.event === 'request' && r.path === p);
const start = records.length ? records[0].time : 0;
const at = (r) => `${((r.time - start) / 1000).toFixed(1)} s`;
const out = [];
const say = (line = '') => out.push(line);
const list = (items) => (items.length ? items.join(', ') : 'none');

say('What happened');
say('=============');

// Applications.
const appRules = requests('/api/v1/children/device-apps/smart-app-rules');
const blockedSince = appRules.findIndex((_, i) => i >= 1); // the scenario blocks from the second reply on
say();
say('Applications');
if (Number(blockedStatus) === 143) {
  say(`  "${blockedId}" was stopped (terminated) after the parent's rule blocked it` +
      (blockedSince >= 0 ? ` (the rule came with the request at ${at(appRules[blockedSince])}).` : '.'));
} else {
  say(`  "${blockedId}" was NOT stopped (its exit status: ${blockedStatus}).`);
}

// Web sites.
say();
say('Web sites');
const hosts = read(path.join(sandbox, 'hosts')) || '';
const lines = hosts.split('\n').filter(Boolean);
const blocked = lines.slice(6).map((l) => l.split('\t')[1]);
say(`  The hosts file (${path.join(sandbox, 'hosts')}, standing in for /etc/hosts) holds ${lines.length} lines:`);
say(`  the ${Math.min(lines.length, 6)} defaults and the blocked domains: ${list(blocked)}.`);
say('  Those names now lead nowhere (127.0.0.1) on this computer.');
// Root replaces only /etc/hosts; the sandbox's file is the user's own, which the agent
// replaces itself, unless a run pointed root's target at it.
const sudoRuns = (read(path.join(sandbox, 'log', 'sudo.log')) || '').split('\n')
  .filter((l) => l.startsWith('RUN: ')).map((l) => l.slice(5));
if (hosts === '127.0.0.1\tlocalhost\n' || !hosts) {
  say('  The file was never replaced.');
} else if (sudoRuns.some((r) => r.includes(' mv -T -- '))) {
  say('  It was replaced through sudo (root got the new text on its standard input).');
} else {
  say('  It was replaced by the agent itself (a file of the user\'s own needs no root; sudo is used only for /etc/hosts).');
}

// Search words.
say();
say('Search words');
const blockerFile = path.join(home, 'Library', 'Group Containers', 'group.so.velmorhome.mopet', 'safeSearchBlocker.json');
const blocker = read(blockerFile);
if (blocker) {
  const words = JSON.parse(blocker).map((rule) => rule.trigger['url-filter']);
  say(`  The browser's content-blocker list holds ${words.length} blocked words, e.g. ${words.slice(0, 6).join(', ')}` +
      (words.includes('poker night') ? ', and the parent\'s own word "poker night".' : '.'));
} else {
  say('  No content-blocker list was written.');
}

// Reports.
say();
say('Reports that reached the service');
const usage = requests('/api/v1/children/reports');
say(`  ${usage.length} usage reports, with the usage counter at ` +
    `${list(usage.map((r) => (r.body && r.body[0] && r.body[0].info ? r.body[0].info.duration : '?')))} seconds.`);
const inventory = requests('/api/v1/children/device-apps/sync-apps');
if (inventory.length) {
  const names = [];
  JSON.stringify(inventory[0].body, (key, value) => {
    if (key === 'name' && typeof value === 'string') names.push(value);
    return value;
  });
  say(`  The list of installed applications (${names.length}): ${list(names.slice(0, 8))}${names.length > 8 ? ', ...' : ''}.`);
} else {
  say('  No list of installed applications.');
}
const locations = requests('/api/v1/children/location');
if (locations.length) {
  const last = locations[locations.length - 1].body;
  const fix = Array.isArray(last) && last.length ? last[last.length - 1] : null;
  const where = fix && fix.lat !== undefined ? `latitude ${fix.lat}, longitude ${fix.long}` : '';
  say(`  ${locations.length} location reports${where ? `, the last at ${where}` : ''}.`);
} else {
  say('  No location reports (the position comes from MOPET_LOCATION_FILE, else from the desktop\'s location service; without either, location services are off).');
}

// Commands.
say();
say('Commands from the parent (times since the service started)');
for (const emit of records.filter((r) => r.event === 'emit')) {
  const answer = records.find((r) => (r.event === 'ack' || r.event === 'no-ack') && r.id === emit.id);
  let verdict;
  if (answer && answer.event === 'ack') verdict = `obeyed and acknowledged (${JSON.stringify(answer.args[0])})`;
  else if (emit.name === 'session_termination' || emit.name === 'child_restriction') {
    verdict = Number(agentStatus) === 0 ? 'obeyed: the agent wiped its own settings and quit' : 'not obeyed';
  } else verdict = 'not acknowledged';
  say(`  ${at(emit)}  ${emit.name} ("${emit.id}"): ${verdict}`);
}

// Privileged commands.
say();
say('Privileged commands (through the sandbox\'s stand-in for sudo)');
const sudoLog = (read(path.join(sandbox, 'log', 'sudo.log')) || '').split('\n');
const runs = sudoLog.filter((l) => l.startsWith('RUN: ')).map((l) => l.slice(5));
const kinds = new Map();
for (const r of runs) {
  const kind = r.includes(' mv -T -- ') ? 'replaced the hosts file with the text on its input' : r.startsWith('cp ') ? 'copied the launch-agent file (not installed here, so it failed harmlessly)' : r.includes('resolvectl flush-caches') ? 'flushed the DNS cache of the running resolver (skipped in the sandbox)' : r.split(' ')[0];
  kinds.set(kind, (kinds.get(kind) || 0) + 1);
}
for (const [kind, n] of kinds) say(`  ${n} x ${kind}`);
const refused = sudoLog.filter((l) => l.startsWith('REFUSED'));
say(`  refused: ${refused.length ? refused.join('; ') : 'nothing'}`);

// Start at login.
say();
say('Start at login');
const autostart = path.join(home, '.config', 'autostart', 'so.velmorhome.mopet.agent.desktop');
say(fs.existsSync(autostart) ? `  The agent put its autostart entry in the user's folder (${autostart}).`
  : '  No autostart entry was put in place.');

// The end.
say();
say('The end');
const defaultsGone = !fs.existsSync(path.join(home, 'Library', 'Preferences', 'so.velmorhome.mopet.agent.plist'));
say(`  The agent exited with status ${agentStatus}; its own settings were ${defaultsGone ? '' : 'NOT '}removed.`);
console.log(out.join('\n'));
