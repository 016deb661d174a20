'use strict';
// Tobra Service client for Node.js (Electron included): asks the service to
// restart or disable a network adapter, named by its 6-byte hardware address,
// over the service's control pipe, and says what the request did.
//
// No dependencies: only Node's `net`. One request per connection; the
// service's protocol version is asked first with a request that never acts,
// and the adapter request is then sent once, never again.

const net = require('net');

const PIPE_NAME = '\\\\.\\pipe\\norva\\Tobra Service';
const DEFAULT_TIMEOUT_MS = 60000;
// How long to wait before trying again to open a pipe that is not there
// (the service starting, or between two of its clients).
const ABSENT_RETRY_MS = 50;

const MAGIC = 0x4254; // "TB"
const HEADER_SIZE = 12;
const OUTCOME_REPLY_SIZE = 24;
const COMMAND_ADAPTER = 1;
const COMMAND_PROBE = 2; // any command but 0 and 1: answered "not done", never acts
const ACTION_RESTART = 1;
const ACTION_DISABLE = 2;

// The wire's outcome values, by name.
const OUTCOMES = ['nothing-asked', 'switched', 'no-adapter', 'failed', 'refused', 'list-unavailable'];

// "00-11-22-33-44-55", "00:11:22:33:44:55" or "001122334455", either case.
function parseAddress(text) {
  if (typeof text !== 'string') throw new TypeError('the hardware address must be a string');
  let hex;
  if (text.length === 17) {
    const separator = text[2];
    if (separator !== '-' && separator !== ':') throw new TypeError(`"${text}" is not a hardware address`);
    const parts = text.split(separator);
    if (parts.length !== 6 || parts.some((part) => part.length !== 2)) {
      throw new TypeError(`"${text}" is not a hardware address`);
    }
    hex = parts.join('');
  } else if (text.length === 12) {
    hex = text;
  } else {
    throw new TypeError(`"${text}" is not a hardware address`);
  }
  if (!/^[0-9A-Fa-f]{12}$/.test(hex)) throw new TypeError(`"${text}" is not a hardware address`);
  return Buffer.from(hex, 'hex');
}

function header(version, command, dataSize) {
  const bytes = Buffer.alloc(HEADER_SIZE);
  bytes.writeUInt16LE(MAGIC, 0);
  bytes.writeUInt16LE(version, 2);
  bytes.writeUInt8(command, 4);
  bytes.writeUInt32LE(dataSize, 8);
  return bytes;
}

function adapterRequest(version, address, action) {
  return Buffer.concat([header(version, COMMAND_ADAPTER, 7), address, Buffer.from([action])]);
}

function failure(code, message) {
  const error = new Error(message);
  error.code = code;
  return error;
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Opens the pipe, trying again while it is absent until the deadline. A busy
// pipe shows as a slow connect (the runtime waits for the instance itself).
async function connect(pipe, deadline) {
  for (;;) {
    const left = deadline - Date.now();
    if (left <= 0) throw failure('ETIMEDOUT', `no answer from ${pipe} in time`);
    try {
      return await new Promise((resolve, reject) => {
        const socket = net.connect({ path: pipe });
        const timer = setTimeout(() => {
          socket.destroy();
          reject(failure('ETIMEDOUT', `${pipe} stayed busy`));
        }, left);
        socket.once('connect', () => {
          clearTimeout(timer);
          socket.removeAllListeners('error');
          resolve(socket);
        });
        socket.once('error', (error) => {
          clearTimeout(timer);
          socket.destroy();
          reject(error);
        });
      });
    } catch (error) {
      if (error.code !== 'ENOENT' && error.code !== 'EBUSY') throw error;
      await sleep(Math.min(ABSENT_RETRY_MS, Math.max(deadline - Date.now(), 0)));
    }
  }
}

// Writes the request in one write and collects what comes back until the
// service drops the connection; the bytes (possibly none). The service's
// disconnect after its reply shows as EPIPE (or ECONNRESET), not 'end':
// what arrived before it counts.
async function exchange(pipe, request, deadline) {
  const socket = await connect(pipe, deadline);
  return new Promise((resolve, reject) => {
    const chunks = [];
    let settled = false;
    const finish = (error) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      socket.destroy();
      if (error) reject(error);
      else resolve(Buffer.concat(chunks));
    };
    const timer = setTimeout(
      () => finish(failure('ETIMEDOUT', 'no reply in time; the request may still be carried out')),
      Math.max(deadline - Date.now(), 0)
    );
    socket.on('data', (chunk) => chunks.push(chunk));
    socket.on('end', () => finish());
    socket.on('close', () => finish());
    socket.on('error', (error) => {
      if (['EPIPE', 'ECONNRESET', 'EOF'].includes(error.code)) finish();
      else finish(error);
    });
    socket.write(request);
  });
}

function checkHeader(reply, version, command, dataSize) {
  return (
    reply.readUInt16LE(0) === MAGIC &&
    reply.readUInt16LE(2) === version &&
    reply[4] === command &&
    reply.readUInt32LE(8) === dataSize &&
    (reply[5] === 0 || reply[5] === 1)
  );
}

// A version 2 reply: its outcome must fit its status.
function parseOutcomeReply(reply, command) {
  if (reply.length !== OUTCOME_REPLY_SIZE || !checkHeader(reply, 2, command, 12)) return null;
  const value = reply.readUInt32LE(12);
  if (value >= OUTCOMES.length) return null;
  const status = value === 0 || value === 4 ? 0 : 1;
  if (reply[5] !== status) return null;
  return {
    outcome: OUTCOMES[value],
    offResult: reply.readUInt32LE(16),
    onResult: reply.readUInt32LE(20),
    status,
    version: 2,
  };
}

async function send(mac, action, options = {}) {
  const address = parseAddress(mac);
  const pipe = options.pipe || PIPE_NAME;
  const deadline = Date.now() + (options.timeoutMs || DEFAULT_TIMEOUT_MS);

  // The service's version, asked with a request that never acts: a version 1
  // service drops a version 2 request without a reply.
  const probe = await exchange(pipe, header(2, COMMAND_PROBE, 0), deadline);
  let version;
  if (probe.length === 0) version = 1;
  else if (parseOutcomeReply(probe, COMMAND_PROBE)) version = 2;
  else throw failure('EBADREPLY', 'the answer to the version probe is not a reply');

  // The adapter request, once.
  const reply = await exchange(pipe, adapterRequest(version, address, action), deadline);
  if (reply.length === 0) throw failure('ENOREPLY', 'the service closed the connection without answering');
  if (version === 2) {
    const result = parseOutcomeReply(reply, COMMAND_ADAPTER);
    if (!result) throw failure('EBADREPLY', 'the answer is not a version 2 reply');
    return result;
  }
  if (reply.length !== HEADER_SIZE || !checkHeader(reply, 1, COMMAND_ADAPTER, 0)) {
    throw failure('EBADREPLY', 'the answer is not a reply');
  }
  return { outcome: 'unknown', offResult: null, onResult: null, status: reply[5], version: 1 };
}

// restart(mac, options) / disable(mac, options): a promise of
// { outcome, offResult, onResult, status, version }. Options: pipe (another
// pipe name), timeoutMs (the whole call, default 60000).
function restart(mac, options) {
  return send(mac, ACTION_RESTART, options);
}

function disable(mac, options) {
  return send(mac, ACTION_DISABLE, options);
}

module.exports = { restart, disable, parseAddress, PIPE_NAME, OUTCOMES };
