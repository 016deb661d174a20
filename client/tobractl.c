/* tobractl: the command-line client of Tobra Service. Restarts, disables or
 * enables an adapter through the service, sends raw bytes for testing, and
 * lists the machine's adapters, with those the service left disabled, so that
 * one can be picked. With --json it writes one JSON
 * object on stdout for scripts, and its sentences go to stderr. */
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
#define JSON_CHUNK_CHARS 1024

static const wchar_t USAGE[] =
    L"Usage: tobractl [--json] [--pipe NAME] [--timeout MS] restart ADDRESS\n"
    L"       tobractl [--json] [--pipe NAME] [--timeout MS] disable ADDRESS\n"
    L"       tobractl [--json] [--pipe NAME] [--timeout MS] enable ADDRESS\n"
    L"       tobractl [--json] [--pipe NAME] [--timeout MS] raw HEX...\n"
    L"       tobractl [--json] list\n"
    L"\n"
    L"  restart   switch the adapter's network connection off and on again\n"
    L"  disable   switch the adapter's network connection off\n"
    L"  enable    switch it on again (a service of protocol version 2 or later)\n"
    L"  raw       send the given bytes as they are (for testing) and show the raw reply\n"
    L"  list      show this machine's adapters with hardware address and names, and the\n"
    L"            adapters that the service disabled (Windows no longer lists those)\n"
    L"\n"
    L"ADDRESS is the adapter's 6-byte hardware address: 00-11-22-33-44-55, 00:11:22:33:44:55\n"
    L"or 001122334455. HEX is pairs of hexadecimal digits, in one or more arguments,\n"
    L"optionally separated by '-' or ':', e.g. raw 54 42 01 00 02 00 00 00 00 00 00 00.\n"
    L"--pipe (or the TOBRA_PIPE environment variable) names another pipe than\n"
    L"\\\\.\\pipe\\norva\\Tobra Service; --timeout limits the whole exchange (default 60000 ms).\n"
    L"--json writes one JSON object on stdout, also on failure, and the messages to stderr.\n"
    L"\n"
    L"Exit codes: 0 done (switched, or a service that does not report the outcome), 1 not done,\n"
    L"2 no reply, 3 cannot connect, 4 invalid reply, 5 bad usage, 6 adapters cannot be listed,\n"
    L"7 no adapter has the address, 8 switching failed, 9 the service could not read the adapter\n"
    L"list, 10 refused by the service's policy, 11 the pipe is not served by Tobra Service.\n";

/* --json: stdout carries only the object; the sentences go to stderr and, for
 * the object's "message", to g_message. */
static int g_json;
static wchar_t g_message[MESSAGE_CHARS];
static int g_jsonFields;
static wchar_t g_jsonChunk[JSON_CHUNK_CHARS];
static int g_jsonLength;

static void WriteHuman(DWORD stream, const wchar_t* text)
{
    if (g_json) {
        int used = lstrlenW(g_message);
        lstrcpynW(g_message + used, text, MESSAGE_CHARS - used);
        stream = STD_ERROR_HANDLE;
    }
    TobraWriteText(stream, text, lstrlenW(text));
}

static void Print(DWORD stream, const wchar_t* format, ...)
{
    wchar_t text[MESSAGE_CHARS];
    va_list args;
    va_start(args, format);
    ZeroMemory(text, sizeof(text));
    wvnsprintfW(text, MESSAGE_CHARS, format, args);
    text[MESSAGE_CHARS - 1] = L'\0';
    va_end(args);
    WriteHuman(stream, text);
}

static void JsonFlush(void)
{
    TobraWriteText(STD_OUTPUT_HANDLE, g_jsonChunk, g_jsonLength);
    g_jsonLength = 0;
}

static void JsonPuts(const wchar_t* text)
{
    for (; *text != L'\0'; ++text) {
        if (g_jsonLength == JSON_CHUNK_CHARS)
            JsonFlush();
        g_jsonChunk[g_jsonLength++] = *text;
    }
}

/* ASCII only: every other character as \uXXXX, which any parser reads back
 * (a surrogate pair as two), whatever the output's encoding. */
static void JsonString(const wchar_t* value)
{
    wchar_t piece[8];
    if (value == NULL) {
        JsonPuts(L"null");
        return;
    }
    JsonPuts(L"\"");
    for (; *value != L'\0'; ++value) {
        if (*value == L'"' || *value == L'\\' || *value == L'\n') {
            piece[0] = L'\\';
            piece[1] = *value == L'\n' ? L'n' : *value;
            piece[2] = L'\0';
        } else if (*value < 0x20 || *value > 0x7E) {
            wnsprintfW(piece, 8, L"\\u%04x", (unsigned)*value);
        } else {
            piece[0] = *value;
            piece[1] = L'\0';
        }
        JsonPuts(piece);
    }
    JsonPuts(L"\"");
}

static void JsonKey(const wchar_t* key)
{
    JsonPuts(g_jsonFields++ == 0 ? L"{\"" : L",\"");
    JsonPuts(key);
    JsonPuts(L"\":");
}

static void JsonStringField(const wchar_t* key, const wchar_t* value)
{
    if (!g_json)
        return;
    JsonKey(key);
    JsonString(value);
}

static void JsonNumberField(const wchar_t* key, unsigned long value)
{
    wchar_t text[16];
    if (!g_json)
        return;
    wnsprintfW(text, 16, L"%lu", value);
    JsonKey(key);
    JsonPuts(text);
}

/* HRESULTs as hexadecimal text, as the sentences and the documentation write them. */
static void JsonCodeField(const wchar_t* key, unsigned long value)
{
    wchar_t text[16];
    wnsprintfW(text, 16, L"0x%08lx", value);
    JsonStringField(key, text);
}

static void JsonBoolField(const wchar_t* key, int value)
{
    if (!g_json)
        return;
    JsonKey(key);
    JsonPuts(value ? L"true" : L"false");
}

static void JsonNullField(const wchar_t* key)
{
    JsonStringField(key, NULL);
}

/* Ends the object with the exit code and the sentences; returns the code. */
static int Finish(int code)
{
    int length;
    if (!g_json)
        return code;
    if (g_jsonFields == 0)
        JsonNullField(L"command");
    length = lstrlenW(g_message);
    while (length > 0 && (g_message[length - 1] == L'\n' || g_message[length - 1] == L'\r'))
        g_message[--length] = L'\0';
    JsonStringField(L"message", g_message);
    JsonNumberField(L"exitCode", (unsigned long)code);
    JsonPuts(L"}\n");
    JsonFlush();
    return code;
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

/* The bytes as PrintHex writes them, for the JSON object: at most chars - 1 characters. */
static void HexText(const unsigned char* bytes, unsigned long size, wchar_t* text, unsigned long chars)
{
    unsigned long i;
    text[0] = L'\0';
    for (i = 0; i < size && 3 * i + 3 <= chars; ++i)
        wnsprintfW(text + 3 * i, 4, i + 1 < size ? L"%02X " : L"%02X", bytes[i]);
}

/* The library's results as words that scripts can compare. */
static const wchar_t* ResultWord(TobraResult result)
{
    switch (result) {
    case TOBRA_DONE:
        return L"done";
    case TOBRA_NOT_DONE:
        return L"not-done";
    case TOBRA_NO_REPLY:
        return L"no-reply";
    case TOBRA_CANNOT_CONNECT:
        return L"cannot-connect";
    case TOBRA_BAD_REPLY:
        return L"bad-reply";
    case TOBRA_BAD_ARGUMENT:
        return L"bad-argument";
    case TOBRA_NOT_THE_SERVICE:
        return L"not-the-service";
    }
    return NULL;
}

/* The outcome values as the Node.js module names them. */
static const wchar_t* OutcomeWord(unsigned long outcome)
{
    static const wchar_t* const words[] = {L"nothing-asked", L"switched", L"no-adapter",
                                           L"failed",        L"refused",  L"list-unavailable"};
    return outcome < sizeof(words) / sizeof(words[0]) ? words[outcome] : NULL;
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
 * text when no adapter has the address or the list cannot be had (then 0). */
static int FriendlyName(const unsigned char* address, const wchar_t* addressText, wchar_t* name, int chars)
{
    ULONG error = 0;
    IP_ADAPTER_ADDRESSES* adapters =
        TobraGetAdapterList(&TOBRA_ADAPTER_LIST_CALLS, LIST_FLAGS, LIST_FIRST_SIZE, LIST_ATTEMPTS, &error);
    IP_ADAPTER_ADDRESSES* adapter = TobraFindAdapter(adapters, address);
    int found = adapter != NULL && adapter->FriendlyName != NULL && adapter->FriendlyName[0] != L'\0';

    lstrcpynW(name, found ? adapter->FriendlyName : addressText, chars);
    TobraFreeAdapterList(&TOBRA_ADAPTER_LIST_CALLS, adapters);
    return found;
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
        /* A disabled adapter is not listed: an enable names it by its address alone. */
        if (!FriendlyName(address, addressText, name, 256) && action == TOBRA_ACTION_ENABLE) {
            Out(L"Enabled %s.\n", addressText);
            return EXIT_DONE;
        }
        Out(action == TOBRA_ACTION_RESTART   ? L"Restarted %s (%s).\n"
            : action == TOBRA_ACTION_DISABLE ? L"Disabled %s (%s).\n"
                                             : L"Enabled %s (%s).\n",
            name, addressText);
        return EXIT_DONE;
    case TOBRA_OUTCOME_NO_ADAPTER:
        Out(L"No adapter has the address %s.\n", addressText);
        return EXIT_NO_ADAPTER;
    case TOBRA_OUTCOME_FAILED:
        FriendlyName(address, addressText, name, 256);
        CodeText(report->offResult, offText, 600);
        CodeText(report->onResult, onText, 600);
        if (action == TOBRA_ACTION_ENABLE) {
            Out(L"Enabling %s (%s) failed: 0x%08lx%s.\n", name, addressText, report->onResult, onText);
            return EXIT_SWITCH_FAILED;
        }
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

/* What an adapter request did, for the JSON object. */
static void JsonAdapterResult(TobraResult result, const TobraOutcome* outcome, const TobraAdapterReport* report,
                              const unsigned char* address, const wchar_t* addressText)
{
    wchar_t name[256];
    if (!g_json)
        return;
    JsonStringField(L"adapter", FriendlyName(address, addressText, name, 256) ? name : NULL);
    JsonStringField(L"result", ResultWord(result));
    if (report->reported) {
        JsonStringField(L"outcome", OutcomeWord(report->outcome));
        JsonNumberField(L"outcomeCode", report->outcome);
        JsonCodeField(L"offResult", report->offResult);
        JsonCodeField(L"onResult", report->onResult);
    } else {
        /* A version 1 service answers without saying what happened. */
        JsonStringField(L"outcome",
                        report->version == TOBRA_MESSAGE_VERSION && result <= TOBRA_NOT_DONE ? L"unknown" : NULL);
        JsonNullField(L"outcomeCode");
        JsonNullField(L"offResult");
        JsonNullField(L"onResult");
    }
    if (report->version != 0)
        JsonNumberField(L"version", report->version);
    else
        JsonNullField(L"version");
    JsonNumberField(L"windowsError", outcome->error);
    JsonBoolField(L"requestSent", outcome->requestSent);
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

    if (!TobraParseHardwareAddress(addressText, address)) {
        JsonStringField(L"address", addressText);
        return BadUsage(
            L"\"%s\" is not a hardware address; write six pairs of hexadecimal digits, "
            L"such as 00-11-22-33-44-55 (see \"tobractl list\").",
            addressText);
    }
    TobraFormatHardwareAddress(address, formatted);
    JsonStringField(L"address", formatted);
    wnsprintfW(what, 96, L"the %s for %s",
               action == TOBRA_ACTION_RESTART   ? L"restart"
               : action == TOBRA_ACTION_DISABLE ? L"disable"
                                                : L"enable",
               formatted);
    result = TobraSendAdapterRequestWithReport(pipeName, address, action, timeoutMs, &outcome, &report);
    JsonAdapterResult(result, &outcome, &report, address, formatted);
    /* The library sent nothing: a version 1 service knows no enable. */
    if (action == TOBRA_ACTION_ENABLE && result == TOBRA_NOT_DONE && !report.reported &&
        outcome.error == ERROR_NOT_SUPPORTED) {
        Out(L"This service cannot enable adapters (it predates the outcome protocol).\n");
        return EXIT_NOT_DONE;
    }
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
    if (g_json) {
        static wchar_t hex[3 * TOBRA_MAX_REQUEST_SIZE];
        HexText(request, (unsigned long)size, hex, sizeof(hex) / sizeof(hex[0]));
        JsonStringField(L"request", hex);
        HexText(reply, outcome.replySize < RAW_REPLY_CAPACITY ? outcome.replySize : RAW_REPLY_CAPACITY, hex,
                sizeof(hex) / sizeof(hex[0]));
        JsonStringField(L"reply", hex);
        JsonNumberField(L"replySize", outcome.replySize);
        JsonStringField(L"result", ResultWord(result));
        JsonNumberField(L"windowsError", outcome.error);
        JsonBoolField(L"requestSent", outcome.requestSent);
    }
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

/* The adapters the service recorded as left off that the list no longer
 * holds (Windows leaves a disabled adapter out), as "disabled" rows with the
 * recorded GUID; read from the record itself, not through the service. */
static void ListRecordedAdapters(IP_ADAPTER_ADDRESSES* adapters, int rows)
{
    HKEY key = NULL;
    DWORD index;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TOBRA_DISABLED_ADAPTERS_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return;
    for (index = 0;; ++index) {
        wchar_t name[64];
        wchar_t guid[64];
        DWORD nameChars = 64;
        DWORD bytes = sizeof(guid) - sizeof(wchar_t);
        DWORD type = 0;
        unsigned char address[TOBRA_HARDWARE_ADDRESS_SIZE];
        wchar_t formatted[TOBRA_ADDRESS_TEXT_CHARS];
        LSTATUS status = RegEnumValueW(key, index, name, &nameChars, NULL, &type, (BYTE*)guid, &bytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        /* A value that is no address, or no text, is an administrator's edit: the service ignores it too. */
        if (status != ERROR_SUCCESS || type != REG_SZ || !TobraParseHardwareAddress(name, address) ||
            TobraFindAdapter(adapters, address) != NULL)
            continue;
        guid[bytes / sizeof(wchar_t)] = L'\0';
        TobraFormatHardwareAddress(address, formatted);
        if (g_json) {
            JsonPuts(rows++ == 0 ? L"{\"address\":" : L",{\"address\":");
            JsonString(formatted);
            JsonPuts(L",\"state\":\"disabled\",\"guid\":");
            JsonString(guid);
            JsonPuts(L",\"name\":\"\"}");
            continue;
        }
        Out(L"%-17s  %-8s  %-38s  %s\n", formatted, L"disabled", guid, L"");
    }
    RegCloseKey(key);
}

static int RunList(void)
{
    ULONG error = 0;
    IP_ADAPTER_ADDRESSES* adapters =
        TobraGetAdapterList(&TOBRA_ADAPTER_LIST_CALLS, LIST_FLAGS, LIST_FIRST_SIZE, LIST_ATTEMPTS, &error);
    IP_ADAPTER_ADDRESSES* adapter;

    if (adapters == NULL && error != ERROR_NO_DATA) {
        Err(L"tobractl: the adapters cannot be listed (error %lu).\n", error);
        JsonNullField(L"adapters");
        JsonNumberField(L"windowsError", error);
        return EXIT_LIST_FAILED;
    }
    if (g_json) {
        JsonKey(L"adapters");
        JsonPuts(L"[");
    } else {
        Out(L"%-17s  %-8s  %-38s  %s\n", L"Hardware address", L"State", L"Adapter name", L"Friendly name");
    }
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
        if (g_json) {
            JsonPuts(adapter == adapters ? L"{\"address\":" : L",{\"address\":");
            JsonString(address);
            JsonPuts(L",\"state\":");
            JsonString(OperStatusText(adapter->OperStatus));
            JsonPuts(L",\"guid\":");
            JsonString(name);
            JsonPuts(L",\"name\":");
            JsonString(adapter->FriendlyName != NULL ? adapter->FriendlyName : L"");
            JsonPuts(L"}");
            continue;
        }
        Out(L"%-17s  %-8s  %-38s  %s\n", address, OperStatusText(adapter->OperStatus), name,
            adapter->FriendlyName != NULL ? adapter->FriendlyName : L"");
    }
    ListRecordedAdapters(adapters, adapters != NULL);
    if (g_json)
        JsonPuts(L"]");
    TobraFreeAdapterList(&TOBRA_ADAPTER_LIST_CALLS, adapters);
    return EXIT_DONE;
}

static int RunCommandLine(int argc, wchar_t** argv)
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
        if (lstrcmpW(argv[i], L"--json") == 0) {
            continue; /* taken before */
        } else if (lstrcmpW(argv[i], L"--pipe") == 0 && i + 1 < argc) {
            pipeName = argv[++i];
        } else if (lstrcmpW(argv[i], L"--timeout") == 0 && i + 1 < argc) {
            if (!ParseTimeout(argv[++i], &timeoutMs))
                return BadUsage(L"\"%s\" is not a time limit in milliseconds (1 to 86400000).", argv[i]);
        } else {
            return BadUsage(L"unknown option \"%s\", or its value is missing.", argv[i]);
        }
    }
    if (i == argc) {
        WriteHuman(STD_ERROR_HANDLE, USAGE);
        return EXIT_BAD_USAGE;
    }
    command = argv[i++];
    JsonStringField(L"command", command);
    if (IsHelp(command)) {
        WriteHuman(STD_OUTPUT_HANDLE, USAGE);
        return EXIT_DONE;
    }
    if (lstrcmpW(command, L"list") == 0) {
        if (i != argc)
            return BadUsage(L"%s takes no arguments.", command);
        return RunList();
    }
    if (lstrcmpW(command, L"raw") == 0)
        return RunRaw(pipeName, timeoutMs, argc - i, argv + i);
    if (lstrcmpW(command, L"restart") == 0 || lstrcmpW(command, L"disable") == 0 || lstrcmpW(command, L"enable") == 0) {
        if (argc - i != 1)
            return BadUsage(L"%s needs one hardware address, such as 00-11-22-33-44-55.", command);
        return RunAdapterCommand(pipeName, timeoutMs,
                                 command[0] == L'r'   ? TOBRA_ACTION_RESTART
                                 : command[0] == L'd' ? TOBRA_ACTION_DISABLE
                                                      : TOBRA_ACTION_ENABLE,
                                 argv[i]);
    }
    return BadUsage(L"unknown command \"%s\"; the commands are restart, disable, enable, raw and list.", command);
}

int wmain(int argc, wchar_t** argv)
{
    int i;
    /* Known before anything is written, so that every message goes its way. */
    for (i = 1; i < argc && argv[i][0] == L'-' && argv[i][1] == L'-'; ++i) {
        if (lstrcmpW(argv[i], L"--json") == 0)
            g_json = 1;
        else if (lstrcmpW(argv[i], L"--pipe") == 0 || lstrcmpW(argv[i], L"--timeout") == 0)
            ++i;
    }
    return Finish(RunCommandLine(argc, argv));
}
