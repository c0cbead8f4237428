// A Socket.IO server for the client's tests: `node peer.js [PORT]` prints {"port": N} once it
// listens on 127.0.0.1. Settings come from the environment: PEER_PING_INTERVAL and
// PEER_PING_TIMEOUT (milliseconds), PEER_DEFLATE=0 to refuse compression.
'use strict';
const http = require('http');
const { Server } = require('socket.io');

const server = http.createServer();
const io = new Server(server, {
  serveClient: false,
  pingInterval: Number(process.env.PEER_PING_INTERVAL || 25000),
  pingTimeout: Number(process.env.PEER_PING_TIMEOUT || 20000),
  perMessageDeflate: process.env.PEER_DEFLATE === '0' ? false : { threshold: 0 },
  maxHttpBufferSize: 4e6,
});

const counts = { connections: 0, joins: 0, disconnects: 0 };

io.on('connection', (socket) => {
  counts.connections++;
  const extensions = socket.request.headers['sec-websocket-extensions'] || '';
  socket.on('joinRoom', (payload) => {
    counts.joins++;
    counts.lastJoin = payload;
    socket.emit('joined', { payload, ...counts });
  });
  socket.on('echo', (...args) => socket.emit('echo', ...args));
  socket.on('stats', () => socket.emit('stats', { ...counts, extensions }));
  // {event, args, others}: pushes `event` with exactly `args` to this socket, or with `others`
  // to every other one.
  socket.on('push', (request) => {
    const target = request.others ? socket.broadcast : socket;
    target.emit(request.event, ...request.args);
  });
  // Asks for an acknowledgement, which the client never gives.
  socket.on('askForAck', () => socket.emit('withAck', { asked: true }, () => {}));
  socket.on('disconnect', () => counts.disconnects++);
});

server.listen(Number(process.argv[2] || 0), '127.0.0.1', () => {
  process.stdout.write(JSON.stringify({ port: server.address().port }) + '\n');
});
for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => process.exit(0));
