'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const linkrate = require('@tarnwell/linkrate');
const { startNginx } = require('./support');

test('internet runs against nginx', async (t) => {
  const nginx = await startNginx();
  t.after(() => nginx.stop());

  await t.test('ticks reach the event loop in order', async () => {
    const ticks = [];
    const record = await linkrate.internet(`${nginx.url}/`, {
      onTick: (phase, value, percent) => ticks.push([phase, value, percent]),
    });
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
