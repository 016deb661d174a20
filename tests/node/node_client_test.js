'use strict';
// The Node.js module, installed from its npm tarball, against the real
// service under Wine (run by the stand-in service suite with node.exe for
// Windows), against a version 1 server of its own, and beside tobractl --json.
// With "squatter" the service is stopped and this program takes the
// service's pipe name itself. Prints one line per check; exits 1 when one fails.
//
//   node node_client_test.js MODULE TARGET-ADDRESS UNKNOWN-ADDRESS TOBRACTL [squatter]

const { execFile } = require('child_process');
const net = require('net');
const path = require('path');

const [modulePath, target, unknown, tobractl, mode] = process.argv.slice(2);
const tobra = require(modulePath);

let failed = 0;
function check(name, condition, detail) {
  console.log(`${condition ? 'ok' : 'FAILED'} ${name}${detail === undefined ? '' : `: ${JSON.stringify(detail)}`}`);
  if (!condition) failed += 1;
}

// A server that predates version 2: drops a version 2 request without a
// reply, answers a version 1 request "done". Counts what it was sent.
function versionOneServer(name) {
  const requests = [];
  const server = net.createServer((socket) => {
    socket.once('data', (data) => {
      requests.push(data);
      if (data.readUInt16LE(2) > 1) {
        socket.destroy();
        return;
      }
      const reply = Buffer.from([0x54, 0x42, 1, 0, data[4], 1, 0, 0, 0, 0, 0, 0]);
      socket.end(reply);
    });
    socket.on('error', () => {});
  });
  return new Promise((resolve) => server.listen(name, () => resolve({ server, requests })));
}

// A server that counts connections and bytes and never answers.
function countingServer(name) {
  const seen = { connections: 0, bytes: 0 };
  const server = net.createServer((socket) => {
    seen.connections += 1;
    socket.on('data', (data) => {
      seen.bytes += data.length;
    });
    socket.on('error', () => {});
  });
  return new Promise((resolve) => server.listen(name, () => resolve({ server, seen })));
}

async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  return null;
}

// tobractl.exe's exit code and its output, as a script would get them.
function runTobractl(args) {
  return new Promise((resolve) => {
    execFile(tobractl, args, { windowsHide: true, timeout: 60000 }, (error, stdout, stderr) => {
      resolve({ code: error ? error.code : 0, stdout, stderr });
    });
  });
}

// The module refuses a program that took the service's pipe name, and it got nothing.
async function squatter() {
  const squat = await countingServer(tobra.PIPE_NAME);
  const error = await rejection(tobra.restart(target, { timeoutMs: 10000 }));
  await new Promise((resolve) => setTimeout(resolve, 200));
  squat.server.close();
  check('a program on the service\'s pipe name is refused', error !== null && error.code === 'ENOTTHESERVICE' &&
        error.requestSent === false && error.windowsError === 0, error && { code: error.code, message: error.message });
  check('the program on the pipe name received nothing', squat.seen.bytes === 0, squat.seen);
}

// tobractl --json and its sentences say the same as the module, for the same requests.
async function tobractlAgrees(address, moduleResult, word, exitCode, sentence) {
  const json = await runTobractl(['--json', 'restart', address]);
  let parsed = null;
  try {
    parsed = JSON.parse(json.stdout);
  } catch (error) {
    parsed = { unparsed: json.stdout };
  }
  check(`tobractl --json for ${word} parses and matches the module`, parsed.command === 'restart' &&
        parsed.outcome === word && moduleResult.outcome === word && parsed.exitCode === exitCode &&
        json.code === exitCode && parsed.address === address.toUpperCase() && parsed.version === 2 &&
        parsed.onResult === `0x${moduleResult.onResult.toString(16).padStart(8, '0')}`, { line: json.stdout.trim() });
  const human = await runTobractl(['restart', address]);
  check(`tobractl's sentence for ${word} says the same`, human.code === exitCode && human.stdout.startsWith(sentence),
        human.stdout);
}

async function service() {
  const switched = await tobra.restart(target, { timeoutMs: 30000 });
  check('restart of a real adapter is switched', switched.outcome === 'switched' && switched.version === 2 &&
        switched.status === 1 && switched.offResult === 0 && switched.onResult === 0, switched);

  const disabled = await tobra.disable(target.toLowerCase().replace(/-/g, ':'), { timeoutMs: 30000 });
  check('disable, the address written otherwise', disabled.outcome === 'switched' && disabled.onResult === 0,
        disabled);

  const enabled = await tobra.enable(target, { timeoutMs: 30000 });
  check('enable after the disable is switched', enabled.outcome === 'switched' && enabled.offResult === 0 &&
        enabled.onResult === 0 && enabled.status === 1, enabled);

  const nobody = await tobra.restart(unknown, { timeoutMs: 30000 });
  check('an unknown address has no adapter', nobody.outcome === 'no-adapter' && nobody.status === 1 &&
        nobody.offResult === 0x80070002 && nobody.onResult === 0x80070002, nobody);

  await tobractlAgrees(target, switched, 'switched', 0, 'Restarted ');
  await tobractlAgrees(unknown, nobody, 'no-adapter', 7, `No adapter has the address ${unknown}.`);
  const list = await runTobractl(['--json', 'list']);
  const adapters = JSON.parse(list.stdout).adapters;
  check('tobractl --json list holds the target', Array.isArray(adapters) &&
        adapters.some((adapter) => adapter.address === target && /^\{[0-9A-F-]{36}\}$/.test(adapter.guid)),
        adapters);

  // The call runs off the event loop: timers keep firing while the DLL waits.
  const silent = await countingServer(`\\\\.\\pipe\\tobra-node-test-silent-${process.pid}`);
  let ticks = 0;
  const ticker = setInterval(() => {
    ticks += 1;
  }, 10);
  const waitedOut = await rejection(tobra.restart(target, { pipe: silent.server.address(), timeoutMs: 1000 }));
  clearInterval(ticker);
  silent.server.close();
  check('a silent server times out while the event loop turns', waitedOut !== null && waitedOut.code === 'ETIMEDOUT' &&
        waitedOut.requestSent === false && ticks >= 10, { code: waitedOut && waitedOut.code, ticks });

  // No DLL, no request: nothing falls back to another way to the pipe.
  const watched = await countingServer(`\\\\.\\pipe\\tobra-node-test-watched-${process.pid}`);
  const missing = path.join(path.dirname(modulePath), 'missing', 'tobra_client.dll');
  const noDll = await rejection(tobra.restart(target, { pipe: watched.server.address(), dllPath: missing }));
  watched.server.close();
  check('a DLL that cannot be loaded is named and nothing is sent', noDll !== null && noDll.code === 'ENODLL' &&
        noDll.message.includes(missing) && watched.seen.connections === 0,
        { code: noDll && noDll.code, message: noDll && noDll.message, seen: watched.seen });

  let thrown = null;
  try {
    await tobra.restart('00-11-22-33-44', {});
  } catch (error) {
    thrown = error;
  }
  check('a malformed address is refused before anything is sent', thrown instanceof TypeError, String(thrown));

  const name = `\\\\.\\pipe\\tobra-node-test-${process.pid}`;
  const old = await versionOneServer(name);
  const unknownOutcome = await tobra.restart(target, { pipe: name, timeoutMs: 10000 });
  old.server.close();
  check('a version 1 server gives an unknown outcome', unknownOutcome.outcome === 'unknown' &&
        unknownOutcome.version === 1 && unknownOutcome.status === 1 && unknownOutcome.offResult === null,
        unknownOutcome);
  // Only two dropped probes in a row mean version 1 (one may be a service stopping).
  check('the adapter request went once, after two probes', old.requests.length === 3 &&
        old.requests.slice(0, 2).every((probe) => probe.readUInt16LE(2) === 2 && probe[4] === 2) &&
        old.requests[2].readUInt16LE(2) === 1 && old.requests[2][4] === 1 && old.requests[2].length === 19,
        old.requests.map((request) => request.toString('hex')));

  const started = Date.now();
  let absent = null;
  try {
    await tobra.restart(target, { pipe: `\\\\.\\pipe\\tobra-node-test-nobody-${process.pid}`, timeoutMs: 500 });
  } catch (error) {
    absent = error;
  }
  const waited = Date.now() - started;
  check('an absent pipe is tried again until the time limit', absent !== null && absent.code === 'ETIMEDOUT' &&
        waited >= 400, { code: absent && absent.code, waited });
}

(mode === 'squatter' ? squatter() : service()).then(
  () => process.exit(failed === 0 ? 0 : 1),
  (error) => {
    console.log(`FAILED with ${error.code || ''} ${error.stack}`);
    process.exit(1);
  }
);
