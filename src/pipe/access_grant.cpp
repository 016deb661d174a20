// Access grant: the object's DACL is read, copied with the new entry put in
// canonical position, and written back in one SetSecurityInfo, so that any
// failure before it leaves the object as it was.
#include "pipe/access_grant.h"

#include <sddl.h>
#include <string.h>

const BYTE EveryoneSid[12] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};

AccessGrantPlatform g_accessGrantPlatform = {
    ::GetSecurityInfo, ::SetSecurityInfo, ::GetAclInformation, ::AddAce, ::LocalAlloc, ::LocalFree,
};

namespace {

// AceType, AceFlags, AceSize and Mask: the part of an entry compared byte for byte.
const size_t ACE_FIXED_BYTES = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);

// Canonical order: explicit denied, denied-object, allowed, allowed-object,
// then the same four inherited. -1 for a type that takes no part in it.
int SortKey(const ACE_HEADER* header)
{
    int key;
    switch (header->AceType) {
    case ACCESS_DENIED_ACE_TYPE:
        key = 0;
        break;
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
        key = 1;
        break;
    case ACCESS_ALLOWED_ACE_TYPE:
        key = 2;
        break;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        key = 3;
        break;
    default:
        return -1;
    }
    if (header->AceFlags & INHERITED_ACE)
        key += 4;
    return key;
}

bool ReadSizeInformation(PACL acl, ACL_SIZE_INFORMATION* info)
{
    return acl != nullptr &&
           g_accessGrantPlatform.GetAclInformation(acl, info, sizeof(*info), AclSizeInformation) != FALSE;
}

// Puts ace at index (-1: the end). Wine's AddAce ignores the start index and
// always appends, so the entry is appended and then moved into its place,
// which gives the same DACL on every platform.
bool InsertAce(PACL dacl, int index, const ACCESS_ALLOWED_ACE* ace)
{
    WORD size = ace->Header.AceSize;
    if (!g_accessGrantPlatform.AddAce(dacl, ACL_REVISION, MAXDWORD, const_cast<ACCESS_ALLOWED_ACE*>(ace), size))
        return false;
    if (index < 0 || static_cast<DWORD>(index) + 1 >= dacl->AceCount)
        return true;  // already at the end
    BYTE* at = nullptr;
    BYTE* end = nullptr;
    if (!GetAce(dacl, static_cast<DWORD>(index), reinterpret_cast<LPVOID*>(&at)) ||
        !FindFirstFreeAce(dacl, reinterpret_cast<LPVOID*>(&end)))
        return false;
    // The appended copy occupies [end - size, end); the entries from index on
    // shift up by its size and the entry takes their place.
    memmove(at + size, at, static_cast<size_t>(end - size - at));
    memcpy(at, ace, size);
    return true;
}

}  // namespace

ACCESS_ALLOWED_ACE* BuildAce(BYTE type, BYTE flags, DWORD mask, PSID sid)
{
    // GetLengthSid trusts the SID's own sub-authority count.
    if (sid == nullptr || !IsValidSid(sid))
        return nullptr;
    DWORD sidLength = GetLengthSid(sid);
    DWORD size = static_cast<DWORD>(ACE_FIXED_BYTES) + sidLength;
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(g_accessGrantPlatform.LocalAlloc(LMEM_ZEROINIT, size));
    if (ace == nullptr)
        return nullptr;
    if (!CopySid(sidLength, &ace->SidStart, sid)) {
        g_accessGrantPlatform.LocalFree(ace);
        return nullptr;
    }
    ace->Header.AceType = type;
    ace->Header.AceFlags = flags;
    ace->Header.AceSize = static_cast<WORD>(size);
    ace->Mask = mask;
    return ace;
}

int FindEqualAce(PACL dacl, const ACCESS_ALLOWED_ACE* ace)
{
    ACL_SIZE_INFORMATION info = {};
    if (!ReadSizeInformation(dacl, &info))
        return -1;
    // From the end: of two equal entries the later one is reported.
    for (DWORD i = info.AceCount; i-- > 0;) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<LPVOID*>(&entry)))
            return -1;
        // Equal headers mean the same type and size, so the SID sits at byte 8 of both.
        if (memcmp(entry, ace, ACE_FIXED_BYTES) == 0 && EqualSid(&entry->SidStart, const_cast<DWORD*>(&ace->SidStart)))
            return static_cast<int>(i);
    }
    return -1;
}

int CopyAces(PACL newDacl, PACL oldDacl)
{
    if (oldDacl == nullptr)
        return 1;
    ACL_SIZE_INFORMATION info = {};
    if (!ReadSizeInformation(oldDacl, &info))
        return 0;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        ACE_HEADER* entry = nullptr;
        if (!GetAce(oldDacl, i, reinterpret_cast<LPVOID*>(&entry)))
            return 0;
        if (!g_accessGrantPlatform.AddAce(newDacl, ACL_REVISION, MAXDWORD, entry, entry->AceSize))
            return 0;
    }
    return 1;
}

int GetCanonicalAceIndex(PACL dacl, const ACCESS_ALLOWED_ACE* ace)
{
    int key = SortKey(&ace->Header);
    if (key < 0)
        return -1;
    ACL_SIZE_INFORMATION info = {};
    if (!ReadSizeInformation(dacl, &info))
        return -1;
    // The existing order is taken as found: the first entry of equal or
    // higher key decides, even when entries of lower key follow it.
    for (DWORD i = 0; i < info.AceCount; ++i) {
        ACE_HEADER* entry = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<LPVOID*>(&entry)))
            return static_cast<int>(i);
        int entryKey = SortKey(entry);
        if (entryKey < 0)
            return -1;
        if (entryKey >= key)
            return static_cast<int>(i);
    }
    return static_cast<int>(info.AceCount);
}

int GrantFullAccess(PSID sid, HANDLE object)
{
    PACL oldDacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD status = g_accessGrantPlatform.GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                         nullptr, &oldDacl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return 0;
    }

    int result = 0;
    PACL newDacl = nullptr;
    DWORD size = 0;
    int index = -1;
    ACL_SIZE_INFORMATION info = {};
    ACCESS_ALLOWED_ACE* ace = BuildAce(ACCESS_ALLOWED_ACE_TYPE, 0, GRANT_ACCESS_MASK, sid);
    if (ace == nullptr)
        goto cleanup;

    if (FindEqualAce(oldDacl, ace) != -1) {
        result = 1;  // nothing to write
        goto cleanup;
    }

    // AclBytesInUse counts the ACL header already, so the extra 8 are spare.
    // A total above 64 KiB makes InitializeAcl fail, and with it the grant.
    size = ace->Header.AceSize + 8;
    if (oldDacl != nullptr) {
        if (!ReadSizeInformation(oldDacl, &info))
            goto cleanup;
        size += info.AclBytesInUse;
    }
    // From the heap: the pipe thread runs on a 16 KiB stack.
    newDacl = static_cast<PACL>(g_accessGrantPlatform.LocalAlloc(LMEM_ZEROINIT, size));
    if (newDacl == nullptr)
        goto cleanup;
    if (!InitializeAcl(newDacl, size, ACL_REVISION))
        goto cleanup;
    if (!CopyAces(newDacl, oldDacl))
        goto cleanup;

    index = GetCanonicalAceIndex(newDacl, ace);
    if (!InsertAce(newDacl, index, ace))
        goto cleanup;

    status = g_accessGrantPlatform.SetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                   nullptr, newDacl, nullptr);
    if (status == ERROR_SUCCESS)
        result = 1;
    else
        SetLastError(status);

cleanup:
    // The frees must not overwrite the failure's code for the caller's log line.
    status = GetLastError();
    if (ace != nullptr)
        g_accessGrantPlatform.LocalFree(ace);
    if (descriptor != nullptr)
        g_accessGrantPlatform.LocalFree(descriptor);
    if (newDacl != nullptr)
        g_accessGrantPlatform.LocalFree(newDacl);
    SetLastError(status);
    return result;
}

PSECURITY_DESCRIPTOR BuildPipeSecurity(const WCHAR* clientSids)
{
    static const WCHAR EVERYONE[] = L"WD\0";
    // The SIDs' text was checked when the policy was read.
    const WCHAR* trustees = clientSids != nullptr && clientSids[0] != L'\0' ? clientSids : EVERYONE;
    WCHAR entry[32];
    int entryLength = wsprintfW(entry, L"(A;;0x%lx;;;", static_cast<unsigned long>(GRANT_ACCESS_MASK));
    const WCHAR HEAD[] = L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)";
    // The head, then for each trustee its entry's text, the SID and ")".
    SIZE_T chars = ARRAYSIZE(HEAD);
    for (const WCHAR* sid = trustees; *sid != L'\0'; sid += lstrlenW(sid) + 1)
        chars += static_cast<SIZE_T>(entryLength) + static_cast<SIZE_T>(lstrlenW(sid)) + 1;
    // On the heap: the pipe thread runs on a 16 KiB stack, and 32 SIDs take
    // several thousand characters.
    auto* sddl = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, chars * sizeof(WCHAR)));
    if (sddl == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    lstrcpyW(sddl, HEAD);
    for (const WCHAR* sid = trustees; *sid != L'\0'; sid += lstrlenW(sid) + 1) {
        lstrcatW(sddl, entry);
        lstrcatW(sddl, sid);
        lstrcatW(sddl, L")");
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        descriptor = nullptr;
    DWORD error = GetLastError();
    HeapFree(GetProcessHeap(), 0, sddl);
    SetLastError(error);
    return descriptor;
}
