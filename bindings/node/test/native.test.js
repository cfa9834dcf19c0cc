'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const linkrate = require('@tarnwell/linkrate');
const { candidates, libraryFile } = require('@tarnwell/linkrate/lib/native');
const { accepts, freePort, sleep } = require('./support');

test("the library's file name follows the system", () => {
  const cases = [
    ['linux', 'libtarnwell-linkrate.so.2'],
    ['freebsd', 'libtarnwell-linkrate.so.2'],
    ['win32', 'tarnwell-linkrate.dll'],
    ['cygwin', 'tarnwell-linkrate.dll'],
    ['darwin', 'libtarnwell-linkrate.2.dylib'],
  ];
  for (const [platform, file] of cases) assert.equal(libraryFile(platform), file, platform);
  // This system's own name is the one the module loads by default.
  assert.equal(libraryFile(), libraryFile(process.platform));
});

test('where the library is looked for', () => {
  const beside = path.join(path.dirname(require.resolve('@tarnwell/linkrate/package.json')), 'libtarnwell-linkrate.so.2');
  const everywhere = () => true;
  const cases = [
    [
      'Linux on x64, every folder holding it',
      { platform: 'linux', arch: 'x64', env: {}, exists: everywhere },
      [
        beside,
        '/usr/local/lib/libtarnwell-linkrate.so.2',
        '/usr/local/lib/x86_64-linux-gnu/libtarnwell-linkrate.so.2',
        '/usr/lib/x86_64-linux-gnu/libtarnwell-linkrate.so.2',
        'libtarnwell-linkrate.so.2',
      ],
    ],
    [
      'Linux on arm64, only /usr/local/lib holding it',
      { platform: 'linux', arch: 'arm64', env: {}, exists: (file) => file.startsWith('/usr/local/lib/lib') },
      ['/usr/local/lib/libtarnwell-linkrate.so.2', 'libtarnwell-linkrate.so.2'],
    ],
    [
      'LINKRATE_LIBRARY is the only candidate',
      { platform: 'linux', arch: 'x64', env: { LINKRATE_LIBRARY: '/opt/x.so' }, exists: everywhere },
      ['/opt/x.so'],
    ],
    [
      'Windows: beside the package, then the loader',
      { platform: 'win32', arch: 'x64', env: {}, exists: everywhere },
      [beside.replace('libtarnwell-linkrate.so.2', 'tarnwell-linkrate.dll'), 'tarnwell-linkrate.dll'],
    ],
  ];
  for (const [name, system, expected] of cases) assert.deepEqual(candidates(system), expected, name);
});

// A child process requiring the package with `env` changed; its exit status and output.
function requireInChild(env, script = "require('@tarnwell/linkrate')") {
  const child = spawnSync(process.execPath, ['-e', script], {
    env: { ...process.env, ...env },
    encoding: 'utf8',
    timeout: 30000,
  });
  return child;
}

test('a library named by LINKRATE_LIBRARY that cannot be loaded is an error of its own', () => {
  const missing = path.join(os.tmpdir(), 'nowhere', 'libtarnwell-linkrate.so.2');
  const child = requireInChild({ LINKRATE_LIBRARY: missing });
  assert.notEqual(child.status, 0);
  assert.match(child.stderr, /cannot load the linkrate library named by LINKRATE_LIBRARY/);
  assert.ok(child.stderr.includes(missing), child.stderr);
});

test('a running server keeps the process alive until stopped or unref()ed', async (t) => {
  const port = await freePort();
  const start = (p) => `new (require('@tarnwell/linkrate').Server)(${p}).start()`;
  const kept = spawn(process.execPath, ['-e', `${start(port)}.then(() => console.log('up'))`], { stdio: 'pipe' });
  t.after(() => kept.kill('SIGKILL'));
  let exited = false;
  kept.on('exit', () => {
    exited = true;
  });
  await new Promise((resolve) => kept.stdout.once('data', resolve));
  await sleep(1500);
  assert.equal(exited, false, 'the process ended while its server ran');
  assert.ok(await accepts(port));

  const stopped = requireInChild({}, `${start(await freePort())}.then((s) => s.stop())`);
  assert.equal(stopped.status, 0, stopped.stderr);
  const unreferenced = requireInChild({}, `${start(await freePort())}.then((s) => s.unref())`);
  assert.equal(unreferenced.status, 0, unreferenced.stderr);
});

test('a callback where the API takes none is a TypeError', async () => {
  const noop = () => {};
  const calls = [
    ['internet(url, fn)', () => linkrate.internet('http://127.0.0.1:9/', noop), /onTick/],
    ['lan(host, port, ms, fn)', () => linkrate.lan('127.0.0.1', 9, 100, noop), /no callback/],
    ['ping(host, port, n, fn)', () => linkrate.ping('127.0.0.1', 9, 1, noop), /no callback/],
    ['download(host, port, ms, fn)', () => linkrate.download('127.0.0.1', 9, 100, noop), /no callback/],
  ];
  for (const [name, call, message] of calls) await assert.rejects(call, { name: 'TypeError', message }, name);
});
