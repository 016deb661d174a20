// Pipe fuzzer: installs TobraService.exe in the service manager, sends it
// random and mutated requests of 0 to 70,000 bytes on the real control pipe,
// in one write or several, and checks every answer against the wire rules:
// no reply exactly when the magic, the version (above 2) or the close command
// refuses the request; otherwise a reply with the request's command and the
// status the rules give (with the outcome for a request of version 2). Afterwards the service must still answer, stop
// cleanly, and its log must hold one well-formed record per request it read, in order.
//
//   tobra_pipe_fuzz [--cases N] [--seed S] [--first K] [--short] [--max-size B] [--corpus DIR]
//     --cases     number of cases (default 300)
//     --seed      seed of the run (default: from the clock; always printed)
//     --first     start at case K of the seed, to replay a finding
//     --short     include requests shorter than the 12-byte header
//     --max-size  largest request in bytes (default 70000)
//     --corpus    first send each file of this folder as a request (fuzz/corpus/control_message)
// Exit code 0 when every case passed.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "pipe/control_message.h"
#include "service_client.h"
#include "support/test_support.h"

using namespace serviceclient;
using namespace wire;

namespace {

const DWORD START_TIMEOUT_MS = 15000;
const DWORD STOP_TIMEOUT_MS = 15000;
// Beyond the server's 30 s header limit: a client served only after that has
// met a server that was stuck.
const DWORD CONNECT_TIMEOUT_MS = 40000;
const DWORD ANSWER_TIMEOUT_MS = 10000;
// A write still pending after this has filled the pipe: read the answer
// meanwhile, as the server will not take more before the client reads.
const DWORD WRITE_STALL_MS = 300;
const size_t HEADER_SIZE = 12;
const unsigned MAX_FAILURES_SHOWN = 10;
const unsigned MAX_CONNECT_FAILURES = 3;
const unsigned MAX_FAILED_CASES = 50;

// splitmix64: the same cases from the same seed with any compiler (each draw
// is a statement of its own, so no evaluation order is left to the compiler).
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 to n - 1.
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() % n); }
    uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }
    bool Percent(uint32_t p) { return Below(100) < p; }
    BYTE Byte() { return static_cast<BYTE>(Next()); }

private:
    uint64_t state_;
};

struct Options {
    unsigned cases = 300;
    uint64_t seed = 0;
    unsigned first = 0;
    bool shortCases = false;
    uint32_t maxSize = 70000;
    std::wstring corpus;
};

struct Case {
    std::string bytes;
    std::vector<size_t> chunks;   // sizes of the writes, in order
    std::vector<DWORD> pausesMs;  // before each write
};

std::string RandomBytes(Rng& rng, size_t size)
{
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(rng.Byte());
    return bytes;
}

// Mostly short, some within the pipe's buffer, some beyond it.
size_t RandomSize(Rng& rng, uint32_t maxSize)
{
    uint32_t kind = rng.Below(100);
    uint32_t size = kind < 60 ? rng.Between(12, 40) : kind < 85 ? rng.Between(41, 4096) : rng.Between(4097, maxSize);
    return size < maxSize ? size : maxSize;
}

BYTE InterestingByte(Rng& rng)
{
    static const BYTE VALUES[] = {0x00, 0x01, 0x02, 0x03, 0x07, 0x06, 0x08, 0x42, 0x54, 0x7F, 0x80, 0xFF};
    return rng.Percent(70) ? VALUES[rng.Below(sizeof(VALUES))] : rng.Byte();
}

std::string Template(Rng& rng)
{
    const BYTE address[6] = {0x02, 0x00, 0x5E, rng.Byte(), rng.Byte(), rng.Byte()};
    std::string adapterData(reinterpret_cast<const char*>(address), sizeof(address));
    switch (rng.Below(7)) {
    case 0:
        return Header(CONTROL_MESSAGE_MAGIC, 1, COMMAND_ADAPTER, 7) + adapterData + '\x01';
    case 1:
        return Header(CONTROL_MESSAGE_MAGIC, 1, COMMAND_ADAPTER, 7) + adapterData + '\x02';
    case 2:
        return Header(CONTROL_MESSAGE_MAGIC, 0, COMMAND_ADAPTER, 7) + adapterData + '\x01';
    case 3:
        return Header(CONTROL_MESSAGE_MAGIC, 1, COMMAND_CLOSE, 0);
    case 4:
        return Header(CONTROL_MESSAGE_MAGIC, 1, 2, 0);
    case 5:
        return Header(CONTROL_MESSAGE_MAGIC, 1, 255, 0xFFFFFFFF);
    default:
        return Header(CONTROL_MESSAGE_MAGIC, 1, COMMAND_ADAPTER, 7) + adapterData + '\x01' +
               RandomBytes(rng, rng.Between(1, 64));
    }
}

// A position, most often in the header and the adapter data.
size_t Position(Rng& rng, size_t size)
{
    if (size == 0)
        return 0;
    size_t front = size < 19 ? size : 19;
    return rng.Percent(80) ? rng.Below(static_cast<uint32_t>(front)) : rng.Below(static_cast<uint32_t>(size));
}

void Mutate(Rng& rng, std::string& bytes, uint32_t maxSize)
{
    switch (rng.Below(6)) {
    case 0:
        if (!bytes.empty())
            bytes[Position(rng, bytes.size())] ^= static_cast<char>(1 << rng.Below(8));
        break;
    case 1:
        if (!bytes.empty())
            bytes[Position(rng, bytes.size())] = static_cast<char>(InterestingByte(rng));
        break;
    case 2: {
        size_t at = Position(rng, bytes.size() + 1);
        bytes.insert(at, RandomBytes(rng, rng.Between(1, 8)));
        break;
    }
    case 3:
        if (!bytes.empty()) {
            size_t at = Position(rng, bytes.size());
            bytes.erase(at, rng.Between(1, 8));
        }
        break;
    case 4:
        bytes.resize(rng.Below(static_cast<uint32_t>(bytes.size()) + 1));
        break;
    default:
        bytes += RandomBytes(rng, rng.Percent(80) ? rng.Between(1, 64) : rng.Between(1, maxSize));
        break;
    }
    if (bytes.size() > maxSize)
        bytes.resize(maxSize);
}

std::string StructuredRequest(Rng& rng, uint32_t maxSize)
{
    static const WORD VERSIONS[] = {0, 1, 1, 1, 2, 0x100, 0xFFFF};
    static const BYTE COMMANDS[] = {0, 1, 1, 1, 1, 2, 7, 255};
    static const DWORD SIZES[] = {0, 6, 7, 7, 7, 8, 0x107, 0x01000007, 0xFFFFFFFF};
    WORD magic = rng.Percent(90) ? CONTROL_MESSAGE_MAGIC : rng.Percent(50) ? 0x5442 : static_cast<WORD>(rng.Next());
    WORD version = rng.Percent(80) ? VERSIONS[rng.Below(7)] : static_cast<WORD>(rng.Next());
    BYTE command = rng.Percent(80) ? COMMANDS[rng.Below(8)] : rng.Byte();
    DWORD dataSize = rng.Percent(80) ? SIZES[rng.Below(9)] : static_cast<DWORD>(rng.Next());
    BYTE status = rng.Byte();
    WORD reserved = static_cast<WORD>(rng.Next());
    std::string bytes = Header(magic, version, command, dataSize, status, reserved);
    size_t data = rng.Percent(60) ? 7 : RandomSize(rng, maxSize) - 12;
    std::string tail = RandomBytes(rng, data);
    if (tail.size() > 6)
        tail[6] = static_cast<char>(InterestingByte(rng));  // the action
    return bytes + tail;
}

Case Generate(uint64_t seed, unsigned index, const Options& options)
{
    Rng rng(seed ^ (0xD1B54A32D192ED03ull * (index + 1ull)));
    Case c;
    uint32_t kind = rng.Below(100);
    if (kind < 45) {
        c.bytes = Template(rng);
        for (uint32_t n = rng.Between(1, 4); n > 0; --n)
            Mutate(rng, c.bytes, options.maxSize);
    } else if (kind < 75) {
        c.bytes = StructuredRequest(rng, options.maxSize);
    } else if (kind < 90) {
        c.bytes = RandomBytes(rng, RandomSize(rng, options.maxSize));
    } else {
        // Beyond what one read takes: the first 65,548 bytes decide.
        c.bytes = StructuredRequest(rng, 19);
        uint32_t most = options.maxSize - 19;
        c.bytes += RandomBytes(rng, rng.Between(most < 65536 - 19 ? most : 65536 - 19, most));
    }
    if (c.bytes.size() > options.maxSize)
        c.bytes.resize(options.maxSize);

    // Fewer than 12 bytes hold the server until its header limit, unless it
    // drops a client that has gone: only on request.
    if (options.shortCases && rng.Percent(5))
        c.bytes.resize(rng.Below(HEADER_SIZE));
    else if (c.bytes.size() < HEADER_SIZE)
        c.bytes += RandomBytes(rng, HEADER_SIZE - c.bytes.size());

    size_t size = c.bytes.size();
    if (size > 1 && rng.Percent(30)) {
        // Several writes; a cut in the header or before the action is the
        // interesting one.
        std::vector<size_t> cuts;
        for (uint32_t n = rng.Between(1, 4); n > 0; --n) {
            size_t cut = rng.Percent(50) ? rng.Between(1, size < 20 ? static_cast<uint32_t>(size) - 1 : 19)
                                         : rng.Between(1, static_cast<uint32_t>(size) - 1);
            cuts.push_back(cut);
        }
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        size_t previous = 0;
        for (size_t cut : cuts) {
            c.chunks.push_back(cut - previous);
            previous = cut;
        }
        c.chunks.push_back(size - previous);
    } else if (size > 0) {
        c.chunks.push_back(size);
    }
    // Mostly back to back; now and then long enough for the server to poll
    // a partial header several times.
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        uint32_t pause = rng.Below(100);
        c.pausesMs.push_back(i == 0 || pause >= 33 ? 0 : pause < 3 ? rng.Between(20, 200) : rng.Between(1, 5));
    }
    return c;
}

Case OneWrite(const std::string& bytes)
{
    Case c;
    c.bytes = bytes;
    if (!bytes.empty()) {
        c.chunks.push_back(bytes.size());
        c.pausesMs.push_back(0);
    }
    return c;
}

Case ByteWise(const std::string& bytes)
{
    Case c;
    c.bytes = bytes;
    c.chunks.assign(bytes.size(), 1);
    c.pausesMs.assign(bytes.size(), 0);
    return c;
}

struct CorpusFile {
    std::string name;
    std::string bytes;
};

// The files of a folder, in the order of their names.
std::vector<CorpusFile> ReadCorpus(const std::wstring& folder)
{
    std::vector<CorpusFile> files;
    if (folder.empty())
        return files;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return files;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            std::wstring name = found.cFileName;
            files.push_back({std::string(name.begin(), name.end()), test::ReadFileBytes(folder + L"\\" + name)});
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(files.begin(), files.end(), [](const CorpusFile& a, const CorpusFile& b) { return a.name < b.name; });
    return files;
}

// The rules, stated over the request's bytes. statusMay0/statusMay1: which
// reply status the rules allow; both when a write ended between the header and
// the action byte, so that the server's one read may or may not have the action.
struct Expected {
    bool reply;
    bool statusMay0;
    bool statusMay1;
};

Expected WireRules(const Case& c)
{
    const std::string& b = c.bytes;
    auto at = [&b](size_t i) { return static_cast<BYTE>(b[i]); };
    if (at(0) != 0x54 || at(1) != 0x42 || (at(2) | (at(3) << 8)) > 2 || at(4) == 0)
        return {false, false, false};
    bool done = b.size() > 18 && at(4) == 1 && at(8) == 7 && at(9) == 0 && at(10) == 0 && at(11) == 0 &&
                (at(18) == 1 || at(18) == 2 || (at(18) == 3 && at(2) == 2 && at(3) == 0));
    if (!done)
        return {true, true, false};
    // The server reads once at least 12 bytes are waiting.
    size_t end = 0;
    for (size_t chunk : c.chunks) {
        end += chunk;
        if (end >= HEADER_SIZE)
            break;
    }
    return {true, end < 19, true};
}

DWORD LittleEndian(const std::string& bytes, size_t at)
{
    return static_cast<DWORD>(static_cast<BYTE>(bytes[at])) |
           static_cast<DWORD>(static_cast<BYTE>(bytes[at + 1])) << 8 |
           static_cast<DWORD>(static_cast<BYTE>(bytes[at + 2])) << 16 |
           static_cast<DWORD>(static_cast<BYTE>(bytes[at + 3])) << 24;
}

// The reply with this status that a request of this version and action gets:
// version 0 and 1 the 12 bytes above; version 2 a version 2 header with a data
// size of 12, then the outcome and the off and on codes. Nothing asked (status
// 0): outcome and codes 0. Otherwise switched, no adapter, failed or list
// unavailable.
bool IsReply(const std::string& bytes, BYTE command, BYTE status, WORD version, BYTE action)
{
    if (version != 2)
        return bytes == Reply(command, status);
    if (bytes.size() != HEADER_SIZE + 12 ||
        bytes.compare(0, HEADER_SIZE, Header(CONTROL_MESSAGE_MAGIC, 2, command, 12, status)) != 0)
        return false;
    DWORD outcome = LittleEndian(bytes, 12), offResult = LittleEndian(bytes, 16), onResult = LittleEndian(bytes, 20);
    if (status == STATUS_NOT_DONE)
        return outcome == 0 && offResult == 0 && onResult == 0;
    bool known = outcome == 1 || outcome == 2 || outcome == 3 || outcome == 5;
    // A disable has no on pass, an enable no off pass.
    return known && (action != ACTION_DISABLE || onResult == 0) && (action != ACTION_ENABLE || offResult == 0);
}

struct Answer {
    bool connected = false;
    DWORD connectError = 0;
    double connectMs = 0;
    bool ended = false;  // the server closed the connection
    std::string bytes;
    DWORD readError = 0;
    DWORD writeError = 0;
    size_t written = 0;
    bool writeStalled = false;  // the reply was read while a write was still pending
    double milliseconds = 0;
};

bool WaitTransfer(HANDLE pipe, OVERLAPPED* overlapped, BOOL started, DWORD timeoutMs, DWORD* transferred, DWORD* error,
                  bool* pending)
{
    *transferred = 0;
    *pending = false;
    if (!started) {
        *error = GetLastError();
        if (*error != ERROR_IO_PENDING)
            return false;
        if (WaitForSingleObject(overlapped->hEvent, timeoutMs) != WAIT_OBJECT_0) {
            *pending = true;
            return false;
        }
    }
    if (!GetOverlappedResult(pipe, overlapped, transferred, FALSE)) {
        *error = GetLastError();
        return false;
    }
    *error = 0;
    return true;
}

// One client: connect, write the chunks, read until the server closes.
Answer RunCase(const Case& c)
{
    Answer answer;
    double start = NowMs();
    HANDLE pipe = ConnectControlPipe(CONNECT_TIMEOUT_MS, &answer.connectError);
    answer.connectMs = NowMs() - start;
    if (pipe == INVALID_HANDLE_VALUE)
        return answer;
    answer.connected = true;

    OVERLAPPED write = {};
    OVERLAPPED read = {};
    write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string out = c.bytes;
    bool writePending = false;
    size_t offset = 0;
    for (size_t i = 0; i < c.chunks.size() && !writePending; offset += c.chunks[i++]) {
        if (c.pausesMs[i] > 0)
            Sleep(c.pausesMs[i]);
        ResetEvent(write.hEvent);
        DWORD done = 0;
        BOOL started = WriteFile(pipe, &out[offset], static_cast<DWORD>(c.chunks[i]), nullptr, &write);
        if (!WaitTransfer(pipe, &write, started, WRITE_STALL_MS, &done, &answer.writeError, &writePending)) {
            if (!writePending)
                break;  // the server has dropped the connection
        } else {
            answer.written += done;
        }
    }

    // A request shorter than the header is given up at once, as a client that
    // gave up would.
    if (c.bytes.size() >= HEADER_SIZE) {
        std::vector<char> buffer(4096);
        double connected = NowMs();
        for (;;) {
            double left = ANSWER_TIMEOUT_MS - (NowMs() - connected);
            if (left <= 0)
                break;
            ResetEvent(read.hEvent);
            DWORD done = 0;
            bool pending = false;
            BOOL started = ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &read);
            if (!WaitTransfer(pipe, &read, started, static_cast<DWORD>(left), &done, &answer.readError, &pending)) {
                if (pending) {
                    CancelIo(pipe);
                    GetOverlappedResult(pipe, &read, &done, TRUE);
                    answer.readError = WAIT_TIMEOUT;
                } else {
                    answer.ended =
                        answer.readError == ERROR_BROKEN_PIPE || answer.readError == ERROR_PIPE_NOT_CONNECTED;
                }
                break;
            }
            answer.bytes.append(buffer.data(), done);
        }
    }
    answer.writeStalled = writePending;
    if (writePending) {
        DWORD ignored = 0;
        CancelIo(pipe);
        GetOverlappedResult(pipe, &write, &ignored, TRUE);
    }
    CloseHandle(write.hEvent);
    CloseHandle(read.hEvent);
    CloseHandle(pipe);
    answer.milliseconds = NowMs() - start;
    return answer;
}

std::string Plan(const Case& c)
{
    std::string text;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        if (i > 0)
            text += c.pausesMs[i] > 0 ? " +" + std::to_string(c.pausesMs[i]) + "ms " : " ";
        text += std::to_string(c.chunks[i]);
    }
    return text.empty() ? "no write" : text;
}

// Empty when the answer keeps the rules; otherwise what went wrong.
std::string Judge(const Case& c, const Answer& answer, const std::string& previous)
{
    if (!answer.connected)
        return "could not connect: " + ErrorText(answer.connectError);
    // Every client before was served or dropped at once; one that had gone
    // still holding the server shows here.
    if (answer.connectMs > ANSWER_TIMEOUT_MS)
        return "the pipe stayed busy for " + std::to_string(static_cast<long>(answer.connectMs)) + " ms after " +
               previous;
    if (c.bytes.size() < HEADER_SIZE)
        return "";
    Expected expected = WireRules(c);
    if (!answer.ended)
        return "the server did not end the connection within " + std::to_string(ANSWER_TIMEOUT_MS) +
               " ms (read: " + ErrorText(answer.readError) + ")";
    BYTE command = static_cast<BYTE>(c.bytes[4]);
    if (!expected.reply) {
        if (!answer.bytes.empty())
            return "a refused request was answered with " + Hex(answer.bytes);
        return "";
    }
    WORD version = static_cast<WORD>(static_cast<BYTE>(c.bytes[2]) | static_cast<BYTE>(c.bytes[3]) << 8);
    BYTE action = c.bytes.size() > 18 ? static_cast<BYTE>(c.bytes[18]) : 0;
    if ((expected.statusMay0 && IsReply(answer.bytes, command, STATUS_NOT_DONE, version, action)) ||
        (expected.statusMay1 && IsReply(answer.bytes, command, STATUS_DONE, version, action)))
        return "";
    if (version == 2)
        return "wanted a version 2 reply with status " + std::string(expected.statusMay1 ? "1" : "0") + ", got " +
               (answer.bytes.empty() ? std::string("no reply") : Hex(answer.bytes));
    std::string wanted = expected.statusMay1 ? Hex(Reply(command, STATUS_DONE)) : Hex(Reply(command, STATUS_NOT_DONE));
    if (expected.statusMay0 && expected.statusMay1)
        wanted += " (or status 0)";
    return "wanted " + wanted + ", got " + (answer.bytes.empty() ? std::string("no reply") : Hex(answer.bytes)) +
           " (write: " + ErrorText(answer.writeError) + ")";
}

// The three detail lines that the server logs for a request it has read.
struct Record {
    std::wstring name, command, dataSize;
    bool operator==(const Record& other) const
    {
        return name == other.name && command == other.command && dataSize == other.dataSize;
    }
};

Record RecordOf(const std::string& request)
{
    auto at = [&request](size_t i) { return static_cast<BYTE>(request[i]); };
    static const wchar_t DIGITS[] = L"0123456789ABCDEF";
    std::wstring command = L"  Command: ";
    command += DIGITS[at(4) >> 4];
    command += DIGITS[at(4) & 15];
    unsigned long dataSize = at(8) | (at(9) << 8) | (at(10) << 16) | (static_cast<unsigned long>(at(11)) << 24);
    return {L"  Name: \\\\.\\pipe\\norva\\Tobra Service", command, L"  Data Size: " + std::to_wstring(dataSize)};
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// Every request that the server read is logged, in order, and no line is torn.
std::string CheckLog(const std::vector<Record>& wanted)
{
    std::vector<std::wstring> messages = test::ParseLogMessages(test::ReadFileBytes(test::SERVICE_LOG_FILE));
    size_t found = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].compare(0, 12, L"<torn line: ") == 0)
            return "a torn line in the log at line " + std::to_string(i + 1);
        if (messages[i] != L"*** Recv pipe message ***")
            continue;
        if (found >= wanted.size())
            return "the log holds more request records than the " + std::to_string(wanted.size()) + " wanted";
        Record record;
        if (i + 3 < messages.size())
            record = {messages[i + 1], messages[i + 2], messages[i + 3]};
        if (!(record == wanted[found]))
            return "request record " + std::to_string(found + 1) + " (log line " + std::to_string(i + 1) +
                   ") reads \"" + Narrow(record.command) + "\", \"" + Narrow(record.dataSize) + "\"; wanted \"" +
                   Narrow(wanted[found].command) + "\", \"" + Narrow(wanted[found].dataSize) + "\"";
        ++found;
    }
    if (found != wanted.size())
        return "the log holds " + std::to_string(found) + " request records, wanted " + std::to_string(wanted.size());
    return "";
}

// A request answered as the rules say; the reason otherwise.
std::string Probe(const std::string& request, const std::string& wanted)
{
    std::string reply;
    if (!SendRequest(request, &reply, CONNECT_TIMEOUT_MS))
        return "no answer to " + Hex(request);
    if (reply != wanted)
        return Hex(request) + " was answered with " + Hex(reply) + ", wanted " + Hex(wanted);
    return "";
}

// Runs the cases one after another, judges them and counts.
struct Tally {
    Tally(std::vector<Adapter> machineAdapters, std::vector<Record>* logRecords)
        : adapters(std::move(machineAdapters)), logged(logRecords)
    {
    }

    // False once the run is abandoned.
    bool Run(const std::string& label, Case c)
    {
        // Never the address of an adapter of this machine: the service would switch it.
        for (const Adapter& adapter : adapters) {
            if (c.bytes.size() >= 18 && adapter.addressLength == 6 && memcmp(&c.bytes[12], adapter.address, 6) == 0)
                c.bytes[12] ^= 0x02;  // locally administered: no real adapter's
        }
        Answer answer = RunCase(c);
        ++ran;
        slowest = answer.milliseconds > slowest ? answer.milliseconds : slowest;
        std::string verdict = Judge(c, answer, previous);
        previous = label + " (" + std::to_string(c.bytes.size()) + " bytes)";
        // The server reads once 12 bytes are there, and drops no client before.
        if (c.bytes.size() >= HEADER_SIZE && answer.connected)
            logged->push_back(RecordOf(c.bytes));
        shortCases += c.bytes.size() < HEADER_SIZE ? 1 : 0;
        answered += answer.bytes.empty() ? 0 : 1;
        bool wasDone = verdict.empty() && answer.bytes.size() >= HEADER_SIZE && answer.bytes[5] == STATUS_DONE;
        done += wasDone ? 1 : 0;
        split += c.chunks.size() > 1 ? 1 : 0;
        stalled += answer.writeStalled ? 1 : 0;
        if (verdict.empty()) {
            ++passed;
            connectFailures = 0;
            return true;
        }
        if (ran - passed <= MAX_FAILURES_SHOWN)
            printf("FAILED %s (%zu bytes, writes %s: %s%s): %s\n", label.c_str(), c.bytes.size(), Plan(c).c_str(),
                   Hex(c.bytes.substr(0, 32)).c_str(), c.bytes.size() > 32 ? " ..." : "", verdict.c_str());
        if (!answer.connected && ++connectFailures >= MAX_CONNECT_FAILURES)
            abandoned = "the service stopped accepting clients; run abandoned";
        else if (ran - passed >= MAX_FAILED_CASES)
            abandoned = "too many cases failed; run abandoned";
        return abandoned == nullptr;
    }

    std::vector<Adapter> adapters;
    std::vector<Record>* logged;
    std::string previous = "the probe before the run";
    const char* abandoned = nullptr;
    unsigned ran = 0, passed = 0, connectFailures = 0, shortCases = 0, answered = 0, done = 0, split = 0, stalled = 0;
    double slowest = 0;
};

bool ParseOptions(int argc, char** argv, Options* options)
{
    bool seeded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--short") {
            options->shortCases = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        if (arg == "--corpus") {
            std::string folder = argv[++i];
            options->corpus.assign(folder.begin(), folder.end());
            continue;
        }
        char* end = nullptr;
        unsigned long long value = strtoull(argv[++i], &end, 0);
        if (end == argv[i] || *end != '\0')
            return false;
        if (arg == "--cases") {
            options->cases = static_cast<unsigned>(value);
        } else if (arg == "--seed") {
            options->seed = value;
            seeded = true;
        } else if (arg == "--first") {
            options->first = static_cast<unsigned>(value);
        } else if (arg == "--max-size" && value >= HEADER_SIZE + 7 && value <= 1000000) {
            options->maxSize = static_cast<uint32_t>(value);
        } else {
            return false;
        }
    }
    if (!seeded) {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        options->seed = static_cast<uint64_t>(counter.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr,
                "usage: tobra_pipe_fuzz [--cases N] [--seed S] [--first K] [--short] [--max-size B] [--corpus DIR]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    printf("pipe fuzz: seed %llu, %u cases from case %u%s\n", static_cast<unsigned long long>(options.seed),
           options.cases, options.first, options.shortCases ? ", with requests shorter than the header" : "");

    if (!RemoveService() || !test::DeleteTree(test::SERVICE_LOG_ROOT)) {
        printf("FAILED: a registration or log left over cannot be removed\n");
        return 1;
    }
    ScHandle service = InstallService(L"\"" + ServiceExecutablePath() + L"\" -dlog");
    SERVICE_STATUS_PROCESS before = {};
    if (!service || !StartTobraService(service.Get()) ||
        !WaitForState(service.Get(), SERVICE_RUNNING, START_TIMEOUT_MS, &before)) {
        printf("FAILED: the service did not start: %s\n", ErrorText(GetLastError()).c_str());
        RemoveService();
        return 1;
    }

    std::vector<std::string> failures;  // the run's own, beyond the cases'
    std::vector<Record> logged;
    const std::string ready = CommandRequest(2);
    std::string problem = Probe(ready, Reply(2, STATUS_NOT_DONE));
    if (!problem.empty())
        failures.push_back("before the run: " + problem);
    logged.push_back(RecordOf(ready));

    Tally tally(ListAdapters(), &logged);
    double start = NowMs();
    // The committed corpus first, in one write and a byte at a time, so that a
    // case once found stays a test; then the random cases.
    std::vector<CorpusFile> corpus = ReadCorpus(options.corpus);
    if (!options.corpus.empty() && corpus.empty())
        failures.push_back("no request found in the corpus folder " + Narrow(options.corpus));
    for (const CorpusFile& file : corpus) {
        if (!tally.Run("corpus " + file.name, OneWrite(file.bytes)))
            break;
        bool small = file.bytes.size() > 1 && file.bytes.size() <= 64;
        if (small && !tally.Run("corpus " + file.name + " a byte a write", ByteWise(file.bytes)))
            break;
    }
    for (unsigned index = options.first; index < options.first + options.cases && !tally.abandoned; ++index)
        tally.Run("case " + std::to_string(index), Generate(options.seed, index, options));
    if (tally.abandoned)
        failures.push_back(tally.abandoned);
    double elapsed = NowMs() - start;

    // Still serving, in the same process, and still acting on a valid request.
    const BYTE unknown[6] = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
    for (const std::string& request : {ready, AdapterRequest(unknown, ACTION_RESTART)}) {
        BYTE command = static_cast<BYTE>(request[4]);
        problem = Probe(request, Reply(command, command == COMMAND_ADAPTER ? STATUS_DONE : STATUS_NOT_DONE));
        if (!problem.empty())
            failures.push_back("after the run: " + problem);
        logged.push_back(RecordOf(request));
    }
    SERVICE_STATUS_PROCESS after = {};
    if (!QueryStatus(service.Get(), &after) || after.dwCurrentState != SERVICE_RUNNING ||
        after.dwProcessId != before.dwProcessId)
        failures.push_back("after the run the service is not the same running process");
    StopResult stop = StopAndWait(service.Get(), STOP_TIMEOUT_MS);
    if (!stop.stopped || stop.status.dwWin32ExitCode != 0 || stop.processExitCode != 0)
        failures.push_back("the service did not stop cleanly (exit code " + std::to_string(stop.processExitCode) + ")");
    else
        printf("stop after the run: %.0f ms\n", stop.milliseconds);
    problem = CheckLog(logged);
    if (!problem.empty())
        failures.push_back(problem);
    service = ScHandle();
    RemoveService();
    test::DeleteTree(test::SERVICE_LOG_ROOT);

    printf(
        "pipe fuzz: %u cases in %.1f s: %u answered (%u done), %u in several writes, %u with a write stalled, "
        "%u shorter than the header; slowest %.0f ms\n",
        tally.ran, elapsed / 1000, tally.answered, tally.done, tally.split, tally.stalled, tally.shortCases,
        tally.slowest);
    for (const std::string& failure : failures)
        printf("FAILED %s\n", failure.c_str());
    printf("%u passed, %u failed\n", tally.passed, tally.ran - tally.passed);
    if (failures.empty() && tally.passed == tally.ran)
        return 0;
    printf(
        "replay: case K (and the one before it) with --seed %llu --first K-1 --cases 2%s; the corpus with "
        "--corpus DIR --cases 0\n",
        static_cast<unsigned long long>(options.seed), options.shortCases ? " --short" : "");
    return 1;
}
