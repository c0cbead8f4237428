// A bare listener on a port of 127.0.0.1, as any local process, of any account, may hold one:
// it prints "port N", then one JSON line {method, url, headers} for every request and WebSocket
// attempt it gets, and answers each.
//
//   listener.js
//
// "/page.html?target=PORT" is a page that asks 127.0.0.1:PORT in every way a page can without
// a person: a picture, fetches with credentials, a frame, a WebSocket. A path that holds
// "challenge" asks for credentials in the project server's realm. Given a folder, "/files/NAME"
// is the HTML page NAME in it. It ends by itself.
//
//   listener.js [FOLDER] [PORT]
//
// With a port it listens there (a port another server left), else on one the system picks.
'use strict';

const fs = require('fs');
const http = require('http');
const path = require('path');

const folder = process.argv[2];
const port = Number(process.argv[3] || 0);

const REALM = 'Korvel project server';

function report(request, kind) {
  console.log(JSON.stringify({ kind, method: request.method, url: request.url, headers: request.headers }));
}

function page(target) {
  const at = `http://127.0.0.1:${Number(target)}`;
  return `<!doctype html><html><head><meta charset="utf-8"><title>asking</title></head><body>
<img src="${at}/page-img.svg?from=page">
<iframe src="${at}/page-frame-challenge"></iframe>
<script>
try { new WebSocket('ws://127.0.0.1:${Number(target)}/page-ws'); } catch (e) {}
Promise.all([
  fetch('${at}/page-fetch?from=page', { credentials: 'include' }).catch(function () {}),
  fetch('${at}/page-challenge', { credentials: 'include' }).catch(function () {})
]).then(function () { document.title = 'asked'; });
</script></body></html>`;
}

const server = http.createServer((request, response) => {
  report(request, 'http');
  const url = new URL(request.url, 'http://127.0.0.1');
  const grant = { 'Access-Control-Allow-Origin': request.headers.origin || '*', 'Access-Control-Allow-Credentials': 'true' };
  if (url.pathname === '/page.html') {
    response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    return response.end(page(url.searchParams.get('target')));
  }
  if (folder && url.pathname.startsWith('/files/')) {
    const file = path.join(folder, path.basename(url.pathname));
    if (!fs.existsSync(file)) {
      response.writeHead(404);
      return response.end();
    }
    response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    return response.end(fs.readFileSync(file));
  }
  if (url.pathname.includes('challenge')) {
    response.writeHead(401, Object.assign({ 'WWW-Authenticate': `Basic realm="${REALM}"` }, grant));
    return response.end();
  }
  response.writeHead(200, Object.assign({ 'Content-Type': 'image/svg+xml' }, grant));
  response.end('<svg xmlns="http://www.w3.org/2000/svg" width="1" height="1"/>');
});
server.on('upgrade', (request, socket) => {
  report(request, 'upgrade');
  socket.destroy();
});
server.on('error', (error) => {
  console.error(String(error));
  process.exit(1);
});
server.listen(port, '127.0.0.1', () => console.log(`port ${server.address().port}`));
setTimeout(() => process.exit(0), 300000);
