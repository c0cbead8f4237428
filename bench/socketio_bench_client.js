// The same round trips through the JavaScript client (npm socket.io-client) over WebSocket.
'use strict';
const { io } = require('socket.io-client');

const [url, countText, sizeText] = process.argv.slice(2);
const count = Number(countText);
const text = 'x'.repeat(Number(sizeText));
const socket = io(url, { transports: ['websocket'], reconnection: false });
let done = 0;
let start;
socket.on('echo', () => {
  if (++done < count) return socket.emit('echo', { i: done, text });
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  process.stdout.write(JSON.stringify({ roundTrips: count, seconds }) + '\n');
  socket.close();
});
socket.on('connect', () => {
  start = process.hrtime.bigint();
  socket.emit('echo', { i: 0, text });
});
socket.on('connect_error', (error) => {
  process.stderr.write(`connect_error: ${error.message}\n`);
  process.exit(1);
});
