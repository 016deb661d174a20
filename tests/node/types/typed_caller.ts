// A caller as an Electron application writes it: must compile under strict.
import { restart, disable, parseAddress, type AdapterResult, type TobraError } from 'tobra-service-client';

async function restartOrSay(mac: string): Promise<string> {
  try {
    const result: AdapterResult = await restart(mac, { timeoutMs: 30000 });
    if (result.outcome === 'failed' && result.offResult !== null) return `failed: 0x${result.offResult.toString(16)}`;
    return result.outcome;
  } catch (error) {
    const failure = error as TobraError;
    if (failure.code === 'ENOTTHESERVICE') return 'not the service';
    return failure.code;
  }
}

export async function main(): Promise<string> {
  const bytes: Uint8Array = parseAddress('00-11-22-33-44-55');
  const status: 0 | 1 = (await disable('00:11:22:33:44:55', { pipe: '\\\\.\\pipe\\x', dllPath: 'C:\\x.dll' })).status;
  return `${bytes.length} ${status} ${await restartOrSay('001122334455')}`;
}
