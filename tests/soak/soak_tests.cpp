// Load and soak of the real TobraService.exe under the prefix's service
// manager: many concurrent clients, many start/stop cycles, and clients that
// vanish part-way. After each, the service's handle count and private bytes
// must be back near where they started and its log must hold only whole lines.
#include <windows.h>
#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pipe/control_message.h"
#include "service_client.h"
#include "soak_support.h"
#include "support/test_support.h"

using namespace serviceclient;
using namespace wire;
using namespace soak;

namespace {

const wchar_t SERVICE_IMAGE[] = L"TobraService.exe";
const DWORD START_TIMEOUT_MS = 15000;
const DWORD STOP_TIMEOUT_MS = 15000;
// A client may queue behind every other thread's requests.
const DWORD REQUEST_TIMEOUT_MS = 30000;

// Drift allowed between the figures before and after a phase. A handle per
// request or client shows well beyond them, as does a page of memory each (or,
// over the 10,000 requests, some 64 bytes each).
const long HANDLE_SLACK = 8;
const long long PRIVATE_SLACK = 512 * 1024;

// No adapter has this address (it is checked): adapter requests run the whole
// lookup and the manager's calls without switching anything.
const BYTE NO_ADAPTER[6] = {0x02, 0x00, 0x5E, 0x7B, 0x0B, 0xA0};

const int WARM_UP_ROUNDS = 2;

const wchar_t MANAGER_CLASS_KEY[] = L"Software\\Classes\\CLSID\\{BA126AD1-2166-11D1-B1D0-00805FC1270E}";

struct Request {
    std::string bytes;
    std::string reply;  // empty: none (the server hangs up)
    int managerCalls;   // the service's activations of the connection manager for it
};

enum RequestKind { RESTART, DISABLE, UNKNOWN_ACTION, CLOSE, UNKNOWN_COMMAND };

Request MakeRequest(RequestKind kind, BYTE command)
{
    switch (kind) {
    case RESTART:
        return {AdapterRequest(NO_ADAPTER, ACTION_RESTART), Reply(COMMAND_ADAPTER, STATUS_DONE), 2};
    case DISABLE:
        return {AdapterRequest(NO_ADAPTER, ACTION_DISABLE), Reply(COMMAND_ADAPTER, STATUS_DONE), 1};
    case UNKNOWN_ACTION:
        return {AdapterRequest(NO_ADAPTER, 9), Reply(COMMAND_ADAPTER, STATUS_NOT_DONE), 0};
    case CLOSE:
        return {CommandRequest(COMMAND_CLOSE), "", 0};
    default:
        return {CommandRequest(command), Reply(command, STATUS_NOT_DONE), 0};
    }
}

// A random request of the kinds a desktop client or a confused one sends,
// none of which switches a real adapter. Adapter actions are few: each costs
// the service two activations of the manager (20 ms apiece under Wine).
Request RandomRequest(std::mt19937& random)
{
    unsigned roll = random() % 100;
    BYTE command = static_cast<BYTE>(2 + random() % 254);
    RequestKind kind = roll < 2    ? RESTART
                       : roll < 4  ? DISABLE
                       : roll < 14 ? UNKNOWN_ACTION
                       : roll < 19 ? CLOSE
                                   : UNKNOWN_COMMAND;
    return MakeRequest(kind, command);
}

// The connection manager's class as the service asks for it.
const CLSID MANAGER_CLASS = {0xBA126AD1, 0x2166, 0x11D1, {0xB1, 0xD0, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
const IID MANAGER_INTERFACE = {0xC08956A2, 0x1CD3, 0x11D1, {0xB1, 0xC5, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
const DWORD MANAGER_CONTEXT = CLSCTX_LOCAL_SERVER | CLSCTX_NO_CODE_DOWNLOAD;

// Handles the platform's own COM keeps per activation of the manager, made as
// the service makes it, measured in this process: Wine 8's ole32 keeps two each
// time the class is not registered, Windows none. The service is then held to
// what its own code keeps.
double PlatformHandlesPerActivation()
{
    const int CALLS = 40;
    double perCall = 0;
    std::thread([&] {
        auto activate = [] {
            HRESULT initialized = CoInitialize(nullptr);
            IUnknown* manager = nullptr;
            if (SUCCEEDED(CoCreateInstance(MANAGER_CLASS, nullptr, MANAGER_CONTEXT, MANAGER_INTERFACE,
                                           reinterpret_cast<void**>(&manager))) &&
                manager != nullptr)
                manager->Release();
            if (SUCCEEDED(initialized))
                CoUninitialize();
        };
        activate();  // what the first one loads for good
        ProcessFigures before = MeasureProcessId(GetCurrentProcessId());
        for (int i = 0; i < CALLS; ++i)
            activate();
        ProcessFigures after = MeasureProcessId(GetCurrentProcessId());
        if (before.ok && after.ok && after.handles > before.handles)
            perCall = static_cast<double>(after.handles - before.handles) / CALLS;
    }).join();
    return perCall;
}

std::wstring CommandLine()
{
    return L"\"" + ServiceExecutablePath() + L"\" -dlog";
}

bool StandInRegistered()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MANAGER_CLASS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Records the first few failures of many threads for the report.
class Failures {
public:
    void Add(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (++count_ <= 5)
            first_ += what + "\n";
    }
    int Count() const { return count_; }
    std::string First() const { return first_; }

private:
    std::mutex mutex_;
    std::atomic<int> count_{0};
    std::string first_;
};

class Soak : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(RemoveService()) << "a registration left over cannot be removed";
        ASSERT_TRUE(test::DeleteTree(test::SERVICE_LOG_ROOT));
        for (const Adapter& adapter : ListAdapters())
            ASSERT_FALSE(adapter.addressLength == 6 && memcmp(adapter.address, NO_ADAPTER, 6) == 0);
        if (StandInRegistered())
            printf("[ NOTE     ] the stand-in manager is registered: adapter requests take its COM path\n");
    }

    void TearDown() override
    {
        service_ = ScHandle();
        EXPECT_TRUE(RemoveService());
        EXPECT_EQ(test::ProcessIds(SERVICE_IMAGE).size(), 0u);
        test::DeleteTree(test::SERVICE_LOG_ROOT);
    }

    void Install()
    {
        service_ = InstallService(CommandLine());
        ASSERT_TRUE(service_) << ErrorText(GetLastError());
    }

    void Start()
    {
        ASSERT_TRUE(StartTobraService(service_.Get())) << ErrorText(GetLastError());
        SERVICE_STATUS_PROCESS status = {};
        ASSERT_TRUE(WaitForState(service_.Get(), SERVICE_RUNNING, START_TIMEOUT_MS, &status))
            << "state " << status.dwCurrentState << ", exit code " << status.dwWin32ExitCode;
    }

    void Stop()
    {
        StopResult stop = StopAndWait(service_.Get(), STOP_TIMEOUT_MS);
        ASSERT_TRUE(stop.stopped);
        ASSERT_EQ(stop.status.dwWin32ExitCode, 0u);
        ASSERT_EQ(stop.processExitCode, 0);
    }

    // Requests of each kind, so that what the first of a kind loads for good
    // (COM, the IP Helper) is in place before the figures are taken.
    void WarmUp()
    {
        for (int round = 0; round < WARM_UP_ROUNDS; ++round) {
            for (RequestKind kind : {RESTART, DISABLE, UNKNOWN_ACTION, CLOSE, UNKNOWN_COMMAND}) {
                Request request = MakeRequest(kind, 2);
                std::string reply;
                ASSERT_TRUE(SendRequest(request.bytes, &reply, REQUEST_TIMEOUT_MS));
                ASSERT_EQ(Hex(reply), Hex(request.reply));
            }
        }
    }

    // Figures after a phase against those before it, allowing for the handles
    // the platform's COM keeps for the phase's activations of the manager.
    static void ExpectBackNear(const ProcessFigures& before, const ProcessFigures& after, long managerCalls)
    {
        // Measured once: the measurement itself leaves this process those handles.
        static double perActivation = -1;
        if (managerCalls > 0 && perActivation < 0) {
            perActivation = PlatformHandlesPerActivation();
            Measure("handles the platform's COM keeps per activation of the manager", perActivation, "handles");
        }
        long platform = managerCalls > 0 ? static_cast<long>(perActivation * managerCalls + 0.5) : 0;
        EXPECT_LE(static_cast<long>(after.handles), static_cast<long>(before.handles) + HANDLE_SLACK + platform)
            << managerCalls << " activations of the manager, " << platform << " handles of them allowed";
        EXPECT_LE(after.privateKiB * 1024, before.privateKiB * 1024 + PRIVATE_SLACK);
    }

    // The running service's figures once it has served one more request, so
    // that it is idle between clients when they are read.
    ProcessFigures IdleFigures()
    {
        std::string reply;
        EXPECT_TRUE(SendRequest(CommandRequest(2), &reply, REQUEST_TIMEOUT_MS));
        ProcessFigures figures = MeasureProcessId(ServiceProcessId(service_.Get()));
        EXPECT_TRUE(figures.ok) << ErrorText(GetLastError());
        return figures;
    }

    // The whole log, every line checked; its messages.
    std::vector<std::wstring> CheckedLog()
    {
        std::string bytes = test::ReadFileBytes(test::SERVICE_LOG_FILE);
        LogCheck check = CheckLog(bytes);
        EXPECT_FALSE(bytes.empty()) << "no log";
        EXPECT_EQ(check.badLines, 0u) << "first torn line: "
                                      << std::string(check.firstBad.begin(), check.firstBad.end());
        Measure("log lines checked", static_cast<double>(check.messages.size()), "lines");
        return check.messages;
    }

    ScHandle service_;
};

// --- Load ---------------------------------------------------------------------------

TEST_F(Soak, TenThousandRequestsFromEightThreadsAreAllAnswered)
{
    const int THREADS = 8;
    const int PER_THREAD = 1250;
    ASSERT_NO_FATAL_FAILURE(Install());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(WarmUp());
    ProcessFigures before = IdleFigures();
    PrintFigures("service before the load", before);

    Failures failures;
    std::atomic<int> answered{0};
    std::atomic<long> managerCalls{0};
    std::vector<std::thread> threads;
    double start = NowMs();
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(1000 + t);
            for (int i = 0; i < PER_THREAD; ++i) {
                Request request = RandomRequest(random);
                managerCalls += request.managerCalls;
                std::string reply;
                std::string where = "thread " + std::to_string(t) + " request " + std::to_string(i) + ": ";
                if (!SendRequest(request.bytes, &reply, REQUEST_TIMEOUT_MS))
                    failures.Add(where + ErrorText(GetLastError()));
                else if (reply != request.reply)
                    failures.Add(where + "sent " + Hex(request.bytes) + ", got " + Hex(reply));
                else
                    ++answered;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    double elapsed = NowMs() - start;
    Measure("10,000 requests from 8 threads", elapsed, "ms");
    Measure("requests per second", THREADS * PER_THREAD * 1000.0 / elapsed, "/s");
    EXPECT_EQ(failures.Count(), 0) << failures.First();
    EXPECT_EQ(answered, THREADS * PER_THREAD);

    ProcessFigures after = IdleFigures();
    PrintFigures("service after the load", after);
    ExpectBackNear(before, after, managerCalls);
    ASSERT_NO_FATAL_FAILURE(Stop());

    // The server's side: every request was read and logged once, none lost or
    // doubled (the warm-up and the two idle probes besides).
    std::vector<std::wstring> log = CheckedLog();
    EXPECT_EQ(test::CountMessages(log, L"*** Recv pipe message ***"), THREADS * PER_THREAD + WARM_UP_ROUNDS * 5 + 2);
    EXPECT_EQ(test::CountMessages(log, L"PIPE Timeout."), 0);
}

// --- Start and stop ------------------------------------------------------------------

TEST_F(Soak, HundredStartStopCyclesLeaveNothingBehind)
{
    const int CYCLES = 100;
    std::vector<DWORD> managers = test::ProcessIds(L"services.exe");
    DWORD managerId = managers.empty() ? 0 : managers.front();
    ProcessFigures managerBefore = MeasureProcessId(managerId);
    ProcessFigures ownBefore = MeasureProcessId(GetCurrentProcessId());

    ASSERT_NO_FATAL_FAILURE(Install());
    ProcessFigures first, last;
    int served = 0;
    double whole = NowMs();
    for (int cycle = 0; cycle < CYCLES; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_NO_FATAL_FAILURE(Start());
        // Every other cycle stops at once after the running report, while the
        // window and the pipe may still be coming up.
        if (cycle % 2 == 0 || cycle == CYCLES - 1) {
            std::string reply;
            ASSERT_TRUE(SendRequest(AdapterRequest(NO_ADAPTER, ACTION_RESTART), &reply, REQUEST_TIMEOUT_MS));
            ASSERT_EQ(Hex(reply), Hex(Reply(COMMAND_ADAPTER, STATUS_DONE)));
            ProcessFigures figures = IdleFigures();
            if (cycle == 0)
                first = figures;
            last = figures;
            served += 2;
        }
        ASSERT_NO_FATAL_FAILURE(Stop());
        ASSERT_EQ(test::ProcessIds(SERVICE_IMAGE).size(), 0u);
    }
    Measure("100 start/stop cycles", NowMs() - whole, "ms");
    Measure("starts retried after Wine could not create the process", PlatformStartRetries(), "starts");

    // Each cycle's process, at the same point, looks like the first one's.
    PrintFigures("service in the first cycle", first);
    PrintFigures("service in the last cycle", last);
    ExpectBackNear(first, last, 0);

    // Neither the service manager nor this client keeps a handle per cycle.
    // (Wine's services.exe grows its memory by some 10-40 KB a start whatever
    // the service; its own wuauserv does the same.)
    service_ = ScHandle();
    ProcessFigures managerAfter = MeasureProcessId(managerId);
    PrintFigures("service manager before the cycles", managerBefore);
    PrintFigures("service manager after the cycles", managerAfter);
    EXPECT_TRUE(managerBefore.ok && managerAfter.ok);
    EXPECT_LE(static_cast<long>(managerAfter.handles), static_cast<long>(managerBefore.handles) + HANDLE_SLACK);
    ProcessFigures ownAfter = MeasureProcessId(GetCurrentProcessId());
    EXPECT_LE(static_cast<long>(ownAfter.handles), static_cast<long>(ownBefore.handles) + HANDLE_SLACK);

    std::vector<std::wstring> log = CheckedLog();
    EXPECT_EQ(test::CountMessages(log, L"*** Tobra Service: Start ***"), CYCLES);
    EXPECT_EQ(test::CountMessages(log, L"*** Tobra Service: End ***"), CYCLES) << "a life lost its End";
    EXPECT_EQ(test::CountMessages(log, L"*** Stop Service: End ***"), CYCLES);
    EXPECT_EQ(test::CountMessages(log, L"*** Recv pipe message ***"), served);
    EXPECT_EQ(test::CountMessages(log, L"*** Terminate Service: Start ***"), 0);
}

// --- Clients that vanish -------------------------------------------------------------

enum class Vanish { BeforeSending, MidHeader, BeforeReadingTheReply };

TEST_F(Soak, ThousandClientsThatVanishPartWayDoNotHoldOrLeak)
{
    const int THREADS = 4;
    const int PER_THREAD = 250;
    ASSERT_NO_FATAL_FAILURE(Install());
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(WarmUp());
    ProcessFigures before = IdleFigures();
    PrintFigures("service before the vanishing clients", before);

    Failures failures;
    std::atomic<int> counts[3] = {{0}, {0}, {0}};
    std::atomic<long> managerCalls{0};  // at most: a request that is never read runs nothing
    std::vector<std::thread> threads;
    double start = NowMs();
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(2000 + t);
            for (int i = 0; i < PER_THREAD; ++i) {
                Vanish how = static_cast<Vanish>(random() % 3);
                Request request = RandomRequest(random);
                HANDLE pipe = ConnectControlPipe(REQUEST_TIMEOUT_MS);
                std::string where = "thread " + std::to_string(t) + " client " + std::to_string(i) + ": ";
                if (pipe == INVALID_HANDLE_VALUE) {
                    failures.Add(where + "no connection: " + ErrorText(GetLastError()));
                    continue;
                }
                bool wrote = true;
                if (how == Vanish::MidHeader) {
                    // 1 to 11 bytes, sometimes in two writes.
                    size_t sent = 1 + random() % (CONTROL_MESSAGE_HEADER_SIZE - 1);
                    size_t split = random() % 2 ? sent / 2 : 0;
                    if (split > 0)
                        wrote = wire::WriteAll(pipe, request.bytes.substr(0, split), REQUEST_TIMEOUT_MS);
                    wrote =
                        wrote && wire::WriteAll(pipe, request.bytes.substr(split, sent - split), REQUEST_TIMEOUT_MS);
                } else if (how == Vanish::BeforeReadingTheReply) {
                    wrote = wire::WriteAll(pipe, request.bytes, REQUEST_TIMEOUT_MS);
                    managerCalls += request.managerCalls;
                }
                if (!wrote)
                    failures.Add(where + "write failed");
                if (random() % 2)
                    Sleep(random() % 3);
                CloseHandle(pipe);
                ++counts[static_cast<int>(how)];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    double elapsed = NowMs() - start;
    Measure("1,000 vanishing clients", elapsed, "ms");
    printf("[ MEASURE  ] gone before sending %d, mid-header %d, before reading the reply %d\n", counts[0].load(),
           counts[1].load(), counts[2].load());
    EXPECT_EQ(failures.Count(), 0) << failures.First();
    // Held to the request limit, a single mid-header client would take 30 s.
    EXPECT_LT(elapsed, 30000.0);

    // A client that comes now is served at once.
    double next = NowMs();
    std::string reply;
    ASSERT_TRUE(SendRequest(CommandRequest(5), &reply, REQUEST_TIMEOUT_MS));
    EXPECT_EQ(Hex(reply), Hex(Reply(5, STATUS_NOT_DONE)));
    Measure("the next client's round trip", NowMs() - next, "ms");
    EXPECT_LT(NowMs() - next, 2000.0);

    ProcessFigures after = IdleFigures();
    PrintFigures("service after the vanishing clients", after);
    ExpectBackNear(before, after, managerCalls);

    double stopStart = NowMs();
    ASSERT_NO_FATAL_FAILURE(Stop());
    Measure("stop after the vanishing clients", NowMs() - stopStart, "ms");

    std::vector<std::wstring> log = CheckedLog();
    EXPECT_EQ(test::CountMessages(log, L"PIPE Timeout."), 0);
    // Only a whole header is read: a request shows at most once per client that sent one.
    int received = test::CountMessages(log, L"*** Recv pipe message ***");
    Measure("requests of vanished clients that were read", static_cast<double>(received - WARM_UP_ROUNDS * 5 - 3),
            "requests");
    EXPECT_LE(received, counts[2] + WARM_UP_ROUNDS * 5 + 3);
}

// --- The checker itself ---------------------------------------------------------------

struct LogCase {
    const char* name;
    std::wstring text;  // after the byte-order mark
    size_t badLines;
    size_t messages;
};

void PrintTo(const LogCase& row, std::ostream* os)
{
    *os << row.name;
}

class LogChecker : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogChecker, FindsEveryTornLine)
{
    std::string bytes = "\xFF\xFE" + test::Utf16Bytes(GetParam().text);
    LogCheck check = CheckLog(bytes);
    EXPECT_EQ(check.badLines, GetParam().badLines);
    EXPECT_EQ(check.messages.size(), GetParam().messages);
}

const wchar_t GOOD[] = L"2024/05/06 07:08:09  *** Recv pipe message ***\r\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, LogChecker,
    ::testing::Values(LogCase{"whole lines", std::wstring(GOOD) + GOOD, 0, 2},
                      LogCase{"last line cut", std::wstring(GOOD) + L"2024/05/06 07:08:09  *** Re", 1, 1},
                      LogCase{"line cut inside the stamp", std::wstring(L"2024/05/06 07:0\r\n") + GOOD, 1, 1},
                      LogCase{"two lines run together",
                              std::wstring(L"2024/05/06 07:08:09  a2024/05/06 07:08:09  b\r\n") + GOOD, 1, 1},
                      LogCase{"second byte-order mark", std::wstring(L"\xFEFF") + GOOD, 1, 0},
                      LogCase{"line feed alone", L"2024/05/06 07:08:09  a\n2024/05/06 07:08:09  b\r\n", 1, 0}),
    [](const ::testing::TestParamInfo<LogCase>& info) {
        std::string name;
        for (const char* c = info.param.name; *c != '\0'; ++c)
            name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return name;
    });

TEST(LogCheckerFile, RefusesOddBytesAndAMissingMark)
{
    EXPECT_EQ(CheckLog("").badLines, 1u);
    EXPECT_EQ(CheckLog("\xFF\xFE" + test::Utf16Bytes(GOOD) + "x").badLines, 1u);
    EXPECT_EQ(CheckLog(test::Utf16Bytes(GOOD)).badLines, 1u);
}

}  // namespace
