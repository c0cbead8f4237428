// Test peer on 127.0.0.1: serves the stand-in service's pages (tools/cloud-standin/pages) and
// records every request to /track and /track/* by printing {"recorded": {path, body}} on its
// standard output. Prints {"port": N} once it listens.
'use strict';
const http = require('http');
const fs = require('fs');
const path = require('path');

const pagesDir = path.join(__dirname, '..', '..', '..', 'tools', 'cloud-standin', 'pages');

const server = http.createServer((req, res) => {
  const url = new URL(req.url, 'http://127.0.0.1');
  const chunks = [];
  req.on('data', (c) => chunks.push(c));
  req.on('end', () => {
    if (url.pathname === '/track' || url.pathname.startsWith('/track/')) {
      let body = Buffer.concat(chunks).toString('utf8');
      try {
        body = JSON.parse(body);
      } catch (e) { /* kept as text */
      }
      console.log(JSON.stringify({recorded: {path: url.pathname, body}}));
      res.writeHead(200, {'Content-Type': 'application/json'});
      return res.end('{"ok":true}');
    }
    const file = path.normalize(path.join(pagesDir, decodeURIComponent(url.pathname)));
    if (!file.startsWith(pagesDir + path.sep)) {
      res.writeHead(404);
      return res.end();
    }
    fs.readFile(file, (err, bytes) => {
      if (err) {
        res.writeHead(404);
        return res.end();
      }
      res.writeHead(200, {'Content-Type': 'text/html; charset=utf-8', 'Cache-Control': 'no-store'});
      res.end(bytes);
    });
  });
});
server.listen(Number(process.argv[2] || 0), '127.0.0.1', () => {
  console.log(JSON.stringify({port: server.address().port}));
});
for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => process.exit(0));
