// Links that the log tests make for real, to plant where the log writes.
//
// On Windows a directory link is a junction (any user may make one) and a file
// link a symbolic link (it needs the privilege or developer mode). Wine 8 makes
// neither: CreateSymbolicLinkW reports success and makes nothing, and setting a
// reparse point fails with ERROR_NOT_SUPPORTED. Under Wine the link is then a
// Unix symbolic link made by /bin/ln, which Wine follows as silently as
// Windows follows a link (it reports no reparse point on the handle).
#pragma once

#include <windows.h>

#include <string>

namespace logtest {

enum class LinkKind { DIRECTORY, FILE };

// Makes link point at target, which must exist. False when this platform
// cannot make such a link here; the caller then skips.
bool MakeLink(const std::wstring& link, const std::wstring& target, LinkKind kind);

// Renames a folder that the log may hold open, as another user on the machine
// could under Wine (a Unix rename). False where the platform refuses, as
// Windows does while the folder is held without sharing deletion.
bool MoveFolder(const std::wstring& folder, const std::wstring& to);

// Removes the link itself, never its target. Call it while the target still
// exists: under Wine a link is seen only through its target.
bool RemoveLink(const std::wstring& link, LinkKind kind);

}  // namespace logtest
