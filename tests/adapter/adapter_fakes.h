// Stand-ins for the platform under adapter control: a scripted adapter list,
// a heap that can refuse, and a Network Connections manager whose objects
// implement the published interfaces and record every call, every Release and
// every CoTaskMemFree.
#pragma once

// First: the IP Helper types need winsock2.h ahead of windows.h.
#include "adapter/adapter_platform.h"

#include <gtest/gtest.h>
#include <netcon.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace fake {

struct Adapter {
    std::vector<BYTE> address;  // PhysicalAddress, at most 8 bytes
    ULONG length;               // PhysicalAddressLength
    std::string name;
};

// One answer of GetAdaptersAddresses. NO_ERROR writes the adapters.
struct ListAnswer {
    ULONG status;
    ULONG reportedSize;  // written back with ERROR_BUFFER_OVERFLOW
};

struct Connection {
    GUID guid;
    std::wstring name;
    HRESULT switchResult = S_OK;      // of Connect or Disconnect
    HRESULT propertiesResult = S_OK;  // of GetProperties
    bool givesRecord = true;          // whether GetProperties hands back a record
};

struct Script {
    std::vector<Adapter> adapters;
    std::vector<ListAnswer> listAnswers;   // per call; NO_ERROR after the last
    std::set<int> failingHeapAllocations;  // 0-based HeapAlloc calls that fail

    HRESULT coInitializeResult = S_OK;
    std::vector<HRESULT> createResults;  // per CoCreateInstance call; S_OK after the last
    HRESULT enumResult = S_OK;
    bool failedEnumHandsBackEnumerator = false;
    std::vector<Connection> connections;
    int failingNext = -1;  // 0-based Next call of each enumerator that fails
    HRESULT nextFailure = E_FAIL;
};

struct CreateCall {
    CLSID classId;
    bool outer;
    DWORD context;
    IID interfaceId;
};

struct ListCall {
    ULONG family;
    ULONG flags;
    bool reserved;
    ULONG size;
};

struct Record {
    std::vector<std::string> calls;  // COM calls, Releases and frees in order
    std::vector<CreateCall> creates;
    std::vector<ListCall> listCalls;
    std::vector<SIZE_T> heapAllocations;  // requested sizes, refused ones included
    std::set<void*> liveHeap;
    std::map<void*, std::string> liveTaskMemory;  // pointer -> label
    int heapFrees = 0;
    int badHeapFlags = 0;
    int badFrees = 0;  // of memory the fakes never handed out
    int overReleases = 0;
    int coInitialize = 0;  // successful calls only
    int coUninitialize = 0;
};

extern Script g_script;
extern Record g_record;

// Clears the script and the record and points g_adapterPlatform at the fakes.
void Install();
// Releases every fake object and the memory still held.
void Clear();
// References still held on fake COM objects.
long LiveReferences();
// Calls recorded whose text begins with prefix.
int CountCalls(const std::string& prefix);

// {4D36E972-E325-11CE-BFC1-08002BE103xx}, xx the given byte.
GUID MakeGuid(BYTE last);

// Where the tests' record of disabled adapters lives (emptied by Install):
// the real registry, under the test user's key.
extern const WCHAR RECORD_KEY[];
// The record's value for the address text, or "absent".
std::wstring RecordValue(const WCHAR* address);

}  // namespace fake

// Runs each test on the fakes with the log in a folder of its own, and checks
// afterwards that every reference, record, string and buffer was given back.
class AdapterTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::vector<std::wstring> Log() const { return log_.Messages(); }

private:
    test::ScopedSwap<AdapterPlatform> platform_{g_adapterPlatform};
    test::ScopedTestLog log_{L"C:\\tobra-adapter-tests"};
};
