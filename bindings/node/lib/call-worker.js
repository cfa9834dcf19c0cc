'use strict';
// One library call on a thread of its own. It calls the library synchronously,
// so the measuring thread never waits for the event loop: ticks are posted to
// the main thread, which delivers them when it gets to them. The last-error
// text is read here, right after the call, on the thread that made it.
const { parentPort, workerData } = require('node:worker_threads');
const { koffi, load, TickCallback } = require('./native');

const { library, call, args, ticks } = workerData;
const lib = load(library);

let callback = null;
if (ticks) {
  callback = koffi.register((phase, value, percent) => {
    try {
      parentPort.postMessage({ tick: [phase, value, percent] });
    } catch {
      // Nothing may unwind into the library.
    }
  }, koffi.pointer(TickCallback));
  lib.linkrate_set_tick(callback);
}
let value;
let error;
try {
  value = lib[call](...args);
  error = lib.linkrate_last_error();
} finally {
  if (callback) {
    lib.linkrate_set_tick(null);
    koffi.unregister(callback);
  }
}
parentPort.postMessage({ done: { value, error } });
