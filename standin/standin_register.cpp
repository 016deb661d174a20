// Registration of the stand-in in the current Wine prefix: the manager's
// class key with a LocalServer32 command that starts this executable, and the
// proxy/stub DLL beside it for the three interfaces. On a machine whose
// manager is real, these keys belong to the platform: both directions refuse
// to touch keys that the stand-in did not write.
#include "standin/standin.h"

#include <stdio.h>

namespace {

// Marks the class key as the stand-in's: holds the server's path.
constexpr WCHAR OWNER_VALUE[] = L"TobraStandinServer";
constexpr WCHAR CLASS_NAME[] = L"Tobra stand-in Network Connections manager";

enum KeyOwner { KEY_ABSENT, KEY_OURS, KEY_FOREIGN };

constexpr const WCHAR* INTERFACE_KEYS[] = {
    L"Software\\Classes\\Interface\\{C08956A0-1CD3-11D1-B1C5-00805FC1270E}",
    L"Software\\Classes\\Interface\\{C08956A1-1CD3-11D1-B1C5-00805FC1270E}",
    L"Software\\Classes\\Interface\\{C08956A2-1CD3-11D1-B1C5-00805FC1270E}",
};

void Complain(const char* what, LONG error)
{
    fprintf(stderr, "TobraStandin: %s (error %ld)\n", what, error);
}

KeyOwner ClassKeyOwner()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, STANDIN_CLASS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return KEY_ABSENT;
    LONG error = RegQueryValueExW(key, OWNER_VALUE, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return error == ERROR_SUCCESS ? KEY_OURS : KEY_FOREIGN;
}

// An interface is ours when its proxy/stub class is the stand-in's factory.
KeyOwner InterfaceKeyOwner(const WCHAR* path)
{
    std::wstring proxyKey = std::wstring(path) + L"\\ProxyStubClsid32";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return KEY_ABSENT;
    RegCloseKey(key);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, proxyKey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return KEY_FOREIGN;
    WCHAR value[64] = {};
    DWORD size = sizeof(value) - sizeof(WCHAR);
    DWORD type = 0;
    LONG error = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    WCHAR ours[64];
    if (error != ERROR_SUCCESS || type != REG_SZ || StringFromGUID2(CLSID_StandinProxyFactory, ours, 64) == 0)
        return KEY_FOREIGN;
    return lstrcmpiW(value, ours) == 0 ? KEY_OURS : KEY_FOREIGN;
}

bool AnyInterfaceForeign()
{
    for (const WCHAR* path : INTERFACE_KEYS) {
        if (InterfaceKeyOwner(path) == KEY_FOREIGN)
            return true;
    }
    return false;
}

bool AnyInterfaceOurs()
{
    for (const WCHAR* path : INTERFACE_KEYS) {
        if (InterfaceKeyOwner(path) == KEY_OURS)
            return true;
    }
    return false;
}

// Calls DllRegisterServer or DllUnregisterServer of the proxy/stub DLL that
// lies beside this executable, as regsvr32 would.
HRESULT CallProxyDll(const char* entry)
{
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return E_FAIL;
    WCHAR* slash = wcsrchr(path, L'\\');
    if (slash == nullptr || (slash + 1 - path) + lstrlenW(STANDIN_PROXY_DLL) >= MAX_PATH)
        return E_FAIL;
    lstrcpyW(slash + 1, STANDIN_PROXY_DLL);
    HMODULE module = LoadLibraryW(path);
    if (module == nullptr)
        return HRESULT_FROM_WIN32(GetLastError());
    auto routine = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(module, entry)));
    HRESULT result = routine != nullptr ? routine() : HRESULT_FROM_WIN32(GetLastError());
    FreeLibrary(module);
    return result;
}

LONG SetString(HKEY key, const WCHAR* name, const std::wstring& value)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

LONG WriteClassKey(const std::wstring& serverPath, DWORD lingerMs)
{
    HKEY key = nullptr;
    LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, STANDIN_CLASS_KEY, 0, nullptr, 0,
                                 KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS)
        return error;
    HKEY server = nullptr;
    error = SetString(key, nullptr, CLASS_NAME);
    if (error == ERROR_SUCCESS)
        error = SetString(key, OWNER_VALUE, serverPath);
    if (error == ERROR_SUCCESS)
        error = RegSetValueExW(key, STANDIN_LINGER_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&lingerMs),
                               sizeof(lingerMs));
    if (error == ERROR_SUCCESS)
        error = RegCreateKeyExW(key, L"LocalServer32", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &server, nullptr);
    if (error == ERROR_SUCCESS) {
        // COM appends " -Embedding" to this command.
        error = SetString(server, nullptr, L"\"" + serverPath + L"\"");
        RegCloseKey(server);
    }
    RegCloseKey(key);
    return error;
}

}  // namespace

bool StandinOwnsClass()
{
    return ClassKeyOwner() == KEY_OURS;
}

int RegisterStandin(DWORD lingerMs)
{
    if (ClassKeyOwner() == KEY_FOREIGN || AnyInterfaceForeign()) {
        fprintf(stderr,
                "TobraStandin: a Network Connections manager is already registered here; "
                "leaving it alone\n");
        return 2;
    }
    WCHAR serverPath[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, serverPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        Complain("cannot name this executable", static_cast<LONG>(GetLastError()));
        return 1;
    }
    LONG error = WriteClassKey(serverPath, lingerMs);
    if (error != ERROR_SUCCESS) {
        Complain("cannot write the class key", error);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, STANDIN_CLASS_KEY);
        return 1;
    }
    HRESULT result = CallProxyDll("DllRegisterServer");
    if (FAILED(result)) {
        Complain("cannot register the proxy/stub DLL", result);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, STANDIN_CLASS_KEY);
        return 1;
    }
    return 0;
}

int UnregisterStandin()
{
    KeyOwner owner = ClassKeyOwner();
    if (owner == KEY_FOREIGN) {
        fprintf(stderr, "TobraStandin: the registered manager is not the stand-in; leaving it\n");
        return 2;
    }
    int exitCode = 0;
    if (owner == KEY_OURS) {
        LONG error = RegDeleteTreeW(HKEY_LOCAL_MACHINE, STANDIN_CLASS_KEY);
        if (error != ERROR_SUCCESS) {
            Complain("cannot delete the class key", error);
            exitCode = 1;
        }
    }
    // The proxy's own unregistration removes the interface keys wholesale, so
    // only when they are the stand-in's.
    if (AnyInterfaceOurs() && !AnyInterfaceForeign()) {
        HRESULT result = CallProxyDll("DllUnregisterServer");
        if (FAILED(result)) {
            Complain("cannot unregister the proxy/stub DLL", result);
            exitCode = 1;
        }
    }
    return exitCode;
}
