'use strict';
// The script side of the Lumivex add-on: load the native module into Node.js
// and run jobs through it the way the editor plug-in's script does.
const fs = require('node:fs');
const path = require('node:path');
const { readText, readJobPaths, readProgress, parseLog, logReportsSuccess } = require('./lib/job_files');

const EXPORTS = ['my_function', 'my_echo', 'my_echo_async', 'my_start_job_background'];
const MODES = ['echo', 'async', 'background'];

// The Node-API host module the build writes (host/node/lumivex_node.node):
// load(modulePath[, entry]), counts() and defaultAddonPath.
function nativeHostPath() {
  const buildDir = process.env.LUMIVEX_BUILD_DIR || path.join(__dirname, '..', 'build');
  return process.env.LUMIVEX_NODE_MODULE || path.join(buildDir, 'host', 'node', 'lumivex_node.node');
}

function nativeHost() {
  return require(nativeHostPath());
}

// Failures come back from the add-on as error values; a script expects them
// thrown. No value at all means the add-on could not even build its error.
function thrown(result, name) {
  if (result instanceof Error) throw result;
  if (result === undefined || result === null) throw new Error(`${name} returned no value`);
  return result;
}

// The add-on's four functions. modulePath defaults to LUMIVEX_ADDON, else to
// the module the build wrote. `raw` holds the exports exactly as the add-on returns them.
function loadAddon(modulePath) {
  const host = nativeHost();
  const target = modulePath || process.env.LUMIVEX_ADDON || host.defaultAddonPath;
  const raw = host.load(target);
  for (const name of EXPORTS) {
    if (typeof raw[name] !== 'function') throw new Error(`Add-on module ${target} does not export ${name}`);
  }
  return {
    modulePath: target,
    raw,
    my_function: () => thrown(raw.my_function(), 'my_function'),
    my_echo: (jobPath) => thrown(raw.my_echo(jobPath), 'my_echo'),
    my_start_job_background: (jobPath) => thrown(raw.my_start_job_background(jobPath), 'my_start_job_background'),
    my_echo_async: (jobPath) => {
      const result = raw.my_echo_async(jobPath);
      return result instanceof Error ? Promise.reject(result) : result;
    },
  };
}

let defaultAddon = null;

// Reports each new progress state once; poll() reads now and returns it.
function progressWatcher(progressPath, onProgress) {
  let last = '';
  let snapshot = null;
  let timer = null;
  const poll = () => {
    const now = readProgress(progressPath);
    if (now) {
      snapshot = now;
      const key = `${now.percent}\n${now.stage}\n${now.detail}`;
      if (key !== last) {
        last = key;
        if (onProgress) onProgress({ ...now });
      }
    }
    return snapshot;
  };
  return {
    poll,
    start(ms) { timer = setInterval(poll, ms); },
    stop() { if (timer) clearInterval(timer); timer = null; },
  };
}

// A promise rejection carries the add-on's text (or `true`); the script gets an Error.
function asyncFailure(reason) {
  if (reason instanceof Error) return reason;
  const message = typeof reason === 'string' ? reason : 'Lumivex job failed without a message';
  return new Error(message, { cause: reason });
}

// A background job ends when its progress says so and its result log has
// settled: the final log is written after the last progress entry, and not atomically.
function waitForBackground(jobPath, paths, watcher, pollMs, stallMs) {
  if (!paths.progress && !paths.resultLog) {
    return Promise.reject(new Error(`Job file ${jobPath} names neither a progress file nor a result log`));
  }
  return new Promise((resolve, reject) => {
    let seen = null;
    let lastChange = Date.now();
    const timer = setInterval(() => {
      const snapshot = watcher.poll();
      const log = paths.resultLog ? readText(paths.resultLog) : '';
      const state = JSON.stringify([snapshot, log]);
      const steady = state === seen;
      if (!steady) {
        seen = state;
        lastChange = Date.now();
      }
      const ended = !paths.progress || (snapshot && (snapshot.stage === 'Completed' || snapshot.stage === 'Failed'));
      const logFinal = !paths.resultLog || (log && parseLog(log).status !== 'running');
      if (ended && logFinal && steady) {
        clearInterval(timer);
        resolve(log || '');
      } else if (Date.now() - lastChange > stallMs) {
        clearInterval(timer);
        reject(new Error(`Background job ${jobPath} made no progress for ${Math.round(stallMs / 1000)} s`));
      }
    }, pollMs);
  });
}

function removeStale(file) {
  if (file) fs.rmSync(file, { force: true });
}

// Runs a job file and resolves to { ok, log, fields }. mode: 'echo' (blocks
// this thread for the whole job), 'async' (a promise from the add-on) or
// 'background' (a thread of the add-on's own, followed through its files).
// onProgress({ percent, stage, detail }) hears each new progress state.
async function runJob(jobPath, options = {}) {
  const { mode = 'echo', onProgress, pollMs = 100, stallMs = 120000 } = options;
  if (!MODES.includes(mode)) throw new TypeError(`runJob: mode must be one of ${MODES.join(', ')}`);
  const addon = options.addon || (defaultAddon ??= loadAddon());
  const paths = readJobPaths(jobPath);
  // Last run's files would read as this run's end.
  removeStale(paths.progress);
  removeStale(paths.resultLog);
  const watcher = progressWatcher(paths.progress, onProgress);
  let log;
  try {
    if (mode === 'echo') {
      log = addon.my_echo(jobPath);
    } else if (mode === 'async') {
      watcher.start(pollMs);
      await addon.my_echo_async(jobPath).catch((reason) => { throw asyncFailure(reason); });
      log = readText(paths.resultLog) ?? '';
    } else {
      const started = addon.my_start_job_background(jobPath);
      if (started !== true) throw new Error(`my_start_job_background did not start ${jobPath}: ${String(started)}`);
      log = await waitForBackground(jobPath, paths, watcher, pollMs, stallMs);
    }
  } finally {
    watcher.stop();
  }
  watcher.poll();
  return { ok: logReportsSuccess(log), log, fields: parseLog(log) };
}

module.exports = { loadAddon, runJob, nativeHost, nativeHostPath, readJobPaths, readProgress, parseLog, logReportsSuccess };
