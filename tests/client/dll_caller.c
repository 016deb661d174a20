/* A C program as a developer builds one against tobra_client.dll: linked with
 * the import library, compiled as C (so the header's layout checks run as
 * _Static_assert), calling only what the DLL exports. Exchanges with the
 * real service through the DLL are the Node.js check's (tests/node). Prints
 * one line per check; exits 1 when one fails. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "tobra_client.h"

static int g_failed;

static void Check(const char* name, int condition)
{
    printf("%s %s\n", condition ? "ok" : "FAILED", name);
    if (!condition)
        g_failed = 1;
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
    Check("an absent pipe cannot be connected", result == TOBRA_CANNOT_CONNECT && outcome.error == ERROR_FILE_NOT_FOUND &&
                                                    outcome.requestSent == 0 && report.reported == 0);

    result = TobraEnableAdapter(L"\\\\.\\pipe\\tobra-dll-caller-nobody", address, 1000, &outcome);
    Check("an enable too", result == TOBRA_CANNOT_CONNECT && outcome.requestSent == 0);

    return g_failed;
}
