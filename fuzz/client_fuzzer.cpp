// libFuzzer target: the client library's routines that make no platform call
// (reply judgement, request building, hardware-address text), each checked
// against the rules as stated here, and the client and server agreeing on the
// bytes between them.
//
// Input: byte 0 chooses the routine (modulo 5), the rest is its input:
//   0  reply judgement, version 1 and version 2: 2 bytes command selector
//      (little-endian, modulo 302, minus 1: -1 to 300), then the received bytes
//   1  request building: 6 address bytes, the action, then anything
//   2  address parsing: UTF-16LE text (a zero character ends it)
//   3  address formatting: 6 address bytes
//   4  pipe name check of an exchange and of an enable: UTF-16LE name (a zero
//      character ends it; none at all: the default name), on a machine
//      without the service
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz_finding.h"
#include "fuzz_rules.h"
#include "pipe/control_message.h"
#include "tobra_client.h"
#include "tobra_client_raw.h"

namespace {

// What a client must conclude from the bytes it received in answer to a
// request with the given command (-1: any).
TobraResult ReplyRules(const uint8_t* reply, size_t size, int command)
{
    if (size == 0)
        return TOBRA_NO_REPLY;
    if (size != 12 || reply[0] != 0x54 || reply[1] != 0x42 || reply[2] != 1 || reply[3] != 0 ||
        (command != -1 && reply[4] != command) || reply[8] != 0 || reply[9] != 0 || reply[10] != 0 || reply[11] != 0)
        return TOBRA_BAD_REPLY;
    if (reply[5] == 1)
        return TOBRA_DONE;
    return reply[5] == 0 ? TOBRA_NOT_DONE : TOBRA_BAD_REPLY;
}

void FuzzReplyCheck(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    int command = static_cast<int>((data[0] | (data[1] << 8)) % 302) - 1;
    // Exactly the received bytes, on the heap: a read past them is caught.
    std::vector<uint8_t> reply(data + 2, data + size);
    TobraResult result = TobraCheckReply(reply.data(), static_cast<unsigned long>(reply.size()), command);
    if (result != ReplyRules(reply.data(), reply.size(), command))
        Finding("the reply is judged against the wire rules", data, size);
}

uint32_t Little(const uint8_t* bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// A version 2 reply: 24 bytes, version 2, a data size of 12, and an outcome
// of 0 to 5 whose status fits it: 0 (nothing asked) and 4 (refused) with
// status 0, the others with status 1.
TobraResult OutcomeReplyRules(const uint8_t* reply, size_t size, int command)
{
    if (size == 0)
        return TOBRA_NO_REPLY;
    if (size != 24 || reply[0] != 0x54 || reply[1] != 0x42 || reply[2] != 2 || reply[3] != 0 ||
        (command != -1 && reply[4] != command) || Little(reply + 8) != 12)
        return TOBRA_BAD_REPLY;
    uint32_t outcome = Little(reply + 12);
    if (outcome > 5)
        return TOBRA_BAD_REPLY;
    int status = outcome == 0 || outcome == 4 ? 0 : 1;
    if (reply[5] != status)
        return TOBRA_BAD_REPLY;
    return status == 1 ? TOBRA_DONE : TOBRA_NOT_DONE;
}

void FuzzOutcomeReplyCheck(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    int command = static_cast<int>((data[0] | (data[1] << 8)) % 302) - 1;
    std::vector<uint8_t> reply(data + 2, data + size);
    TobraAdapterReport report;
    memset(&report, 0xA5, sizeof(report));
    TobraResult result =
        TobraCheckOutcomeReply(reply.data(), static_cast<unsigned long>(reply.size()), command, &report);
    TobraResult expected = OutcomeReplyRules(reply.data(), reply.size(), command);
    if (result != expected)
        Finding("the version 2 reply is judged against the wire rules", data, size);
    if ((expected == TOBRA_DONE || expected == TOBRA_NOT_DONE) &&
        (report.reported != 1 || report.version != 2 || report.outcome != Little(reply.data() + 12) ||
         report.offResult != Little(reply.data() + 16) || report.onResult != Little(reply.data() + 20)))
        Finding("the report does not hold the reply's fields", data, size);
}

void FuzzAddressText(const uint8_t* data, size_t size)
{
    std::vector<uint32_t> characters = Utf16Text(data, size);
    // Exactly the text and its terminator, on the heap.
    std::vector<wchar_t> text(characters.begin(), characters.end());
    text.push_back(L'\0');

    unsigned char parsed[6] = {0};
    uint8_t expected[6];
    bool valid = AddressRules(characters, expected);
    int accepted = TobraParseHardwareAddress(size == 0 ? nullptr : text.data(), parsed);
    if (accepted != (valid ? 1 : 0))
        Finding(valid ? "a well-formed address is refused" : "a malformed address is accepted", data, size);
    if (!valid)
        return;
    if (memcmp(parsed, expected, 6) != 0)
        Finding("an address is parsed into the wrong bytes", data, size);
}

void FuzzAddressFormat(const uint8_t* data, size_t size)
{
    if (size < 6)
        return;
    std::vector<uint8_t> address(data, data + 6);
    std::vector<wchar_t> text(TOBRA_ADDRESS_TEXT_CHARS);
    TobraFormatHardwareAddress(address.data(), text.data());
    static const char DIGITS[] = "0123456789ABCDEF";
    for (size_t i = 0; i < 6; ++i) {
        if (text[3 * i] != DIGITS[address[i] >> 4] || text[3 * i + 1] != DIGITS[address[i] & 15] ||
            text[3 * i + 2] != (i < 5 ? L'-' : L'\0'))
            Finding("an address is formatted against \"00-11-22-33-44-55\"", data, size);
    }
    unsigned char parsed[6];
    if (!TobraParseHardwareAddress(text.data(), parsed) || memcmp(parsed, address.data(), 6) != 0)
        Finding("a formatted address does not parse back", data, size);
}

// Only a pipe on this machine is opened: a file or a device would take the
// request as data. "\\.\pipe\" in either case of the ASCII letters, and
// at least one character after it.
bool IsLocalPipe(const wchar_t* name)
{
    static const char PREFIX[] = "\\\\.\\pipe\\";
    bool local = wcslen(name) > strlen(PREFIX);
    for (size_t i = 0; local && i < strlen(PREFIX); ++i) {
        wchar_t c = name[i];
        local = (c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c) == static_cast<wchar_t>(PREFIX[i]);
    }
    return local;
}

// The input as a NUL-terminated pipe name.
std::vector<wchar_t> PipeNameOf(const uint8_t* data, size_t size)
{
    std::vector<uint32_t> characters = Utf16Text(data, size);
    std::vector<wchar_t> name(characters.begin(), characters.end());
    name.push_back(L'\0');
    return name;
}

void FuzzPipeName(const uint8_t* data, size_t size)
{
    std::vector<wchar_t> name = PipeNameOf(data, size);
    const wchar_t* asked = size == 0 ? nullptr : name.data();
    const wchar_t* wanted = asked == nullptr ? TOBRA_PIPE_NAME : asked;
    bool local = IsLocalPipe(wanted);

    const uint8_t request[12] = {0x54, 0x42, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> reply(12);
    TobraOutcome outcome;
    g_shimOpenCount = 0;
    g_shimOpenedName = nullptr;
    TobraResult result = TobraExchangeRaw(asked, request, sizeof(request), 1000, reply.data(), 12, &outcome);
    if (!local) {
        if (result != TOBRA_BAD_ARGUMENT || g_shimOpenCount != 0)
            Finding("a name outside the local pipes is opened", data, size);
        return;
    }
    if (result != TOBRA_CANNOT_CONNECT || outcome.error != 2 || g_shimOpenCount != 1 ||
        wcscmp(g_shimOpenedName, wanted) != 0)
        Finding("a local pipe name is not opened as given", data, size);
}

// The enable asks the version first, on the same pipe and under the same
// rule: nothing opened outside the local pipes, and no service, no request.
void FuzzEnableName(const uint8_t* data, size_t size)
{
    std::vector<wchar_t> name = PipeNameOf(data, size);
    const wchar_t* asked = size == 0 ? nullptr : name.data();
    bool local = IsLocalPipe(asked == nullptr ? TOBRA_PIPE_NAME : asked);
    const unsigned char address[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    TobraOutcome outcome;
    TobraAdapterReport report;
    g_shimOpenCount = 0;
    TobraResult result = TobraEnableAdapterWithReport(asked, address, 1000, &outcome, &report);
    if (outcome.requestSent || report.reported ||
        (local ? result != TOBRA_CANNOT_CONNECT || g_shimOpenCount != 1
               : result != TOBRA_BAD_ARGUMENT || g_shimOpenCount != 0))
        Finding("an enable opens what it must not, or claims a request went", data, size);
}

// The client's request as the server decides it, and the server's replies as
// the client judges them.
void FuzzRequestBuilding(const uint8_t* data, size_t size)
{
    if (size < 7)
        return;
    std::vector<uint8_t> address(data, data + 6);
    uint8_t action = data[6];
    std::vector<uint8_t> request(TOBRA_ADAPTER_REQUEST_SIZE, 0xA5);
    unsigned long built = TobraBuildAdapterRequest(address.data(), action, request.data());
    if (action != 1 && action != 2) {
        if (built != 0)
            Finding("a request with an unknown action is built", data, size);
        return;
    }
    const uint8_t header[12] = {0x54, 0x42, 1, 0, 1, 0, 0, 0, 7, 0, 0, 0};
    if (built != 19 || memcmp(request.data(), header, 12) != 0 || memcmp(request.data() + 12, address.data(), 6) != 0 ||
        request[18] != action)
        Finding("the request's bytes break the wire rules", data, size);

    ControlMessageHeader decoded = DecodeControlMessageHeader(request.data());
    RequestDecision decision = DecideRequest(decoded, request[ADAPTER_ACTION_OFFSET]);
    if (!decision.reply || decision.status != STATUS_DONE || decision.action != action)
        Finding("the server does not carry out the client's request", data, size);
    for (BYTE status : {STATUS_NOT_DONE, STATUS_DONE}) {
        BYTE reply[CONTROL_MESSAGE_HEADER_SIZE];
        EncodeControlMessageHeader(MakeReplyHeader(COMMAND_ADAPTER, status), reply);
        TobraResult wanted = status == STATUS_DONE ? TOBRA_DONE : TOBRA_NOT_DONE;
        if (TobraCheckReply(reply, sizeof(reply), TOBRA_COMMAND_ADAPTER) != wanted ||
            TobraCheckReply(reply, sizeof(reply), -1) != wanted)
            Finding("the client misjudges the server's reply", data, size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    switch (data[0] % 5) {
    case 0:
        FuzzReplyCheck(data + 1, size - 1);
        FuzzOutcomeReplyCheck(data + 1, size - 1);
        break;
    case 1:
        FuzzRequestBuilding(data + 1, size - 1);
        break;
    case 2:
        FuzzAddressText(data + 1, size - 1);
        break;
    case 3:
        FuzzAddressFormat(data + 1, size - 1);
        break;
    default:
        FuzzPipeName(data + 1, size - 1);
        FuzzEnableName(data + 1, size - 1);
        break;
    }
    return 0;
}
