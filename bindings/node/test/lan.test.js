'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const net = require('node:net');
const linkrate = require('@tarnwell/linkrate');
const { freePort, sleep, startServer } = require('./support');

test('version and the idle record', () => {
  // The package carries the version of the library it wraps.
  assert.equal(linkrate.version(), require('@tarnwell/linkrate/package.json').version);
  const record = linkrate.result();
  assert.deepEqual(Object.keys(record), [
    'pingMs', 'downloadMbps', 'uploadMbps', 'durationMs', 'jitterMs', 'server', 'phase', 'failed', 'stopped',
    'notMeasured',
  ]);
});

test('LAN tests against a server in the same process', async (t) => {
  const server = await startServer();
  t.after(() => server.stop());

  await t.test('a full run measures every test', async () => {
    const record = await linkrate.lan('127.0.0.1', server.port, 300);
    assert.equal(record.phase, 'complete');
    assert.deepEqual(record.failed, []);
    assert.ok(record.pingMs > 0 && record.downloadMbps > 0 && record.uploadMbps > 0);
    assert.equal(record.durationMs, 300);
    assert.equal(record.server, `127.0.0.1:${server.port}`);
  });

  await t.test('single tests return their figure; the event loop stays free', async () => {
    assert.ok((await linkrate.ping('localhost', server.port, 2)) > 0);
    let turns = 0;
    const timer = setInterval(() => {
      turns += 1;
    }, 10);
    const rate = await linkrate.download('127.0.0.1', server.port, 500);
    clearInterval(timer);
    assert.ok(rate > 0);
    assert.equal(linkrate.result().downloadMbps, rate);
    assert.ok(turns >= 20, `the loop ran ${turns} times in 500 ms`);
    assert.ok((await linkrate.upload('127.0.0.1', server.port, 200)) > 0);
  });

  await t.test('one server per process', async () => {
    const other = new linkrate.Server(await freePort());
    await assert.rejects(other.start(), { name: 'LinkrateError', message: /already running/ });
    assert.equal(other.running, false);
    assert.ok(server.running);
  });

  await t.test('cancel keeps what was measured', async () => {
    setTimeout(linkrate.cancel, 400);
    const started = Date.now();
    const error = await linkrate.download('127.0.0.1', server.port, 20000).catch((e) => e);
    assert.ok(error instanceof linkrate.Cancelled, String(error));
    assert.ok(Date.now() - started < 5000);
    assert.equal(error.message, 'Cancelled by user');
    // Recorded and returned: the rate until the cancel (0 on a machine so
    // busy that the transfer had not begun).
    assert.ok(error.value >= 0);
    assert.equal(error.result.phase, 'download');
    assert.equal(error.result.downloadMbps, error.value);

    // A full run stopped early: the upload never ran.
    setTimeout(linkrate.cancel, 400);
    const stopped = await linkrate.lan('127.0.0.1', server.port, 20000).catch((e) => e);
    assert.ok(stopped instanceof linkrate.Cancelled, String(stopped));
    assert.ok(['ping', 'download'].includes(stopped.result.phase));
    assert.ok(stopped.result.failed.includes('upload'));
  });

  await t.test('calls take turns', async () => {
    const spans = await Promise.all(
      [0, 1, 2].map(async () => {
        await linkrate.download('127.0.0.1', server.port, 300);
        const end = Date.now();
        return [end - 300, end];
      }),
    );
    spans.sort((a, b) => a[0] - b[0]);
    for (let i = 1; i < spans.length; i += 1) assert.ok(spans[i][0] >= spans[i - 1][1] - 50);
  });
});

test('failures carry the library message', async (t) => {
  const closed = await freePort();
  const cases = [
    ['ping', () => linkrate.ping('127.0.0.1', closed, 2), 'No pings succeeded'],
    ['download', () => linkrate.download('127.0.0.1', closed, 100), 'Connect to host failed'],
    ['lan', () => linkrate.lan('127.0.0.1', closed, 100), 'All tests failed', ['ping', 'download', 'upload']],
    ['internet', () => linkrate.internet(''), 'Invalid or empty base_url'],
  ];
  for (const [name, call, message, failed = []] of cases) {
    await t.test(name, async () => {
      const error = await call().catch((e) => e);
      assert.ok(error instanceof linkrate.LinkrateError && !(error instanceof linkrate.Cancelled), String(error));
      assert.equal(error.libraryMessage, message);
      // A full run names the tests that measured nothing after the message.
      assert.deepEqual(error.failed, failed);
      assert.equal(error.message, failed.length ? `${message} (ping, download and upload measured nothing)` : message);
    });
  }
});

test('bad arguments never reach the library', async () => {
  await assert.rejects(linkrate.ping('127.0.0.1', 0), RangeError);
  await assert.rejects(linkrate.download('127.0.0.1', 65536), RangeError);
  await assert.rejects(linkrate.lan('127.0.0.1', 7878, 2 ** 31), RangeError);
  await assert.rejects(linkrate.ping('127.0.0.1\0x', 7878), RangeError);
  await assert.rejects(linkrate.ping(42, 7878), TypeError);
  assert.throws(() => new linkrate.Server(1.5), TypeError);
});

test('a run that measured nothing names its tests', async () => {
  // A peer that accepts and hangs up at once: no ping reply, no payload.
  const peer = net.createServer((socket) => socket.destroy());
  await new Promise((resolve) => peer.listen(0, '127.0.0.1', resolve));
  try {
    const record = await linkrate.lan('127.0.0.1', peer.address().port, 200);
    assert.equal(record.phase, 'complete');
    // The upload's first block is handed to the connection before the
    // hang-up shows, so whether it counts depends on timing.
    assert.deepEqual(record.failed.slice(0, 2), ['ping', 'download']);
    const figures = { ping: record.pingMs, download: record.downloadMbps, upload: record.uploadMbps };
    assert.deepEqual(Object.keys(figures).filter((name) => figures[name] === 0), record.failed);
  } finally {
    await new Promise((resolve) => peer.close(resolve));
    await sleep(0);
  }
});
