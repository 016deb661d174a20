/* Tobra client library, the static library's extras: the raw exchange that
 * tobractl's raw command and the tests use, and the wire helpers that the
 * tests and the fuzzer reach. Not part of tobra_client.dll's interface: a raw
 * exchange sends any bytes it is given, and the helpers are the library's own
 * reading of the wire, which may change with it. */
#ifndef TOBRA_CLIENT_RAW_H
#define TOBRA_CLIENT_RAW_H

#include "tobra_client.h"

#ifdef __cplusplus
extern "C" {
#endif

/* For tests of the service: sends requestSize bytes as they are (0 to
 * TOBRA_MAX_REQUEST_SIZE) in one write and reads everything that comes back
 * until the service closes the connection, replyCapacity bytes have arrived or
 * the time limit passes. The result judges what arrived as a reply to the
 * request's command byte. */
TobraResult TobraExchangeRaw(const wchar_t* pipeName, const void* request, unsigned long requestSize,
                             unsigned long timeoutMs, unsigned char* reply, unsigned long replyCapacity,
                             TobraOutcome* outcome);

/* Writes the 19-byte request; returns its size, or 0 for an unknown action. */
unsigned long TobraBuildAdapterRequest(const unsigned char* hardwareAddress, unsigned char action,
                                       unsigned char request[TOBRA_ADAPTER_REQUEST_SIZE]);

/* Judges replySize received bytes as the reply to a request with the given
 * command byte (-1: any command): TOBRA_DONE, TOBRA_NOT_DONE, TOBRA_NO_REPLY
 * for nothing at all, or TOBRA_BAD_REPLY. */
TobraResult TobraCheckReply(const unsigned char* reply, unsigned long replySize, int command);

/* The same for a version 2 reply (24 bytes, its outcome in keeping with its
 * status); fills report (which may be NULL) when it is one. */
TobraResult TobraCheckOutcomeReply(const unsigned char* reply, unsigned long replySize, int command,
                                   TobraAdapterReport* report);


#ifdef __cplusplus
}
#endif

#endif /* TOBRA_CLIENT_RAW_H */
