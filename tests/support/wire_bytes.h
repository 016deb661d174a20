// The control pipe's bytes as a client writes and reads them, built by hand
// rather than with the service's own encoder, for every test program, fuzzer
// and benchmark that talks to the pipe.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

namespace wire {

// Bytes from a list of values 0..255.
std::string Bytes(std::initializer_list<int> values);
// A 12-byte header, each field little-endian.
std::string Header(WORD magic, WORD version, BYTE command, DWORD dataSize, BYTE status = 0, WORD reserved = 0);
// "TB", the version, command 1, data size 7, the address and the action.
std::string AdapterRequest(const BYTE address[6], BYTE action, WORD version = 1);
// The same for the address 00-11-22-33-44-55, version 1.
std::string AdapterRequest(BYTE action);
// A request with no data: command 0 closes, 2..255 are answered "not done".
std::string CommandRequest(BYTE command, WORD version = 1);
// The 12 bytes of a version 1 reply.
std::string Reply(BYTE command, BYTE status);
// The 24 bytes of a version 2 reply: the header, then outcome, off and on code.
std::string OutcomeReply(BYTE command, BYTE status, DWORD outcome, DWORD offResult = 0, DWORD onResult = 0);
// "54 42 01": two hex digits a byte, one space between.
std::string Hex(const std::string& bytes);

}  // namespace wire
