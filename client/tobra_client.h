/* Tobra Service client library: asks the service to restart, disable or
 * enable a network adapter, named by its 6-byte hardware (MAC) address, over the
 * service's control pipe. Plain C, callable from C and C++; it needs kernel32
 * and advapi32 (to read the pipe's owner and to ask the service manager which
 * process runs the service).
 *
 * Two forms: the static library, and tobra_client.dll for other languages
 * (C#, Python, PowerShell, Node.js). The DLL exports by name exactly the
 * functions declared here and in tobra_wire.h, with the C calling convention
 * of 64-bit Windows; it imports only kernel32, advapi32 and msvcrt. Its
 * interface is this header: the functions, the TobraResult values (a 32-bit
 * int) and the layouts of TobraOutcome and TobraAdapterReport, checked below.
 * unsigned long is 32 bits on Windows.
 *
 * Usage:
 *
 *     unsigned char address[TOBRA_HARDWARE_ADDRESS_SIZE];
 *     TobraOutcome outcome;
 *     TobraResult result;
 *
 *     if (!TobraParseHardwareAddress(L"00-11-22-33-44-55", address))
 *         ... not a hardware address ...
 *     result = TobraRestartAdapter(NULL, address, TOBRA_DEFAULT_TIMEOUT_MS, &outcome);
 *     if (result == TOBRA_DONE)
 *         ... the service ran the restart to its end ...
 *     else
 *         ... TobraResultText(result), outcome.error, outcome.timedOut ...
 *
 * To learn what the request did (protocol version 2), call the ...WithReport
 * forms: report.reported is nonzero when the service said, and report.outcome
 * is then TOBRA_OUTCOME_SWITCHED, _NO_ADAPTER, _FAILED (with the codes of the
 * passes), _LIST_UNAVAILABLE or _REFUSED. A service that predates version 2
 * answers as before and report.reported stays 0. The request itself is sent
 * once: the service's version is asked first, with a request that never acts.
 *
 * What the answers mean:
 * - TOBRA_DONE: the service carried out the action. It does not say that an
 *   adapter with that address exists; the service's log shows that. Take the
 *   address from IP_ADAPTER_ADDRESSES.PhysicalAddress (GetAdaptersAddresses).
 * - TOBRA_NOT_DONE: the service answered and did nothing.
 * - Anything else: no answer; see TobraOutcome. After TOBRA_NO_REPLY with
 *   outcome.requestSent set, the action may still have been carried out.
 *
 * A call blocks its thread until the answer comes or the time limit passes
 * (the limit covers waiting for a busy pipe, the write and the reply), so call
 * it off the user-interface thread. A restart can take several seconds, and
 * the service serves one client at a time. The calls keep no state and may be
 * made from several threads at once.
 *
 * The pipe is opened with SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION: a
 * program that takes the pipe's name in the service's place can learn who the
 * caller is, but cannot act as the caller. And before anything is written to
 * the service's pipe, two checks run on the open handle: the pipe's owner
 * (GetSecurityInfo; the read access of the open includes READ_CONTROL) must be
 * SYSTEM, S-1-5-18, which on Windows no ordinary user can give an object; and
 * its server must be the process that the service manager runs "Tobra Service"
 * in. Either failing: nothing is sent and the result is TOBRA_NOT_THE_SERVICE.
 * The library keeps, for the life of the process, a handle to the service
 * manager and one to the process it last named (SYNCHRONIZE only), so that it
 * asks the manager again only when another process serves the pipe or that
 * one has ended; tobra_client.dll closes both when it is unloaded.
 * Whether a pipe is the service's is decided by the name of the opened handle
 * (TOBRA_PIPE_FILE_NAME, any case), not by the caller's spelling, so
 * "\\.\pipe\norva/Tobra Service" and the like are checked too; a handle
 * whose name cannot be read is checked as well. A pipe of another name (a test
 * server) is not checked.
 */
#ifndef TOBRA_CLIENT_H
#define TOBRA_CLIENT_H

#include <stddef.h>
#include <wchar.h>

/* The wire format, the pipe's name and the address text (TobraParseHardwareAddress,
 * TobraFormatHardwareAddress). TOBRA_PIPE_NAME is the pipe that a pipeName
 * argument of NULL means. */
#include "tobra_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

/* This header's version; TobraClientVersion() gives the library's. */
#define TOBRA_CLIENT_VERSION_MAJOR 1
#define TOBRA_CLIENT_VERSION_MINOR 0
#define TOBRA_CLIENT_VERSION_PATCH 0
#define TOBRA_CLIENT_MAKE_VERSION(major, minor, patch) \
    (((unsigned long)(major) << 16) | ((unsigned long)(minor) << 8) | (unsigned long)(patch))
#define TOBRA_CLIENT_VERSION \
    TOBRA_CLIENT_MAKE_VERSION(TOBRA_CLIENT_VERSION_MAJOR, TOBRA_CLIENT_VERSION_MINOR, TOBRA_CLIENT_VERSION_PATCH)

/* Waiting behind another client (the service gives each up to 30 s to send
 * its request) plus a restart fit well within it. */
#define TOBRA_DEFAULT_TIMEOUT_MS 60000ul

typedef enum TobraResult {
    TOBRA_DONE = 0,           /* reply with status 1 */
    TOBRA_NOT_DONE = 1,       /* reply with status 0 */
    TOBRA_NO_REPLY = 2,       /* connected, but no reply came: the service closed the
                                 connection, or the time limit passed */
    TOBRA_CANNOT_CONNECT = 3, /* the pipe does not exist (service not running), stayed
                                 busy for the whole time limit, or refused access */
    TOBRA_BAD_REPLY = 4,      /* an answer that is not a 12-byte reply to this request */
    TOBRA_BAD_ARGUMENT = 5,   /* nothing was sent: an argument was not usable */
    TOBRA_NOT_THE_SERVICE = 6 /* nothing was sent: the service's pipe is not owned by SYSTEM or
                                 is served by another process (outcome.error 0), or its owner or
                                 which process runs the service cannot be told (outcome.error
                                 says why) */
} TobraResult;

/* Details of one exchange, for messages and diagnosis. */
typedef struct TobraOutcome {
    unsigned long error;                    /* Windows error code of the step that failed; 0 if none */
    int timedOut;                           /* nonzero when the time limit ended the exchange */
    int requestSent;                        /* nonzero once the whole request was written */
    unsigned long replySize;                /* bytes received (for a reply, with any extra bytes seen) */
    unsigned char reply[TOBRA_HEADER_SIZE]; /* the first bytes received, zero-filled */
} TobraOutcome;

/* What the service reported of an adapter request. */
typedef struct TobraAdapterReport {
    int reported;            /* nonzero when the service reported the outcome */
    unsigned int version;    /* the service's protocol version: 2, 1 (reports nothing), 0 unknown */
    unsigned long outcome;   /* TOBRA_OUTCOME_*, when reported */
    unsigned long offResult; /* HRESULT of the switch-off pass; 0 when it did not run */
    unsigned long onResult;  /* HRESULT of a restart's or an enable's switch-on pass; 0 when it did not run */
} TobraAdapterReport;

/* The layouts that the DLL's callers declare in their own languages. Only on
 * Windows: the native fuzzers compile this header on Linux, where unsigned
 * long has 8 bytes. */
#ifdef _WIN32
#ifdef __cplusplus
#define TOBRA_LAYOUT_CHECK(condition, message) static_assert(condition, message)
#else
#define TOBRA_LAYOUT_CHECK(condition, message) _Static_assert(condition, message)
#endif
TOBRA_LAYOUT_CHECK(sizeof(TobraResult) == 4, "TobraResult is a 32-bit int");
TOBRA_LAYOUT_CHECK(sizeof(TobraOutcome) == 28 && offsetof(TobraOutcome, timedOut) == 4 &&
                       offsetof(TobraOutcome, requestSent) == 8 && offsetof(TobraOutcome, replySize) == 12 &&
                       offsetof(TobraOutcome, reply) == 16,
                   "TobraOutcome: error, timedOut, requestSent, replySize (4 bytes each), reply[12]");
TOBRA_LAYOUT_CHECK(sizeof(TobraAdapterReport) == 20 && offsetof(TobraAdapterReport, version) == 4 &&
                       offsetof(TobraAdapterReport, outcome) == 8 && offsetof(TobraAdapterReport, offResult) == 12 &&
                       offsetof(TobraAdapterReport, onResult) == 16,
                   "TobraAdapterReport: five fields of 4 bytes");
#undef TOBRA_LAYOUT_CHECK
#endif

/* Sends an adapter request (action TOBRA_ACTION_RESTART or
 * TOBRA_ACTION_DISABLE) and waits for the reply. timeoutMs 0 means
 * TOBRA_DEFAULT_TIMEOUT_MS. outcome may be NULL. */
TobraResult TobraSendAdapterRequest(const wchar_t* pipeName, const unsigned char* hardwareAddress, unsigned char action,
                                    unsigned long timeoutMs, TobraOutcome* outcome);
TobraResult TobraRestartAdapter(const wchar_t* pipeName, const unsigned char* hardwareAddress, unsigned long timeoutMs,
                                TobraOutcome* outcome);
TobraResult TobraDisableAdapter(const wchar_t* pipeName, const unsigned char* hardwareAddress, unsigned long timeoutMs,
                                TobraOutcome* outcome);

/* As above, and report (which may be NULL) receives what the request did.
 * First a request that never acts (version 2, command 2) asks for the
 * service's version: a 24-byte reply means 2. A connection dropped without a
 * reply may be a version 1 service or one that is stopping, so the probe is
 * sent once more: only two in a row, each written whole and dropped, mean 1;
 * when the second gets no answer (the pipe gone, busy to the limit, a failed
 * write) the result is TOBRA_NO_REPLY and nothing more is sent. Then the
 * adapter request goes once, in that version, and is never sent again,
 * whatever happens. The time limit covers every exchange. The results are
 * those of the calls above; TOBRA_NOT_DONE with TOBRA_OUTCOME_REFUSED when the
 * service's policy refused the address. */
TobraResult TobraSendAdapterRequestWithReport(const wchar_t* pipeName, const unsigned char* hardwareAddress,
                                              unsigned char action, unsigned long timeoutMs, TobraOutcome* outcome,
                                              TobraAdapterReport* report);
TobraResult TobraRestartAdapterWithReport(const wchar_t* pipeName, const unsigned char* hardwareAddress,
                                          unsigned long timeoutMs, TobraOutcome* outcome, TobraAdapterReport* report);
TobraResult TobraDisableAdapterWithReport(const wchar_t* pipeName, const unsigned char* hardwareAddress,
                                          unsigned long timeoutMs, TobraOutcome* outcome, TobraAdapterReport* report);

/* Switch the adapter's connection on again, after a disable: the service
 * finds it by its record of the adapters it left off, as Windows no longer
 * lists a disabled adapter. Both forms ask the version first, as the report
 * forms above do: against a service that predates version 2 they send
 * nothing and return TOBRA_NOT_DONE with outcome.error ERROR_NOT_SUPPORTED
 * (50). report.offResult is 0, report.onResult the switch's code. */
TobraResult TobraEnableAdapter(const wchar_t* pipeName, const unsigned char* hardwareAddress, unsigned long timeoutMs,
                               TobraOutcome* outcome);
TobraResult TobraEnableAdapterWithReport(const wchar_t* pipeName, const unsigned char* hardwareAddress,
                                         unsigned long timeoutMs, TobraOutcome* outcome, TobraAdapterReport* report);

/* A short English description of a result, for messages. */
const wchar_t* TobraResultText(TobraResult result);

/* The library's version, TOBRA_CLIENT_MAKE_VERSION(major, minor, patch): from
 * the DLL, the version it was built as. A caller compiled against this header
 * may rely on the interface below while the major numbers agree:
 * TobraClientVersion() >> 16 == TOBRA_CLIENT_VERSION_MAJOR. */
unsigned long TobraClientVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* TOBRA_CLIENT_H */
