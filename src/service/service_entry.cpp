// The -d switch (the administrators' policy is read by ServiceMain), and the service
// host's platform seam with the real functions as its defaults.
#include "service/service_entry.h"

#include <shellapi.h>

#include "log/log.h"
#include "service/service_platform.h"
#include "service/service_policy.h"
#include "tobra_text.h"

ServicePlatform g_servicePlatform = {
    ::GetCommandLineW,         ::CommandLineToArgvW, ::RegisterServiceCtrlHandlerW,
    ::SetServiceStatus,        ::CreateEventW,       ::CreateThread,
    ::RegisterClassW,          ::CreateWindowExW,    ::GetMessageW,
    ::GetExitCodeThread,       HKEY_LOCAL_MACHINE,   TOBRA_POLICY_GROUP_POLICY_KEY,
    TOBRA_POLICY_SETTINGS_KEY,
};

const WCHAR SERVICE_NAME[] = L"Tobra Service";
HINSTANCE g_instance = nullptr;

namespace {

bool BeginsWithSwitch(const WCHAR* argument)
{
    // An argument shorter than two characters stops at its terminator here.
    return TobraFoldAscii(argument[0]) == L'-' && TobraFoldAscii(argument[1]) == L'd';
}

bool StartsWith(const WCHAR* text, const WCHAR* word)
{
    for (; *word != L'\0'; ++text, ++word) {
        if (*text != *word)
            return false;
    }
    return true;
}

// Exact, case-sensitive substring search.
bool Contains(const WCHAR* text, const WCHAR* word)
{
    for (; *text != L'\0'; ++text) {
        if (StartsWith(text, word))
            return true;
    }
    return false;
}

}  // namespace

WORD ParseDebugSwitch()
{
    int count = 0;
    LPWSTR* arguments = g_servicePlatform.CommandLineToArgvW(g_servicePlatform.GetCommandLineW(), &count);
    if (arguments == nullptr)
        return 0;  // log stays off

    WORD mask = 0;
    // Argument 0, the program's own path, counts like any other.
    for (int i = 0; i < count; ++i) {
        const WCHAR* argument = arguments[i];
        if (!BeginsWithSwitch(argument))
            continue;
        // The last switch decides alone, even one that names no word.
        mask = 0;
        if (Contains(argument, L"out"))
            mask = LOG_TO_DEBUGGER;
        if (Contains(argument, L"log"))
            mask |= LOG_TO_FILE;
    }

    LocalFree(arguments);
    return mask;
}
