'use strict';
// How the script side reads job files, progress files and result logs.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { readJobPaths, readProgress, parseLog, logReportsSuccess } = require('..');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lumivex-node-files-'));
process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
const write = (name, text) => {
  const file = path.join(dir, name);
  fs.writeFileSync(file, text);
  return file;
};

test('job files: the first quoted key wins, escapes are undone, key=value jobs take the last line', () => {
  const json = write('a.json', '{ "resultLog" : "C:\\\\logs\\\\say \\"hi\\".txt", "progress": "/p 1",\n'
    + '  "nested": { "progress": "/p 2" } }');
  assert.deepEqual(readJobPaths(json), { progress: '/p 1', resultLog: 'C:\\logs\\say "hi".txt' });
  const glow = write('b.json', '{ "progressPath": "/pp", "resultLog": "" }');
  assert.deepEqual(readJobPaths(glow), { progress: '/pp', resultLog: '' });
  const hybrid = write('c.txt', '# stack\nprogress = /old\n progress=/new \nresultLog=/log=1\ninput=/f.tif\n');
  assert.deepEqual(readJobPaths(hybrid), { progress: '/new', resultLog: '/log=1' });
  assert.throws(() => readJobPaths(path.join(dir, 'missing.json')), /Cannot read job file/);
});

test('progress files: the four lines, CR line ends, and nothing while no percent is there', () => {
  const file = write('progress.txt', 'percent=42\r\nstage=Processing\r\ndetail=Frame 12 of 40: a=b\r\nwriter=x\r\n');
  assert.deepEqual(readProgress(file), { percent: 42, stage: 'Processing', detail: 'Frame 12 of 40: a=b' });
  assert.equal(readProgress(write('empty.txt', 'stage=Starting\n')), null);
  assert.equal(readProgress(path.join(dir, 'gone.txt')), null);
  assert.equal(readProgress(''), null);
});

test('result logs: both line styles, the last status decides, a first line "completed." without one', () => {
  const log = 'Native Star Glow result.\nstatus = running\nskyMask = \nerror=a=b\nstatus = success\n';
  assert.deepEqual(parseLog(log), { status: 'success', skyMask: '', error: 'a=b' });
  assert.deepEqual(Object.keys(parseLog('b=1\na = 2\n')), ['b', 'a']);
  assert.equal(logReportsSuccess(log), true);
  assert.equal(logReportsSuccess('Star Trail native job failed.\nstatus=failed\n'), false);
  assert.equal(logReportsSuccess('Lumivex Hybrid stack completed.\nframes=3\n'), true);
  assert.equal(logReportsSuccess('Hybrid stack job is not available in this build.'), false);
  assert.equal(logReportsSuccess(''), false);
});
