'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const linkrate = require('@tarnwell/linkrate');
const { startNginx } = require('./support');

test('internet runs against nginx', async (t) => {
  const nginx = await startNginx();
  t.after(() => nginx.stop());

  await t.test('a cancel carries the rate so far of the phase it cut short', async () => {
    const error = await linkrate
      .internet(nginx.url, {
        onTick: (phase, value) => {
          if (phase === 'download' && value > 0) linkrate.cancel();
        },
      })
      .catch((e) => e);
    assert.ok(error instanceof linkrate.Cancelled, String(error));
    const record = error.result;
    assert.equal(record.stopped, 'download');
    assert.ok(record.downloadMbps > 0 && record.pingMs > 0, JSON.stringify(record));
    assert.deepEqual(record.notMeasured, ['upload']);
    assert.deepEqual(record.failed, []);
  });

  await t.test('ticks reach the event loop in order, and a busy loop holds up no test', async () => {
    const ticks = [];
    let blocked = false;
    const record = await linkrate.internet(`${nginx.url}/`, {
      onTick: (phase, value, percent) => {
        ticks.push([phase, value, percent]);
        if (phase === 'download' && !blocked) {
          // Half the download phase without an event loop.
          blocked = true;
          const until = Date.now() + 1500;
          while (Date.now() < until);
        }
      },
    });
    // The measuring thread went on reporting while the loop was away: no gap
    // of half the phase between two download ticks.
    const percents = ticks.filter(([phase]) => phase === 'download').map(([, , percent]) => percent);
    const widest = Math.max(...percents.slice(1).map((percent, i) => percent - percents[i]));
    assert.ok(widest < 25, `download ticks ${percents.join(' ')}`);
    assert.equal(record.phase, 'complete');
    assert.deepEqual(record.failed, []);
    assert.equal(record.server, nginx.url);
    assert.ok(record.pingMs > 0 && record.downloadMbps > 0 && record.uploadMbps > 0);
    const order = ['ping', 'download', 'upload', 'complete'];
    const phases = ticks.map(([phase]) => order.indexOf(phase));
    assert.ok(phases.every((index, i) => index >= 0 && (i === 0 || index >= phases[i - 1])));
    assert.deepEqual([...new Set(phases)], [0, 1, 2, 3]);
    assert.deepEqual(ticks.at(-1), ['complete', record.uploadMbps, 100]);
    assert.ok(ticks.every(([, , percent]) => percent >= 0 && percent <= 100));
  });

  await t.test("a callback's exception rejects the run once it has ended", async () => {
    const seen = [];
    await assert.rejects(
      linkrate.internet(nginx.url, {
        onTick: (phase) => {
          seen.push(phase);
          throw new Error("the host's own bug");
        },
      }),
      { message: "the host's own bug" },
    );
    assert.deepEqual(seen, ['ping']);
    assert.equal(linkrate.result().phase, 'complete');
  });
});
