'use strict';
// Real jobs on small synthetic scenes through all three ways of starting one.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { loadAddon, runJob, readJobPaths, readProgress, parseLog } = require('..');
const { makeScene } = require('./scenes');

const addon = loadAddon();

function jobKeys(job) {
  return JSON.parse(fs.readFileSync(job, 'utf8'));
}

// What each scene's job names as its main output.
const OUTPUT_KEY = { trail: 'output', glow: 'outputPath' };

function assertSucceeded(kind, job, result) {
  const { resultLog } = readJobPaths(job);
  assert.equal(result.log, fs.readFileSync(resultLog, 'utf8'), 'the log text is the result log file');
  assert.equal(result.fields.status, 'success', result.log);
  assert.equal(result.ok, true);
  // a job that finds its output name taken writes beside it (name_1.tif, ...)
  const asked = path.parse(jobKeys(job)[OUTPUT_KEY[kind]]);
  const written = path.parse(result.fields.output);
  assert.equal(written.dir, asked.dir);
  assert.ok(written.name.startsWith(asked.name) && written.ext === asked.ext, result.fields.output);
  assert.ok(fs.statSync(result.fields.output).size > 0, `${result.fields.output} was written`);
}

// Resolves once check() is true; rejects after limitMs (a job that never ends).
async function waitFor(check, limitMs, what) {
  const start = Date.now();
  while (!check()) {
    if (Date.now() - start > limitMs) throw new Error(`gave up waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// Percents reported in one run never go back, and the run ends at 100 "Completed".
function assertProgressRan(reports) {
  assert.ok(reports.length > 0, 'progress was reported');
  for (let i = 1; i < reports.length; i++) {
    assert.ok(reports[i].percent >= reports[i - 1].percent, JSON.stringify(reports));
  }
  assert.deepEqual([reports.at(-1).percent, reports.at(-1).stage], [100, 'Completed']);
}

for (const kind of ['glow', 'trail']) {
  test(`my_echo runs a ${kind} job and returns its result log text`, async () => {
    const { job } = makeScene(kind);
    const log = addon.my_echo(job);
    assertSucceeded(kind, job, { log, fields: parseLog(log), ok: true });
    assert.equal(readProgress(readJobPaths(job).progress).stage, 'Completed');

    const reports = [];
    const result = await runJob(job, { mode: 'echo', onProgress: (p) => reports.push(p) });
    assertSucceeded(kind, job, result);
    assertProgressRan(reports);
  });
}

test('my_start_job_background returns true and the job runs to "Completed"', async () => {
  for (const kind of ['trail', 'glow']) {
    const { job } = makeScene(kind);
    const reports = [];
    const result = await runJob(job, { mode: 'background', onProgress: (p) => reports.push(p), pollMs: 50 });
    assertSucceeded(kind, job, result);
    assertProgressRan(reports);
  }
  // the call itself answers true at once; the job then ends through its files
  const { job } = makeScene('trail');
  const { progress, resultLog } = readJobPaths(job);
  assert.equal(addon.raw.my_start_job_background(job), true);
  await waitFor(() => readProgress(progress)?.stage === 'Completed', 60000, 'the background Star Trail job');
  await waitFor(() => fs.existsSync(resultLog) && parseLog(fs.readFileSync(resultLog, 'utf8')).status === 'success',
    60000, 'its result log');
});

test('my_echo_async resolves true once the job has written its log', async () => {
  const trail = makeScene('trail');
  const pending = addon.raw.my_echo_async(trail.job);
  assert.ok(pending instanceof Promise);
  assert.equal(await pending, true);
  assert.equal(parseLog(fs.readFileSync(readJobPaths(trail.job).resultLog, 'utf8')).status, 'success');

  const glow = makeScene('glow');
  const reports = [];
  const result = await runJob(glow.job, { mode: 'async', onProgress: (p) => reports.push(p), pollMs: 50 });
  assertSucceeded('glow', glow.job, result);
  assertProgressRan(reports);
});

// A hybrid stack job asked for an output no image writer knows: whatever the
// job does with it, the promise must agree with what my_echo reports.
test('my_echo_async rejects with the failure text when the job throws, and only then', async () => {
  const { dir } = makeScene('trail', 2);
  const job = path.join(dir, 'hybrid_job.txt');
  fs.writeFileSync(job, [
    'method=registered-average-homography',
    `output=${path.join(dir, 'stack.not-an-image-format')}`,
    `progress=${path.join(dir, 'hybrid_progress.txt')}`,
    `resultLog=${path.join(dir, 'hybrid_log.txt')}`,
    `input=${path.join(dir, 'frame_000.tif')}`,
    `input=${path.join(dir, 'frame_001.tif')}`,
    '',
  ].join('\n'));
  const sync = addon.raw.my_echo(job);
  const outcome = await addon.raw.my_echo_async(job).then((v) => ({ resolved: v }), (r) => ({ rejected: r }));
  if (!(sync instanceof Error)) {
    assert.deepEqual(outcome, { resolved: true });
  } else if (sync.message !== 'unknown exception') {
    assert.deepEqual(outcome, { rejected: `Lumivex Hybrid async stack failed with std::exception:\n${sync.message}` });
  } else {
    assert.ok(outcome.rejected === true || /^Lumivex Hybrid async stack failed with const char\* exception:\n/.test(outcome.rejected),
      JSON.stringify(outcome));
  }
});

// One frame is not a star trail: the job fails, and every mode says so
// instead of reporting success or waiting for a "Completed" that never comes.
test('a failing job resolves with ok false and its error, in every mode', async () => {
  const { dir, job } = makeScene('trail', 2);
  const keys = jobKeys(job);
  keys.inputs = keys.inputs.slice(0, 1);
  const oneFrame = path.join(dir, 'startrail_job_native_one_frame.json');
  fs.writeFileSync(oneFrame, JSON.stringify(keys, null, 2));
  for (const mode of ['echo', 'async', 'background']) {
    const reports = [];
    const result = await runJob(oneFrame, { mode, onProgress: (p) => reports.push(p), pollMs: 50 });
    assert.equal(result.ok, false, `${mode}: ${result.log}`);
    assert.equal(result.fields.status, 'failed');
    assert.ok(result.fields.error, `${mode}: the log names the error`);
    assert.equal(reports.at(-1).stage, 'Failed', `${mode}: ${JSON.stringify(reports)}`);
  }
});
