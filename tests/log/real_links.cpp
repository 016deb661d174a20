#include "real_links.h"

#include <winioctl.h>

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2  // developer mode, Windows 10 1703 and later
#endif

namespace logtest {
namespace {

// The mount-point form of REPARSE_DATA_BUFFER, which user-mode headers lack.
struct MountPointReparseBuffer {
    DWORD ReparseTag;
    WORD ReparseDataLength;
    WORD Reserved;
    WORD SubstituteNameOffset;
    WORD SubstituteNameLength;
    WORD PrintNameOffset;
    WORD PrintNameLength;
    WCHAR PathBuffer[2 * MAX_PATH + 8];
};
const DWORD REPARSE_HEADER_BYTES = 8;     // tag, data length, reserved
const WORD MOUNT_POINT_HEADER_BYTES = 8;  // the four name offsets and lengths

typedef char*(CDECL* UnixFileNameRoutine)(LPCWSTR dosName);

// Present only under Wine.
UnixFileNameRoutine WineUnixFileName()
{
    return reinterpret_cast<UnixFileNameRoutine>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

std::wstring UnixPath(const std::wstring& path)
{
    UnixFileNameRoutine unixFileName = WineUnixFileName();
    if (unixFileName == nullptr)
        return L"";
    char* name = unixFileName(path.c_str());
    if (name == nullptr)
        return L"";
    WCHAR wide[2 * MAX_PATH] = L"";
    int converted = MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 2 * MAX_PATH);
    HeapFree(GetProcessHeap(), 0, name);
    return converted > 0 ? std::wstring(wide) : L"";
}

// Wine starts a Unix program without a process handle to wait on, so the
// caller polls for its effect, within a bound.
bool StartUnixProgram(const std::wstring& commandLine)
{
    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    if (process.hThread != nullptr)
        CloseHandle(process.hThread);
    if (process.hProcess != nullptr)
        CloseHandle(process.hProcess);
    return true;
}

template <typename Condition>
bool PollFor(Condition condition)
{
    for (int i = 0; i < 500; ++i) {
        if (condition())
            return true;
        Sleep(10);
    }
    return condition();
}

std::wstring FinalPath(const std::wstring& path)
{
    HANDLE handle =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return L"";
    WCHAR buffer[2 * MAX_PATH];
    DWORD length = GetFinalPathNameByHandleW(handle, buffer, 2 * MAX_PATH, FILE_NAME_NORMALIZED);
    CloseHandle(handle);
    return length > 0 && length < 2 * MAX_PATH ? std::wstring(buffer, length) : L"";
}

// Opening the link reaches the target.
bool Redirects(const std::wstring& link, const std::wstring& target)
{
    std::wstring reached = FinalPath(link);
    return !reached.empty() && reached == FinalPath(target);
}

bool MakeJunction(const std::wstring& link, const std::wstring& target)
{
    std::wstring substitute = L"\\??\\" + target;
    size_t chars = substitute.size() + 1 + target.size() + 1;
    if (chars > 2 * MAX_PATH + 8 || !CreateDirectoryW(link.c_str(), nullptr))
        return false;

    MountPointReparseBuffer buffer = {};
    buffer.ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    buffer.SubstituteNameLength = static_cast<WORD>(substitute.size() * sizeof(WCHAR));
    buffer.PrintNameOffset = static_cast<WORD>(buffer.SubstituteNameLength + sizeof(WCHAR));
    buffer.PrintNameLength = static_cast<WORD>(target.size() * sizeof(WCHAR));
    buffer.ReparseDataLength = static_cast<WORD>(MOUNT_POINT_HEADER_BYTES + chars * sizeof(WCHAR));
    substitute.copy(buffer.PathBuffer, substitute.size());
    target.copy(buffer.PathBuffer + substitute.size() + 1, target.size());

    bool made = false;
    HANDLE directory = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory != INVALID_HANDLE_VALUE) {
        DWORD returned = 0;
        DWORD size = REPARSE_HEADER_BYTES + buffer.ReparseDataLength;
        BOOL set = DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, &buffer, size, nullptr, 0, &returned, nullptr);
        made = set != FALSE;
        CloseHandle(directory);
    }
    if (!made)
        RemoveDirectoryW(link.c_str());
    return made;
}

bool MakeUnixLink(const std::wstring& link, const std::wstring& target)
{
    std::wstring unixLink = UnixPath(link);
    std::wstring unixTarget = UnixPath(target);
    if (unixLink.empty() || unixTarget.empty())
        return false;
    if (!StartUnixProgram(L"Z:\\bin\\ln -s \"" + unixTarget + L"\" \"" + unixLink + L"\""))
        return false;
    return PollFor([&] { return Redirects(link, target); });
}

}  // namespace

bool MakeLink(const std::wstring& link, const std::wstring& target, LinkKind kind)
{
    bool made = false;
    if (kind == LinkKind::DIRECTORY)
        made = MakeJunction(link, target);
    else
        made = CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != FALSE;
    // Wine's CreateSymbolicLinkW says it made a link that is not there.
    if (made && Redirects(link, target))
        return true;
    return WineUnixFileName() != nullptr && MakeUnixLink(link, target);
}

bool MoveFolder(const std::wstring& folder, const std::wstring& to)
{
    if (WineUnixFileName() == nullptr)
        return MoveFileExW(folder.c_str(), to.c_str(), 0) != FALSE;
    std::wstring unixFolder = UnixPath(folder);
    std::wstring unixTo = UnixPath(to);
    if (unixFolder.empty() || unixTo.empty() ||
        !StartUnixProgram(L"Z:\\bin\\mv \"" + unixFolder + L"\" \"" + unixTo + L"\""))
        return false;
    return PollFor([&] { return GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

bool RemoveLink(const std::wstring& link, LinkKind kind)
{
    if (WineUnixFileName() == nullptr) {
        BOOL removed = kind == LinkKind::DIRECTORY ? RemoveDirectoryW(link.c_str()) : DeleteFileW(link.c_str());
        return removed != FALSE;
    }
    // Under Wine, RemoveDirectoryW on a link would remove its target instead.
    std::wstring unixLink = UnixPath(link);
    if (unixLink.empty() || !StartUnixProgram(L"Z:\\bin\\rm -f \"" + unixLink + L"\""))
        return false;
    return PollFor([&] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

}  // namespace logtest
