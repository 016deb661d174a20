// tobra_bench_com_baseline: the platform calls of one restart, made in the
// same order by a minimal program of our own (not the service's code), so that
// what Wine's own libraries keep per restart shows beside the service's figures.
//
//   tobra_bench_com_baseline ADAPTER-GUID-TEXT COUNT
//
// Per pass: GetAdaptersAddresses into a process-heap buffer and its free, then
// twice (off, then on) CoInitialize, CoCreateInstance of the connection
// manager, EnumConnections, Next/GetProperties/CoTaskMemFree per connection,
// Disconnect or Connect on the match, the releases and CoUninitialize. Prints
// "baseline after N restarts: <KiB> KiB, <handles> handles" after the first,
// the 100th and the last pass; exits 1 when a switch fails.
// The IP Helper types need winsock2.h ahead of windows.h.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netcon.h>
#include <objbase.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/process_figures.h"

namespace {

const CLSID MANAGER_CLASS = {0xBA126AD1, 0x2166, 0x11D1, {0xB1, 0xD0, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
const IID MANAGER_INTERFACE = {0xC08956A2, 0x1CD3, 0x11D1, {0xB1, 0xC5, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};

void ListAdapters()
{
    ULONG size = 15000;
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto* list = static_cast<IP_ADAPTER_ADDRESSES*>(HeapAlloc(GetProcessHeap(), 0, size));
        if (list == nullptr)
            return;
        ULONG status = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_INCLUDE_PREFIX, nullptr, list, &size);
        HeapFree(GetProcessHeap(), 0, list);
        if (status != ERROR_BUFFER_OVERFLOW)
            return;
    }
}

HRESULT Switch(const char* adapterName, bool on)
{
    HRESULT initialized = CoInitialize(nullptr);
    INetConnectionManager* manager = nullptr;
    HRESULT result = CoCreateInstance(MANAGER_CLASS, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_NO_CODE_DOWNLOAD,
                                      MANAGER_INTERFACE, reinterpret_cast<void**>(&manager));
    if (SUCCEEDED(result)) {
        result = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        IEnumNetConnection* connections = nullptr;
        if (SUCCEEDED(manager->EnumConnections(NCME_DEFAULT, &connections)) && connections != nullptr) {
            INetConnection* connection = nullptr;
            ULONG fetched = 0;
            while (connections->Next(1, &connection, &fetched) == S_OK && fetched == 1) {
                NETCON_PROPERTIES* properties = nullptr;
                if (connection->GetProperties(&properties) == S_OK && properties != nullptr) {
                    char text[64];
                    const GUID& g = properties->guidId;
                    snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                             static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                             g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
                    if (strcmp(text, adapterName) == 0)
                        result = on ? connection->Connect() : connection->Disconnect();
                    CoTaskMemFree(properties->pszwName);
                    CoTaskMemFree(properties->pszwDeviceName);
                    CoTaskMemFree(properties);
                }
                connection->Release();
            }
            connections->Release();
        }
        manager->Release();
    }
    if (SUCCEEDED(initialized))
        CoUninitialize();
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: tobra_bench_com_baseline ADAPTER-GUID-TEXT COUNT\n");
        return 2;
    }
    char adapterName[64] = "";
    WideCharToMultiByte(CP_ACP, 0, argv[1], -1, adapterName, sizeof(adapterName), nullptr, nullptr);
    int count = _wtoi(argv[2]);
    for (int pass = 1; pass <= count; ++pass) {
        ListAdapters();
        HRESULT off = Switch(adapterName, false);
        HRESULT on = Switch(adapterName, true);
        if (FAILED(off) || FAILED(on)) {
            printf("baseline: pass %d failed: off 0x%08lx, on 0x%08lx\n", pass, static_cast<unsigned long>(off),
                   static_cast<unsigned long>(on));
            return 1;
        }
        if (pass == 1 || pass == 100 || pass == count) {
            ProcessFigures figures = MeasureProcess(GetCurrentProcess());
            printf("baseline after %d restarts: %.0f KiB, %lu handles\n", pass, figures.privateKiB,
                   static_cast<unsigned long>(figures.handles));
            fflush(stdout);
        }
    }
    return 0;
}
