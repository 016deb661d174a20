/* The control pipe's wire format, the one statement of it: the pipe's name,
 * the request and reply layouts and their values, and the hardware-address
 * text that every program reads and writes. Plain C on the standard headers
 * alone, so that the service, the client library, applications and the
 * native fuzzers include the same file. */
#ifndef TOBRA_WIRE_H
#define TOBRA_WIRE_H

#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The service's control pipe, and the service that must serve it. */
#define TOBRA_PIPE_NAME L"\\\\.\\pipe\\norva\\Tobra Service"
#define TOBRA_SERVICE_NAME L"Tobra Service"
/* The same pipe as the pipe file system names an open handle of it, whatever
 * spelling opened it: what decides that a client's server checks apply. */
#define TOBRA_PIPE_FILE_NAME L"\\norva\\Tobra Service"

/* Every request and reply: a 12-byte little-endian header, then dataSize bytes.
 *   offset 0  magic     2 bytes  "TB" (0x54 0x42), 0x4254 read little-endian
 *   offset 2  version   2 bytes  0, 1 or 2 in a request; a reply says 2 to 2, else 1
 *   offset 4  command   1 byte   a reply repeats the request's
 *   offset 5  status    1 byte   in a reply: 1 done, 0 not done; not examined in a request
 *   offset 6  reserved  2 bytes  0 in a reply; not examined in a request
 *   offset 8  dataSize  4 bytes  in a reply 0, or 12 in version 2
 * An adapter request's data: the 6-byte hardware address, then the action.
 * A version 2 reply's data, 32-bit little-endian each: at offset 12 the
 * outcome (TOBRA_OUTCOME_*), at 16 the HRESULT of the switch-off pass, at 20
 * the HRESULT of a restart's or an enable's switch-on pass (0 when a pass did
 * not run). */
#define TOBRA_MESSAGE_MAGIC 0x4254
#define TOBRA_MESSAGE_VERSION 1
#define TOBRA_MESSAGE_VERSION_OUTCOME 2
#define TOBRA_HEADER_SIZE 12
#define TOBRA_OFFSET_MAGIC 0
#define TOBRA_OFFSET_VERSION 2
#define TOBRA_OFFSET_COMMAND 4
#define TOBRA_OFFSET_STATUS 5
#define TOBRA_OFFSET_RESERVED 6
#define TOBRA_OFFSET_DATA_SIZE 8

#define TOBRA_COMMAND_CLOSE 0 /* no reply: the service drops the connection */
#define TOBRA_COMMAND_ADAPTER 1
#define TOBRA_COMMAND_PROBE 2 /* any other command: answered "not done", never acts */

#define TOBRA_HARDWARE_ADDRESS_SIZE 6
#define TOBRA_ADAPTER_DATA_SIZE 7
#define TOBRA_OFFSET_ADDRESS 12
#define TOBRA_OFFSET_ACTION 18
#define TOBRA_ADAPTER_REQUEST_SIZE 19

#define TOBRA_ACTION_RESTART 1 /* connection off, then on again */
#define TOBRA_ACTION_DISABLE 2 /* connection off */
#define TOBRA_ACTION_ENABLE 3  /* connection on; version 2 only, unknown to versions 0 and 1 */

#define TOBRA_STATUS_NOT_DONE 0
#define TOBRA_STATUS_DONE 1

#define TOBRA_OUTCOME_DATA_SIZE 12
#define TOBRA_OUTCOME_REPLY_SIZE 24
#define TOBRA_OFFSET_OUTCOME 12
#define TOBRA_OFFSET_OFF_RESULT 16
#define TOBRA_OFFSET_ON_RESULT 20

/* What an adapter request did, as a version 2 reply says. */
#define TOBRA_OUTCOME_NOTHING_ASKED 0    /* no action was named (status 0) */
#define TOBRA_OUTCOME_SWITCHED 1         /* an adapter has the address; every pass succeeded */
#define TOBRA_OUTCOME_NO_ADAPTER 2       /* no adapter has the address */
#define TOBRA_OUTCOME_FAILED 3           /* the adapter was found and a pass failed */
#define TOBRA_OUTCOME_REFUSED 4          /* the service's policy does not allow it (status 0) */
#define TOBRA_OUTCOME_LIST_UNAVAILABLE 5 /* the service could not read the adapter list */

/* The most the service reads of one request: the header and its pipe's
 * 65,536-byte inbound buffer. */
#define TOBRA_MAX_REQUEST_SIZE 65548

/* The adapters the service switched off and has not switched on again, under
 * HKEY_LOCAL_MACHINE in the 64-bit view (32-bit readers add KEY_WOW64_64KEY):
 * one REG_SZ value per adapter, named by its address as
 * TobraFormatHardwareAddress writes it, holding its connection's GUID text
 * ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"). Administrators and SYSTEM write
 * it, users read it. */
#define TOBRA_DISABLED_ADAPTERS_KEY L"Software\\norva\\Tobra Service\\DisabledAdapters"
/* "{...}" of a connection's GUID, without the terminator. */
#define TOBRA_GUID_TEXT_LENGTH 38

/* "xx-xx-xx-xx-xx-xx" and its terminator. */
#define TOBRA_ADDRESS_TEXT_CHARS 18

/* Six pairs of hexadecimal digits, all separated by '-' or all by ':', or
 * written together ("00-11-22-33-44-55", "00:11:22:33:44:55", "001122334455");
 * either case. Returns 1 and fills address, or 0 for anything else. */
int TobraParseHardwareAddress(const wchar_t* text, unsigned char address[TOBRA_HARDWARE_ADDRESS_SIZE]);

/* "00-11-22-33-44-55", upper-case digits. */
void TobraFormatHardwareAddress(const unsigned char* address, wchar_t text[TOBRA_ADDRESS_TEXT_CHARS]);

#ifdef __cplusplus
}
#endif

#endif /* TOBRA_WIRE_H */
