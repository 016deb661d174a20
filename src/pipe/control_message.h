// The control pipe's wire format as the service names it: one request and at
// most one reply per connection, each a 12-byte little-endian header followed
// by dataSize bytes. The values are those of tobra_wire.h, which every program
// shares; the layouts are checked against its offsets.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "tobra_wire.h"

// The server's end of the control pipe; also the name in the request log line.
#define CONTROL_PIPE_NAME TOBRA_PIPE_NAME

#pragma pack(push, 1)
struct ControlMessageHeader {
    WORD magic;      // CONTROL_MESSAGE_MAGIC
    WORD version;    // a request may say 0, 1 or 2; a reply says 2 to a request of 2, else 1
    BYTE command;    // COMMAND_*; a reply repeats the request's
    BYTE status;     // STATUS_* in a reply; not examined in a request
    WORD reserved;   // 0 in a reply; not examined in a request
    DWORD dataSize;  // bytes after the header as the sender states it; in a reply 0, or 12 in version 2
};

// The data of COMMAND_ADAPTER.
struct AdapterCommandData {
    BYTE hardwareAddress[6];  // first byte first, as IP_ADAPTER_ADDRESSES reports it
    BYTE action;              // ACTION_*
};
#pragma pack(pop)

static_assert(sizeof(ControlMessageHeader) == TOBRA_HEADER_SIZE, "the header is 12 bytes on the wire");
static_assert(offsetof(ControlMessageHeader, magic) == TOBRA_OFFSET_MAGIC, "wire layout");
static_assert(offsetof(ControlMessageHeader, version) == TOBRA_OFFSET_VERSION, "wire layout");
static_assert(offsetof(ControlMessageHeader, command) == TOBRA_OFFSET_COMMAND, "wire layout");
static_assert(offsetof(ControlMessageHeader, status) == TOBRA_OFFSET_STATUS, "wire layout");
static_assert(offsetof(ControlMessageHeader, reserved) == TOBRA_OFFSET_RESERVED, "wire layout");
static_assert(offsetof(ControlMessageHeader, dataSize) == TOBRA_OFFSET_DATA_SIZE, "wire layout");
static_assert(sizeof(AdapterCommandData) == TOBRA_ADAPTER_DATA_SIZE, "adapter data is 7 bytes on the wire");
static_assert(TOBRA_HEADER_SIZE + offsetof(AdapterCommandData, hardwareAddress) == TOBRA_OFFSET_ADDRESS,
              "wire layout");
static_assert(TOBRA_HEADER_SIZE + offsetof(AdapterCommandData, action) == TOBRA_OFFSET_ACTION, "wire layout");

// "TB": 0x54 at offset 0, 0x42 at offset 1, read as one little-endian WORD.
constexpr WORD CONTROL_MESSAGE_MAGIC = TOBRA_MESSAGE_MAGIC;
constexpr WORD CONTROL_MESSAGE_VERSION = TOBRA_MESSAGE_VERSION;
// A request of this version is handled as one of version 1 and answered with
// what it did: a version 2 header whose dataSize is OUTCOME_DATA_SIZE, then the
// outcome, the switch-off pass's HRESULT and the switch-on pass's, each a
// little-endian DWORD. Every other reply stays as it was, byte for byte.
constexpr WORD CONTROL_MESSAGE_VERSION_OUTCOME = TOBRA_MESSAGE_VERSION_OUTCOME;
constexpr DWORD OUTCOME_DATA_SIZE = TOBRA_OUTCOME_DATA_SIZE;
static_assert(TOBRA_HEADER_SIZE + OUTCOME_DATA_SIZE == TOBRA_OUTCOME_REPLY_SIZE, "a version 2 reply is 24 bytes");

constexpr BYTE COMMAND_CLOSE = TOBRA_COMMAND_CLOSE;      // no reply; the connection is dropped
constexpr BYTE COMMAND_ADAPTER = TOBRA_COMMAND_ADAPTER;  // AdapterCommandData follows
// Commands 2 to 255 have no name and are answered with STATUS_NOT_DONE.

constexpr BYTE ACTION_RESTART = TOBRA_ACTION_RESTART;  // connection off, then on again
constexpr BYTE ACTION_DISABLE = TOBRA_ACTION_DISABLE;  // connection off
constexpr BYTE ACTION_ENABLE = TOBRA_ACTION_ENABLE;    // connection on; known to version 2 only

constexpr BYTE STATUS_NOT_DONE = TOBRA_STATUS_NOT_DONE;
constexpr BYTE STATUS_DONE = TOBRA_STATUS_DONE;  // a known action ran; not that an adapter was found

constexpr DWORD CONTROL_MESSAGE_HEADER_SIZE = static_cast<DWORD>(sizeof(ControlMessageHeader));
constexpr DWORD ADAPTER_COMMAND_DATA_SIZE = static_cast<DWORD>(sizeof(AdapterCommandData));
// Offsets in a whole request: the address follows the header, the action the address.
constexpr DWORD ADAPTER_ADDRESS_OFFSET = TOBRA_OFFSET_ADDRESS;
constexpr DWORD ADAPTER_ACTION_OFFSET = TOBRA_OFFSET_ACTION;
// The header plus the pipe's 65,536-byte inbound buffer: 0x1000C.
constexpr DWORD CONTROL_MESSAGE_BUFFER_SIZE = TOBRA_MAX_REQUEST_SIZE;
static_assert(CONTROL_MESSAGE_BUFFER_SIZE == CONTROL_MESSAGE_HEADER_SIZE + 65536, "one read takes the whole buffer");

// Byte-wise, so that the wire order does not depend on the host's.
inline ControlMessageHeader DecodeControlMessageHeader(const BYTE* bytes)
{
    ControlMessageHeader header;
    header.magic = static_cast<WORD>(bytes[0] | (bytes[1] << 8));
    header.version = static_cast<WORD>(bytes[2] | (bytes[3] << 8));
    header.command = bytes[4];
    header.status = bytes[5];
    header.reserved = static_cast<WORD>(bytes[6] | (bytes[7] << 8));
    header.dataSize = static_cast<DWORD>(bytes[8]) | (static_cast<DWORD>(bytes[9]) << 8) |
                      (static_cast<DWORD>(bytes[10]) << 16) | (static_cast<DWORD>(bytes[11]) << 24);
    return header;
}

inline void EncodeControlMessageHeader(const ControlMessageHeader& header, BYTE* bytes)
{
    bytes[0] = static_cast<BYTE>(header.magic);
    bytes[1] = static_cast<BYTE>(header.magic >> 8);
    bytes[2] = static_cast<BYTE>(header.version);
    bytes[3] = static_cast<BYTE>(header.version >> 8);
    bytes[4] = header.command;
    bytes[5] = header.status;
    bytes[6] = static_cast<BYTE>(header.reserved);
    bytes[7] = static_cast<BYTE>(header.reserved >> 8);
    bytes[8] = static_cast<BYTE>(header.dataSize);
    bytes[9] = static_cast<BYTE>(header.dataSize >> 8);
    bytes[10] = static_cast<BYTE>(header.dataSize >> 16);
    bytes[11] = static_cast<BYTE>(header.dataSize >> 24);
}

// What the server does with a request it has read.
struct RequestDecision {
    int reply;     // 1: answer with status; 0: drop the connection without a reply
    BYTE action;   // ACTION_RESTART, ACTION_DISABLE or ACTION_ENABLE to carry out first, or 0 for none
    BYTE status;   // the reply's status
    WORD version;  // the reply's version: the outcome version for a request of it, else 1
};

// `action` is the byte at ADAPTER_ACTION_OFFSET; it counts only for an adapter
// request whose dataSize is exactly 7. A version 0 or 1 request with
// ACTION_ENABLE is answered as before its time: not done.
inline RequestDecision DecideRequest(const ControlMessageHeader& request, BYTE action)
{
    RequestDecision decision = {0, 0, STATUS_NOT_DONE, CONTROL_MESSAGE_VERSION};
    if (request.magic != CONTROL_MESSAGE_MAGIC || request.version > CONTROL_MESSAGE_VERSION_OUTCOME ||
        request.command == COMMAND_CLOSE)
        return decision;
    decision.reply = 1;
    if (request.version == CONTROL_MESSAGE_VERSION_OUTCOME)
        decision.version = CONTROL_MESSAGE_VERSION_OUTCOME;
    if (request.command == COMMAND_ADAPTER && request.dataSize == ADAPTER_COMMAND_DATA_SIZE &&
        (action == ACTION_RESTART || action == ACTION_DISABLE ||
         (action == ACTION_ENABLE && decision.version == CONTROL_MESSAGE_VERSION_OUTCOME))) {
        decision.action = action;
        decision.status = STATUS_DONE;
    }
    return decision;
}

inline ControlMessageHeader MakeReplyHeader(BYTE command, BYTE status, WORD version = CONTROL_MESSAGE_VERSION)
{
    DWORD dataSize = version == CONTROL_MESSAGE_VERSION_OUTCOME ? OUTCOME_DATA_SIZE : 0;
    ControlMessageHeader reply = {CONTROL_MESSAGE_MAGIC, version, command, status, 0, dataSize};
    return reply;
}

// The data of a version 2 reply: outcome, off code, on code, little-endian.
inline void EncodeOutcome(DWORD outcome, DWORD offResult, DWORD onResult, BYTE* bytes)
{
    const DWORD fields[3] = {outcome, offResult, onResult};
    for (int i = 0; i < 3; ++i) {
        for (int b = 0; b < 4; ++b)
            bytes[4 * i + b] = static_cast<BYTE>(fields[i] >> (8 * b));
    }
}
