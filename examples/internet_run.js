// A live internet run from Node: node internet_run.js BASE_URL (Ctrl-C stops it).
const linkrate = require('@tarnwell/linkrate');

const units = { ping: 'ms', download: 'Mbit/s', upload: 'Mbit/s', complete: 'Mbit/s' };
const onTick = (phase, value, percent) =>
  process.stdout.write(`\r${phase.padEnd(9)}${String(percent).padStart(4)}% ${value.toFixed(2).padStart(12)} ${units[phase]}  `);
process.on('SIGINT', linkrate.cancel); // the run then rejects with linkrate.Cancelled

linkrate.internet(process.argv[2], { onTick }).then(
  (result) => {
    console.log(`\nlatency ${result.pingMs.toFixed(3)} ms, jitter ${result.jitterMs.toFixed(3)} ms`);
    for (const phase of ['download', 'upload']) {
      const rate = result[`${phase}Mbps`];
      console.log(`${phase} ${result.failed.includes(phase) ? 'not measured' : `${rate.toFixed(1)} Mbit/s`}`);
    }
  },
  (error) => {
    console.error(`\nlinkrate: ${error.message}`);
    process.exitCode = 1;
  },
);
