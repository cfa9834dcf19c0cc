'use strict';
// Helpers of the binding's tests: free ports, a LAN server, nginx.
const net = require('node:net');
const path = require('node:path');
const { spawn } = require('node:child_process');
const linkrate = require('@tarnwell/linkrate');

const ROOT = path.resolve(__dirname, '..', '..', '..');

/** A loopback TCP port that the system reports free right now. */
function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.once('connect', () => {
      socket.destroy();
      resolve(true);
    });
    socket.once('error', () => resolve(false));
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/** The library's own server on a free port (another process may take one meanwhile). */
async function startServer() {
  for (let attempt = 0; attempt < 10; attempt += 1) {
    const server = new linkrate.Server(await freePort());
    try {
      return await server.start();
    } catch (error) {
      if (!(error instanceof linkrate.LinkrateError)) throw error;
    }
  }
  throw new Error('no free port for the LAN server');
}

/** nginx as a loopback speed-test server; resolves to { url, stop }. */
async function startNginx() {
  for (let attempt = 0; attempt < 5; attempt += 1) {
    const port = await freePort();
    const child = spawn('bash', [path.join(ROOT, 'tests', 'support', 'nginx-fixture.sh'), '--port', String(port)], {
      stdio: 'ignore',
    });
    let exited = false;
    child.once('exit', () => {
      exited = true;
    });
    const deadline = Date.now() + 15000;
    while (!exited && Date.now() < deadline && !(await accepts(port))) await sleep(20);
    if (!exited && (await accepts(port))) {
      return {
        url: `http://127.0.0.1:${port}`,
        stop: () =>
          new Promise((resolve) => {
            child.once('exit', resolve);
            child.kill('SIGTERM');
          }),
      };
    }
    child.kill('SIGKILL');
  }
  throw new Error('nginx did not start (is nginx installed? scripts/setup.sh)');
}

module.exports = { accepts, freePort, sleep, startNginx, startServer };
