'use strict';
// The Node.js module against the real service under Wine (run by the
// stand-in service suite with node.exe for Windows), and against a version 1
// server of its own. Prints one line per check; exits 1 when one fails.
//
//   node node_client_test.js MODULE TARGET-ADDRESS UNKNOWN-ADDRESS

const net = require('net');

const [modulePath, target, unknown] = process.argv.slice(2);
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

async function main() {
  const switched = await tobra.restart(target, { timeoutMs: 30000 });
  check('restart of a real adapter is switched', switched.outcome === 'switched' && switched.version === 2 &&
        switched.status === 1 && switched.offResult === 0 && switched.onResult === 0, switched);

  const disabled = await tobra.disable(target.toLowerCase().replace(/-/g, ':'), { timeoutMs: 30000 });
  check('disable, the address written otherwise', disabled.outcome === 'switched' && disabled.onResult === 0,
        disabled);

  const nobody = await tobra.restart(unknown, { timeoutMs: 30000 });
  check('an unknown address has no adapter', nobody.outcome === 'no-adapter' && nobody.status === 1 &&
        nobody.offResult === 0x80070002 && nobody.onResult === 0x80070002, nobody);

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
  check('the adapter request went once, after the probe', old.requests.length === 2 &&
        old.requests[0].readUInt16LE(2) === 2 && old.requests[0][4] === 2 &&
        old.requests[1].readUInt16LE(2) === 1 && old.requests[1][4] === 1 && old.requests[1].length === 19,
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

main().then(
  () => process.exit(failed === 0 ? 0 : 1),
  (error) => {
    console.log(`FAILED with ${error.code || ''} ${error.stack}`);
    process.exit(1);
  }
);
