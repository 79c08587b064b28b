// Asking platform_probe.exe from a Node launcher (Electron's main process, a
// script): one function, no dependencies beyond Node itself (12 or later).
//
//   const { queryCloudPlatform } = require('./probe_caller');
//   const answer = await queryCloudPlatform('C:\\Games\\Launcher\\platform_probe.exe', 35000);
//   if (answer.platform === 'in-cloud') { ... }
//   // 'failed': answer.kind, answer.reason and answer.detail say why; treat it
//   // like 'not-in-cloud'.
//
// It keeps the probe's calling rules (CALLING.txt): the absolute path and
// nothing else, no window, standard input and error closed, at most 4096 bytes
// of standard output, a time limit after which the probe is killed, and the
// output compared exactly with the two reports. It never waits for the pipe to
// close ('close' or 'end'): a process started inside the probe can hold it
// open long after the probe has exited. The probe's exit decides; once it has
// exited, everything it wrote is already in the pipe and arrives at once.
//
// Run as a program it asks once and prints what came back:
//   node probe_caller.js PROBE_PATH TIMEOUT_MS
'use strict';

const { spawn } = require('child_process');
const path = require('path');

const MAX_OUTPUT = 4096;
// After the exit: the pipe's last bytes arrive within this quiet time.
const DRAIN_MS = 50;
// After a kill: how long to wait until the probe is gone.
const REAP_MS = 1000;
const IN_CLOUD = Buffer.from('{"cloud_platform":"STP"}');
const NOT_IN_CLOUD = Buffer.from('{}');

function failed(kind, reason, detail) {
  return { platform: 'failed', kind, reason, detail };
}

// The whole output is one report followed by CR LF or LF alone.
function isReportLine(output, report) {
  for (const end of ['\r\n', '\n']) {
    if (output.equals(Buffer.concat([report, Buffer.from(end)]))) return true;
  }
  return false;
}

function judge(output, exitCode) {
  const code = exitCode >>> 0;
  if ((code & 0xf0000000) >>> 0 === 0xc0000000) {
    return failed('crashed', 'the probe crashed (it ended with an exception status)', code);
  }
  if (code !== 0) return failed('exit-code', 'the probe exited with a code other than 0', code);
  if (output.length === 0) return failed('not-a-report', 'the probe wrote nothing', 0);
  if (isReportLine(output, IN_CLOUD)) {
    return { platform: 'in-cloud', kind: 'none', reason: 'the probe reported the Stratoplay cloud', detail: 0 };
  }
  if (isReportLine(output, NOT_IN_CLOUD)) {
    return { platform: 'not-in-cloud', kind: 'none', reason: 'the probe reported no cloud', detail: 0 };
  }
  return failed('not-a-report', "the probe's output is not a report line", output.length);
}

// Resolves (never rejects) to { platform: 'in-cloud' | 'not-in-cloud' |
// 'failed', kind, reason, detail }; kind and detail as in the C++ caller
// (probe_caller.h), detail a Node error code for 'could-not-start'.
function queryCloudPlatform(probePath, timeoutMs) {
  return new Promise((resolve) => {
    // An absolute path: one that resolves to its own normal form whatever
    // the current directory ("C:/Games/x.exe" is one; "C:x", "\x" and ".\x" are not).
    if (typeof probePath !== 'string' || !path.isAbsolute(probePath) ||
        path.resolve(probePath) !== path.normalize(probePath)) {
      resolve(failed('path-refused', 'the probe path is not absolute', 0));
      return;
    }
    if (!/\.exe$/i.test(probePath)) {
      resolve(failed('path-refused', 'the probe path does not name an .exe', 0));
      return;
    }
    let child;
    try {
      child = spawn(path.normalize(probePath), [], { stdio: ['ignore', 'pipe', 'ignore'], windowsHide: true, shell: false });
    } catch (error) {
      resolve(failed('could-not-start', 'cannot start the probe', error.code || 0));
      return;
    }
    const chunks = [];
    let length = 0;
    let exitCode = null;
    let ending = null; // the answer once the probe is being killed
    let done = false;
    let limit = null;
    let drain = null;
    const finish = (answer) => {
      if (done) return;
      done = true;
      clearTimeout(limit);
      clearTimeout(drain);
      // Our end of the pipe goes, so that whoever still holds the other end
      // keeps nothing of ours alive.
      child.stdout.destroy();
      child.unref();
      resolve(answer);
    };
    // Kills the probe and answers once it is gone, or after REAP_MS.
    const end = (answer) => {
      if (done || ending !== null) return;
      ending = answer;
      if (exitCode !== null) {
        finish(answer);
        return;
      }
      child.kill('SIGKILL');
      setTimeout(() => finish(answer), REAP_MS).unref();
    };
    const judgeNow = () => finish(judge(Buffer.concat(chunks), exitCode));
    const waitForQuiet = () => {
      clearTimeout(drain);
      drain = setTimeout(judgeNow, DRAIN_MS);
    };
    child.on('error', (error) => {
      if (child.pid === undefined) finish(failed('could-not-start', 'cannot start the probe', error.code || 0));
      else end(failed('read-failed', "cannot read the probe's output", error.code || 0));
    });
    child.stdout.on('data', (chunk) => {
      chunks.push(chunk);
      length += chunk.length;
      if (length > MAX_OUTPUT) end(failed('wrote-too-much', 'the probe wrote too much', length));
      else if (exitCode !== null && ending === null) waitForQuiet();
    });
    child.on('exit', (code, signal) => {
      if (ending !== null) {
        finish(ending);
        return;
      }
      if (signal !== null) {
        finish(failed('crashed', 'the probe crashed (it ended with a signal)', signal));
        return;
      }
      exitCode = code;
      // The end of the stream, when nothing else holds the pipe, or a quiet time.
      child.stdout.once('end', judgeNow);
      waitForQuiet();
    });
    // A limit past what a timer holds (Infinity among them) is no limit of ours.
    if (timeoutMs <= 0x7fffffff) {
      limit = setTimeout(() => end(failed('timed-out', 'the probe did not exit in time', timeoutMs)), timeoutMs);
    }
  });
}

module.exports = { queryCloudPlatform };

if (require.main === module) {
  const [probePath, timeout] = process.argv.slice(2);
  const start = Date.now();
  queryCloudPlatform(probePath, Number(timeout)).then((answer) => {
    process.stdout.write(
      `answer: ${answer.platform}\nkind: ${answer.kind}\nreason: ${answer.reason}\n` +
        `detail: ${answer.detail}\nelapsed_ms: ${Date.now() - start}\n`
    );
  });
}
