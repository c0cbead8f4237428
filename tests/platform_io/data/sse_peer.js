// A server-sent-events peer on 127.0.0.1 for the event-stream client's tests. Every request is
// printed as {"path", "lastEventId", "accept"}.
//   /count          "retry: 50", then event <n> (n-th request) whose data is the Last-Event-Id
//                   received ("none" without), then ends
//   /parts?p=<json> writes each string of the array 30 ms apart, then stays open
//   /status/<n>     answers status n with a well-formed stream
//   /type?t=<type>  answers 200 of that content type with a well-formed stream
//   /silent         sends the headers, then nothing
//   /close          answers 204
const http = require('http');
let count = 0;
const server = http.createServer((req, res) => {
  const url = new URL(req.url, 'http://127.0.0.1');
  console.log(JSON.stringify({ path: url.pathname, lastEventId: req.headers['last-event-id'] || null,
                               accept: req.headers['accept'] || null }));
  const stream = (status, type) => {
    res.writeHead(status, { 'Content-Type': type, 'Cache-Control': 'no-cache' });
    res.flushHeaders();
  };
  if (url.pathname === '/count') {
    count += 1;
    stream(200, 'text/event-stream');
    res.end(`retry: 50\n\nid: ${count}\ndata: ${req.headers['last-event-id'] || 'none'}\n\n`);
  } else if (url.pathname === '/parts') {
    stream(200, 'text/event-stream; charset=utf-8');
    const parts = JSON.parse(url.searchParams.get('p'));
    let i = 0;
    const next = () => {
      if (i < parts.length && !res.destroyed) {
        res.write(parts[i++]);
        setTimeout(next, 30);
      }
    };
    next();
  } else if (url.pathname.startsWith('/status/')) {
    stream(Number(url.pathname.slice(8)), 'text/event-stream');
    res.end('data: x\n\n');
  } else if (url.pathname === '/type') {
    stream(200, url.searchParams.get('t'));
    res.end('data: x\n\n');
  } else if (url.pathname === '/silent') {
    stream(200, 'text/event-stream');
  } else if (url.pathname === '/close') {
    res.writeHead(204);
    res.end();
  } else {
    res.writeHead(404);
    res.end();
  }
});
server.listen(Number(process.argv[2] || 0), '127.0.0.1', () => {
  console.log(JSON.stringify({ port: server.address().port }));
});
