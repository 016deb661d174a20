// Diagnostic log on real files in the test prefix's C: drive. The Windows
// directory, the clock and the debugger output come through the log's seam.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "log_test_fixture.h"

using ::testing::ElementsAre;

namespace {

using namespace logtest;

// --- Settings --------------------------------------------------------------

struct DirectoryCase {
    const WCHAR* windowsDirectory;
    UINT forcedResult;  // 0: the real length
    const WCHAR* expected;
};

class LogInitDirectory : public LogTest, public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(LogInitDirectory, TakesTheRootOfTheWindowsDrive)
{
    g_fakeWindowsDirectory = GetParam().windowsDirectory;
    g_fakeWindowsResult = GetParam().forcedResult;
    LogInit(LOG_TO_FILE);
    EXPECT_STREQ(g_logDirectory, GetParam().expected);
    EXPECT_STREQ(g_logFileName, L"Service.txt");
    EXPECT_EQ(g_logMode, LOG_TO_FILE);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogInitDirectory,
                         ::testing::Values(DirectoryCase{L"C:\\windows", 0, L"C:\\norva\\Tobra Service"},
                                           DirectoryCase{L"D:\\WINDOWS", 0, L"D:\\norva\\Tobra Service"},
                                           DirectoryCase{L"E:\\deep\\er\\Windows", 0, L"E:\\norva\\Tobra Service"},
                                           DirectoryCase{L"C:\\", 0, L"C:\\norva\\Tobra Service"},
                                           // No backslash at all: the whole text is kept.
                                           DirectoryCase{L"C:", 0, L"C:\\norva\\Tobra Service"},
                                           // The call failed, or the path did not fit its 261-character buffer.
                                           DirectoryCase{L"C:\\windows", 0xFFFFFFFF, L""},
                                           DirectoryCase{L"C:\\windows", 261, L""}));

TEST_F(LogTest, WindowsDirectoryUnavailableKeepsEveryOutputOff)
{
    g_fakeWindowsResult = 0;
    g_fakeWindowsDirectory = L"";  // length 0: the call failed
    LogInit(LOG_TO_FILE | LOG_TO_DEBUGGER);
    EXPECT_EQ(LogPrintf(L"Initiate Service"), 0);
    EXPECT_TRUE(g_debugOutput.empty());
    EXPECT_FALSE(test::PathExists(ROOT));
}

TEST_F(LogTest, OffFormatsNothingAndCreatesNothing)
{
    // Formatting this bogus string pointer would crash the test.
    EXPECT_EQ(LogPrintf(L"%s", reinterpret_cast<const WCHAR*>(1)), 0);
    EXPECT_TRUE(g_debugOutput.empty());
    EXPECT_FALSE(test::PathExists(ROOT));
}

// --- File lines ------------------------------------------------------------

TEST_F(LogTest, FirstLineCreatesFoldersAndFileWithByteOrderMark)
{
    LogInit(LOG_TO_FILE);
    EXPECT_EQ(LogPrintf(L"Initiate Service"), 1);

    std::string bytes = test::ReadFileBytes(FILE_PATH);
    EXPECT_EQ(bytes, BOM + Line(L"2021/03/07 09:05:04  Initiate Service"));
    EXPECT_EQ(bytes.size(), 2u + 78u);
    EXPECT_TRUE(g_debugOutput.empty());
}

struct StampCase {
    SYSTEMTIME time;
    const WCHAR* stamp;
};

class LogStamp : public LogTest, public ::testing::WithParamInterface<StampCase> {};

TEST_P(LogStamp, PrintsFourDigitYearAndTwoDigitFields)
{
    g_fakeTime = GetParam().time;
    LogInit(LOG_TO_FILE);
    LogPrintf(L"x");
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(std::wstring(GetParam().stamp) + L"  x"));
}

INSTANTIATE_TEST_SUITE_P(Cases, LogStamp,
                         ::testing::Values(StampCase{{2021, 3, 0, 7, 9, 5, 4, 0}, L"2021/03/07 09:05:04"},
                                           StampCase{{1999, 12, 5, 31, 23, 59, 59, 999}, L"1999/12/31 23:59:59"},
                                           StampCase{{2000, 1, 6, 1, 0, 0, 0, 0}, L"2000/01/01 00:00:00"}));

TEST_F(LogTest, ExistingFileNeverGetsAByteOrderMark)
{
    LogInit(LOG_TO_FILE);
    ASSERT_TRUE(MakeFolders({ROOT, DIRECTORY}));

    ASSERT_TRUE(test::WriteFileBytes(FILE_PATH, ""));
    LogPrintf(L"one");
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), Line(L"2021/03/07 09:05:04  one"));

    ASSERT_TRUE(test::WriteFileBytes(FILE_PATH, "plain"));
    LogPrintf(L"two");
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), "plain" + Line(L"2021/03/07 09:05:04  two"));
}

TEST_F(LogTest, LinesAppendAndADeletedFileIsCreatedAnew)
{
    LogInit(LOG_TO_FILE);
    LogPrintf(L"first");
    LogPrintf(L"second");
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH),
              BOM + Line(L"2021/03/07 09:05:04  first") + Line(L"2021/03/07 09:05:04  second"));

    ASSERT_TRUE(DeleteFileW(FILE_PATH.c_str()));
    LogPrintf(L"third");
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  third"));

    ASSERT_TRUE(test::DeleteTree(ROOT));
    LogPrintf(L"fourth");
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  fourth"));
}

struct FormatCase {
    const WCHAR* expected;
    const WCHAR* format;
    const WCHAR* text;
    DWORD number;
};

class LogFormat : public LogTest, public ::testing::WithParamInterface<FormatCase> {};

// The conversions that the system's messages use, with Microsoft's meaning.
TEST_P(LogFormat, FormatsOnlyTheFormat)
{
    LogInit(LOG_TO_FILE);
    if (GetParam().text != nullptr)
        LogPrintf(GetParam().format, GetParam().text);
    else
        LogPrintf(GetParam().format, GetParam().number);
    EXPECT_THAT(test::ParseLogMessages(test::ReadFileBytes(FILE_PATH)), ElementsAre(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogFormat,
    ::testing::Values(FormatCase{L"  Name: 100% %s %d", L"  Name: %s", L"100% %s %d", 0},
                      FormatCase{L"  Name: \\\\.\\pipe\\norva\\Tobra Service", L"  Name: %s",
                                 L"\\\\.\\pipe\\norva\\Tobra Service", 0},
                      FormatCase{L"  Command: 0A", L"  Command: %02X", nullptr, 0x0A},
                      FormatCase{L"  Data Size: 4294967295", L"  Data Size: %lu", nullptr, 0xFFFFFFFF},
                      FormatCase{L"Could not enable or disable connection (0x80040154)",
                                 L"Could not enable or disable connection (0x%08x)", nullptr, 0x80040154}));

TEST_F(LogTest, MessageWithItsOwnLineBreaksIsWrittenUnchanged)
{
    LogInit(LOG_TO_FILE);
    LogPrintf(L"%s", L"a\r\nb\nc");
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  a\r\nb\nc"));
}

TEST_F(LogTest, LongMessagesAreCutAndTheLineStillEnds)
{
    LogInit(LOG_TO_FILE | LOG_TO_DEBUGGER);
    std::wstring huge(5000, L'x');
    LogPrintf(L"%s", huge.c_str());

    ASSERT_EQ(g_debugOutput.size(), 2u);
    EXPECT_EQ(g_debugOutput[0], std::wstring(LOG_MESSAGE_CHARS - 1, L'x'));

    // 21 stamp characters, 1,000 of the message, carriage return and line feed: 1,023.
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  " + std::wstring(1000, L'x')));
}

TEST_F(LogTest, CutNeverLeavesHalfASurrogatePair)
{
    LogInit(LOG_TO_FILE | LOG_TO_DEBUGGER);
    // A pair straddles the file line's cut (after 1,000 characters) and the
    // message's cut (after 1,023).
    std::wstring text(999, L'x');
    text += L"\xD83D\xDE00";
    text += std::wstring(21, L'y');
    text += L"\xD83D\xDE00";
    text += L"zz";
    LogPrintf(L"%s", text.c_str());

    ASSERT_EQ(g_debugOutput.size(), 2u);
    EXPECT_EQ(g_debugOutput[0], text.substr(0, 1022));
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  " + std::wstring(999, L'x')));
}

// --- Debugger output ---------------------------------------------------------

TEST_F(LogTest, DebuggerOnlyWritesMessageThenLineFeedAndNoFile)
{
    LogInit(LOG_TO_DEBUGGER);
    EXPECT_EQ(LogPrintf(L"  Command: %02X", 2), 1);
    EXPECT_THAT(g_debugOutput, ElementsAre(L"  Command: 02", L"\n"));
    EXPECT_FALSE(test::PathExists(ROOT));
}

TEST_F(LogTest, BothOutputsWriteTheFileFirst)
{
    LogInit(LOG_TO_FILE | LOG_TO_DEBUGGER);
    LogPrintf(L"Initiate Service");
    EXPECT_THAT(g_debugOutput, ElementsAre(L"Initiate Service", L"\n"));
    EXPECT_THAT(g_fileHeldMessageAtDebugOutput, ElementsAre(true, true));
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  Initiate Service"));
}

TEST_F(LogTest, UnopenableFileLosesTheLineButNotTheDebuggerOutput)
{
    LogInit(LOG_TO_FILE | LOG_TO_DEBUGGER);
    // A folder where the file should be: the open fails.
    ASSERT_TRUE(MakeFolders({ROOT, DIRECTORY, FILE_PATH}));
    ASSERT_TRUE(GetFileAttributesW(FILE_PATH.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    EXPECT_EQ(LogPrintf(L"lost"), 1);
    EXPECT_EQ(LogWriteLine(L"Service.txt", L"lost"), 0);
    EXPECT_THAT(g_debugOutput, ElementsAre(L"lost", L"\n"));
}

// --- Concurrency -------------------------------------------------------------

struct WriterArgs {
    int thread;
    int lines;
};

DWORD WINAPI WriteLines(LPVOID parameter)
{
    const WriterArgs* args = static_cast<const WriterArgs*>(parameter);
    for (int i = 0; i < args->lines; ++i)
        LogPrintf(L"thread %lu line %lu end", static_cast<DWORD>(args->thread), static_cast<DWORD>(i));
    return 0;
}

// Through a switch of files too: the bound then splits the lines between
// Service.old.txt and the new Service.txt, each with its one byte-order mark.
class ConcurrentWriters : public LogTest, public ::testing::WithParamInterface<ULONGLONG> {};

TEST_P(ConcurrentWriters, NeverTearOrLoseALine)
{
    const int THREADS = 8;
    const int LINES = 500;
    g_logPlatform.maxFileBytes = GetParam();
    LogInit(LOG_TO_FILE);

    WriterArgs args[THREADS];
    HANDLE threads[THREADS];
    for (int t = 0; t < THREADS; ++t) {
        args[t] = {t, LINES};
        threads[t] = CreateThread(nullptr, 0, WriteLines, &args[t], 0, nullptr);
        ASSERT_NE(threads[t], nullptr);
    }
    ASSERT_EQ(WaitForMultipleObjects(THREADS, threads, TRUE, 120000), WAIT_OBJECT_0);
    for (HANDLE thread : threads)
        CloseHandle(thread);

    std::vector<std::wstring> messages;
    for (const std::wstring& path : {OLD_FILE_PATH, FILE_PATH}) {
        std::string bytes = test::ReadFileBytes(path);
        if (bytes.empty() && path == OLD_FILE_PATH && GetParam() == LOG_FILE_MAX_BYTES)
            continue;  // no switch at the production bound
        ASSERT_GE(bytes.size(), 2u);
        EXPECT_LE(bytes.size(), GetParam());
        EXPECT_EQ(bytes.substr(0, 2), BOM);
        EXPECT_EQ(bytes.find(BOM, 2), std::string::npos) << "a second byte-order mark";
        std::vector<std::wstring> part = test::ParseLogMessages(bytes);
        messages.insert(messages.end(), part.begin(), part.end());
    }
    ASSERT_EQ(messages.size(), static_cast<size_t>(THREADS * LINES));
    std::set<std::wstring> seen(messages.begin(), messages.end());
    for (int t = 0; t < THREADS; ++t) {
        for (int i = 0; i < LINES; ++i) {
            std::wstring expected = L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) + L" end";
            ASSERT_EQ(seen.count(expected), 1u) << "missing or torn: thread " << t << " line " << i;
        }
    }
}

// About 350 KB of lines: no switch at the production bound, one at 200,000 bytes.
INSTANTIATE_TEST_SUITE_P(Bounds, ConcurrentWriters, ::testing::Values(LOG_FILE_MAX_BYTES, 200000ull));

// --- The size bound ------------------------------------------------------------

// A line that would take the file past the bound goes to a new file; the full
// one becomes Service.old.txt, replacing an older one.
TEST_F(LogTest, FullFileIsSetAsideAndANewOneStarted)
{
    const std::string one = Line(L"2021/03/07 09:05:04  one");
    g_logPlatform.maxFileBytes = 2 + 2 * one.size();  // the mark and two lines
    LogInit(LOG_TO_FILE);
    LogPrintf(L"one");
    LogPrintf(L"two");
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + one + Line(L"2021/03/07 09:05:04  two"));
    EXPECT_FALSE(test::PathExists(OLD_FILE_PATH));

    LogPrintf(L"six");
    EXPECT_EQ(test::ReadFileBytes(OLD_FILE_PATH), BOM + one + Line(L"2021/03/07 09:05:04  two"));
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  six"));

    LogPrintf(L"ten");
    LogPrintf(L"end");
    EXPECT_EQ(test::ReadFileBytes(OLD_FILE_PATH),
              BOM + Line(L"2021/03/07 09:05:04  six") + Line(L"2021/03/07 09:05:04  ten"));
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  end"));
    EXPECT_TRUE(g_debugOutput.empty());
}

// Users may read the folder: a reader that holds either file without sharing
// deletion blocks the switch. The line then goes to the debugger output only,
// the file stays within its bound, and the next line tries again.
class ReaderBlockingTheSwitch : public LogTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReaderBlockingTheSwitch, KeepsTheLineOutOfTheFileUntilTheReaderCloses)
{
    const bool readsTheOldFile = GetParam();
    const std::string one = Line(L"2021/03/07 09:05:04  one");
    g_logPlatform.maxFileBytes = 2 + one.size();
    LogInit(LOG_TO_FILE);
    LogPrintf(L"one");
    LogPrintf(L"two");  // sets "one" aside
    ASSERT_EQ(test::ReadFileBytes(OLD_FILE_PATH), BOM + one);

    HANDLE reader = CreateFileW((readsTheOldFile ? OLD_FILE_PATH : FILE_PATH).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(LogPrintf(L"six"), 1);
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  two"));
    EXPECT_EQ(test::ReadFileBytes(OLD_FILE_PATH), BOM + one);
    EXPECT_THAT(g_debugOutput, ElementsAre(L"six", L"\n"));

    CloseHandle(reader);
    LogPrintf(L"ten");
    EXPECT_EQ(test::ReadFileBytes(OLD_FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  two"));
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  ten"));
}

INSTANTIATE_TEST_SUITE_P(Readers, ReaderBlockingTheSwitch, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "OfTheOldFile" : "OfTheFile";
                         });

// The production bound, for real: a file that the log created, grown to just
// under 8 MiB, is set aside at the line that would take it past.
TEST_F(LogTest, FileIsSetAsideBeforeItPassesEightMebibytes)
{
    LogInit(LOG_TO_FILE);
    LogPrintf(L"first");
    const std::string line = Line(L"2021/03/07 09:05:04  next");
    HANDLE file = CreateFileW(FILE_PATH.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(LOG_FILE_MAX_BYTES - line.size());
    ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    CloseHandle(file);

    LogPrintf(L"next");  // fills it to the byte
    EXPECT_EQ(test::FileSize(FILE_PATH), LOG_FILE_MAX_BYTES);
    LogPrintf(L"over");
    EXPECT_EQ(test::FileSize(OLD_FILE_PATH), LOG_FILE_MAX_BYTES);
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  over"));
}

// --- Directory creation --------------------------------------------------------

TEST_F(LogTest, ALevelThatCannotBeCreatedLosesTheLineQuietly)
{
    ASSERT_TRUE(test::WriteFileBytes(ROOT, "in the way"));
    LogInit(LOG_TO_FILE);
    EXPECT_EQ(LogPrintf(L"lost"), 1);
    EXPECT_FALSE(test::PathExists(DIRECTORY));
    EXPECT_EQ(test::ReadFileBytes(ROOT), "in the way");
}

}  // namespace
