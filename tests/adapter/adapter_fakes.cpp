// The fake platform of adapter control; see adapter_fakes.h.
#include "adapter_fakes.h"

#include <gtest/gtest.h>

#include <memory>

#include "adapter/disabled_record.h"

namespace fake {

Script g_script;
Record g_record;

namespace {

void Call(const std::string& text)
{
    g_record.calls.push_back(text);
}

// Every fake COM object; kept until Clear so that a Release too many shows as
// a count below zero instead of a use after free.
struct Tracked {
    explicit Tracked(const std::string& label) : label(label) {}
    virtual ~Tracked() = default;
    std::string label;
    long references = 1;

    ULONG AddReference() { return static_cast<ULONG>(++references); }
    ULONG ReleaseReference()
    {
        Call("Release " + label);
        if (--references < 0)
            ++g_record.overReleases;
        return static_cast<ULONG>(references < 0 ? 0 : references);
    }
};
std::vector<std::unique_ptr<Tracked>> g_objects;

template <typename T, typename... Args>
T* NewObject(Args... args)
{
    T* object = new T(args...);
    g_objects.emplace_back(object);
    return object;
}

template <typename Interface>
HRESULT QueryFor(Interface* self, Tracked* tracked, REFIID asked, const IID& own, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    if (IsEqualIID(asked, IID_IUnknown) || IsEqualIID(asked, own)) {
        tracked->AddReference();
        *object = self;
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

void* TaskAlloc(size_t bytes, const std::string& label)
{
    void* memory = CoTaskMemAlloc(bytes);
    g_record.liveTaskMemory[memory] = label;
    return memory;
}

WCHAR* TaskString(const std::wstring& text, const std::string& label)
{
    WCHAR* copy = static_cast<WCHAR*>(TaskAlloc((text.size() + 1) * sizeof(WCHAR), label));
    lstrcpyW(copy, text.c_str());
    return copy;
}

class FakeConnection : public INetConnection, public Tracked {
public:
    explicit FakeConnection(size_t index)
        : Tracked("connection " + std::to_string(index + 1)), index_(index), number_(std::to_string(index + 1))
    {
    }

    HRESULT WINAPI QueryInterface(REFIID id, void** object) override
    {
        return QueryFor(this, this, id, IID_INetConnection, object);
    }
    ULONG WINAPI AddRef() override { return AddReference(); }
    ULONG WINAPI Release() override { return ReleaseReference(); }

    HRESULT WINAPI Connect() override
    {
        Call("Connect " + number_);
        return Scripted().switchResult;
    }
    HRESULT WINAPI Disconnect() override
    {
        Call("Disconnect " + number_);
        return Scripted().switchResult;
    }
    HRESULT WINAPI GetProperties(NETCON_PROPERTIES** properties) override
    {
        Call("GetProperties " + number_);
        *properties = nullptr;
        if (Scripted().givesRecord) {
            auto* record = static_cast<NETCON_PROPERTIES*>(TaskAlloc(sizeof(NETCON_PROPERTIES), "record " + number_));
            ZeroMemory(record, sizeof(*record));
            record->guidId = Scripted().guid;
            record->pszwName = TaskString(Scripted().name, "name " + number_);
            record->pszwDeviceName = TaskString(L"Fake Ethernet Controller", "device " + number_);
            record->Status = NCS_CONNECTED;
            record->MediaType = NCM_LAN;
            *properties = record;
        }
        return Scripted().propertiesResult;
    }
    HRESULT WINAPI Delete() override { return Unexpected("Delete"); }
    HRESULT WINAPI Duplicate(LPCWSTR, INetConnection**) override { return Unexpected("Duplicate"); }
    HRESULT WINAPI GetUiObjectClassId(CLSID*) override { return Unexpected("GetUiObjectClassId"); }
    HRESULT WINAPI Rename(LPCWSTR) override { return Unexpected("Rename"); }

private:
    const Connection& Scripted() const { return g_script.connections[index_]; }
    HRESULT Unexpected(const char* what)
    {
        Call(std::string("Unexpected ") + what);
        return E_NOTIMPL;
    }
    size_t index_;
    std::string number_;
};

class FakeEnumerator : public IEnumNetConnection, public Tracked {
public:
    FakeEnumerator() : Tracked("enumerator") {}

    HRESULT WINAPI QueryInterface(REFIID id, void** object) override
    {
        return QueryFor(this, this, id, IID_IEnumNetConnection, object);
    }
    ULONG WINAPI AddRef() override { return AddReference(); }
    ULONG WINAPI Release() override { return ReleaseReference(); }

    HRESULT WINAPI Next(ULONG count, INetConnection** connections, ULONG* fetched) override
    {
        Call("Next");
        EXPECT_EQ(count, 1u);
        EXPECT_NE(fetched, nullptr);
        *connections = nullptr;
        *fetched = 0;
        if (nextCalls_++ == g_script.failingNext)
            return g_script.nextFailure;
        if (position_ >= g_script.connections.size())
            return S_FALSE;
        *connections = NewObject<FakeConnection>(position_++);
        *fetched = 1;
        return S_OK;
    }
    HRESULT WINAPI Skip(ULONG) override { return Unexpected("Skip"); }
    HRESULT WINAPI Reset() override { return Unexpected("Reset"); }
    HRESULT WINAPI Clone(IEnumNetConnection**) override { return Unexpected("Clone"); }

private:
    HRESULT Unexpected(const char* what)
    {
        Call(std::string("Unexpected ") + what);
        return E_NOTIMPL;
    }
    size_t position_ = 0;
    int nextCalls_ = 0;
};

class FakeManager : public INetConnectionManager, public Tracked {
public:
    FakeManager() : Tracked("manager") {}

    HRESULT WINAPI QueryInterface(REFIID id, void** object) override
    {
        return QueryFor(this, this, id, IID_INetConnectionManager, object);
    }
    ULONG WINAPI AddRef() override { return AddReference(); }
    ULONG WINAPI Release() override { return ReleaseReference(); }

    HRESULT WINAPI EnumConnections(NETCONMGR_ENUM_FLAGS flags, IEnumNetConnection** connections) override
    {
        Call("EnumConnections");
        EXPECT_EQ(flags, NCME_DEFAULT);
        *connections = nullptr;
        if (FAILED(g_script.enumResult)) {
            if (g_script.failedEnumHandsBackEnumerator)
                *connections = NewObject<FakeEnumerator>();
            return g_script.enumResult;
        }
        *connections = NewObject<FakeEnumerator>();
        return S_OK;
    }
};

ULONG WINAPI FakeGetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES buffer,
                                      PULONG size)
{
    size_t call = g_record.listCalls.size();
    g_record.listCalls.push_back({family, flags, reserved != nullptr, *size});
    if (call < g_script.listAnswers.size() && g_script.listAnswers[call].status != NO_ERROR) {
        if (g_script.listAnswers[call].status == ERROR_BUFFER_OVERFLOW)
            *size = g_script.listAnswers[call].reportedSize;
        return g_script.listAnswers[call].status;
    }

    // The records first, then their names, all inside the caller's buffer.
    size_t count = g_script.adapters.size();
    size_t needed = count * sizeof(IP_ADAPTER_ADDRESSES);
    for (const Adapter& adapter : g_script.adapters)
        needed += adapter.name.size() + 1;
    if (needed > *size) {
        ADD_FAILURE() << "the fake list needs " << needed << " bytes, the buffer has " << *size;
        *size = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    if (count == 0)
        return ERROR_NO_DATA;
    ZeroMemory(buffer, needed);
    char* names = reinterpret_cast<char*>(buffer + count);
    for (size_t i = 0; i < count; ++i) {
        const Adapter& adapter = g_script.adapters[i];
        IP_ADAPTER_ADDRESSES& record = buffer[i];
        record.Length = sizeof(record);
        record.Next = i + 1 < count ? &buffer[i + 1] : nullptr;
        record.PhysicalAddressLength = adapter.length;
        CopyMemory(record.PhysicalAddress, adapter.address.data(), adapter.address.size());
        record.AdapterName = names;
        lstrcpyA(names, adapter.name.c_str());
        names += adapter.name.size() + 1;
    }
    return NO_ERROR;
}

LPVOID WINAPI FakeHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    int call = static_cast<int>(g_record.heapAllocations.size());
    g_record.heapAllocations.push_back(bytes);
    if (flags != 0)
        ++g_record.badHeapFlags;
    if (g_script.failingHeapAllocations.count(call) != 0)
        return nullptr;
    void* memory = ::HeapAlloc(heap, flags, bytes);
    g_record.liveHeap.insert(memory);
    return memory;
}

BOOL WINAPI FakeHeapFree(HANDLE heap, DWORD flags, LPVOID memory)
{
    ++g_record.heapFrees;
    if (g_record.liveHeap.erase(memory) == 0) {
        ++g_record.badFrees;
        return FALSE;
    }
    return ::HeapFree(heap, flags, memory);
}

HRESULT WINAPI FakeCoInitialize(LPVOID reserved)
{
    EXPECT_EQ(reserved, nullptr);
    Call("CoInitialize");
    if (SUCCEEDED(g_script.coInitializeResult))
        ++g_record.coInitialize;
    return g_script.coInitializeResult;
}

void WINAPI FakeCoUninitialize()
{
    Call("CoUninitialize");
    ++g_record.coUninitialize;
}

HRESULT WINAPI FakeCoCreateInstance(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID interfaceId,
                                    LPVOID* object)
{
    size_t call = g_record.creates.size();
    g_record.creates.push_back({classId, outer != nullptr, context, interfaceId});
    Call("CoCreateInstance");
    *object = nullptr;
    HRESULT result = call < g_script.createResults.size() ? g_script.createResults[call] : S_OK;
    if (FAILED(result))
        return result;
    *object = static_cast<INetConnectionManager*>(NewObject<FakeManager>());
    return result;
}

void WINAPI FakeCoTaskMemFree(LPVOID memory)
{
    if (memory == nullptr) {
        Call("CoTaskMemFree null");
        return;
    }
    auto found = g_record.liveTaskMemory.find(memory);
    if (found == g_record.liveTaskMemory.end()) {
        Call("CoTaskMemFree unknown");
        ++g_record.badFrees;
        return;
    }
    Call("CoTaskMemFree " + found->second);
    g_record.liveTaskMemory.erase(found);
    ::CoTaskMemFree(memory);
}

}  // namespace

// A key of its own: the service tests, which may run meanwhile, clear theirs
// (Software\TobraTests) wholesale.
const WCHAR RECORD_ROOT[] = L"Software\\TobraAdapterTests";
const WCHAR RECORD_KEY[] = L"Software\\TobraAdapterTests\\DisabledAdapters";

std::wstring RecordValue(const WCHAR* address)
{
    WCHAR value[128];
    DWORD bytes = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, RECORD_KEY, address, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS)
        return L"absent";
    return value;
}

void Install()
{
    Clear();
    RegDeleteTreeW(HKEY_CURRENT_USER, RECORD_ROOT);
    ZeroMemory(&g_loggedRecords, sizeof(g_loggedRecords));
    g_script = Script();
    g_record = Record();
    g_adapterPlatform.GetAdaptersAddresses = FakeGetAdaptersAddresses;
    g_adapterPlatform.HeapAlloc = FakeHeapAlloc;
    g_adapterPlatform.HeapFree = FakeHeapFree;
    g_adapterPlatform.CoInitialize = FakeCoInitialize;
    g_adapterPlatform.CoUninitialize = FakeCoUninitialize;
    g_adapterPlatform.CoCreateInstance = FakeCoCreateInstance;
    g_adapterPlatform.CoTaskMemFree = FakeCoTaskMemFree;
    g_adapterPlatform.recordRoot = HKEY_CURRENT_USER;
    g_adapterPlatform.recordKey = RECORD_KEY;
}

void Clear()
{
    g_objects.clear();
    for (void* memory : g_record.liveHeap)
        ::HeapFree(GetProcessHeap(), 0, memory);
    g_record.liveHeap.clear();
    for (const auto& entry : g_record.liveTaskMemory)
        ::CoTaskMemFree(entry.first);
    g_record.liveTaskMemory.clear();
}

long LiveReferences()
{
    long live = 0;
    for (const auto& object : g_objects)
        live += object->references > 0 ? object->references : 0;
    return live;
}

int CountCalls(const std::string& prefix)
{
    int count = 0;
    for (const std::string& call : g_record.calls)
        count += call.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return count;
}

GUID MakeGuid(BYTE last)
{
    return {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, last}};
}

}  // namespace fake

void AdapterTest::SetUp()
{
    fake::Install();
}

void AdapterTest::TearDown()
{
    using fake::g_record;
    std::string calls;
    for (const std::string& call : g_record.calls)
        calls += call + "; ";
    EXPECT_EQ(fake::LiveReferences(), 0) << calls;
    EXPECT_EQ(g_record.overReleases, 0) << calls;
    EXPECT_TRUE(g_record.liveTaskMemory.empty()) << calls;
    EXPECT_TRUE(g_record.liveHeap.empty());
    EXPECT_EQ(g_record.badFrees, 0);
    EXPECT_EQ(g_record.badHeapFlags, 0);
    EXPECT_EQ(g_record.coInitialize, g_record.coUninitialize);
    EXPECT_EQ(fake::CountCalls("Unexpected"), 0) << calls;
    fake::Clear();
    RegDeleteTreeW(HKEY_CURRENT_USER, fake::RECORD_ROOT);
}
