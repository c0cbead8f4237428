// Sends one request to a running project server as a page of some origin would, and prints
// what came back; it ends by itself.
//
//   request.js http BASE METHOD PATH [HEADER=VALUE ...] [--body TEXT] [--show HEADER]
//                                                         prints the status code [and HEADER, or "-"]
//   request.js socket BASE ORIGIN|- PACKAGE [start] [HEADER=VALUE ...]  prints "connected" or "refused"
//   request.js listen BASE ORIGIN|- PACKAGE [HEADER=VALUE ...]          prints the preview data pushed, or "refused"
//   request.js crowd BASE idle|socket N      one peer (127.0.0.2) holds N connections that send
//                                            nothing, or N Socket.IO links; then another peer
//                                            (127.0.0.3) asks for BASE; prints its status and
//                                            whether its Socket.IO link connected
//
// A connected socket sends "startLiveSharing" when asked, then "addPackage" with PACKAGE, and
// waits until the server has taken them. A listening one sends the same and waits for the first
// "updatePreview".
'use strict';

const http = require('http');
const net = require('net');
const path = require('path');

const [mode, base, ...rest] = process.argv.slice(2);
// Loaded only by the modes that open a socket.
const io = (...args) =>
  require(path.join(process.env.KORVEL_RESOURCES, 'Server', 'node_modules', 'socket.io-client')).io(...args);
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
  const [origin, packageName, ...more] = rest;
  const start = more[0] === 'start' ? more.shift() : undefined;
  const headers = origin === '-' ? {} : { Origin: origin };
  for (const header of more) headers[header.slice(0, header.indexOf('='))] = header.slice(header.indexOf('=') + 1);
  const socket = io(base, {
    transports: ['websocket'],
    reconnection: false,
    extraHeaders: headers,
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
} else if (mode === 'crowd') {
  const [kind, count] = rest;
  const url = new URL(base);
  let settled = 0;
  const held = [];
  const settle = () => {
    if (++settled === Number(count)) otherPeer();
  };
  for (let i = 0; i < Number(count); i++) {
    if (kind === 'idle') {
      const socket = net.connect({ host: url.hostname, port: url.port, localAddress: '127.0.0.2' });
      socket.once('connect', settle);
      socket.once('error', settle);
      socket.on('error', () => {});
      held.push(socket);
    } else {
      const socket = io(base, { transports: ['websocket'], reconnection: false, forceNew: true, localAddress: '127.0.0.2' });
      socket.once('connect', settle);
      socket.once('connect_error', settle);
      held.push(socket);
    }
  }
  // The held connections stay open until this ends.
  function otherPeer() {
    const request = http.get({ host: url.hostname, port: url.port, path: '/', localAddress: '127.0.0.3' }, (response) => {
      response.resume();
      response.on('end', () => {
        const socket = io(base, { transports: ['websocket'], reconnection: false, forceNew: true, localAddress: '127.0.0.3' });
        socket.once('connect', () => {
          console.log(`${response.statusCode} connected`);
          process.exit(0);
        });
        socket.once('connect_error', () => {
          console.log(`${response.statusCode} refused`);
          process.exit(0);
        });
      });
    });
    request.on('error', () => {
      console.log('closed');
      process.exit(0);
    });
  }
} else {
  console.log('usage');
  process.exit(2);
}
