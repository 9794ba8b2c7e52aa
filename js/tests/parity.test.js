'use strict';
// The same calls through both hosts: the stand-in (`lumivex call`) and this
// one must give the same answer, so a misreading of the host table in
// either shows up as a difference.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { loadAddon } = require('..');
const { makeScene, lumivexProgram } = require('./scenes');

const addon = loadAddon();

// The answer as `lumivex call` prints it.
async function describe(answer) {
  if (answer instanceof Error) return `error: ${answer.code}: ${answer.message}`;
  if (answer instanceof Promise) {
    return answer.then((v) => `resolved: ${String(v)}`, (r) => `rejected: ${String(r)}`);
  }
  return String(answer);
}

function standin(name, arg) {
  const args = ['call', name];
  if (typeof arg === 'string') args.push(arg);
  else if (typeof arg === 'number') args.push('--number', String(arg));
  else if (typeof arg === 'boolean') args.push('--bool', String(arg));
  const run = spawnSync(lumivexProgram(), args, { encoding: 'utf8' });
  return (run.stdout + run.stderr).replace(/\n$/, '');
}

test('every export answers Node.js as it answers the stand-in host', async () => {
  const { dir, job } = makeScene('trail', 2);
  const keys = JSON.parse(fs.readFileSync(job, 'utf8'));
  keys.inputs = keys.inputs.slice(0, 1);
  const oneFrame = path.join(dir, 'startrail_job_native_one.json');
  fs.writeFileSync(oneFrame, JSON.stringify(keys));
  const missing = path.join(os.tmpdir(), 'lumivex-parity-missing', 'star_glow_job_native.json');
  const missingStack = path.join(os.tmpdir(), 'lumivex-parity-missing', 'stack_job.txt');
  const calls = [
    ['my_function'],
    ['my_echo'], ['my_echo', 5], ['my_echo', true], ['my_echo', oneFrame], ['my_echo', missing],
    ['my_echo_async', 5], ['my_echo_async', false], ['my_echo_async', missingStack],
    ['my_start_job_background', 5], ['my_start_job_background', true], ['my_start_job_background', missingStack],
  ];
  for (const [name, ...args] of calls) {
    const here = (await describe(addon.raw[name](...args))).replace(/\n$/, '');
    assert.equal(here, standin(name, args[0]), `${name}(${args.map(String).join(', ')})`);
  }
});
