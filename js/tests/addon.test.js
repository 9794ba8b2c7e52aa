'use strict';
// The add-on loaded into Node.js: its exports, its banner, its error values
// and the host's refusals when a module cannot be loaded.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { loadAddon, nativeHost } = require('..');

test('the add-on registers its four functions and answers with its banner', () => {
  const addon = loadAddon();
  assert.deepEqual(Object.keys(addon.raw),
    ['my_function', 'my_echo', 'my_start_job_background', 'my_echo_async']);
  for (const name of Object.keys(addon.raw)) assert.equal(typeof addon.raw[name], 'function');
  assert.equal(addon.my_function(), 'Lumivex Native Addon 0.1.0');
  // the banner has no stray bytes past its end
  assert.equal(Buffer.byteLength(addon.raw.my_function()), 'Lumivex Native Addon 0.1.0'.length);
});

test('LUMIVEX_ADDON chooses the module when no path is given', () => {
  const saved = process.env.LUMIVEX_ADDON;
  process.env.LUMIVEX_ADDON = path.join(os.tmpdir(), 'lumivex-no-such-module.uxpaddon');
  try {
    assert.throws(() => loadAddon(), (e) => e.code === 'ERR_LUMIVEX_LOAD' && e.message.includes('lumivex-no-such-module'));
  } finally {
    if (saved === undefined) delete process.env.LUMIVEX_ADDON;
    else process.env.LUMIVEX_ADDON = saved;
  }
  assert.equal(loadAddon().modulePath, nativeHost().defaultAddonPath);
});

test('add-on failures arrive as JavaScript errors with code "-1"', async (t) => {
  const addon = loadAddon();
  const wrongArguments = [[5], [], [{ path: 'x' }], [true]];
  for (const args of wrongArguments) {
    const answer = addon.raw.my_echo(...args);
    assert.ok(answer instanceof Error, `my_echo(${JSON.stringify(args)}) returns an error value`);
    assert.equal(answer.code, '-1');
    assert.equal(answer.message, 'unknown exception');
    assert.throws(() => addon.my_echo(...args), (e) => e instanceof Error && e.code === '-1');
  }
  await t.test('the asynchronous and background functions too', async () => {
    for (const name of ['my_echo_async', 'my_start_job_background']) {
      const answer = addon.raw[name](5);
      assert.ok(answer instanceof Error, `${name}(5) returns an error value`);
      assert.equal(answer.code, '-1');
    }
    await assert.rejects(addon.my_echo_async(5), (e) => e.code === '-1');
  });
});

test('a module that cannot be loaded or has no entry point is refused with the reason', () => {
  const host = nativeHost();
  const notAModule = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'lumivex-node-')), 'empty.uxpaddon');
  fs.writeFileSync(notAModule, 'not a shared library');
  try {
    assert.throws(() => host.load(notAModule), (e) => e.code === 'ERR_LUMIVEX_LOAD' && e.message.includes(notAModule));
    assert.throws(() => host.load(host.defaultAddonPath, 'no_such_entry'),
      (e) => e.code === 'ERR_LUMIVEX_LOAD' && e.message.includes('no_such_entry'));
    assert.throws(() => host.load(42), (e) => e.code === 'ERR_LUMIVEX_LOAD');
  } finally {
    fs.rmSync(path.dirname(notAModule), { recursive: true, force: true });
  }
});
