/* A C program as a developer builds one against tobra_client.dll: linked with
 * the import library, compiled as C (so the header's layout checks run as
 * _Static_assert), calling only what the DLL exports. It serves a version 2
 * pipe of its own on a thread and asks through the DLL. Prints one line per
 * check; exits 1 when one fails. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "tobra_client.h"

#define TEST_PIPE L"\\\\.\\pipe\\tobra-dll-caller-test"

static int g_failed;

static void Check(const char* name, int condition)
{
    printf("%s %s\n", condition ? "ok" : "FAILED", name);
    if (!condition)
        g_failed = 1;
}

static void WriteLong(unsigned char* bytes, unsigned long value)
{
    int i;
    for (i = 0; i < 4; ++i)
        bytes[i] = (unsigned char)(value >> (8 * i));
}

/* Answers the version probe and then the adapter request as a version 2
 * service does: the request's command, and "switched" with the codes 0 and 0x1234. */
static DWORD WINAPI ServeTwoClients(LPVOID ready)
{
    HANDLE pipe = CreateNamedPipeW(TEST_PIPE, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, NULL);
    int client;
    SetEvent((HANDLE)ready);
    if (pipe == INVALID_HANDLE_VALUE)
        return 1;
    for (client = 0; client < 2; ++client) {
        unsigned char request[64];
        unsigned char reply[TOBRA_OUTCOME_REPLY_SIZE];
        DWORD size = 0;
        if (!ConnectNamedPipe(pipe, NULL) && GetLastError() != ERROR_PIPE_CONNECTED)
            break;
        if (ReadFile(pipe, request, sizeof(request), &size, NULL) && size >= TOBRA_HEADER_SIZE) {
            int adapter = request[TOBRA_OFFSET_COMMAND] == TOBRA_COMMAND_ADAPTER;
            memset(reply, 0, sizeof(reply));
            reply[0] = 'T';
            reply[1] = 'B';
            reply[TOBRA_OFFSET_VERSION] = 2;
            reply[TOBRA_OFFSET_COMMAND] = request[TOBRA_OFFSET_COMMAND];
            reply[TOBRA_OFFSET_STATUS] = adapter ? TOBRA_STATUS_DONE : TOBRA_STATUS_NOT_DONE;
            WriteLong(reply + TOBRA_OFFSET_DATA_SIZE, TOBRA_OUTCOME_DATA_SIZE);
            WriteLong(reply + TOBRA_OFFSET_OUTCOME, adapter ? TOBRA_OUTCOME_SWITCHED : TOBRA_OUTCOME_NOTHING_ASKED);
            WriteLong(reply + TOBRA_OFFSET_ON_RESULT, adapter ? 0x1234 : 0);
            WriteFile(pipe, reply, sizeof(reply), &size, NULL);
            FlushFileBuffers(pipe);
        }
        DisconnectNamedPipe(pipe);
    }
    CloseHandle(pipe);
    return 0;
}

/* The DLL's version block says the version that TobraClientVersion reports. */
static int VersionBlockSays(unsigned long version)
{
    wchar_t path[MAX_PATH];
    DWORD ignored = 0;
    DWORD size;
    void* block;
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    int same = 0;
    if (GetModuleFileNameW(GetModuleHandleW(L"tobra_client.dll"), path, MAX_PATH) == 0)
        return 0;
    size = GetFileVersionInfoSizeW(path, &ignored);
    block = size > 0 ? HeapAlloc(GetProcessHeap(), 0, size) : NULL;
    if (block == NULL)
        return 0;
    if (GetFileVersionInfoW(path, 0, size, block) && VerQueryValueW(block, L"\\", (void**)&fixed, &length) &&
        length >= sizeof(*fixed))
        same = fixed->dwFileVersionMS == ((version >> 16) << 16 | ((version >> 8) & 0xFF)) &&
               fixed->dwFileVersionLS >> 16 == (version & 0xFF);
    HeapFree(GetProcessHeap(), 0, block);
    return same;
}

int wmain(void)
{
    unsigned char address[TOBRA_HARDWARE_ADDRESS_SIZE];
    wchar_t text[TOBRA_ADDRESS_TEXT_CHARS];
    TobraOutcome outcome;
    TobraAdapterReport report;
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE server;
    TobraResult result;

    Check("the DLL is the header's version", TobraClientVersion() == TOBRA_CLIENT_VERSION);
    Check("its version block says the same", VersionBlockSays(TobraClientVersion()));
    Check("an address parses", TobraParseHardwareAddress(L"00:1a:2B:3c:4D:5e", address) == 1);
    TobraFormatHardwareAddress(address, text);
    Check("and formats back", wcscmp(text, L"00-1A-2B-3C-4D-5E") == 0);
    Check("a malformed one does not", TobraParseHardwareAddress(L"00-1A-2B-3C-4D", address) == 0);
    Check("results have their text", wcscmp(TobraResultText(TOBRA_NOT_THE_SERVICE),
                                            L"the pipe is not served by Tobra Service") == 0);
    Check("a name that is no local pipe is a bad argument",
          TobraRestartAdapter(L"C:\\tobra.txt", address, 1000, &outcome) == TOBRA_BAD_ARGUMENT);
    result = TobraDisableAdapterWithReport(L"\\\\.\\pipe\\tobra-dll-caller-nobody", address, 1000, &outcome, &report);
    Check("an absent pipe cannot be connected", result == TOBRA_CANNOT_CONNECT && outcome.error == ERROR_FILE_NOT_FOUND);

    server = CreateThread(NULL, 0, ServeTwoClients, ready, 0, NULL);
    WaitForSingleObject(ready, 5000);
    result = TobraRestartAdapterWithReport(TEST_PIPE, address, 5000, &outcome, &report);
    Check("a restart through the DLL is switched", result == TOBRA_DONE && report.reported && report.version == 2 &&
                                                       report.outcome == TOBRA_OUTCOME_SWITCHED &&
                                                       report.offResult == 0 && report.onResult == 0x1234);
    Check("and its outcome was filled", outcome.requestSent == 1 && outcome.replySize == TOBRA_OUTCOME_REPLY_SIZE);
    WaitForSingleObject(server, 5000);
    CloseHandle(server);
    CloseHandle(ready);
    return g_failed;
}
