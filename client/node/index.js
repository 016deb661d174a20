'use strict';
// Tobra Service client for Node.js (Electron included): asks the service to
// restart, disable or enable a network adapter, named by its 6-byte hardware address,
// and says what the request did.
//
// Every call goes through tobra_client.dll (koffi), the client that checks
// that the pipe is served by the service and opens it for identification
// only; the calls run on koffi's worker threads, so the event loop never
// waits. When the DLL cannot be loaded nothing is sent: there is no other way
// to the pipe.

const path = require('path');

const PIPE_NAME = '\\\\.\\pipe\\norva\\Tobra Service';
const DLL_NAME = 'tobra_client.dll';
const DEFAULT_TIMEOUT_MS = 60000;
// How long to wait before trying again to open a pipe that is not there
// (the service starting, or between two of its clients).
const ABSENT_RETRY_MS = 50;
// The interface this module was written for: tobra_client.h's major version.
const CLIENT_VERSION_MAJOR = 1;

const ACTION_RESTART = 1;
const ACTION_DISABLE = 2;
const ACTION_ENABLE = 3;
const ERROR_NOT_SUPPORTED = 50;

// The wire's outcome values, by name.
const OUTCOMES = ['nothing-asked', 'switched', 'no-adapter', 'failed', 'refused', 'list-unavailable'];

// TobraResult, and the Windows errors that decide between codes.
const DONE = 0;
const NOT_DONE = 1;
const NO_REPLY = 2;
const CANNOT_CONNECT = 3;
const BAD_REPLY = 4;
const BAD_ARGUMENT = 5;
const NOT_THE_SERVICE = 6;
const ERROR_FILE_NOT_FOUND = 2;
const ERROR_ACCESS_DENIED = 5;

function failure(code, message, details) {
  const error = new Error(message);
  error.code = code;
  return Object.assign(error, details);
}

let koffi = null;
const libraries = new Map(); // DLL path -> its bound functions

// koffi keeps its type names process-wide: declared once for every DLL.
function declareTypes() {
  if (koffi) return koffi;
  try {
    koffi = require('koffi');
  } catch (error) {
    throw failure('ENODLL', `cannot load koffi, which calls ${DLL_NAME}: ${error.message}`);
  }
  // tobra_client.h's layouts; unsigned long is 32 bits on Windows.
  koffi.struct('TobraOutcome', {
    error: 'uint32_t',
    timedOut: 'int',
    requestSent: 'int',
    replySize: 'uint32_t',
    reply: koffi.array('uint8_t', 12),
  });
  koffi.struct('TobraAdapterReport', {
    reported: 'int',
    version: 'uint32_t',
    outcome: 'uint32_t',
    offResult: 'uint32_t',
    onResult: 'uint32_t',
  });
  return koffi;
}

// The DLL's functions: the one beside this module, or the caller's.
function load(dllPath) {
  const file = path.resolve(dllPath || path.join(__dirname, DLL_NAME));
  const known = libraries.get(file);
  if (known) return known;
  const ffi = declareTypes();
  let library;
  try {
    library = ffi.load(file);
  } catch (error) {
    throw failure('ENODLL', `cannot load ${file}: ${error.message}`, { path: file });
  }
  const bound = {
    file,
    version: library.func('uint32_t TobraClientVersion(void)'),
    parse: library.func('int TobraParseHardwareAddress(const char16_t *text, _Out_ uint8_t *address)'),
    send: library.func(
      'int TobraSendAdapterRequestWithReport(const char16_t *pipeName, const uint8_t *hardwareAddress, ' +
        'uint8_t action, uint32_t timeoutMs, _Out_ TobraOutcome *outcome, _Out_ TobraAdapterReport *report)'
    ),
  };
  const version = bound.version();
  if (version >>> 16 !== CLIENT_VERSION_MAJOR) {
    library.unload();
    throw failure('ENODLL', `${file} is version ${version >>> 16}.${(version >>> 8) & 0xff}.${version & 0xff}; ` +
      `this module needs ${CLIENT_VERSION_MAJOR}.x`, { path: file });
  }
  libraries.set(file, bound);
  return bound;
}

// "00-11-22-33-44-55", "00:11:22:33:44:55" or "001122334455", either case:
// the DLL's own reading, so that every client takes the same texts.
function parseAddress(text, options = {}) {
  if (typeof text !== 'string') throw new TypeError('the hardware address must be a string');
  const address = Buffer.alloc(6);
  if (!load(options.dllPath).parse(text, address)) throw new TypeError(`"${text}" is not a hardware address`);
  return address;
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

function call(library, pipe, address, action, timeoutMs) {
  return new Promise((resolve, reject) => {
    const outcome = {};
    const report = {};
    library.send.async(pipe, address, action, timeoutMs, outcome, report, (error, result) => {
      if (error) reject(error);
      else resolve({ result, outcome, report });
    });
  });
}

// What a call's result means to the caller: the promise's value, or an error
// whose code says why there is none.
function settle({ result, outcome, report }, pipe, deadlineMs) {
  const details = { result, windowsError: outcome.error, requestSent: outcome.requestSent !== 0 };
  switch (result) {
    case DONE:
    case NOT_DONE: {
      const status = result === DONE ? 1 : 0;
      // Only an enable: the DLL sent nothing to a service that knows no enable.
      if (!report.reported && outcome.error === ERROR_NOT_SUPPORTED && outcome.requestSent === 0) {
        throw failure('ENOTSUP', 'this service cannot enable adapters (it predates the outcome protocol)', details);
      }
      if (!report.reported) return { outcome: 'unknown', offResult: null, onResult: null, status, version: 1 };
      return {
        outcome: OUTCOMES[report.outcome],
        offResult: report.offResult,
        onResult: report.onResult,
        status,
        version: report.version,
      };
    }
    case NO_REPLY:
      if (outcome.timedOut) {
        throw failure('ETIMEDOUT', outcome.requestSent
          ? `no reply from ${pipe} within ${deadlineMs} ms; the request may still be carried out`
          : `no reply from ${pipe} within ${deadlineMs} ms; nothing was sent`, details);
      }
      throw failure('ENOREPLY', 'the service closed the connection without answering', details);
    case CANNOT_CONNECT:
      if (outcome.timedOut) throw failure('ETIMEDOUT', `${pipe} stayed busy for ${deadlineMs} ms`, details);
      if (outcome.error === ERROR_ACCESS_DENIED) throw failure('EACCES', `access to ${pipe} was denied`, details);
      throw failure('ECANNOTCONNECT', `cannot connect to ${pipe} (Windows error ${outcome.error})`, details);
    case BAD_REPLY:
      throw failure('EBADREPLY', 'the answer is not a reply', details);
    case BAD_ARGUMENT:
      throw failure('EINVAL', `${pipe} is not a local pipe name (\\\\.\\pipe\\...)`, details);
    case NOT_THE_SERVICE:
      throw failure('ENOTTHESERVICE', outcome.error === 0
        ? `nothing sent: ${pipe} is served by another program, not by Tobra Service`
        : `nothing sent: cannot tell whether Tobra Service serves ${pipe} (Windows error ${outcome.error})`,
      details);
    default:
      throw failure('EBADREPLY', `${DLL_NAME} gave the unknown result ${result}`, details);
  }
}

async function send(mac, action, options = {}) {
  const library = load(options.dllPath);
  const address = parseAddress(mac, options);
  const pipe = options.pipe || PIPE_NAME;
  const limit = options.timeoutMs || DEFAULT_TIMEOUT_MS;
  const deadline = Date.now() + limit;

  // An absent pipe was never written to: trying again sends nothing twice.
  for (;;) {
    const left = deadline - Date.now();
    if (left <= 0) throw failure('ETIMEDOUT', `${pipe} did not appear within ${limit} ms; nothing was sent`);
    const answer = await call(library, pipe, address, action, left);
    if (answer.result === CANNOT_CONNECT && answer.outcome.error === ERROR_FILE_NOT_FOUND) {
      await sleep(Math.min(ABSENT_RETRY_MS, Math.max(deadline - Date.now(), 0)));
      continue;
    }
    return settle(answer, pipe, limit);
  }
}

// restart(mac, options) / disable(mac, options) / enable(mac, options): a promise of
// { outcome, offResult, onResult, status, version }. Options: pipe (another
// pipe name), timeoutMs (the whole call, default 60000), dllPath (another
// tobra_client.dll than the one beside this module).
function restart(mac, options) {
  return send(mac, ACTION_RESTART, options);
}

function disable(mac, options) {
  return send(mac, ACTION_DISABLE, options);
}

// Switches on again what a disable left off; ENOTSUP from a version 1 service.
function enable(mac, options) {
  return send(mac, ACTION_ENABLE, options);
}

module.exports = { restart, disable, enable, parseAddress, PIPE_NAME, OUTCOMES };
