/* tobractl: the command-line client of Tobra Service. Restarts or disables an
 * adapter through the service, sends raw bytes for testing, and lists the
 * machine's adapters so that one can be picked. */
/* winsock2.h first: iphlpapi.h needs its address types. */
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <shlwapi.h>
#include <stdarg.h>

#include "tobra_adapter_list.h"
#include "tobra_client.h"
#include "tobra_client_raw.h"
#include "tobra_console.h"
#include "tobra_text.h"

/* Exit codes: the library's results, then this program's own. */
enum {
    EXIT_DONE = TOBRA_DONE,
    EXIT_NOT_DONE = TOBRA_NOT_DONE,
    EXIT_NO_REPLY = TOBRA_NO_REPLY,
    EXIT_CANNOT_CONNECT = TOBRA_CANNOT_CONNECT,
    EXIT_BAD_REPLY = TOBRA_BAD_REPLY,
    EXIT_BAD_USAGE = TOBRA_BAD_ARGUMENT,
    EXIT_LIST_FAILED = 6,
    /* What a version 2 service reported. */
    EXIT_NO_ADAPTER = 7,
    EXIT_SWITCH_FAILED = 8,
    EXIT_LIST_UNREADABLE = 9,
    EXIT_REFUSED = 10,
    EXIT_NOT_THE_SERVICE = 11
};

#define MESSAGE_CHARS 1024
/* The same adapters as the service looks through, without their addresses. */
#define LIST_FLAGS (GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER)
#define LIST_FIRST_SIZE (16 * 1024)
#define LIST_ATTEMPTS 4
/* Enough for any reply the service writes and for a misbehaving one to show. */
#define RAW_REPLY_CAPACITY 4096
#define MAX_TIMEOUT_MS 86400000ul

static const wchar_t USAGE[] =
    L"Usage: tobractl [--pipe NAME] [--timeout MS] restart ADDRESS\n"
    L"       tobractl [--pipe NAME] [--timeout MS] disable ADDRESS\n"
    L"       tobractl [--pipe NAME] [--timeout MS] raw HEX...\n"
    L"       tobractl list\n"
    L"\n"
    L"  restart   switch the adapter's network connection off and on again\n"
    L"  disable   switch the adapter's network connection off\n"
    L"  raw       send the given bytes as they are (for testing) and show the raw reply\n"
    L"  list      show this machine's adapters with hardware address and names\n"
    L"\n"
    L"ADDRESS is the adapter's 6-byte hardware address: 00-11-22-33-44-55, 00:11:22:33:44:55\n"
    L"or 001122334455. HEX is pairs of hexadecimal digits, in one or more arguments,\n"
    L"optionally separated by '-' or ':', e.g. raw 54 42 01 00 02 00 00 00 00 00 00 00.\n"
    L"--pipe (or the TOBRA_PIPE environment variable) names another pipe than\n"
    L"\\\\.\\pipe\\norva\\Tobra Service; --timeout limits the whole exchange (default 60000 ms).\n"
    L"\n"
    L"Exit codes: 0 done (switched, or a service that does not report the outcome), 1 not done,\n"
    L"2 no reply, 3 cannot connect, 4 invalid reply, 5 bad usage, 6 adapters cannot be listed,\n"
    L"7 no adapter has the address, 8 switching failed, 9 the service could not read the adapter\n"
    L"list, 10 refused by the service's policy, 11 the pipe is not served by Tobra Service.\n";

static void Print(DWORD stream, const wchar_t* format, ...)
{
    wchar_t text[MESSAGE_CHARS];
    va_list args;
    va_start(args, format);
    ZeroMemory(text, sizeof(text));
    wvnsprintfW(text, MESSAGE_CHARS, format, args);
    text[MESSAGE_CHARS - 1] = L'\0';
    va_end(args);
    TobraWriteText(stream, text, lstrlenW(text));
}

#define Out(...) Print(STD_OUTPUT_HANDLE, __VA_ARGS__)
#define Err(...) Print(STD_ERROR_HANDLE, __VA_ARGS__)

static int BadUsage(const wchar_t* format, const wchar_t* argument)
{
    Err(L"tobractl: ");
    Err(format, argument);
    Err(L"\nRun \"tobractl --help\" for usage.\n");
    return EXIT_BAD_USAGE;
}

static int IsHelp(const wchar_t* argument)
{
    return lstrcmpW(argument, L"--help") == 0 || lstrcmpW(argument, L"-h") == 0 || lstrcmpW(argument, L"/?") == 0 ||
           lstrcmpW(argument, L"help") == 0;
}

static int ParseTimeout(const wchar_t* text, unsigned long* timeoutMs)
{
    unsigned long value = 0;
    if (*text == L'\0')
        return 0;
    for (; *text != L'\0'; ++text) {
        if (*text < L'0' || *text > L'9')
            return 0;
        value = value * 10 + (unsigned long)(*text - L'0');
        if (value > MAX_TIMEOUT_MS)
            return 0;
    }
    if (value == 0)
        return 0;
    *timeoutMs = value;
    return 1;
}

/* Pairs of hex digits across the arguments; '-', ':' and ',' may separate
 * pairs but not split one. Returns the byte count, or -1 with a message. */
static long ParseHexBytes(int count, wchar_t** arguments, unsigned char* bytes, unsigned long capacity)
{
    unsigned long size = 0;
    int i;
    for (i = 0; i < count; ++i) {
        const wchar_t* p = arguments[i];
        while (*p != L'\0') {
            int high;
            int low;
            if (*p == L'-' || *p == L':' || *p == L',' || *p == L' ') {
                ++p;
                continue;
            }
            high = TobraHexDigit(p[0]);
            low = high < 0 ? -1 : TobraHexDigit(p[1]);
            if (high < 0 || low < 0) {
                BadUsage(L"\"%s\" is not a list of hexadecimal byte pairs (such as 54 42 01 00).", arguments[i]);
                return -1;
            }
            if (size == capacity) {
                Err(L"tobractl: a request has at most %lu bytes.\n", capacity);
                return -1;
            }
            bytes[size++] = (unsigned char)(high * 16 + low);
            p += 2;
        }
    }
    return (long)size;
}

static void PrintHex(DWORD stream, const unsigned char* bytes, unsigned long size)
{
    unsigned long i;
    for (i = 0; i < size; ++i)
        Print(stream, i + 1 < size ? L"%02X " : L"%02X", bytes[i]);
}

static const wchar_t* ErrorText(unsigned long error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return L"the pipe does not exist; is Tobra Service running?";
    case ERROR_ACCESS_DENIED:
        return L"access to the pipe was denied";
    case ERROR_PIPE_BUSY:
        return L"the pipe stayed busy with other clients";
    case ERROR_BAD_PIPE:
        return L"the name is not a pipe";
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_NO_DATA:
        return L"the service closed the connection";
    case WAIT_TIMEOUT:
        return L"the time limit passed";
    }
    return L"Windows error";
}

static int ExitCode(TobraResult result)
{
    return result == TOBRA_NOT_THE_SERVICE ? EXIT_NOT_THE_SERVICE : (int)result;
}

/* One message per result; returns the exit code. */
static int Report(TobraResult result, const TobraOutcome* outcome, const wchar_t* pipeName, unsigned long timeoutMs,
                  const wchar_t* what)
{
    switch (result) {
    case TOBRA_DONE:
        Out(L"Done: the service carried out %s.\n", what);
        break;
    case TOBRA_NOT_DONE:
        Out(L"Not done: the service answered that it did not carry out %s.\n", what);
        break;
    case TOBRA_NO_REPLY:
        if (!outcome->requestSent && outcome->timedOut)
            Err(L"No reply within %lu ms; nothing was sent.\n", timeoutMs);
        else if (!outcome->requestSent)
            Err(L"No reply: the request could not be sent (error %lu): %s.\n", outcome->error,
                ErrorText(outcome->error));
        else if (outcome->timedOut)
            Err(L"No reply within %lu ms; the service may still carry out %s.\n", timeoutMs, what);
        else
            Err(L"No reply: the service closed the connection without answering.\n");
        break;
    case TOBRA_CANNOT_CONNECT:
        if (outcome->timedOut)
            Err(L"Cannot connect to %s: it stayed busy with other clients for %lu ms.\n", pipeName, timeoutMs);
        else
            Err(L"Cannot connect to %s (error %lu): %s.\n", pipeName, outcome->error, ErrorText(outcome->error));
        break;
    case TOBRA_BAD_REPLY:
        Err(L"Invalid reply (%lu bytes, a reply has 12): ", outcome->replySize);
        PrintHex(STD_ERROR_HANDLE, outcome->reply,
                 outcome->replySize < TOBRA_HEADER_SIZE ? outcome->replySize : TOBRA_HEADER_SIZE);
        Err(outcome->replySize > TOBRA_HEADER_SIZE ? L" ...\n" : L"\n");
        break;
    case TOBRA_BAD_ARGUMENT:
        Err(L"tobractl: %s is not a local pipe name (\\\\.\\pipe\\...).\n", pipeName);
        break;
    case TOBRA_NOT_THE_SERVICE:
        if (outcome->error == 0)
            Err(L"Nothing sent: %s is served by another program, not by Tobra Service.\n", pipeName);
        else
            Err(L"Nothing sent: cannot tell whether Tobra Service serves %s (error %lu).\n", pipeName, outcome->error);
        break;
    }
    return ExitCode(result);
}

/* The adapter's friendly name from this machine's own list, or the address
 * text when no adapter has the address or the list cannot be had. */
static void FriendlyName(const unsigned char* address, const wchar_t* addressText, wchar_t* name, int chars)
{
    ULONG error = 0;
    IP_ADAPTER_ADDRESSES* adapters =
        TobraGetAdapterList(&TOBRA_ADAPTER_LIST_CALLS, LIST_FLAGS, LIST_FIRST_SIZE, LIST_ATTEMPTS, &error);
    IP_ADAPTER_ADDRESSES* adapter = TobraFindAdapter(adapters, address);

    lstrcpynW(name, addressText, chars);
    if (adapter != NULL && adapter->FriendlyName != NULL && adapter->FriendlyName[0] != L'\0')
        lstrcpynW(name, adapter->FriendlyName, chars);
    TobraFreeAdapterList(&TOBRA_ADAPTER_LIST_CALLS, adapters);
}

/* " (the system's message for the code)", or nothing when it has none. */
static void CodeText(unsigned long code, wchar_t* text, int chars)
{
    wchar_t message[512];
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, message, 512, NULL);
    while (length > 0 && (message[length - 1] == L'\r' || message[length - 1] == L'\n' || message[length - 1] == L' ' ||
                          message[length - 1] == L'.'))
        message[--length] = L'\0';
    text[0] = L'\0';
    if (length > 0)
        wnsprintfW(text, chars, L" (%s)", message);
}

/* One line of what the service reported; returns the exit code. */
static int ReportOutcome(TobraResult result, const TobraAdapterReport* report, unsigned char action,
                         const unsigned char* address, const wchar_t* addressText)
{
    wchar_t name[256];
    wchar_t offText[600];
    wchar_t onText[600];

    if (!report->reported) {
        if (result != TOBRA_DONE)
            return -1; /* not done: as a version 1 exchange says it */
        Out(L"Done (this service does not report the outcome): %s.\n", addressText);
        return EXIT_DONE;
    }
    switch (report->outcome) {
    case TOBRA_OUTCOME_SWITCHED:
        FriendlyName(address, addressText, name, 256);
        Out(action == TOBRA_ACTION_RESTART ? L"Restarted %s (%s).\n" : L"Disabled %s (%s).\n", name, addressText);
        return EXIT_DONE;
    case TOBRA_OUTCOME_NO_ADAPTER:
        Out(L"No adapter has the address %s.\n", addressText);
        return EXIT_NO_ADAPTER;
    case TOBRA_OUTCOME_FAILED:
        FriendlyName(address, addressText, name, 256);
        CodeText(report->offResult, offText, 600);
        CodeText(report->onResult, onText, 600);
        Out(L"Switching %s (%s) failed: off 0x%08lx%s, on 0x%08lx%s.\n", name, addressText, report->offResult, offText,
            report->onResult, onText);
        return EXIT_SWITCH_FAILED;
    case TOBRA_OUTCOME_LIST_UNAVAILABLE:
        Out(L"The adapter list could not be read; the service switched nothing it could name.\n");
        return EXIT_LIST_UNREADABLE;
    case TOBRA_OUTCOME_REFUSED:
        Out(L"Refused by the service's policy: %s.\n", addressText);
        return EXIT_REFUSED;
    }
    return -1;
}

static int RunAdapterCommand(const wchar_t* pipeName, unsigned long timeoutMs, unsigned char action,
                             const wchar_t* addressText)
{
    unsigned char address[TOBRA_HARDWARE_ADDRESS_SIZE];
    wchar_t formatted[TOBRA_ADDRESS_TEXT_CHARS];
    wchar_t what[96];
    TobraOutcome outcome;
    TobraAdapterReport report;
    TobraResult result;
    int code;

    if (!TobraParseHardwareAddress(addressText, address))
        return BadUsage(
            L"\"%s\" is not a hardware address; write six pairs of hexadecimal digits, "
            L"such as 00-11-22-33-44-55 (see \"tobractl list\").",
            addressText);
    TobraFormatHardwareAddress(address, formatted);
    wnsprintfW(what, 96, L"the %s for %s", action == TOBRA_ACTION_RESTART ? L"restart" : L"disable", formatted);
    result = TobraSendAdapterRequestWithReport(pipeName, address, action, timeoutMs, &outcome, &report);
    if (result == TOBRA_DONE || result == TOBRA_NOT_DONE) {
        code = ReportOutcome(result, &report, action, address, formatted);
        if (code >= 0)
            return code;
    }
    return Report(result, &outcome, pipeName, timeoutMs, what);
}

static int RunRaw(const wchar_t* pipeName, unsigned long timeoutMs, int count, wchar_t** arguments)
{
    static unsigned char request[TOBRA_MAX_REQUEST_SIZE];
    static unsigned char reply[RAW_REPLY_CAPACITY];
    TobraOutcome outcome;
    TobraResult result;
    long size;

    if (count == 0)
        return BadUsage(L"%s needs the bytes to send.", L"raw");
    size = ParseHexBytes(count, arguments, request, sizeof(request));
    if (size < 0)
        return EXIT_BAD_USAGE;
    result = TobraExchangeRaw(pipeName, request, (unsigned long)size, timeoutMs, reply, sizeof(reply), &outcome);
    if (result == TOBRA_BAD_ARGUMENT || result == TOBRA_CANNOT_CONNECT || result == TOBRA_NOT_THE_SERVICE ||
        !outcome.requestSent)
        return Report(result, &outcome, pipeName, timeoutMs, L"the request");

    Out(L"Sent %ld bytes.\n", size);
    if (outcome.replySize > 0) {
        Out(L"Reply (%lu bytes): ", outcome.replySize);
        PrintHex(STD_OUTPUT_HANDLE, reply, outcome.replySize);
        Out(L"\n");
        if (outcome.timedOut)
            Out(L"The connection was still open after %lu ms.\n", timeoutMs);
    }
    return Report(result, &outcome, pipeName, timeoutMs, L"the request");
}

static const wchar_t* OperStatusText(IF_OPER_STATUS status)
{
    switch (status) {
    case IfOperStatusUp:
        return L"up";
    case IfOperStatusDown:
        return L"down";
    case IfOperStatusDormant:
        return L"dormant";
    case IfOperStatusNotPresent:
        return L"absent";
    case IfOperStatusLowerLayerDown:
        return L"no link";
    default:
        return L"-";
    }
}

static int RunList(void)
{
    ULONG error = 0;
    IP_ADAPTER_ADDRESSES* adapters =
        TobraGetAdapterList(&TOBRA_ADAPTER_LIST_CALLS, LIST_FLAGS, LIST_FIRST_SIZE, LIST_ATTEMPTS, &error);
    IP_ADAPTER_ADDRESSES* adapter;

    if (adapters == NULL && error != ERROR_NO_DATA) {
        Err(L"tobractl: the adapters cannot be listed (error %lu).\n", error);
        return EXIT_LIST_FAILED;
    }
    Out(L"%-17s  %-7s  %-38s  %s\n", L"Hardware address", L"State", L"Adapter name", L"Friendly name");
    for (adapter = adapters; adapter != NULL; adapter = adapter->Next) {
        wchar_t address[3 * MAX_ADAPTER_ADDRESS_LENGTH + 1];
        wchar_t name[64];
        ULONG i;
        /* Only a 6-byte address can be named in a request; others show as they are. */
        address[0] = L'\0';
        for (i = 0; i < adapter->PhysicalAddressLength && i < MAX_ADAPTER_ADDRESS_LENGTH; ++i)
            wnsprintfW(address + 3 * i, 4, i + 1 < adapter->PhysicalAddressLength ? L"%02X-" : L"%02X",
                       adapter->PhysicalAddress[i]);
        if (adapter->PhysicalAddressLength == 0)
            lstrcpyW(address, L"-");
        if (MultiByteToWideChar(CP_ACP, 0, adapter->AdapterName, -1, name, 64) == 0)
            lstrcpyW(name, L"?");
        Out(L"%-17s  %-7s  %-38s  %s\n", address, OperStatusText(adapter->OperStatus), name,
            adapter->FriendlyName != NULL ? adapter->FriendlyName : L"");
    }
    TobraFreeAdapterList(&TOBRA_ADAPTER_LIST_CALLS, adapters);
    return EXIT_DONE;
}

int wmain(int argc, wchar_t** argv)
{
    wchar_t environmentPipe[512];
    const wchar_t* pipeName = TOBRA_PIPE_NAME;
    unsigned long timeoutMs = TOBRA_DEFAULT_TIMEOUT_MS;
    const wchar_t* command;
    int i = 1;

    DWORD length = GetEnvironmentVariableW(L"TOBRA_PIPE", environmentPipe, 512);
    if (length > 0 && length < 512)
        pipeName = environmentPipe;

    for (; i < argc && argv[i][0] == L'-' && argv[i][1] == L'-'; ++i) {
        if (IsHelp(argv[i]))
            break;
        if (lstrcmpW(argv[i], L"--pipe") == 0 && i + 1 < argc) {
            pipeName = argv[++i];
        } else if (lstrcmpW(argv[i], L"--timeout") == 0 && i + 1 < argc) {
            if (!ParseTimeout(argv[++i], &timeoutMs))
                return BadUsage(L"\"%s\" is not a time limit in milliseconds (1 to 86400000).", argv[i]);
        } else {
            return BadUsage(L"unknown option \"%s\", or its value is missing.", argv[i]);
        }
    }
    if (i == argc) {
        TobraWriteText(STD_ERROR_HANDLE, USAGE, lstrlenW(USAGE));
        return EXIT_BAD_USAGE;
    }
    command = argv[i++];
    if (IsHelp(command)) {
        TobraWriteText(STD_OUTPUT_HANDLE, USAGE, lstrlenW(USAGE));
        return EXIT_DONE;
    }
    if (lstrcmpW(command, L"list") == 0) {
        if (i != argc)
            return BadUsage(L"%s takes no arguments.", command);
        return RunList();
    }
    if (lstrcmpW(command, L"raw") == 0)
        return RunRaw(pipeName, timeoutMs, argc - i, argv + i);
    if (lstrcmpW(command, L"restart") == 0 || lstrcmpW(command, L"disable") == 0) {
        if (argc - i != 1)
            return BadUsage(L"%s needs one hardware address, such as 00-11-22-33-44-55.", command);
        return RunAdapterCommand(pipeName, timeoutMs, command[0] == L'r' ? TOBRA_ACTION_RESTART : TOBRA_ACTION_DISABLE,
                                 argv[i]);
    }
    return BadUsage(L"unknown command \"%s\"; the commands are restart, disable, raw and list.", command);
}
