#!/usr/bin/env node
// Stand-in project server.
//
//   cli.js --staticPath DIR --cachePath DIR --token "" --api URL serve PROJECT
//
// Serves PROJECT and the application's resources over HTTP on 127.0.0.1, prints its state as
// one JSON line on standard output once it listens, and speaks Socket.IO on the same port:
// "joinRoom" gets the state pushed back, the commands change the state and push it to the room
// "preview". The sign-in token (KORVEL_TOKEN) and the person's name (KORVEL_AUTHOR) come in the
// environment, never on the command line, which every local user can read.
//
// Test switches, comma-separated in KORVEL_SERVER_TEST:
//   exit-at-start=CODE     exit with CODE before listening
//   exit-later=CODE[:MS]   exit with CODE MS milliseconds (default 300) after the state line
//   slow-start=MS          wait MS milliseconds before listening
//   split-state-line       write the state line in two pieces, 100 ms apart
//   no-state-push          don't push the state on "joinRoom"
//   live-sharing=MODE      how a start of live sharing ends: "fail" reports the status "error",
//                          "hang" stays "starting", "no-url" reports "active" without an address
//   trace-sessions         trace each Engine.IO session opened, with its handshake's Sec-Fetch-Site
// Live sharing listens, while active, on a second port of the machine's network address (127.0.0.1
// when it has none), so that another device can open it: "/" is the preview page with the files it
// loads, the rest the project's files, read-only, and its Socket.IO only pushes. Each start takes a
// new port. It answers only under the machine's addresses, and bounds what one peer may hold.
// The editor's preview data arrives as a POST to /_app/preview-data and goes to the room
// "preview" as "updatePreview"; the preview page loads the Socket.IO client from /socket.io/.
// Every request and Socket.IO handshake on the main port shows the key the application gives this
// server in KORVEL_PAGE_KEY, or is refused with 403: any local process, of any account, can reach
// 127.0.0.1. The native client and the editor page send it in the X-Korvel-Key header; the preview
// page's load sends it there too. What that page loads from its own origin is asked for the key by
// HTTP authentication (401), which the application answers for this server's host and port alone.
// The browser then keeps that credential for the session and sends it with whatever any page asks
// of this host and port, so it counts only on a request the browser marks as the page's own
// (Sec-Fetch-Site "same-origin", or "none" for the application's navigation of its view); any
// other request is refused with 403 whatever it carries, one without that mark among them. A
// cookie would go to every port of 127.0.0.1, and counts nowhere. The page's Socket.IO opens with
// a request that carries the credential and moves to a WebSocket under the session's id. Pages of
// other origins get no CORS grant; only the editor page (a local file's origin) gets one.
// No connection, on either port, gets more than a few requests ahead of their answers.
// KORVEL_SERVER_TRACE=FILE appends one JSON line per start, per event received and per package
// install (with the arguments the package manager would get).
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const { Server } = require('socket.io');

const LIBRARY = 'korvel';
const LIBRARY_LATEST = '1.1.0';

function usage(message) {
  process.stderr.write(`cli.js: ${message}\n`);
  process.exit(2);
}

function parseArguments(argv) {
  const options = {};
  const positional = [];
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg.startsWith('--')) {
      if (i + 1 >= argv.length) usage(`${arg} needs a value`);
      options[arg.slice(2)] = argv[++i];
    } else {
      positional.push(arg);
    }
  }
  if (positional[0] !== 'serve' || positional.length !== 2) usage('expected: serve PROJECT');
  for (const required of ['staticPath', 'cachePath', 'api']) {
    if (typeof options[required] !== 'string') usage(`--${required} is required`);
  }
  return { options, project: path.resolve(positional[1]) };
}

function parseSwitches(text) {
  const switches = {};
  for (const item of (text || '').split(',')) {
    if (!item) continue;
    const [name, value] = item.split('=');
    switches[name] = value === undefined ? true : value;
  }
  return switches;
}

const parsed = parseArguments(process.argv.slice(2));
const options = parsed.options;
const switches = parseSwitches(process.env.KORVEL_SERVER_TEST);
const token = process.env.KORVEL_TOKEN || '';
const pageKey = process.env.KORVEL_PAGE_KEY || '';
const author = process.env.KORVEL_AUTHOR;
// Not handed on to anything this server runs.
delete process.env.KORVEL_PAGE_KEY;
delete process.env.KORVEL_AUTHOR;
const traceFile = process.env.KORVEL_SERVER_TRACE;

function trace(record) {
  if (!traceFile) return;
  try {
    fs.appendFileSync(traceFile, JSON.stringify(record) + '\n');
  } catch (error) {
    process.stderr.write(`trace: ${error.message}\n`);
  }
}

if (!fs.existsSync(parsed.project) || !fs.statSync(parsed.project).isDirectory()) usage(`no project folder at ${parsed.project}`);
// Real paths, so that what a link resolves to can be checked against them.
const project = fs.realpathSync(parsed.project);
const staticRoot = fs.existsSync(options.staticPath) ? fs.realpathSync(options.staticPath) : path.resolve(options.staticPath);
if ('exit-at-start' in switches) process.exit(Number(switches['exit-at-start']) || 0);

function projectPackages() {
  try {
    const manifest = JSON.parse(fs.readFileSync(path.join(project, 'code', 'package.json'), 'utf8'));
    return Object.keys(Object.assign({}, manifest.dependencies, manifest.devDependencies)).sort();
  } catch (error) {
    return [];
  }
}

const state = {
  running: true,
  script: 'serve',
  packages: projectPackages(),
  outdated: [],
  tasks: {},
  libraryVersion: '1.0.0',
  liveSharing: { status: 'available' },
  documentDirty: false,
};

// Files: the project, and the application's resources under /_app/resources/.
const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.json': 'application/json; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.png': 'image/png',
  '.jpg': 'image/jpeg',
  '.jpeg': 'image/jpeg',
  '.gif': 'image/gif',
  '.svg': 'image/svg+xml',
  '.webp': 'image/webp',
};

const PREVIEW_PAGE = `<!doctype html>
<html><head><meta charset="utf-8"><title>Preview</title></head>
<body><div id="preview">Korvel preview</div></body></html>
`;

const LIVE_PAGE = `<!doctype html>
<html><head><meta charset="utf-8"><meta name="viewport" content="width=device-width"><title>Live Preview</title></head>
<body><div id="preview">Korvel live preview</div><script src="code/prototype.js"></script></body></html>
`;

// The file under `root` that `relative` names, or null when it leaves `root` or is hidden.
function resolveInside(root, relative) {
  if (relative.includes('\0')) return null;
  const parts = relative.split('/').filter((p) => p.length > 0);
  if (parts.some((p) => p === '..' || p.startsWith('.'))) return null;
  const file = path.resolve(root, ...parts);
  return isInside(root, file) ? file : null;
}

function isInside(root, file) {
  return file !== root && file.startsWith(root + path.sep);
}

// Opens `file` for reading when it is a regular file whose real path lies inside `root`, so
// that no link leads out of it; the check is made on what was opened, not on the name.
function openInside(root, file, done) {
  fs.open(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK, (error, fd) => {
    if (error) return done(null);
    const refuse = () => fs.close(fd, () => done(null));
    fs.fstat(fd, (statError, stats) => {
      if (statError || !stats.isFile()) return refuse();
      fs.readlink(`/proc/self/fd/${fd}`, (linkError, real) => {
        if (linkError || !isInside(root, real)) return refuse();
        done(fd, stats);
      });
    });
  });
}

function isLocalFileOrigin(origin) {
  return origin === 'null' || (typeof origin === 'string' && origin.startsWith('file://'));
}

const PAGE_KEY_HEADER = 'x-korvel-key';

function digest(text) {
  return crypto.createHash('sha256').update(String(text)).digest();
}

// Compared in constant time; a server started without a key takes none.
function isPageKey(given) {
  if (!pageKey || typeof given !== 'string') return false;
  return crypto.timingSafeEqual(digest(given), digest(pageKey));
}

function keyInHeader(request) {
  return isPageKey(request.headers[PAGE_KEY_HEADER]);
}

// Only a load of a page of this origin, or the application's own navigation of its view, is asked
// for the key, and only there does the answer count: the browser sends the answer it keeps with
// every request to this host and port, whichever page makes it. A request without the mark comes
// from no page this rule can vouch for; the application's own clients send the key header.
function isOwnPageRequest(request) {
  const site = request.headers['sec-fetch-site'];
  return site === 'same-origin' || site === 'none';
}

// HTTP authentication's answer: "Basic", any user name, the key as the password.
function keyInAuthorization(request) {
  const header = request.headers.authorization;
  if (!isOwnPageRequest(request)) return false;
  if (typeof header !== 'string' || !header.startsWith('Basic ')) return false;
  const decoded = Buffer.from(header.slice(6), 'base64').toString('utf8');
  const colon = decoded.indexOf(':');
  return colon >= 0 && isPageKey(decoded.slice(colon + 1));
}

function hasPageKey(request) {
  return keyInHeader(request) || keyInAuthorization(request);
}

const KEY_REALM = 'Korvel project server';

// A request without the key: answered 401 (a page of this origin) or 403, with no CORS grant.
function refuseKeyless(request, response, kind) {
  if (hasPageKey(request)) return false;
  trace({ event: 'refusedKey', request: kind, origin: request.headers.origin === undefined ? null : request.headers.origin });
  if (isOwnPageRequest(request)) response.writeHead(401, { 'WWW-Authenticate': `Basic realm="${KEY_REALM}"` });
  else response.writeHead(403, { Connection: 'close' });
  response.end();
  request.resume();
  return true;
}

// The editor's fetches carry the key header, so its browser asks first; only a local file's
// origin is answered, and the answer grants nothing without the key on the request itself.
function answerPreflight(request, response) {
  const origin = request.headers.origin;
  if (!isLocalFileOrigin(origin)) {
    response.writeHead(403);
    return response.end();
  }
  response.writeHead(204, {
    'Access-Control-Allow-Origin': origin,
    'Access-Control-Allow-Methods': 'GET, HEAD, POST',
    'Access-Control-Allow-Headers': `${PAGE_KEY_HEADER}, content-type`,
    'Access-Control-Max-Age': '600',
    Vary: 'Origin',
  });
  response.end();
}

// The editor page is a local file: its requests carry the origin "null" and the key, and it may
// read the project's files; pages of other origins may not.
function sendFile(response, root, file, request) {
  openInside(root, file, (fd, stats) => {
    if (fd === null) return notFound(response);
    const origin = request && request.headers.origin;
    if (isLocalFileOrigin(origin)) response.setHeader('Access-Control-Allow-Origin', origin);
    response.writeHead(200, {
      'Content-Type': TYPES[path.extname(file).toLowerCase()] || 'application/octet-stream',
      'Content-Length': stats.size,
      'Cache-Control': 'no-cache',
    });
    if (request.method === 'HEAD' || stats.size === 0) {
      fs.close(fd, () => {});
      return response.end();
    }
    // No more than the length announced, should the file grow meanwhile.
    fs.createReadStream(null, { fd, start: 0, end: stats.size - 1 }).pipe(response);
  });
}

function notFound(response) {
  response.writeHead(404, { 'Content-Type': 'text/plain; charset=utf-8' });
  response.end('Not found\n');
}

// The editor publishes the preview data of its selection here; the room "preview" gets it.
const PREVIEW_DATA_LIMIT = 1024 * 1024;
let previewData = null;

function receivePreviewData(request, response) {
  const origin = request.headers.origin;
  if (origin !== undefined && !isLocalFileOrigin(origin) && origin !== ownOrigin()) {
    trace({ event: 'refusedOrigin', request: 'previewData', origin });
    response.writeHead(403, { Connection: 'close' });
    response.end();
    return request.destroy();
  }
  const chunks = [];
  let size = 0;
  request.on('data', (chunk) => {
    size += chunk.length;
    if (size > PREVIEW_DATA_LIMIT) {
      response.writeHead(413);
      response.end();
      request.destroy();
      return;
    }
    chunks.push(chunk);
  });
  request.on('end', () => {
    if (size > PREVIEW_DATA_LIMIT) return;
    const text = Buffer.concat(chunks).toString('utf8');
    let parsed;
    try {
      parsed = JSON.parse(text);
    } catch (error) {
      parsed = null;
    }
    if (isLocalFileOrigin(origin)) response.setHeader('Access-Control-Allow-Origin', origin);
    if (!isObject(parsed)) {
      response.writeHead(400);
      return response.end();
    }
    previewData = text;
    trace({ event: 'previewData', payload: parsed });
    broadcast('updatePreview', previewData);
    response.writeHead(204);
    response.end();
  });
}

// The decoded path a GET or HEAD asks for; null once the request has been answered as refused.
function readablePath(request, response) {
  if (request.method !== 'GET' && request.method !== 'HEAD') {
    response.writeHead(405, { Allow: 'GET, HEAD' });
    response.end();
    return null;
  }
  try {
    return decodeURIComponent(new URL(request.url, 'http://127.0.0.1').pathname);
  } catch (error) {
    notFound(response);
    return null;
  }
}

// The origin of the server's own pages (the preview page).
function ownOrigin() {
  return `http://127.0.0.1:${server.address().port}`;
}

// A page of another site that reaches this port under its own name (DNS rebinding) is refused.
function isOwnHost(host) {
  const port = server.address().port;
  return host === `127.0.0.1:${port}` || host === `localhost:${port}`;
}

const PROTOTYPE_SCRIPT = '/code/prototype.js';

// The project's files; the preview page runs the prototype's script, which a new project lacks.
function sendProjectFile(request, response, pathname) {
  const file = resolveInside(project, pathname);
  if (!file) return notFound(response);
  if (pathname === PROTOTYPE_SCRIPT && !fs.existsSync(file)) {
    response.writeHead(200, { 'Content-Type': TYPES['.js'], 'Cache-Control': 'no-cache' });
    return response.end(request.method === 'HEAD' ? undefined : '');
  }
  sendFile(response, project, file, request);
}

// Every request on the main port passes here before anything answers it, Socket.IO's client
// file and Engine.IO's requests among them: false once it has been answered as refused.
function admitRequest(request, response) {
  if (!isOwnHost(request.headers.host)) {
    response.writeHead(421, { Connection: 'close' });
    response.end();
    return false;
  }
  // A preflight can't carry the key, and its answer grants nothing by itself.
  if (request.method === 'OPTIONS') {
    answerPreflight(request, response);
    return false;
  }
  const kind = request.method === 'POST' ? 'previewData' : 'read';
  return !refuseKeyless(request, response, kind);
}

// A client may send requests without reading the answers (pipelining): each waiting answer holds
// memory, and a connection that keeps sending would hold the whole process. While a connection has
// an answer waiting nothing more is read from it, and one that still gets further ahead is closed.
const WAITING_ANSWERS_LIMIT = 8;
const UNREAD_ANSWER_LIMIT = 4 * 1024 * 1024;
const waitingAnswers = Symbol('waitingAnswers');
const pausedForAnswers = Symbol('pausedForAnswers');

function takeInTurn(request, response) {
  const socket = request.socket;
  const waiting = (socket[waitingAnswers] || 0) + 1;
  socket[waitingAnswers] = waiting;
  if (waiting > WAITING_ANSWERS_LIMIT || socket.writableLength > UNREAD_ANSWER_LIMIT) {
    socket.destroy();
    return false;
  }
  // This request's body has been read by now: the parser starts a request only after the last.
  if (waiting > 1 && !socket[pausedForAnswers]) {
    socket[pausedForAnswers] = true;
    socket.pause();
  }
  let done = false;
  const answered = () => {
    if (done) return;
    done = true;
    socket[waitingAnswers] -= 1;
    if (socket[waitingAnswers] > 1 || !socket[pausedForAnswers]) return;
    socket[pausedForAnswers] = false;
    if (!socket.destroyed) socket.resume();
  };
  response.once('finish', answered);
  response.once('close', answered);
  return true;
}

// Puts the turn, then `admit`, before every request handler `httpServer` has (Socket.IO's, ours).
function admitFirst(httpServer, admit) {
  const handlers = httpServer.listeners('request');
  httpServer.removeAllListeners('request');
  httpServer.on('request', (request, response) => {
    if (!takeInTurn(request, response)) return;
    if (!admit(request, response)) return;
    for (const handle of handlers) handle.call(httpServer, request, response);
  });
}

function handleRequest(request, response) {
  if (request.method === 'POST' && request.url === '/_app/preview-data') return receivePreviewData(request, response);
  const pathname = readablePath(request, response);
  if (pathname === null) return;
  const appPrefix = '/_app/resources/';
  if (pathname.startsWith(appPrefix)) {
    const relative = pathname.slice(appPrefix.length);
    const file = resolveInside(staticRoot, relative);
    if (!file) return notFound(response);
    if (relative === 'Ostrel/preview.html' && !fs.existsSync(file)) {
      response.writeHead(200, { 'Content-Type': TYPES['.html'] });
      return response.end(PREVIEW_PAGE);
    }
    return sendFile(response, staticRoot, file, request);
  }
  sendProjectFile(request, response, pathname);
}

// Socket.IO takes commands from the native client, which sends no Origin, and from the
// server's own pages, each with the key; a page of any other origin is refused at the handshake.
function allowSocket(request, callback) {
  const origin = request.headers.origin;
  const shown = origin === undefined ? null : origin;
  if (!isOwnHost(request.headers.host) || (origin !== undefined && origin !== ownOrigin())) {
    trace({ event: 'refusedOrigin', request: 'socket', origin: shown });
    return callback(null, false);
  }
  if (!hasPageKey(request)) {
    trace({ event: 'refusedKey', request: 'socket', origin: shown });
    return callback(null, false);
  }
  callback(null, true);
}

const server = http.createServer(handleRequest);
const io = new Server(server, { serveClient: true, perMessageDeflate: { threshold: 1024 }, allowRequest: allowSocket });
admitFirst(server, admitRequest);

// The shared prototype for other devices: the preview page at "/" with the files it loads beside
// it, the project's files below it, and a Socket.IO that only pushes the preview data and reloads.
let live = null;
const LIVE_PAGE_FILES = ['/preview.js', '/pictures.js'];
// Open to the network: every device a few connections (a browser opens up to six per host, and
// one for Socket.IO), so that one can't hold the others out, and no connection idle for long. A
// Socket.IO link outlives every idle limit: links have a budget of their own, apart from HTTP's.
// Near the end of either budget only a peer that holds little gets more, so a new device gets in.
const LIVE_CONNECTIONS = { total: 128, perPeer: 16, reserve: 32, share: 4 };
const LIVE_SOCKETS = { total: 48, perPeer: 4, reserve: 16, share: 1 };
const LIVE_HEADERS_TIMEOUT = 10000;
const LIVE_IDLE_TIMEOUT = 30000;

// The machine's address on its network, so that a phone there can open the shared address.
function networkAddress() {
  for (const entries of Object.values(os.networkInterfaces())) {
    for (const entry of entries || []) {
      if (entry.family === 'IPv4' && !entry.internal) return entry.address;
    }
  }
  return '127.0.0.1';
}

// The names a device may reach the shared port under: the machine's addresses, among them the
// one the QR code gives. A page that rebinds a name of its own to them (DNS rebinding) is refused.
function isLiveHost(host, current) {
  if (typeof host !== 'string' || current.origin === null) return false;
  const port = current.httpServer.address().port;
  if (host === `${current.address}:${port}`) return true;
  for (const entries of Object.values(os.networkInterfaces())) {
    for (const entry of entries || []) {
      const name = entry.family === 'IPv6' ? `[${entry.address}]` : entry.address;
      if (host === `${name}:${port}`) return true;
    }
  }
  return false;
}

function admitLiveRequest(current, request, response) {
  if (isLiveHost(request.headers.host, current)) return true;
  trace({ event: 'refusedHost', request: 'live', host: request.headers.host === undefined ? null : request.headers.host });
  response.writeHead(421, { Connection: 'close' });
  response.end();
  return false;
}

function handleLiveRequest(request, response) {
  const pathname = readablePath(request, response);
  if (pathname === null) return;
  if (pathname === '/' || LIVE_PAGE_FILES.includes(pathname)) {
    const file = path.join(staticRoot, 'Ostrel', pathname === '/' ? 'preview.html' : pathname.slice(1));
    if (pathname === '/' && !fs.existsSync(file)) {
      response.writeHead(200, { 'Content-Type': TYPES['.html'], 'Cache-Control': 'no-cache' });
      return response.end(LIVE_PAGE);
    }
    return sendFile(response, staticRoot, file, request);
  }
  sendProjectFile(request, response, pathname);
}

// The host of an http origin, or null.
function httpHost(origin) {
  try {
    const url = new URL(origin);
    return url.protocol === 'http:' ? url.host : null;
  } catch (error) {
    return null;
  }
}

// What peers hold of a budget, by address: admit() takes one unit or answers false, release()
// gives it back, allows() tells whether admit() would take one.
function peerBudget(limits) {
  const held = new Map();
  let total = 0;
  return {
    allows(peer) {
      const count = held.get(peer) || 0;
      if (count >= limits.perPeer || total >= limits.total) return false;
      return total < limits.total - limits.reserve || count < limits.share;
    },
    admit(peer) {
      if (!this.allows(peer)) return false;
      held.set(peer, (held.get(peer) || 0) + 1);
      total += 1;
      return true;
    },
    release(peer) {
      const left = held.get(peer) - 1;
      if (left > 0) held.set(peer, left);
      else held.delete(peer);
      total -= 1;
    },
  };
}

// Each peer's connections counted as they come from `emitter` and go; one over the budget is
// handed to `refuse`.
function countPeers(emitter, limits, refuse) {
  const budget = peerBudget(limits);
  emitter.on('connection', (socket) => {
    const peer = socket.remoteAddress || '';
    if (!budget.admit(peer)) return refuse(socket);
    socket.once('close', () => budget.release(peer));
  });
  return budget;
}

// Connections over the budget are closed at once.
function limitConnections(httpServer, limits) {
  countPeers(httpServer, limits, (socket) => socket.destroy());
}

// Socket.IO links over the budget are refused at the handshake, or closed once open should
// handshakes have come together.
function limitSockets(engine, limits) {
  const budget = countPeers(engine, limits, (socket) => socket.close());
  return (request) => budget.allows(request.socket.remoteAddress || '');
}

// Calls `done` with the shared address, or with null when it can't listen there.
function startLiveServer(done) {
  stopLiveServer();
  const address = networkAddress();
  const current = { httpServer: null, io: null, origin: null, address };
  // A connection that sends no complete request in time is closed, checked every second.
  const httpServer = http.createServer(
    {
      headersTimeout: LIVE_HEADERS_TIMEOUT,
      requestTimeout: 30000,
      keepAliveTimeout: 5000,
      connectionsCheckingInterval: 1000,
    },
    handleLiveRequest,
  );
  current.httpServer = httpServer;
  httpServer.maxConnections = LIVE_CONNECTIONS.total;
  httpServer.setTimeout(LIVE_IDLE_TIMEOUT);
  limitConnections(httpServer, LIVE_CONNECTIONS);
  let socketRoom = () => false;
  current.io = new Server(httpServer, {
    serveClient: true,
    maxHttpBufferSize: 4096,
    allowRequest: (request, callback) => {
      const origin = request.headers.origin;
      const fromPage = origin === undefined || isLiveHost(httpHost(origin), current);
      callback(null, isLiveHost(request.headers.host, current) && fromPage && socketRoom(request));
    },
  });
  socketRoom = limitSockets(current.io.engine, LIVE_SOCKETS);
  admitFirst(httpServer, (request, response) => admitLiveRequest(current, request, response));
  current.io.on('connection', (socket) => {
    if (previewData !== null) socket.emit('updatePreview', previewData);
  });
  live = current;
  // A failure to listen ends the start as an error; later errors leave the sharing as it is.
  httpServer.on('error', () => {
    if (current.origin !== null) return;
    if (live === current) stopLiveServer();
    done(null);
  });
  httpServer.listen(0, address, () => {
    current.origin = `http://${address}:${httpServer.address().port}`;
    done(`${current.origin}/`);
  });
}

function stopLiveServer() {
  if (!live) return;
  live.io.close();
  live.httpServer.closeAllConnections();
  live = null;
}

// Pushes for every page that shows the prototype: the preview window's and the shared one.
function broadcast(event, ...args) {
  io.to('preview').emit(event, ...args);
  if (live) live.io.emit(event, ...args);
}

function pushState() {
  io.to('preview').emit('state', state);
}

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

let taskCounter = 0;

// A package name as the application checks it: lower-case, optionally scoped, and no part
// starting with "-", ".", or "_", so that nothing reads as an option of the package manager.
function isPackageName(name) {
  if (typeof name !== 'string' || name.length === 0 || name.length > 214) return false;
  const part = /^[a-z0-9~][a-z0-9~._-]*$/;
  if (!name.startsWith('@')) return part.test(name);
  const slash = name.indexOf('/');
  return slash > 0 && part.test(name.slice(1, slash)) && part.test(name.slice(slash + 1));
}

// What the package manager is given: the name comes after "--", where no option is read.
function installArguments(name, isDevDependency) {
  return ['install', isDevDependency ? '--save-dev' : '--save', '--', name];
}

function runTask(task, finish) {
  const id = `task-${++taskCounter}`;
  state.tasks[id] = task;
  pushState();
  setTimeout(() => {
    delete state.tasks[id];
    finish();
    pushState();
  }, 100);
}

const commands = {
  joinRoom(socket, payload) {
    if (!isObject(payload) || typeof payload.room !== 'string') return;
    socket.join(payload.room);
    if (!switches['no-state-push']) socket.emit('state', state);
    if (previewData !== null) socket.emit('updatePreview', previewData);
  },
  setIsDocumentDirty(socket, payload) {
    if (!isObject(payload) || typeof payload.dirty !== 'boolean') return;
    state.documentDirty = payload.dirty;
    pushState();
  },
  addPackage(socket, payload) {
    if (!isObject(payload) || !isPackageName(payload.packageName)) {
      trace({ event: 'refused', command: 'addPackage' });
      return;
    }
    const name = payload.packageName;
    trace({ event: 'install', argv: installArguments(name, payload.isDevDependency === true) });
    runTask({ name: 'addPackage', context: { packageName: name } }, () => {
      if (!state.packages.includes(name)) state.packages.push(name);
      state.packages.sort();
    });
  },
  updatePackageInfo() {
    state.outdated =
      state.libraryVersion === LIBRARY_LATEST
        ? []
        : [{ name: LIBRARY, current: state.libraryVersion, wanted: LIBRARY_LATEST, latest: LIBRARY_LATEST, type: 'dependencies' }];
    pushState();
  },
  upgradeKorvelLibrary() {
    runTask({ name: 'install', context: { packageName: LIBRARY, packageVersion: LIBRARY_LATEST } }, () => {
      state.libraryVersion = LIBRARY_LATEST;
      state.outdated = state.outdated.filter((entry) => entry.name !== LIBRARY);
    });
  },
  startLiveSharing() {
    if (state.liveSharing.status === 'active' || state.liveSharing.status === 'starting') return pushState();
    state.liveSharing = { status: 'starting' };
    pushState();
    const mode = switches['live-sharing'];
    if (mode === 'hang') return;
    setTimeout(() => {
      if (state.liveSharing.status !== 'starting') return;
      if (mode === 'fail') {
        state.liveSharing = { status: 'error' };
        return pushState();
      }
      startLiveServer((url) => {
        if (state.liveSharing.status !== 'starting') return stopLiveServer();
        if (url === null) state.liveSharing = { status: 'error' };
        else state.liveSharing = mode === 'no-url' ? { status: 'active' } : { status: 'active', url };
        pushState();
      });
    }, 50);
  },
  stopLiveSharing() {
    if (state.liveSharing.status === 'available') return pushState();
    state.liveSharing = { status: 'stopping' };
    pushState();
    setTimeout(() => {
      stopLiveServer();
      state.liveSharing = { status: 'available' };
      pushState();
    }, 50);
  },
  reloadClients() {
    broadcast('reload');
  },
  canvasData() {},
  upgradeDependency() {},
};

// Every session Engine.IO opens, whether or not Socket.IO is then asked to connect on it.
if (switches['trace-sessions']) {
  io.engine.on('connection', (socket) => trace({ event: 'session', site: socket.request.headers['sec-fetch-site'] || null }));
}

io.on('connection', (socket) => {
  for (const [event, handle] of Object.entries(commands)) {
    socket.on(event, (payload) => {
      trace({ event, payload: payload === undefined ? null : payload });
      handle(socket, payload);
    });
  }
});

function printState() {
  const line = JSON.stringify(state) + '\n';
  if (!switches['split-state-line']) return process.stdout.write(line);
  const middle = Math.floor(line.length / 2);
  process.stdout.write(line.slice(0, middle));
  setTimeout(() => process.stdout.write(line.slice(middle)), 100);
}

function listen() {
  server.listen(0, '127.0.0.1', () => {
    state.url = `http://127.0.0.1:${server.address().port}/`;
    trace({
      event: 'start',
      pid: process.pid,
      project,
      api: options.api,
      author: author === undefined ? null : author,
      authorArgument: options.author === undefined ? null : options.author,
      tokenArgument: options.token === undefined ? null : options.token,
      tokenLength: token.length,
      pageKeyLength: pageKey.length,
    });
    process.stdout.write(`Serving ${project}\n`);
    printState();
    if ('exit-later' in switches) {
      const [code, delay] = String(switches['exit-later']).split(':');
      setTimeout(() => process.exit(Number(code) || 0), Number(delay || 300));
    }
  });
}

for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => process.exit(0));

if (switches['slow-start']) setTimeout(listen, Number(switches['slow-start']) || 0);
else listen();
