// Driving the connection manager stand-in from a test: its executable, its
// data files, its server processes, and a client that reaches it through COM
// exactly as the service does (its class context, platform netcon.h).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <netcon.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace standin {

// How long a test's stand-in server stays after its last object goes, and
// how long its servers are given to end. The linger outlasts the pauses
// between a test's passes (a helper process under load takes up to a second):
// an activation that took the class registration just before an idle server
// revoked it fails in Wine's COM with 0x80004005 before it reaches the
// stand-in, which is no behaviour of the service's.
constexpr DWORD TEST_LINGER_MS = 2000;
constexpr DWORD EXIT_BOUND_MS = 5000;

// Registers the stand-in afresh for each test (a previous test's server may
// still linger) and unregisters it after the suite: other tests expect the
// prefix as Wine makes it, without a manager.
class RegisteredStandinTest : public ::testing::Test {
protected:
    static void TearDownTestSuite();
    void SetUp() override;
};

// As the service creates the manager.
constexpr DWORD MANAGER_CONTEXT = CLSCTX_LOCAL_SERVER | CLSCTX_NO_CODE_DOWNLOAD;
extern const CLSID MANAGER_CLASS;
extern const IID MANAGER_INTERFACE;

std::wstring Executable();
// Runs TobraStandin.exe with the arguments; its exit code, -1 when it hung.
long Run(const std::wstring& arguments);
// Runs it and returns what it wrote to standard output and error.
std::string RunForOutput(const std::wstring& arguments, long* exitCode);
// Contents of a file of C:\ProgramData\TobraStandin, "" when missing.
std::string DataFile(const wchar_t* name);

// Ids of the running stand-in server processes.
std::vector<DWORD> ServerProcesses();
// True when no server process is left within timeoutMs.
bool WaitForServersToExit(DWORD timeoutMs);

// What a client sees of one connection.
struct ConnectionView {
    std::string guidText;
    std::wstring name;
    std::wstring deviceName;
    NETCON_STATUS status;
    NETCON_MEDIATYPE mediaType;
    std::vector<BYTE> hardwareAddress;  // only in ExpectedConnections
};

HRESULT CreateManager(INetConnectionManager** manager);
// Every connection, fetched one at a time; each reference is released.
HRESULT Enumerate(INetConnectionManager* manager, std::vector<ConnectionView>* views);
// The connection with the GUID text, or null; the caller releases it.
INetConnection* FindConnection(INetConnectionManager* manager, const std::string& guidText);
HRESULT ViewConnection(INetConnection* connection, ConnectionView* view);
// Creates a manager, finds the connection, calls Connect or Disconnect, and
// releases everything: one pass as the service makes it.
HRESULT SwitchConnection(const std::string& guidText, bool connect);

// The adapters the stand-in is expected to mirror: GetAdaptersAddresses
// without the loopback.
std::vector<ConnectionView> ExpectedConnections();

std::string GuidText(const GUID& guid);
std::wstring Widen(const std::string& text);

}  // namespace standin
