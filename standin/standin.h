// Stand-in for the Network Connections manager, for runs under Wine, which
// lacks it. A COM local server registered under the platform manager's class
// id: its connections mirror the adapters that GetAdaptersAddresses reports,
// Connect and Disconnect switch them in a state file that outlives the
// server, and every switch is appended to an action record. Never installed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "netcon_standin.h"

// The platform manager's class id; mingw's libuuid lacks it.
const CLSID CLSID_ConnectionManager = {0xBA126AD1, 0x2166, 0x11D1, {0xB1, 0xD0, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
// Class of the stand-in's proxy/stub factory (PROXY_CLSID_IS of the proxy DLL).
const CLSID CLSID_StandinProxyFactory = {0x95FAF862, 0x12D8, 0x473C, {0xA3, 0xD5, 0x45, 0x27, 0x34, 0xD8, 0x01, 0xAE}};

constexpr WCHAR STANDIN_PROXY_DLL[] = L"TobraStandinPS.dll";
// Under HKEY_LOCAL_MACHINE; on Windows the platform's own registration lives here.
constexpr WCHAR STANDIN_CLASS_KEY[] = L"Software\\Classes\\CLSID\\{BA126AD1-2166-11D1-B1D0-00805FC1270E}";

// Files of C:\ProgramData\TobraStandin (the common application data folder).
constexpr WCHAR STANDIN_DATA_FOLDER[] = L"TobraStandin";
constexpr WCHAR STANDIN_STATE_FILE[] = L"state.txt";     // "{GUID} disconnected" lines
constexpr WCHAR STANDIN_ACTION_FILE[] = L"actions.txt";  // one line per Connect/Disconnect
constexpr WCHAR STANDIN_INJECT_FILE[] = L"inject.txt";   // one-shot failures and delays

// How long the server outlives its last object, so that the two back-to-back
// passes of a restart share one server; registry value of the class key.
constexpr DWORD STANDIN_DEFAULT_LINGER_MS = 3000;
constexpr WCHAR STANDIN_LINGER_VALUE[] = L"LingerMilliseconds";
// A server that COM started but nobody asks for anything ends after this.
constexpr DWORD STANDIN_START_TIMEOUT_MS = 60000;
// Objects held without a call for this long belong to a client that died:
// Wine never tells a server so.
constexpr DWORD STANDIN_ORPHAN_TIMEOUT_MS = 300000;
// Longest wait for another process's use of the data files.
constexpr DWORD STANDIN_FILE_LOCK_MS = 10000;
// Longest injected delay: a mistyped value must not hang the server for good.
constexpr DWORD STANDIN_MAX_DELAY_MS = 60000;

// One mirrored adapter.
struct StandinConnection {
    GUID guid;
    std::string guidText;     // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case
    std::wstring name;        // the adapter's friendly name
    std::wstring deviceName;  // the adapter's description
    BYTE address[8];
    ULONG addressLength;
    bool connected;
};

// standin_store.cpp: adapters, state file, action record, injections.
HRESULT StandinDataPath(const WCHAR* fileName, std::wstring* path);
HRESULT LoadConnections(std::vector<StandinConnection>* connections);
HRESULT ReadConnected(const std::string& guidText, bool* connected);
HRESULT WriteConnected(const std::string& guidText, bool connected);
HRESULT RecordAction(const char* action, const StandinConnection& connection, HRESULT result);
// What a test asked the next Connect or Disconnect of a connection to do.
struct StandinInjection {
    bool fail;  // return `code` and switch nothing
    HRESULT code;
    DWORD delayMs;  // wait this long first, then switch as usual
};
// S_OK and the injection when the next `action` of the connection has one
// (it is consumed), S_FALSE when none.
HRESULT TakeInjection(const char* action, const std::string& guidText, StandinInjection* injection);
HRESULT AddInjection(const char* action, const std::string& guidText, const char* kind, unsigned long value);
HRESULT ResetStandinData();
std::string FormatGuid(const GUID& guid);
bool ParseGuid(const std::string& text, GUID* guid);

// standin_objects.cpp: the COM server (started by COM with -Embedding).
int RunStandinServer();

// standin_register.cpp: exit codes 0 done, 1 failed, 2 refused.
int RegisterStandin(DWORD lingerMs);
int UnregisterStandin();
// Whether the manager's class key is the stand-in's registration.
bool StandinOwnsClass();
