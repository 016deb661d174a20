// libFuzzer target: the server's decoding of a request and its decision, fed
// what one read of the pipe can return, checked against the wire rules as
// stated here independently of the product's constants.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz_finding.h"
#include "pipe/control_message.h"

namespace {

// The handler reads only once 12 bytes are waiting, and then at most the
// header and the pipe's inbound buffer.
const size_t HEADER_BYTES = 12;
const size_t MOST_READ = 12 + 65536;

struct Expected {
    bool reply;
    uint8_t status;
    uint8_t action;   // the adapter action carried out, 0 for none
    uint8_t version;  // of the reply: 2 to a request of version 2, else 1
};

// No reply exactly when the magic is not "TB", the version is above 2 or the
// command is 0. Otherwise status 1 only for command 1 with a data size of 7
// and an action byte (offset 18, zero when the read ended before it) of 1 or 2,
// or 3 (enable) in version 2 alone.
// Versions 0 and 1 are answered in version 1, version 2 in version 2.
Expected WireRules(const uint8_t* read, size_t readSize)
{
    unsigned version = read[2] | (read[3] << 8);
    if (read[0] != 0x54 || read[1] != 0x42 || version > 2 || read[4] == 0)
        return {false, 0, 0, 0};
    uint8_t action = readSize > 18 ? read[18] : 0;
    bool done = read[4] == 1 && read[8] == 7 && read[9] == 0 && read[10] == 0 && read[11] == 0 &&
                (action == 1 || action == 2 || (action == 3 && version == 2));
    return {true, static_cast<uint8_t>(done ? 1 : 0), static_cast<uint8_t>(done ? action : 0),
            static_cast<uint8_t>(version == 2 ? 2 : 1)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < HEADER_BYTES)
        return 0;  // nothing is read: the server waits for more

    // Exactly the bytes read, on the heap, so that a read past them is caught;
    // the handler's own buffer holds zeros after them.
    size_t readSize = size < MOST_READ ? size : MOST_READ;
    std::vector<uint8_t> read(data, data + readSize);
    const uint8_t* bytes = read.data();

    ControlMessageHeader header = DecodeControlMessageHeader(bytes);
    if (header.magic != (bytes[0] | (bytes[1] << 8)) || header.version != (bytes[2] | (bytes[3] << 8)) ||
        header.command != bytes[4] || header.status != bytes[5] || header.reserved != (bytes[6] | (bytes[7] << 8)) ||
        header.dataSize != (static_cast<uint32_t>(bytes[8]) | static_cast<uint32_t>(bytes[9]) << 8 |
                            static_cast<uint32_t>(bytes[10]) << 16 | static_cast<uint32_t>(bytes[11]) << 24))
        Finding("a header field decoded from the wrong bytes", bytes, readSize);

    BYTE encoded[HEADER_BYTES];
    EncodeControlMessageHeader(header, encoded);
    if (memcmp(encoded, bytes, HEADER_BYTES) != 0)
        Finding("encoding the decoded header does not give the bytes back", bytes, readSize);

    BYTE action = readSize > ADAPTER_ACTION_OFFSET ? bytes[ADAPTER_ACTION_OFFSET] : 0;
    RequestDecision decision = DecideRequest(header, action);
    Expected expected = WireRules(bytes, readSize);
    if ((decision.reply != 0) != expected.reply)
        Finding(expected.reply ? "a request that deserves a reply is dropped" : "a refused request is answered", bytes,
                readSize);
    if (!expected.reply)
        return 0;
    if (decision.status != expected.status)
        Finding("the reply's status breaks the wire rules", bytes, readSize);
    if (decision.action != expected.action)
        Finding("the action carried out is not the one the request names", bytes, readSize);

    // The reply: "TB", the reply's version, the request's command, the status,
    // reserved 0, and a data size of 12 for the outcome in version 2, else 0.
    const uint8_t dataSize = expected.version == 2 ? 12 : 0;
    const uint8_t wanted[HEADER_BYTES] = {0x54, 0x42, expected.version, 0, bytes[4], expected.status,
                                          0,    0,    dataSize,         0, 0,        0};
    EncodeControlMessageHeader(MakeReplyHeader(header.command, decision.status, decision.version), encoded);
    if (memcmp(encoded, wanted, HEADER_BYTES) != 0)
        Finding("the reply's bytes break the wire rules", bytes, readSize);

    // The outcome fields: three little-endian 32-bit values, here the first
    // twelve bytes read, which must come back as they were.
    DWORD fields[3];
    for (int i = 0; i < 3; ++i)
        fields[i] = static_cast<DWORD>(bytes[4 * i]) | static_cast<DWORD>(bytes[4 * i + 1]) << 8 |
                    static_cast<DWORD>(bytes[4 * i + 2]) << 16 | static_cast<DWORD>(bytes[4 * i + 3]) << 24;
    BYTE outcome[12];
    EncodeOutcome(fields[0], fields[1], fields[2], outcome);
    if (memcmp(outcome, bytes, sizeof(outcome)) != 0)
        Finding("the outcome fields are not little-endian", bytes, readSize);
    return 0;
}
