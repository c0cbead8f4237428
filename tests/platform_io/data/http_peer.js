// A plain HTTP server on 127.0.0.1 for the HTTP session's tests:
//   /echo          answers the request's method, headers and body as JSON
//   /status/<n>    answers status n
//   /slow?ms=<n>   answers after n milliseconds
//   /bytes?n=<n>   answers n bytes
const http = require('http');
const server = http.createServer((req, res) => {
  const url = new URL(req.url, 'http://127.0.0.1');
  const chunks = [];
  req.on('data', (c) => chunks.push(c));
  req.on('end', () => {
    const body = Buffer.concat(chunks);
    if (url.pathname === '/echo') {
      res.setHeader('Content-Type', 'application/json');
      res.setHeader('X-Peer', 'korvel-test');
      res.end(JSON.stringify({ method: req.method, headers: req.headers, body: body.toString('utf8') }));
    } else if (url.pathname.startsWith('/status/')) {
      res.statusCode = Number(url.pathname.slice(8));
      res.end('status');
    } else if (url.pathname === '/slow') {
      setTimeout(() => res.end('late'), Number(url.searchParams.get('ms')));
    } else if (url.pathname === '/bytes') {
      res.end(Buffer.alloc(Number(url.searchParams.get('n')), 0x61));
    } else {
      res.statusCode = 404;
      res.end();
    }
  });
});
server.listen(Number(process.argv[2] || 0), '127.0.0.1', () => {
  console.log(JSON.stringify({ port: server.address().port }));
});
