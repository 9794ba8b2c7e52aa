'use strict';
// Cost of crossing into the add-on from JavaScript through the Node.js host,
// each as a ratio to a floor of plain JavaScript measured in the same run.
//   node bench/node_calls.js        (after a build with the Node.js host)
const { loadAddon } = require('../js');
const { loadProbe } = require('../js/tests/scenes');

const addon = loadAddon();
const probe = loadProbe();

// Median of five timed batches, in nanoseconds per call.
function perCall(fn, calls) {
  const runs = [];
  for (let r = 0; r < 5; r++) {
    const start = process.hrtime.bigint();
    for (let i = 0; i < calls; i++) fn(i);
    runs.push(Number(process.hrtime.bigint() - start) / calls);
  }
  return runs.sort((a, b) => a - b)[2];
}

async function perAwait(fn, calls) {
  const runs = [];
  for (let r = 0; r < 5; r++) {
    const start = process.hrtime.bigint();
    for (let i = 0; i < calls; i++) await fn(i);
    runs.push(Number(process.hrtime.bigint() - start) / calls);
  }
  return runs.sort((a, b) => a - b)[2];
}

const record = Object.fromEntries(Array.from({ length: 100 }, (_, i) => [`key${i}`, [i, `value ${i}`, { n: i }]]));
const banner = () => 'Lumivex Native Addon 0.1.0';

(async () => {
  const rows = [];
  const row = (what, value, floor, unit, floorName) =>
    rows.push(`| ${what} | ${(value / unit).toFixed(2)} | ${(value / floor).toFixed(1)} x ${floorName} |`);
  const callFloor = perCall(banner, 200000);
  row('`my_function` (banner string)', perCall(() => addon.raw.my_function(), 200000), callFloor, 1e3, 'a JavaScript function');
  row('`my_echo(5)` (error value)', perCall(() => addon.raw.my_echo(5), 100000), callFloor, 1e3, 'a JavaScript function');
  const cloneFloor = perCall(() => structuredClone(record), 2000);
  row('round trip of a 100-key object through `Value`', perCall(() => probe.probe_round_trip(record), 2000), cloneFloor, 1e3,
    '`structuredClone`');
  const hopFloor = await perAwait(() => new Promise((resolve) => setImmediate(resolve)), 2000);
  row('promise through the main thread and back, awaited', await perAwait(() => probe.probe_settle(1, false), 2000),
    hopFloor, 1e3, 'one event-loop turn');
  console.log('| Call | µs per call | ratio to floor |\n|---|---|---|');
  console.log(rows.join('\n'));
})();
