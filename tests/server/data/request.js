// Sends one request to a running project server as a page of some origin would, and prints
// what came back; it ends by itself.
//
//   request.js http BASE METHOD PATH [HEADER=VALUE ...] [--body TEXT] [--show HEADER]
//                                                         prints the status code [and HEADER, or "-"]
//   request.js socket BASE ORIGIN|- PACKAGE [start]                     prints "connected" or "refused"
//   request.js listen BASE ORIGIN|- PACKAGE                             prints the preview data pushed, or "refused"
//
// A connected socket sends "startLiveSharing" when asked, then "addPackage" with PACKAGE, and
// waits until the server has taken them. A listening one sends the same and waits for the first
// "updatePreview".
'use strict';

const http = require('http');
const path = require('path');

const [mode, base, ...rest] = process.argv.slice(2);
setTimeout(() => {
  console.log('timeout');
  process.exit(3);
}, 20000).unref();

if (mode === 'http') {
  const [method, requestPath, ...more] = rest;
  const headers = {};
  let body = null;
  let show = null;
  for (let i = 0; i < more.length; i++) {
    if (more[i] === '--body') body = more[++i];
    else if (more[i] === '--show') show = more[++i].toLowerCase();
    else {
      const equals = more[i].indexOf('=');
      headers[more[i].slice(0, equals)] = more[i].slice(equals + 1);
    }
  }
  const url = new URL(base);
  const request = http.request({ host: url.hostname, port: url.port, method, path: requestPath, headers }, (response) => {
    response.resume();
    response.on('end', () => {
      if (show === null) return console.log(response.statusCode);
      const value = response.headers[show];
      console.log(`${response.statusCode} ${value === undefined ? '-' : value}`);
    });
  });
  request.on('error', () => console.log('closed'));
  request.end(body === null ? undefined : body);
} else if (mode === 'socket' || mode === 'listen') {
  const [origin, packageName, start] = rest;
  const { io } = require(path.join(process.env.KORVEL_RESOURCES, 'Server', 'node_modules', 'socket.io-client'));
  const socket = io(base, {
    transports: ['websocket'],
    reconnection: false,
    extraHeaders: origin === '-' ? {} : { Origin: origin },
  });
  socket.once('updatePreview', (data) => {
    if (mode !== 'listen') return;
    console.log(data);
    socket.disconnect();
  });
  socket.on('connect', () => {
    if (start === 'start' || mode === 'listen') socket.emit('startLiveSharing', null);
    socket.emit('addPackage', { packageName, isDevDependency: false });
    if (mode === 'listen') return;
    // The server answers "joinRoom" with its state once it has handled what came before.
    socket.emit('joinRoom', { room: 'request' });
    socket.once('state', () => {
      console.log('connected');
      socket.disconnect();
    });
  });
  socket.on('connect_error', () => {
    console.log('refused');
    process.exit(0);
  });
} else {
  console.log('usage');
  process.exit(2);
}
