// The stand-in's COM server: the connection manager, its enumerator and the
// connections, served from one single-threaded apartment, so calls arrive
// one at a time and need no lock. The process lives while any object or
// server lock lives, plus a short linger; that it ends at all is what proves
// a client released every reference it was given.
#include "standin/standin.h"

#include <new>

namespace {

LONG g_serverReferences;  // live objects plus LockServer locks
DWORD g_classRegistration;
bool g_classRegistered;
bool g_stopping;   // no new client is served
bool g_stopGrace;  // idle and revoked; quits unless a late client comes
DWORD g_lingerMs = STANDIN_DEFAULT_LINGER_MS;
DWORD g_lastCallTick;
UINT_PTR g_idleTimer;  // linger, or the start timeout
UINT_PTR g_orphanTimer;

constexpr UINT ORPHAN_CHECK_MS = 10000;
constexpr UINT STOP_GRACE_MS = 1000;

HRESULT RenewClassRegistration();

void StopServer()
{
    // Revoked first, so that COM starts a fresh server for the next client
    // instead of handing it this one on its way out.
    g_stopping = true;
    if (g_classRegistered) {
        CoRevokeClassObject(g_classRegistration);
        g_classRegistered = false;
    }
    PostQuitMessage(0);
}

// An idle server does not quit at once: an activation that COM resolved to it
// just before the revoke still sends its CreateInstance, and a server gone by
// then fails that client with 0x800706BE. Such a late client is served.
void BeginIdleStop()
{
    if (g_classRegistered) {
        CoRevokeClassObject(g_classRegistration);
        g_classRegistered = false;
    }
    g_stopGrace = true;
    g_idleTimer = SetTimer(nullptr, 0, STOP_GRACE_MS, nullptr);
    if (g_idleTimer == 0)
        StopServer();
}

void StopIdleTimer()
{
    if (g_idleTimer != 0) {
        KillTimer(nullptr, g_idleTimer);
        g_idleTimer = 0;
    }
}

void StartIdleTimer(DWORD ms)
{
    StopIdleTimer();
    if (ms == 0) {
        BeginIdleStop();
        return;
    }
    g_idleTimer = SetTimer(nullptr, 0, ms, nullptr);
    // Without a timer nothing would ever end an idle server.
    if (g_idleTimer == 0)
        StopServer();
}

void NoteCall()
{
    g_lastCallTick = GetTickCount();
}

void ServerAddRef()
{
    NoteCall();
    InterlockedIncrement(&g_serverReferences);
    StopIdleTimer();
}

void ServerRelease()
{
    NoteCall();
    if (InterlockedDecrement(&g_serverReferences) == 0)
        StartIdleTimer(g_lingerMs);
}

void OnTimer(UINT_PTR timer)
{
    if (timer == g_idleTimer) {
        StopIdleTimer();
        if (g_serverReferences != 0)
            return;
        if (g_stopGrace)
            StopServer();
        else
            BeginIdleStop();
    } else if (timer == g_orphanTimer) {
        if (g_serverReferences > 0 && GetTickCount() - g_lastCallTick > STANDIN_ORPHAN_TIMEOUT_MS)
            StopServer();
    }
}

DWORD ReadLinger()
{
    HKEY key = nullptr;
    DWORD linger = STANDIN_DEFAULT_LINGER_MS;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, STANDIN_CLASS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return linger;
    DWORD value = 0;
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (RegQueryValueExW(key, STANDIN_LINGER_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD)
        linger = value;
    RegCloseKey(key);
    return linger;
}

WCHAR* CopyToTaskMemory(const std::wstring& text)
{
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    auto* copy = static_cast<WCHAR*>(CoTaskMemAlloc(bytes));
    if (copy != nullptr)
        memcpy(copy, text.c_str(), bytes);
    return copy;
}

// IUnknown for one interface; each object counts towards the server's life.
template <class Derived, class Interface, const IID* InterfaceId>
class ComObject : public Interface {
public:
    ComObject() { ServerAddRef(); }
    ~ComObject() { ServerRelease(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, *InterfaceId)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = InterlockedDecrement(&references_);
        if (left == 0)
            delete static_cast<Derived*>(this);
        return left;
    }

private:
    LONG references_ = 1;
};

class Connection final : public ComObject<Connection, INetConnection, &IID_INetConnection> {
public:
    explicit Connection(const StandinConnection& connection) : connection_(connection) {}

    HRESULT STDMETHODCALLTYPE Connect() override { return Switch("Connect", true); }
    HRESULT STDMETHODCALLTYPE Disconnect() override { return Switch("Disconnect", false); }
    HRESULT STDMETHODCALLTYPE Delete() override
    {
        NoteCall();
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Duplicate(LPCWSTR, INetConnection** duplicate) override
    {
        NoteCall();
        if (duplicate != nullptr)
            *duplicate = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetProperties(NETCON_PROPERTIES** properties) override
    {
        NoteCall();
        if (properties == nullptr)
            return E_POINTER;
        *properties = nullptr;
        // The status as it is now, not as it was when the enumeration began.
        bool connected = true;
        HRESULT result = ReadConnected(connection_.guidText, &connected);
        if (FAILED(result))
            return result;
        // Record and strings are separate blocks: the client frees each.
        auto* record = static_cast<NETCON_PROPERTIES*>(CoTaskMemAlloc(sizeof(NETCON_PROPERTIES)));
        WCHAR* name = CopyToTaskMemory(connection_.name);
        WCHAR* deviceName = CopyToTaskMemory(connection_.deviceName);
        if (record == nullptr || name == nullptr || deviceName == nullptr) {
            CoTaskMemFree(record);
            CoTaskMemFree(name);
            CoTaskMemFree(deviceName);
            return E_OUTOFMEMORY;
        }
        ZeroMemory(record, sizeof(*record));
        record->guidId = connection_.guid;
        record->pszwName = name;
        record->pszwDeviceName = deviceName;
        record->Status = connected ? NCS_CONNECTED : NCS_DISCONNECTED;
        record->MediaType = NCM_LAN;
        *properties = record;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetUiObjectClassId(CLSID* classId) override
    {
        NoteCall();
        if (classId != nullptr)
            *classId = GUID_NULL;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Rename(LPCWSTR) override
    {
        NoteCall();
        return E_NOTIMPL;
    }

private:
    HRESULT Switch(const char* action, bool connect)
    {
        NoteCall();
        StandinInjection injection;
        HRESULT result = TakeInjection(action, connection_.guidText, &injection);
        if (SUCCEEDED(result)) {
            if (injection.delayMs != 0)
                Sleep(injection.delayMs);
            result = injection.fail ? injection.code : WriteConnected(connection_.guidText, connect);
        }
        HRESULT recorded = RecordAction(action, connection_, result);
        // A switch missing from the record would mislead whoever reads it.
        return SUCCEEDED(result) && FAILED(recorded) ? recorded : result;
    }

    StandinConnection connection_;
};

class Enumerator final : public ComObject<Enumerator, IEnumNetConnection, &IID_IEnumNetConnection> {
public:
    Enumerator(const std::vector<StandinConnection>& connections, size_t position)
        : connections_(connections), position_(position)
    {
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, INetConnection** connections, ULONG* fetched) override
    {
        NoteCall();
        if (connections == nullptr || (fetched == nullptr && count != 1))
            return E_POINTER;
        ULONG given = 0;
        while (given < count && position_ < connections_.size()) {
            auto* connection = new (std::nothrow) Connection(connections_[position_]);
            if (connection == nullptr) {
                for (ULONG i = 0; i < given; ++i) {
                    connections[i]->Release();
                    connections[i] = nullptr;
                }
                position_ -= given;
                if (fetched != nullptr)
                    *fetched = 0;
                return E_OUTOFMEMORY;
            }
            connections[given++] = connection;
            ++position_;
        }
        if (fetched != nullptr)
            *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        NoteCall();
        size_t left = connections_.size() - position_;
        if (count > left) {
            position_ = connections_.size();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        NoteCall();
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumNetConnection** clone) override
    {
        NoteCall();
        if (clone == nullptr)
            return E_POINTER;
        *clone = new (std::nothrow) Enumerator(connections_, position_);
        return *clone == nullptr ? E_OUTOFMEMORY : S_OK;
    }

private:
    std::vector<StandinConnection> connections_;
    size_t position_;
};

class Manager final : public ComObject<Manager, INetConnectionManager, &IID_INetConnectionManager> {
public:
    HRESULT STDMETHODCALLTYPE EnumConnections(NETCONMGR_ENUM_FLAGS, IEnumNetConnection** enumerator) override
    {
        NoteCall();
        if (enumerator == nullptr)
            return E_POINTER;
        *enumerator = nullptr;
        std::vector<StandinConnection> connections;
        HRESULT result = LoadConnections(&connections);
        if (FAILED(result))
            return result;
        *enumerator = new (std::nothrow) Enumerator(connections, 0);
        return *enumerator == nullptr ? E_OUTOFMEMORY : S_OK;
    }
};

// One static instance; its references do not keep the server alive.
class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        NoteCall();
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        if (g_stopping)
            return CO_E_SERVER_STOPPING;
        g_stopGrace = false;
        // Whether or not the renewal works, this client is served; without it
        // the next client starts a server of its own.
        RenewClassRegistration();
        auto* manager = new (std::nothrow) Manager();
        if (manager == nullptr)
            return E_OUTOFMEMORY;
        HRESULT result = manager->QueryInterface(iid, object);
        manager->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            ServerAddRef();
        else
            ServerRelease();
        return S_OK;
    }
};

ClassFactory g_classFactory;

// The class is registered for single use, and registered afresh for every
// client. Wine's COM keeps a class registration after its server has died and
// hands it to every later client (0x800706BA) until the Wine session ends; a
// single-use registration is handed out once and then forgotten, so after a
// killed server one activation fails and the next starts a new server.
HRESULT RegisterClass()
{
    return CoRegisterClassObject(CLSID_ConnectionManager, &g_classFactory, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE,
                                 &g_classRegistration);
}

HRESULT RenewClassRegistration()
{
    if (g_classRegistered)
        CoRevokeClassObject(g_classRegistration);
    HRESULT result = RegisterClass();
    // Unregistered, the server still serves the clients it has.
    g_classRegistered = SUCCEEDED(result);
    return result;
}

}  // namespace

int RunStandinServer()
{
    g_lingerMs = ReadLinger();
    HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(result))
        return 1;
    result = RegisterClass();
    if (FAILED(result)) {
        CoUninitialize();
        return 1;
    }
    g_classRegistered = true;
    NoteCall();
    StartIdleTimer(STANDIN_START_TIMEOUT_MS);
    g_orphanTimer = SetTimer(nullptr, 0, ORPHAN_CHECK_MS, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == nullptr && message.message == WM_TIMER) {
            OnTimer(message.wParam);
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    StopIdleTimer();
    if (g_orphanTimer != 0)
        KillTimer(nullptr, g_orphanTimer);
    if (g_classRegistered)
        CoRevokeClassObject(g_classRegistration);
    CoUninitialize();
    return 0;
}
