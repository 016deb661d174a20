#include "standin/standin_harness.h"

#include <iphlpapi.h>

#include <stdio.h>

#include "support/test_support.h"

namespace standin {

const CLSID MANAGER_CLASS = {0xBA126AD1, 0x2166, 0x11D1, {0xB1, 0xD0, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
const IID MANAGER_INTERFACE = {0xC08956A2, 0x1CD3, 0x11D1, {0xB1, 0xC5, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};

namespace {

constexpr DWORD RUN_TIMEOUT_MS = 30000;
constexpr wchar_t SERVER_NAME[] = L"TobraStandin.exe";

}  // namespace

std::wstring Executable()
{
    return test::ModuleDirectory() + L"\\" + SERVER_NAME;
}

long Run(const std::wstring& arguments)
{
    return test::RunProcess(L"\"" + Executable() + L"\" " + arguments, RUN_TIMEOUT_MS);
}

std::string RunForOutput(const std::wstring& arguments, long* exitCode)
{
    std::string output;
    *exitCode = test::RunCaptured(L"\"" + Executable() + L"\" " + arguments, RUN_TIMEOUT_MS, &output);
    return output;
}

std::string DataFile(const wchar_t* name)
{
    return test::ReadFileBytes(std::wstring(L"C:\\ProgramData\\TobraStandin\\") + name);
}

std::vector<DWORD> ServerProcesses()
{
    return test::ProcessIds(SERVER_NAME);
}

bool WaitForServersToExit(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<DWORD> ids = ServerProcesses();
        if (ids.empty())
            return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, ids[0]);
        if (process != nullptr) {
            WaitForSingleObject(process, timeoutMs - elapsed);
            CloseHandle(process);
        } else {
            Sleep(10);  // listed but already gone: look again
        }
    }
}

std::string GuidText(const GUID& guid)
{
    char text[64];
    snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
             guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

HRESULT CreateManager(INetConnectionManager** manager)
{
    *manager = nullptr;
    return CoCreateInstance(MANAGER_CLASS, nullptr, MANAGER_CONTEXT, MANAGER_INTERFACE,
                            reinterpret_cast<void**>(manager));
}

HRESULT ViewConnection(INetConnection* connection, ConnectionView* view)
{
    NETCON_PROPERTIES* properties = nullptr;
    HRESULT result = connection->GetProperties(&properties);
    if (FAILED(result))
        return result;
    view->guidText = GuidText(properties->guidId);
    view->name = properties->pszwName != nullptr ? properties->pszwName : L"(null)";
    view->deviceName = properties->pszwDeviceName != nullptr ? properties->pszwDeviceName : L"(null)";
    view->status = properties->Status;
    view->mediaType = properties->MediaType;
    // As the service frees it: the strings and the record, each a COM block.
    CoTaskMemFree(properties->pszwName);
    CoTaskMemFree(properties->pszwDeviceName);
    CoTaskMemFree(properties);
    return result;
}

HRESULT Enumerate(INetConnectionManager* manager, std::vector<ConnectionView>* views)
{
    views->clear();
    IEnumNetConnection* enumerator = nullptr;
    HRESULT result = manager->EnumConnections(NCME_DEFAULT, &enumerator);
    if (FAILED(result))
        return result;
    for (;;) {
        INetConnection* connection = nullptr;
        ULONG fetched = 0;
        result = enumerator->Next(1, &connection, &fetched);
        if (FAILED(result) || fetched != 1)
            break;
        ConnectionView view = {};
        result = ViewConnection(connection, &view);
        connection->Release();
        if (FAILED(result))
            break;
        views->push_back(view);
    }
    enumerator->Release();
    return FAILED(result) ? result : S_OK;
}

INetConnection* FindConnection(INetConnectionManager* manager, const std::string& guidText)
{
    IEnumNetConnection* enumerator = nullptr;
    if (FAILED(manager->EnumConnections(NCME_DEFAULT, &enumerator)))
        return nullptr;
    INetConnection* found = nullptr;
    for (;;) {
        INetConnection* connection = nullptr;
        ULONG fetched = 0;
        if (FAILED(enumerator->Next(1, &connection, &fetched)) || fetched != 1)
            break;
        ConnectionView view = {};
        if (SUCCEEDED(ViewConnection(connection, &view)) && view.guidText == guidText) {
            found = connection;
            break;
        }
        connection->Release();
    }
    enumerator->Release();
    return found;
}

HRESULT SwitchConnection(const std::string& guidText, bool connect)
{
    INetConnectionManager* manager = nullptr;
    HRESULT result = CreateManager(&manager);
    if (FAILED(result))
        return result;
    INetConnection* connection = FindConnection(manager, guidText);
    if (connection == nullptr) {
        result = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    } else {
        result = connect ? connection->Connect() : connection->Disconnect();
        connection->Release();
    }
    manager->Release();
    return result;
}

std::vector<ConnectionView> ExpectedConnections()
{
    std::vector<ConnectionView> expected;
    ULONG size = 0;
    if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW)
        return expected;
    std::vector<BYTE> buffer(size);
    auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, adapters, &size) != NO_ERROR)
        return expected;
    for (IP_ADAPTER_ADDRESSES* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK)
            continue;
        ConnectionView view = {};
        view.guidText = adapter->AdapterName;
        view.name = adapter->FriendlyName;
        view.deviceName = adapter->Description;
        view.status = NCS_CONNECTED;
        view.mediaType = NCM_LAN;
        view.hardwareAddress.assign(adapter->PhysicalAddress,
                                    adapter->PhysicalAddress + adapter->PhysicalAddressLength);
        expected.push_back(view);
    }
    return expected;
}

void RegisteredStandinTest::TearDownTestSuite()
{
    EXPECT_TRUE(WaitForServersToExit(EXIT_BOUND_MS));
    EXPECT_EQ(0, standin::Run(L"-unregister"));
}

void RegisteredStandinTest::SetUp()
{
    ASSERT_TRUE(WaitForServersToExit(EXIT_BOUND_MS));
    ASSERT_EQ(0, standin::Run(L"-register -linger " + std::to_wstring(TEST_LINGER_MS)));
    ASSERT_EQ(0, standin::Run(L"-reset"));
}

}  // namespace standin
