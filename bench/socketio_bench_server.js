// The echo server both clients talk to: prints {"port": N} once it listens on 127.0.0.1.
'use strict';
const http = require('http');
const { Server } = require('socket.io');

const server = http.createServer();
const io = new Server(server, { serveClient: false, perMessageDeflate: false });
io.on('connection', (socket) => socket.on('echo', (payload) => socket.emit('echo', payload)));
server.listen(0, '127.0.0.1', () => process.stdout.write(JSON.stringify({ port: server.address().port }) + '\n'));
for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => process.exit(0));
