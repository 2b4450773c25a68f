'use strict';
// Loopback peer for the URL session tests: an HTTPS server with built-in and scripted
// routes, and a plain TCP listener that accepts connections and never answers.
//
//   node https_server.js <key.pem> <cert.pem>
//
// stdout: "PORTS <https> <silent>" once listening, then "REQUEST <base64 echo>" for every
//         request received and "OK" for every command applied.
// stdin:  "REPLY <path> <status> <base64 body> [<content type> [<ms>]]" scripts the reply
//         for a path; with <ms>, the body goes one byte every <ms> milliseconds. The end of stdin ends the process, so it never outlives its test.
//
// The echo of a request (the /echo reply, and what REQUEST lines carry) is text:
//   "<method> <target> HTTP/<version>\n" then "<name>: <value>\n" per header as received,
//   then an empty line, then the body bytes.

const fs = require('fs');
const https = require('https');
const net = require('net');
const readline = require('readline');

const [keyFile, certFile] = process.argv.slice(2);
const replies = new Map();
const held = [];

let pattern = Buffer.alloc(0);
function patternBytes(n) {
  if (pattern.length < n) {
    pattern = Buffer.alloc(n);
    for (let i = 0; i < n; i++) pattern[i] = i % 251;
  }
  return pattern.subarray(0, n);
}

function echoOf(req, body) {
  let text = `${req.method} ${req.url} HTTP/${req.httpVersion}\n`;
  for (let i = 0; i < req.rawHeaders.length; i += 2) text += `${req.rawHeaders[i]}: ${req.rawHeaders[i + 1]}\n`;
  return Buffer.concat([Buffer.from(text + '\n', 'latin1'), body]);
}

function route(req, res, echo) {
  const url = new URL(req.url, 'https://peer');
  const scripted = replies.get(url.pathname);
  if (scripted) {
    res.writeHead(scripted.status, { 'Content-Type': scripted.type, 'Content-Length': scripted.body.length });
    if (!(scripted.byteMs > 0) || scripted.body.length === 0) {
      res.end(scripted.body);
      return;
    }
    let sent = 0;
    const timer = setInterval(() => {
      res.write(scripted.body.subarray(sent, sent + 1));
      if (++sent === scripted.body.length) {
        clearInterval(timer);
        res.end();
      }
    }, scripted.byteMs);
    res.on('close', () => clearInterval(timer));
    return;
  }
  const parts = url.pathname.split('/').filter(Boolean);
  const number = (i) => Number(parts[i]);
  switch (parts[0]) {
    case 'echo':
      res.writeHead(200, { 'Content-Type': 'text/plain', 'Content-Length': echo.length });
      res.end(echo);
      return;
    case 'status': {
      const body = Buffer.from(`{"status":${number(1)}}`);
      res.writeHead(number(1), { 'Content-Type': 'application/json', 'Content-Length': body.length });
      res.end(body);
      return;
    }
    case 'empty':
      res.writeHead(200, { 'Content-Length': 0 });
      res.end();
      return;
    case 'bytes': // /bytes/<n>: n bytes with a Content-Length
      res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': number(1) });
      res.end(patternBytes(number(1)));
      return;
    case 'chunked': // /chunked/<n>: n bytes without a length
      res.writeHead(200, { 'Content-Type': 'application/octet-stream' });
      res.end(patternBytes(number(1)));
      return;
    case 'invalid-utf8': {
      const body = Buffer.from([0xff, 0xfe, 0x00, 0xc3, 0x28, 0xa0, 0xa1, 0xed, 0xa0, 0x80, 0x7b]);
      res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': body.length });
      res.end(body);
      return;
    }
    case 'headers':
      res.setHeader('Set-Cookie', ['a=1', 'b=2']);
      res.setHeader('X-Multi', 'one');
      res.setHeader('X-Empty', '');
      res.writeHead(200, { 'Content-Length': 2 });
      res.end('ok');
      return;
    case 'redirect':
      res.writeHead(302, { Location: '/echo', 'Content-Length': 5 });
      res.end('moved');
      return;
    case 'trickle': { // /trickle/<count>/<ms>: one byte every ms
      const count = number(1);
      res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': count });
      let sent = 0;
      const timer = setInterval(() => {
        res.write('x');
        if (++sent === count) {
          clearInterval(timer);
          res.end();
        }
      }, number(2));
      res.on('close', () => clearInterval(timer));
      return;
    }
    case 'silent': // reads the request, never answers
      held.push(res);
      return;
    case 'hangup': // closes the connection without a reply
      req.socket.destroy();
      return;
    default:
      res.writeHead(404, { 'Content-Length': 0 });
      res.end();
  }
}

const server = https.createServer({ key: fs.readFileSync(keyFile), cert: fs.readFileSync(certFile) }, (req, res) => {
  const chunks = [];
  req.on('data', (chunk) => chunks.push(chunk));
  req.on('end', () => {
    const echo = echoOf(req, Buffer.concat(chunks));
    process.stdout.write(`REQUEST ${echo.toString('base64')}\n`);
    route(req, res, echo);
  });
});
server.on('tlsClientError', () => {});

const silentSockets = [];
const silent = net.createServer((socket) => {
  socket.on('error', () => {});
  silentSockets.push(socket);
});

server.listen(0, '127.0.0.1', () => {
  silent.listen(0, '127.0.0.1', () => {
    process.stdout.write(`PORTS ${server.address().port} ${silent.address().port}\n`);
  });
});

const commands = readline.createInterface({ input: process.stdin });
commands.on('line', (line) => {
  const [verb, path, status, body, type, byteMs] = line.trim().split(' ');
  if (verb === 'REPLY') {
    replies.set(path, {
      status: Number(status),
      body: Buffer.from(body === '-' ? '' : body, 'base64'),
      type: type || 'application/json',
      byteMs: Number(byteMs || 0),
    });
  }
  process.stdout.write('OK\n');
});
commands.on('close', () => process.exit(0));
