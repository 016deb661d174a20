// The log's test fixture: the C: drive as the Windows drive, a fixed clock and
// a capture of the debugger output through the log's seam, and a clean
// C:\norva before and after every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "support/test_support.h"

namespace logtest {

inline const std::wstring ROOT = L"C:\\norva";
inline const std::wstring DIRECTORY = L"C:\\norva\\Tobra Service";
inline const std::wstring FILE_PATH = L"C:\\norva\\Tobra Service\\Service.txt";
inline const std::wstring OLD_FILE_PATH = L"C:\\norva\\Tobra Service\\Service.old.txt";
inline const std::string BOM = "\xFF\xFE";

inline const WCHAR* g_fakeWindowsDirectory = L"C:\\windows";
inline UINT g_fakeWindowsResult = 0;  // 0: the text's length
inline SYSTEMTIME g_fakeTime = {2021, 3, 0, 7, 9, 5, 4, 0};
inline std::vector<std::wstring> g_debugOutput;
// Whether the file held the message when the debugger output received it.
inline std::vector<bool> g_fileHeldMessageAtDebugOutput;

inline UINT WINAPI FakeGetWindowsDirectoryW(LPWSTR buffer, UINT size)
{
    UINT length = static_cast<UINT>(lstrlenW(g_fakeWindowsDirectory));
    if (g_fakeWindowsResult != 0)
        return g_fakeWindowsResult;
    if (length + 1 > size)
        return length + 1;
    lstrcpyW(buffer, g_fakeWindowsDirectory);
    return length;
}

inline void WINAPI FakeGetLocalTime(LPSYSTEMTIME time)
{
    *time = g_fakeTime;
}

inline void WINAPI CaptureDebugOutput(LPCWSTR text)
{
    g_debugOutput.push_back(text);
    std::string file = test::ReadFileBytes(FILE_PATH);
    g_fileHeldMessageAtDebugOutput.push_back(!file.empty());
}

// Makes each folder in turn, as someone before the service could have.
inline bool MakeFolders(std::initializer_list<std::wstring> folders)
{
    for (const std::wstring& folder : folders) {
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return true;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_logPlatform.GetWindowsDirectoryW = FakeGetWindowsDirectoryW;
        g_logPlatform.GetLocalTime = FakeGetLocalTime;
        g_logPlatform.OutputDebugStringW = CaptureDebugOutput;
        g_fakeWindowsDirectory = L"C:\\windows";
        g_fakeWindowsResult = 0;
        g_fakeTime = {2021, 3, 0, 7, 9, 5, 4, 0};
        g_debugOutput.clear();
        g_fileHeldMessageAtDebugOutput.clear();
        ResetSettings();
        ASSERT_TRUE(test::DeleteTree(ROOT));
    }

    void TearDown() override
    {
        ResetSettings();
        test::DeleteTree(ROOT);
    }

    static void ResetSettings()
    {
        g_logMode = 0;
        g_logDirectory[0] = L'\0';
        g_logFileName[0] = L'\0';
    }

    static std::string Line(const std::wstring& stampAndMessage) { return test::Utf16Bytes(stampAndMessage + L"\r\n"); }

    test::ScopedSwap<LogPlatform> platform_{g_logPlatform};
};

}  // namespace logtest
