// TobraStandin.exe: started by COM with -Embedding it serves the connection
// manager; by hand it registers itself, lists the connections, or prepares
// the next switch of a connection to fail or to take its time.
#include "standin/standin.h"
#include "tobra_console.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

// Run's result for arguments it does not understand.
constexpr int BAD_USAGE = -1;

const char USAGE[] =
    "Stand-in for the Network Connections manager, for runs under Wine.\n"
    "  TobraStandin.exe -register [-linger MS]  register the manager class and the proxy/stub\n"
    "                                           DLL beside this file in the current prefix\n"
    "  TobraStandin.exe -unregister             remove both again\n"
    "  TobraStandin.exe -list                   GUID, hardware address, status, name, device\n"
    "  TobraStandin.exe -fail ACTION {GUID} HRESULT\n"
    "                                           the connection's next ACTION (Connect or\n"
    "                                           Disconnect) returns HRESULT and switches nothing\n"
    "  TobraStandin.exe -delay ACTION {GUID} MS the next ACTION waits MS first\n"
    "  TobraStandin.exe -reset                  forget states, action record and injections\n"
    "Data: C:\\ProgramData\\TobraStandin\\ (state.txt, actions.txt, inject.txt).\n";

bool IsSwitch(const WCHAR* argument, const WCHAR* name)
{
    return (argument[0] == L'-' || argument[0] == L'/') && lstrcmpiW(argument + 1, name) == 0;
}

void Print(const std::wstring& text)
{
    TobraWriteText(STD_OUTPUT_HANDLE, text.c_str(), static_cast<int>(text.size()));
}

int ListConnections()
{
    std::vector<StandinConnection> connections;
    HRESULT result = LoadConnections(&connections);
    if (FAILED(result)) {
        fprintf(stderr, "TobraStandin: cannot list the connections (0x%08lx)\n", static_cast<unsigned long>(result));
        return 1;
    }
    for (const StandinConnection& connection : connections) {
        WCHAR address[32] = L"-";
        for (ULONG i = 0; i < connection.addressLength; ++i)
            wsprintfW(address + (i == 0 ? 0 : 3 * i - 1), i == 0 ? L"%02X" : L"-%02X", connection.address[i]);
        std::wstring line(connection.guidText.begin(), connection.guidText.end());
        WCHAR columns[64];
        wsprintfW(columns, L"  %-17s  %-12s  ", address, connection.connected ? L"connected" : L"disconnected");
        line += columns + connection.name + L"  (" + connection.deviceName + L")\n";
        Print(line);
    }
    return 0;
}

// The ACTION {GUID} VALUE arguments of -fail and -delay.
int Inject(int count, WCHAR** arguments, const char* kind)
{
    if (count != 3)
        return BAD_USAGE;
    const char* action = nullptr;
    if (lstrcmpiW(arguments[0], L"Connect") == 0)
        action = "Connect";
    else if (lstrcmpiW(arguments[0], L"Disconnect") == 0)
        action = "Disconnect";
    std::string guidText;
    for (const WCHAR* c = arguments[1]; *c != L'\0'; ++c)
        guidText += *c < 0x80 ? static_cast<char>(*c) : '?';
    GUID guid;
    WCHAR* end = nullptr;
    unsigned long value = wcstoul(arguments[2], &end, 0);
    if (action == nullptr || !ParseGuid(guidText, &guid) || end == arguments[2] || *end != L'\0')
        return BAD_USAGE;
    HRESULT result = AddInjection(action, FormatGuid(guid), kind, value);
    if (FAILED(result)) {
        fprintf(stderr, "TobraStandin: cannot write the injection (0x%08lx)\n", static_cast<unsigned long>(result));
        return 1;
    }
    return 0;
}

int Run(int argc, WCHAR** argv)
{
    if (argc >= 2 && IsSwitch(argv[1], L"Embedding")) {
        // Never shadow a real manager: serve only where the class is ours.
        if (!StandinOwnsClass()) {
            fprintf(stderr, "TobraStandin: the manager class is not registered as the stand-in\n");
            return 2;
        }
        return RunStandinServer();
    }
    if (argc == 2 && IsSwitch(argv[1], L"list"))
        return ListConnections();
    if (argc == 2 && IsSwitch(argv[1], L"unregister"))
        return UnregisterStandin();
    if (argc == 2 && IsSwitch(argv[1], L"reset")) {
        HRESULT result = ResetStandinData();
        if (FAILED(result))
            fprintf(stderr, "TobraStandin: cannot reset (0x%08lx)\n", static_cast<unsigned long>(result));
        return FAILED(result) ? 1 : 0;
    }
    if (argc >= 2 && IsSwitch(argv[1], L"register")) {
        DWORD linger = STANDIN_DEFAULT_LINGER_MS;
        if (argc == 4 && IsSwitch(argv[2], L"linger")) {
            WCHAR* end = nullptr;
            linger = wcstoul(argv[3], &end, 10);
            if (end == argv[3] || *end != L'\0')
                return BAD_USAGE;
        } else if (argc != 2) {
            return BAD_USAGE;
        }
        return RegisterStandin(linger);
    }
    if (argc >= 2 && IsSwitch(argv[1], L"fail"))
        return Inject(argc - 2, argv + 2, "fail");
    if (argc >= 2 && IsSwitch(argv[1], L"delay"))
        return Inject(argc - 2, argv + 2, "delay");
    return BAD_USAGE;
}

}  // namespace

int wmain(int argc, WCHAR** argv)
{
    int exitCode = Run(argc, argv);
    if (exitCode != BAD_USAGE)
        return exitCode;
    fputs(USAGE, stderr);
    return 2;
}
