// Must fail to compile: the time limit is a number, and the outcome has no such value.
import { restart } from 'tobra-service-client';

export async function main(): Promise<boolean> {
  const result = await restart('00-11-22-33-44-55', { timeoutMs: '30000' });
  return result.outcome === 'rebooted';
}
