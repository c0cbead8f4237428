// Sends one request to a running project server as a page of some origin would, and prints
// what came back; it ends by itself.
//
//   request.js http BASE METHOD PATH [HEADER=VALUE ...] [--body TEXT] [--show HEADER]
//                                                         prints the status code [and HEADER, or "-"]
//   request.js socket BASE ORIGIN|- PACKAGE [start] [HEADER=VALUE ...]  prints "connected" or "refused"
//   request.js listen BASE ORIGIN|- PACKAGE [HEADER=VALUE ...]          prints the preview data pushed, or "refused"
//   request.js crowd BASE idle|socket N [P]  each of P peers (127.0.0.2, 127.0.0.3, …; one by
//                                            default) holds N connections that send nothing, or N
//                                            Socket.IO links that answer pings and come back when
//                                            refused; then another peer asks for BASE; prints its
//                                            status and whether its Socket.IO link connected
//   request.js pipeline BASE MAIN PID COUNT KEY PATH  three connections each send COUNT GETs of
//                                            PATH to BASE without reading an answer; once the
//                                            server takes no more of them and holds no more memory,
//                                            a request to MAIN with the key; prints its status and
//                                            the most memory the server process PID held, in MB
//                                            ("over" past a gigabyte)
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
  const [kind, count, peers = '1'] = rest;
  const url = new URL(base);
  const total = Number(count) * Number(peers);
  const other = `127.0.0.${2 + Number(peers)}`;
  let settled = 0;
  const held = [];
  const settle = () => {
    if (++settled === total) otherPeer();
  };
  for (let i = 0; i < total; i++) {
    const localAddress = `127.0.0.${2 + Math.floor(i / Number(count))}`;
    if (kind === 'idle') {
      const socket = net.connect({ host: url.hostname, port: url.port, localAddress });
      socket.once('connect', settle);
      socket.once('error', settle);
      socket.on('error', () => {});
      held.push(socket);
    } else {
      const socket = io(base, { transports: ['websocket'], forceNew: true, localAddress });
      let first = true;
      const once = () => {
        if (first) settle();
        first = false;
      };
      socket.on('connect', once);
      socket.on('connect_error', once);
      socket.on('disconnect', once);
      held.push(socket);
    }
  }
  // The held connections stay open until this ends.
  function otherPeer() {
    const request = http.get({ host: url.hostname, port: url.port, path: '/', localAddress: other }, (response) => {
      response.resume();
      response.on('end', () => {
        const socket = io(base, { transports: ['websocket'], reconnection: false, forceNew: true, localAddress: other });
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
} else if (mode === 'pipeline') {
  const [main, pid, count, key, requestPath] = rest;
  const url = new URL(base);
  const one = `GET ${requestPath} HTTP/1.1\r\nHost: ${url.host}\r\nX-Korvel-Key: ${key}\r\n\r\n`;
  const batch = one.repeat(1000);
  let peak = 0;
  let now = 0;
  const sample = () => {
    try {
      const status = require('fs').readFileSync(`/proc/${pid}/status`, 'utf8');
      now = Number(/VmRSS:\s+(\d+)/.exec(status)[1]);
      peak = Math.max(peak, now);
    } catch (error) {}
    // Past a gigabyte the server has lost: stop before the machine does.
    if (peak > 1024 * 1024) finish('over');
  };
  const sockets = [];
  for (let i = 0; i < 3; i++) {
    const socket = net.connect({ host: url.hostname, port: url.port });
    socket.pause();  // never reads an answer
    socket.on('error', () => {});
    socket.once('connect', () => {
      for (let n = 0; n < Number(count); n += 1000) socket.write(n + 1000 <= Number(count) ? batch : one.repeat(Number(count) - n));
    });
    sockets.push(socket);
  }
  const sampler = setInterval(sample, 50);
  // The server has taken what it will of the three once none of them moves on.
  let last = -1;
  let held = -1;
  const settled = setInterval(() => {
    const pending = sockets.reduce((sum, s) => sum + (s.destroyed ? 0 : s.writableLength), 0);
    const growing = now > held + 1024;
    held = now;
    if (pending !== last || growing) return (last = pending);
    clearInterval(settled);
    const mainURL = new URL(main);
    const request = http.get(
      { host: mainURL.hostname, port: mainURL.port, path: '/design/document.json', headers: { 'X-Korvel-Key': key } },
      (response) => {
        response.resume();
        response.on('end', () => finish(String(response.statusCode)));
      },
    );
    request.on('error', (error) => finish(`closed(${error.code})`));
  }, 500);
  let finished = false;
  function finish(outcome) {
    if (finished) return;
    finished = true;
    sample();
    clearInterval(sampler);
    console.log(`${outcome} ${Math.round(peak / 1024)}`);
    for (const socket of sockets) socket.destroy();
    process.exit(0);
  }
} else {
  console.log('usage');
  process.exit(2);
}
