'use strict';
// Job files, progress files and result logs as the plug-in's script reads them.
const fs = require('node:fs');

function readText(path) {
  try {
    return fs.readFileSync(path, 'utf8');
  } catch {
    return null;
  }
}

// The JSON string after the first occurrence of "key" and its colon, the way
// the add-on itself finds it (the first occurrence wins); null when absent.
function jsonStringAfterKey(text, key) {
  const quoted = `"${key}"`;
  const at = text.indexOf(quoted);
  if (at < 0) return null;
  const m = /^\s*:\s*"((?:[^"\\]|\\.)*)"/.exec(text.slice(at + quoted.length));
  if (!m) return null;
  try {
    return JSON.parse(`"${m[1]}"`);
  } catch {
    return null;
  }
}

// key=value job lines: the last one of a key wins, as the hybrid stack job reads it.
function keyValueLines(text) {
  const out = {};
  for (const raw of text.split('\n')) {
    const line = raw.trim();
    if (!line || line.startsWith('#')) continue;
    const eq = line.indexOf('=');
    if (eq > 0) out[line.slice(0, eq).trim()] = line.slice(eq + 1).trim();
  }
  return out;
}

// { progress, resultLog } a job file names; empty strings when it names none.
function readJobPaths(jobPath) {
  const text = readText(jobPath);
  if (text === null) throw new Error(`Cannot read job file ${jobPath}`);
  if (text.trimStart().startsWith('{')) {
    const progress = jsonStringAfterKey(text, 'progress') ?? jsonStringAfterKey(text, 'progressPath') ?? '';
    return { progress, resultLog: jsonStringAfterKey(text, 'resultLog') ?? '' };
  }
  const lines = keyValueLines(text);
  return { progress: lines.progress ?? '', resultLog: lines.resultLog ?? '' };
}

// { percent, stage, detail } of a progress file, or null while it is absent
// (the writer replaces it by rename) or has no percent line yet.
function readProgress(path) {
  const text = path ? readText(path) : null;
  if (text === null) return null;
  const snapshot = { percent: NaN, stage: '', detail: '' };
  for (const raw of text.split('\n')) {
    const line = raw.replace(/\r$/, '');
    const eq = line.indexOf('=');
    if (eq < 0) continue;
    const key = line.slice(0, eq);
    const value = line.slice(eq + 1);
    if (key === 'percent') snapshot.percent = parseInt(value, 10);
    else if (key === 'stage' || key === 'detail') snapshot[key] = value;
  }
  return Number.isNaN(snapshot.percent) ? null : snapshot;
}

// Result-log lines "key=value" or "key = value" as an object in log order; a
// key that repeats keeps its last value, the one a reader of the log sees last.
function parseLog(log) {
  const fields = {};
  for (const raw of log.split('\n')) {
    const line = raw.replace(/\r$/, '');
    const eq = line.indexOf('=');
    if (eq <= 0) continue;
    const key = line.slice(0, eq).trim();
    if (key) fields[key] = line.slice(eq + 1).trim();
  }
  return fields;
}

// Success: the last status line says "success"; a log without one succeeds
// when its first line ends in "completed.".
function logReportsSuccess(log) {
  const fields = parseLog(log);
  if ('status' in fields) return fields.status === 'success';
  const first = log.split('\n', 1)[0].trim();
  return first.toLowerCase().endsWith('completed.');
}

module.exports = { readText, readJobPaths, readProgress, parseLog, logReportsSuccess };
