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

/** A test failed; `message` is the library's own text. */
class LinkrateError extends Error {
  constructor(message) {
    super(message);
    this.name = 'LinkrateError';
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

function toResult(json, failed = []) {
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

// Set by cancel(); while it is set the running call's cancel is repeated,
// since one that lands before the test has cleared its flag is lost.
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
function callInWorker(call, args, { onTick = null, init = true } = {}) {
  return inTurn(
    () =>
      new Promise((resolve, reject) => {
        cancelRequested = false;
        // A fresh record for every test: a figure left by an earlier test
        // must not pass for one this test measured.
        if (init) lib.linkrate_init();
        const worker = new Worker(WORKER, {
          workerData: { library: lib.name, call, args, ticks: onTick !== null },
        });
        let done = null;
        let failure = null;
        let tickError = null;
        const repeat = setInterval(() => {
          if (cancelRequested) lib.linkrate_cancel();
        }, REPEAT_CANCEL_MS);
        worker.on('message', (message) => {
          if (message.done) {
            done = message.done;
          } else if (message.tick && onTick !== null && tickError === null) {
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
          else resolve({ ...done, cancelRequested, json: lib.linkrate_result_json() });
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
function ping(host, port = DEFAULT_PORT, count = 5) {
  return measure('linkrate_ping', host, port, count, 'count');
}

/** Download throughput from a linkrate server in Mbit/s; 0.0 means nothing arrived. */
function download(host, port = DEFAULT_PORT, durationMs = 2000) {
  return measure('linkrate_download', host, port, durationMs, 'durationMs');
}

/** Upload throughput to a linkrate server in Mbit/s. */
function upload(host, port = DEFAULT_PORT, durationMs = 2000) {
  return measure('linkrate_upload', host, port, durationMs, 'durationMs');
}

function finish(outcome, rates) {
  const record = toResult(outcome.json);
  const failed = Object.entries(rates)
    .filter(([, field]) => record[field] === 0)
    .map(([name]) => name);
  const withFailed = toResult(outcome.json, failed);
  if (wasCancelled(outcome, outcome.value !== 0)) throw new Cancelled(outcome.error || CANCELLED, withFailed);
  if (outcome.value !== 0) throw new LinkrateError(outcome.error);
  return withFailed;
}

/** The full LAN test: 5 pings, download and upload; `failed` names tests that measured nothing. */
async function lan(host, port = DEFAULT_PORT, durationMs = 2000) {
  const args = [checkText(host, 'host'), checkPort(port), checkInt32(durationMs, 'durationMs')];
  const outcome = await callInWorker('linkrate_run_all', args);
  return finish(outcome, { ping: 'pingMs', download: 'downloadMbps', upload: 'uploadMbps' });
}

/** The internet test against the HTTP speed-test server at `baseUrl`, with progress to `onTick`. */
async function internet(baseUrl, { onTick = null } = {}) {
  if (onTick !== null && typeof onTick !== 'function') throw new TypeError('onTick must be a function');
  const outcome = await callInWorker('linkrate_internet_run', [checkText(baseUrl, 'baseUrl')], { onTick });
  return finish(outcome, { download: 'downloadMbps', upload: 'uploadMbps' });
}

let runningServer = null;

/** The built-in LAN test server on all local IPv4 addresses; one per process. */
class Server {
  constructor(port = DEFAULT_PORT) {
    this.port = checkPort(port);
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
    return this;
  }

  /** Stops the server (within about 3 s); does nothing when it is not running. */
  async stop() {
    if (runningServer !== this) return;
    await callInWorker('linkrate_stop_server', [], { init: false });
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
