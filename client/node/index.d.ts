// Types of tobra-service-client.

/** What the service reported of a request. */
export type Outcome =
  | 'nothing-asked'
  | 'switched'
  | 'no-adapter'
  | 'failed'
  | 'refused'
  | 'list-unavailable'
  /** A service that predates protocol version 2: it does not say. */
  | 'unknown';

export interface AdapterResult {
  outcome: Outcome;
  /** HRESULT of the switch-off pass as an unsigned number; null from a version 1 service. */
  offResult: number | null;
  /** HRESULT of a restart's or an enable's switch-on pass; null from a version 1 service. */
  onResult: number | null;
  /** The reply's status: 1 done, 0 not done. */
  status: 0 | 1;
  /** The service's protocol version. */
  version: number;
}

export interface Options {
  /** Another pipe name than PIPE_NAME (tests). */
  pipe?: string;
  /** The time limit of the whole call in milliseconds; default 60000. */
  timeoutMs?: number;
  /** Another tobra_client.dll than the one beside the module. */
  dllPath?: string;
}

export type ErrorCode =
  | 'ETIMEDOUT'
  | 'ENOREPLY'
  | 'EBADREPLY'
  | 'ENOTTHESERVICE'
  | 'ENOTSUP'
  | 'EACCES'
  | 'ECANNOTCONNECT'
  | 'EINVAL'
  | 'ENODLL';

/** How a call rejects (a malformed address rejects with a TypeError instead). */
export interface TobraError extends Error {
  code: ErrorCode;
  /** The DLL's TobraResult; absent for ENODLL and a time limit spent waiting for an absent pipe. */
  result?: number;
  /** The Windows error code of the step that failed; 0 if none. */
  windowsError?: number;
  /** Whether the adapter request was written: after ETIMEDOUT it may still be carried out. */
  requestSent?: boolean;
  /** For ENODLL: the DLL that could not be loaded. */
  path?: string;
}

export function restart(mac: string, options?: Options): Promise<AdapterResult>;
export function disable(mac: string, options?: Options): Promise<AdapterResult>;
/** Switches on again what a disable left off; rejects with ENOTSUP from a version 1 service. */
export function enable(mac: string, options?: Options): Promise<AdapterResult>;
/** The 6 bytes (a Buffer) of "00-11-22-33-44-55", "00:11:22:33:44:55" or "001122334455"; throws a TypeError otherwise. */
export function parseAddress(text: string, options?: Pick<Options, 'dllPath'>): Uint8Array;

export const PIPE_NAME: string;
export const OUTCOMES: readonly Outcome[];
