'use strict';
// Values through the host table in both directions, with the add-on's own
// Value code at the far end; promises through both scheduling slots; and a
// thousand calls in a row leaving nothing behind.
const test = require('node:test');
const assert = require('node:assert/strict');
const os = require('node:os');
const path = require('node:path');
const v8 = require('node:v8');
const { spawnSync } = require('node:child_process');
const vm = require('node:vm');
const { loadAddon, nativeHost } = require('..');
const { loadProbe } = require('./scenes');

const probe = loadProbe();

test('nested arrays and objects keep their form; object keys come back in ascending order', () => {
  const value = {
    zeta: [1, [2, [3, []]], { inner: 'x' }],
    alpha: { b: true, a: false, c: { y: -0.5, x: 1e300 } },
    Mid: '',
    '10': 'numeric key',
    '9': 'another',
    list: [{ k: 'v' }, 'text', 42, undefined],
  };
  const back = probe.probe_round_trip(value);
  assert.deepEqual(back, value);
  assert.ok(Array.isArray(back.zeta) && Array.isArray(back.zeta[1][1][1]), 'arrays stay arrays');
  // byte order: digits before capitals before lower case
  assert.deepEqual(Object.keys(back.alpha), ['a', 'b', 'c']);
  assert.deepEqual(Object.keys(back.alpha.c), ['x', 'y']);
  // the engine lists integer-like keys first whatever the insertion order
  assert.deepEqual(Object.keys(back), ['9', '10', 'Mid', 'alpha', 'list', 'zeta']);
});

test('scalars cross unchanged, UTF-8 included', () => {
  for (const value of [true, false, 0, -1.25, Number.MAX_VALUE, 5e-324, undefined, '', 'Ørsted ✶ 星']) {
    assert.equal(probe.probe_round_trip(value), value);
  }
  assert.ok(Number.isNaN(probe.probe_round_trip(NaN)));
});

test('a string with a zero byte: the add-on reads up to it, and its own strings keep every byte', () => {
  assert.equal(probe.probe_round_trip('before\0after'), 'before');
  assert.deepEqual(probe.probe_round_trip({ k: 'a\0b', l: ['c\0d'] }), { k: 'a', l: ['c'] });
  const made = probe.probe_bytes();
  assert.equal(made.length, 9);
  assert.equal(made, 'zero\0byte');
});

test('values the add-on cannot hold come back as errors with code "-1"', () => {
  for (const value of [null, () => 1, Symbol('s')]) {
    const answer = probe.probe_round_trip(value);
    assert.ok(answer instanceof Error, `${String(value)} is refused`);
    assert.equal(answer.code, '-1');
  }
});

test('promises settle on the script thread after a trip through the main thread', async () => {
  const value = { frames: [1, 2, 3], label: 'sky' };
  assert.deepEqual(await probe.probe_settle(value, false), value);
  await assert.rejects(probe.probe_settle('job failed', true), (reason) => reason === 'job failed');
  // many at once settle each with its own value
  const many = await Promise.all(Array.from({ length: 50 }, (_, i) => probe.probe_settle(i, false)));
  assert.deepEqual(many, Array.from({ length: 50 }, (_, i) => i));
});

// The host's counts once the last finished main-thread task has been
// accounted for on this thread (that notice trails the promise it settled).
async function settledCounts() {
  for (let i = 0; i < 500 && nativeHost().counts().pendingTasks > 0; i++) {
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  return nativeHost().counts();
}

test('Node does not exit while a promise of the add-on is still to settle', () => {
  // nothing else keeps this script's event loop alive
  const script = `require(${JSON.stringify(require.resolve('./scenes'))}).loadProbe()
    .probe_settle('settled after all', false).then((v) => process.stdout.write(v));`;
  const run = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.stdout, 'settled after all');
});

function settledMemory(gc) {
  gc();
  gc();
  const { heapUsed, rss } = process.memoryUsage();
  return { heapUsed, rss };
}

test('a thousand calls in a row leak no handles and no memory', async () => {
  v8.setFlagsFromString('--expose-gc');
  const gc = vm.runInNewContext('gc');
  const addon = loadAddon();
  const payload = { text: 'x'.repeat(65536), nested: [[1, 2], { a: 'b' }] };
  // a job file that is not there: the asynchronous echo settles at once
  const noJob = path.join(os.tmpdir(), 'lumivex-no-such-job.txt');
  const batches = async (make) => {
    for (let batch = 0; batch < 10; batch++) {
      await Promise.all(Array.from({ length: 100 }, (_, i) => make(i).catch(() => 0)));
    }
  };
  const round = async () => {
    for (let i = 0; i < 1000; i++) {
      assert.equal(addon.my_function(), 'Lumivex Native Addon 0.1.0');
      assert.equal(addon.raw.my_echo(i).code, '-1');
      assert.equal(probe.probe_round_trip(payload).text.length, payload.text.length);
    }
    await batches((i) => probe.probe_settle(payload, i % 2 === 1));
    await batches(() => addon.my_echo_async(noJob));
  };
  // the allocator's arenas for both threads grow to their working size first
  await round();
  await round();
  const before = settledMemory(gc);
  const countsBefore = await settledCounts();
  for (let r = 0; r < 3; r++) await round();
  const counts = await settledCounts();
  const after = settledMemory(gc);
  assert.equal(counts.openScopes, 0);
  assert.equal(counts.pendingTasks, 0);
  assert.equal(counts.functions, countsBefore.functions);
  // one payload kept per call would be 192 MB over these rounds
  assert.ok(after.heapUsed - before.heapUsed < 4 * 1024 * 1024, `heap grew by ${after.heapUsed - before.heapUsed} bytes`);
  assert.ok(after.rss - before.rss < 24 * 1024 * 1024, `resident memory grew by ${after.rss - before.rss} bytes`);
});

// A worker thread is an environment of its own: its scripting thread, its
// main-thread worker, and a teardown that must free whatever is still queued.
test('a worker thread runs the host in its own environment and tears it down cleanly', async () => {
  const { Worker } = require('node:worker_threads');
  const source = `
    const { parentPort } = require('node:worker_threads');
    const { loadProbe } = require(${JSON.stringify(require.resolve('./scenes'))});
    const probe = loadProbe();
    probe.probe_settle({ from: 'worker' }, false).then((value) => {
      // queued and never awaited: the teardown must drop them and free their data
      for (let i = 0; i < 20; i++) probe.probe_settle('x'.repeat(1 << 16), false);
      parentPort.postMessage(value);
      process.exit(0);
    });`;
  const worker = new Worker(source, { eval: true });
  const [message, exitCode] = await Promise.all([
    new Promise((resolve, reject) => { worker.once('message', resolve); worker.once('error', reject); }),
    new Promise((resolve) => worker.once('exit', resolve)),
  ]);
  assert.deepEqual(message, { from: 'worker' });
  assert.equal(exitCode, 0);
  assert.equal((await settledCounts()).pendingTasks, 0);
  assert.deepEqual(await probe.probe_settle([1, 'main still works'], false), [1, 'main still works']);
});
