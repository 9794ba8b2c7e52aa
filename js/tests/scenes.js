'use strict';
// Small synthetic scenes for the tests, written by the lumivex program.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { nativeHost, nativeHostPath } = require('..');

const JOB_FILES = { trail: 'startrail_job_native.json', glow: 'star_glow_job_native.json' };

function lumivexProgram() {
  const buildDir = process.env.LUMIVEX_BUILD_DIR || path.join(__dirname, '..', '..', 'build');
  return process.env.LUMIVEX_EXE || path.join(buildDir, 'host', 'lumivex');
}

// A fresh folder with a 320x240 scene and its job file; removed at exit.
function makeScene(kind, frames = 3) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), `lumivex-node-${kind}-`));
  process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
  const args = ['synth', kind, '--out', dir, '--size', '320x240', '--frames', String(frames)];
  const run = spawnSync(lumivexProgram(), args, { encoding: 'utf8' });
  if (run.status !== 0) throw new Error(`lumivex ${args.join(' ')} failed: ${run.stderr || run.error}`);
  return { dir, job: path.join(dir, JOB_FILES[kind]) };
}

// The test add-on: the real exports plus value and promise probes.
function loadProbe() {
  const probe = path.join(path.dirname(nativeHostPath()), 'lumivex_node_probe.uxpaddon');
  return nativeHost().load(probe, 'lumivex_probe_init');
}

module.exports = { makeScene, loadProbe, lumivexProgram };
