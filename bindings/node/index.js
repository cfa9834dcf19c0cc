'use strict';
// Network speed tests from Node: the linkrate library through koffi.
//
// Every test returns a promise and runs on a worker thread of its own, which
// calls the library synchronously; the event loop stays free, so a server and
// its client can run in one process. Tests take turns: the library keeps one
// process-wide result record, cancel flag and last-error text.
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const { load } = require('./lib/native');

const lib = load();
// The first call initialises the library, before any worker could race it.
lib.linkrate_init();

const DEFAULT_PORT = 7878;
const CANCELLED = 'Cancelled by user';
const REPEAT_CANCEL_MS = 50;
const WORKER = path.join(__dirname, 'lib', 'call-worker.js');

// "ping, download and upload" for ['ping', 'download', 'upload'].
function namesText(names) {
  return names.length < 2 ? names.join('') : `${names.slice(0, -1).join(', ')} and ${names[names.length - 1]}`;
}

/**
 * A test failed; `libraryMessage` is the library's own text. For a full LAN
 * run, `failed` names the tests that measured nothing and the message names
 * them after the library's: "All tests failed (ping, download and upload
 * measured nothing)".
 */
class LinkrateError extends Error {
  constructor(message, failed = []) {
    super(failed.length > 0 ? `${message} (${namesText(failed)} measured nothing)` : message);
    this.name = 'LinkrateError';
    this.libraryMessage = message;
    this.failed = Object.freeze([...failed]);
  }
}

/** A test was cancelled; `result` is the record it left, `value` what it measured. */
class Cancelled extends LinkrateError {
  constructor(message, result, value = null) {
    super(message);
    this.name = 'Cancelled';
    this.result = result;
    this.value = value;
  }
}

// `stop`, for a stopped internet run: the phase cut short (`stopped`), the
// running rate of its latest tick, and the phases never reached.
function toResult(json, failed = [], stop = { stopped: '', notMeasured: [] }) {
  const doc = JSON.parse(json);
  return Object.freeze({
    pingMs: doc.ping_ms,
    downloadMbps: doc.download_mbps,
    uploadMbps: doc.upload_mbps,
    durationMs: doc.duration_ms,
    jitterMs: doc.jitter_ms,
    server: doc.server,
    phase: doc.phase,
    failed: Object.freeze([...failed]),
    stopped: stop.stopped,
    notMeasured: Object.freeze([...stop.notMeasured]),
    ...stop.figures,
  });
}

/** The library's version text, for example "2.0.0". */
function version() {
  return lib.linkrate_version();
}

/** The library's latest result record (also while a test runs). */
function result() {
  return toResult(lib.linkrate_result_json());
}

// Set by cancel(). A library call drops a cancel that came before it started
// (it clears the flag first), and that moment cannot be seen from here, so
// while it is set the running call's cancel is repeated. Once the call has
// cleared its flag it keeps a cancel to its end, a full LAN run between its
// tests too.
let cancelRequested = false;

/** Asks the running test to stop. Never blocks; dropped when no test runs. */
function cancel() {
  cancelRequested = true;
  lib.linkrate_cancel();
}

let turns = Promise.resolve();

function inTurn(task) {
  const run = turns.then(task);
  turns = run.catch(() => {});
  return run;
}

// Runs one library call on a worker thread. Resolves with its return value,
// its last-error text and the record it left.
// With `ticks` (or an `onTick`), the latest tick value of each phase comes
// back in `lastTicks`.
function callInWorker(call, args, { onTick = null, init = true, ticks = false } = {}) {
  return inTurn(
    () =>
      new Promise((resolve, reject) => {
        cancelRequested = false;
        // A fresh record for every test: a figure left by an earlier test
        // must not pass for one this test measured.
        if (init) lib.linkrate_init();
        const worker = new Worker(WORKER, {
          workerData: { library: lib.name, call, args, ticks: ticks || onTick !== null },
        });
        let done = null;
        let failure = null;
        let tickError = null;
        const lastTicks = {};
        const repeat = setInterval(() => {
          if (cancelRequested) lib.linkrate_cancel();
        }, REPEAT_CANCEL_MS);
        worker.on('message', (message) => {
          if (message.done) {
            done = message.done;
          } else if (message.tick) {
            lastTicks[message.tick[0]] = message.tick[1];
            if (onTick === null || tickError !== null) return;
            try {
              onTick(...message.tick);
            } catch (error) {
              tickError = error;
            }
          }
        });
        worker.on('error', (error) => {
          failure = error;
        });
        worker.on('exit', () => {
          clearInterval(repeat);
          if (tickError !== null) reject(tickError);
          else if (done === null) reject(failure || new LinkrateError('the library call ended without an outcome'));
          else resolve({ ...done, cancelRequested, lastTicks, json: lib.linkrate_result_json() });
        });
      }),
  );
}

function checkText(value, what) {
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string`);
  if (value.includes('\0')) throw new RangeError(`${what} must not contain NUL characters`);
  return value;
}

function checkPort(port) {
  if (!Number.isInteger(port)) throw new TypeError('port must be an integer');
  if (port < 1 || port > 65535) throw new RangeError(`port must be 1 to 65535, not ${port}`);
  return port;
}

// The tests take no callback and no arguments past their last; a function
// there would be silently ignored, and its caller would wait for calls that
// never come.
function checkNoMore(rest, what) {
  if (rest.length === 0) return;
  throw new TypeError(
    typeof rest[0] === 'function' ? `${what} takes no callback: it returns a promise` : `${what} was given too many arguments`,
  );
}

function checkInt32(value, what) {
  if (!Number.isInteger(value)) throw new TypeError(`${what} must be an integer`);
  if (value < -(2 ** 31) || value >= 2 ** 31) throw new RangeError(`${what} is out of range: ${value}`);
  return value;
}

// The library says so; or the caller cancelled and the test then failed
// (a ping cancelled before its first reply reports "No pings succeeded").
function wasCancelled(outcome, failed) {
  return outcome.error === CANCELLED || (failed && outcome.cancelRequested);
}

async function measure(call, host, port, arg, what) {
  const outcome = await callInWorker(call, [checkText(host, 'host'), checkPort(port), checkInt32(arg, what)]);
  if (wasCancelled(outcome, outcome.value < 0)) {
    const measured = outcome.value >= 0 ? outcome.value : null;
    throw new Cancelled(outcome.error || CANCELLED, toResult(outcome.json), measured);
  }
  if (outcome.value < 0) throw new LinkrateError(outcome.error);
  return outcome.value;
}

/** Mean TCP round trip to a linkrate server in ms, over `count` pings (0 or less: 5). */
async function ping(host, port = DEFAULT_PORT, count = 5, ...rest) {
  checkNoMore(rest, 'ping()');
  return measure('linkrate_ping', host, port, count, 'count');
}

/** Download throughput from a linkrate server in Mbit/s; 0.0 means nothing arrived. */
async function download(host, port = DEFAULT_PORT, durationMs = 2000, ...rest) {
  checkNoMore(rest, 'download()');
  return measure('linkrate_download', host, port, durationMs, 'durationMs');
}

/** Upload throughput to a linkrate server in Mbit/s. */
async function upload(host, port = DEFAULT_PORT, durationMs = 2000, ...rest) {
  checkNoMore(rest, 'upload()');
  return measure('linkrate_upload', host, port, durationMs, 'durationMs');
}

// The record of a run, with the tests that measured nothing named. With
// `phases` (the internet run, whose record names the phase under way), a
// stopped run's record also names the phase cut short, which carries the
// running rate of its latest tick, and the phases it never reached.
function finish(outcome, rates, { phases = false } = {}) {
  const record = toResult(outcome.json);
  const names = Object.keys(rates);
  const cancelled = wasCancelled(outcome, outcome.value !== 0);
  let reached = names.length;
  const stop = { stopped: '', notMeasured: [], figures: {} };
  if (cancelled && phases && record.phase !== 'complete') {
    const at = Math.max(['ping', ...names].indexOf(record.phase), 0);
    reached = Math.max(at - 1, 0);
    stop.stopped = at > 0 ? record.phase : 'ping';
    if (at > 0) stop.figures[rates[record.phase]] = outcome.lastTicks[record.phase] ?? 0;
    stop.notMeasured = names.slice(at);
  }
  const failed = names.slice(0, reached).filter((name) => record[rates[name]] === 0);
  const result = toResult(outcome.json, failed, stop);
  if (cancelled) throw new Cancelled(outcome.error || CANCELLED, result);
  // The tests of a full LAN run that measured nothing are named.
  if (outcome.value !== 0) throw new LinkrateError(outcome.error, phases ? [] : failed);
  return result;
}

/** The full LAN test: 5 pings, download and upload; `failed` names tests that measured nothing. */
async function lan(host, port = DEFAULT_PORT, durationMs = 2000, ...rest) {
  checkNoMore(rest, 'lan()');
  const args = [checkText(host, 'host'), checkPort(port), checkInt32(durationMs, 'durationMs')];
  const outcome = await callInWorker('linkrate_run_all', args);
  return finish(outcome, { ping: 'pingMs', download: 'downloadMbps', upload: 'uploadMbps' });
}

/** The internet test against the HTTP speed-test server at `baseUrl`, with progress to `onTick`. */
async function internet(baseUrl, options = {}, ...rest) {
  if (typeof options === 'function') {
    throw new TypeError('internet() takes its progress callback as an option: internet(url, { onTick })');
  }
  if (options === null || typeof options !== 'object') throw new TypeError('internet() options must be an object');
  checkNoMore(rest, 'internet()');
  const { onTick = null } = options;
  if (onTick !== null && typeof onTick !== 'function') throw new TypeError('onTick must be a function');
  const outcome = await callInWorker('linkrate_internet_run', [checkText(baseUrl, 'baseUrl')], {
    onTick,
    ticks: true,
  });
  return finish(outcome, { download: 'downloadMbps', upload: 'uploadMbps' }, { phases: true });
}

let runningServer = null;

// The server's threads are the library's own, which the event loop cannot
// see: a timer that never fires stands for them, so a running server keeps the
// process alive as a listening net.Server does.
const KEEP_ALIVE_MS = 2 ** 31 - 1;

/**
 * The built-in LAN test server on all local IPv4 addresses; one per process.
 * While it runs it keeps the process alive, unless `unref()` was called.
 */
class Server {
  constructor(port = DEFAULT_PORT) {
    this.port = checkPort(port);
    this.keepAlive = null;
    this.referenced = true;
  }

  /** Lets the process end while the server runs, as net.Server's unref(). */
  unref() {
    this.referenced = false;
    this.keepAlive?.unref();
    return this;
  }

  /** Keeps the process alive while the server runs again (the default). */
  ref() {
    this.referenced = true;
    this.keepAlive?.ref();
    return this;
  }

  get running() {
    return runningServer === this;
  }

  /** Starts listening (within about 2 s); rejects when a server runs already. */
  async start() {
    await inTurn(async () => {
      if (runningServer !== null) {
        throw new LinkrateError(`A LAN server is already running in this process (port ${runningServer.port})`);
      }
      runningServer = this;
    });
    let outcome;
    try {
      outcome = await callInWorker('linkrate_start_server', [this.port], { init: false });
    } catch (error) {
      runningServer = null;
      throw error;
    }
    if (outcome.value !== 0) {
      runningServer = null;
      throw new LinkrateError(outcome.error);
    }
    this.keepAlive = setInterval(() => {}, KEEP_ALIVE_MS);
    if (!this.referenced) this.keepAlive.unref();
    return this;
  }

  /** Stops the server (within about 3 s); does nothing when it is not running. */
  async stop() {
    if (runningServer !== this) return;
    await callInWorker('linkrate_stop_server', [], { init: false });
    clearInterval(this.keepAlive);
    this.keepAlive = null;
    runningServer = null;
  }
}

module.exports = {
  Cancelled,
  DEFAULT_PORT,
  LinkrateError,
  Server,
  cancel,
  download,
  internet,
  lan,
  ping,
  result,
  upload,
  version,
};
