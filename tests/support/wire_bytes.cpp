#include "wire_bytes.h"

#include <stdio.h>

namespace wire {

namespace {

const WORD MAGIC = 0x4254;  // "TB"

std::string LittleEndian(DWORD value)
{
    return Bytes({static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF), static_cast<int>(value >> 24)});
}

}  // namespace

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

std::string Header(WORD magic, WORD version, BYTE command, DWORD dataSize, BYTE status, WORD reserved)
{
    return Bytes({magic & 0xFF, magic >> 8, version & 0xFF, version >> 8, command, status, reserved & 0xFF,
                  reserved >> 8}) +
           LittleEndian(dataSize);
}

std::string AdapterRequest(const BYTE address[6], BYTE action, WORD version)
{
    return Header(MAGIC, version, 1, 7) + std::string(reinterpret_cast<const char*>(address), 6) +
           static_cast<char>(action);
}

std::string AdapterRequest(BYTE action)
{
    const BYTE address[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    return AdapterRequest(address, action);
}

std::string CommandRequest(BYTE command, WORD version)
{
    return Header(MAGIC, version, command, 0);
}

std::string Reply(BYTE command, BYTE status)
{
    return Header(MAGIC, 1, command, 0, status);
}

std::string OutcomeReply(BYTE command, BYTE status, DWORD outcome, DWORD offResult, DWORD onResult)
{
    return Header(MAGIC, 2, command, 12, status) + LittleEndian(outcome) + LittleEndian(offResult) +
           LittleEndian(onResult);
}

std::string Hex(const std::string& bytes)
{
    std::string text;
    char digits[4];
    for (unsigned char byte : bytes) {
        snprintf(digits, sizeof(digits), text.empty() ? "%02X" : " %02X", byte);
        text += digits;
    }
    return text;
}

}  // namespace wire
