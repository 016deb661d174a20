// Access grant: adds one explicit access-allowed entry with read and write
// access for a trustee to a kernel object's DACL, at its canonical position;
// and the control pipe's descriptor, which already holds that entry for
// Everyone, so that the pipe server's grant finds it there.
#pragma once

#include <windows.h>
#include <aclapi.h>

// S-1-1-0, the Everyone group: revision 1, one sub-authority, world authority, RID 0.
extern const BYTE EveryoneSid[12];

// The grant's entry: explicit (no flags), what a client needs and no more. A
// pipe's security belongs to the pipe, not to one connection, and the service
// keeps one pipe for its whole run: WRITE_DAC or WRITE_OWNER would let any user
// lock every later client out, FILE_CREATE_PIPE_INSTANCE would let any user add
// an instance that receives other users' requests.
constexpr DWORD GRANT_ACCESS_MASK = (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE;
static_assert(GRANT_ACCESS_MASK == 0x0012019B, "read and write, without the pipe's own rights");

// The control pipe's whole security, given when it is created: owner SYSTEM,
// SYSTEM and Administrators full control, and GRANT_ACCESS_MASK for each SID
// an administrator named (clientSids: each terminated, then the list's
// terminator) or, when none is named (null or empty), for Everyone. A client that finds the owner SYSTEM knows that no
// ordinary user created the pipe: Windows lets no one assign an owner that
// their token does not hold. Owner and list must come with the creation: a
// descriptor with only an owner takes the token's default list, and setting
// the owner afterwards needs WRITE_OWNER, which the pipe's handle must not
// have. A LocalAlloc block the caller frees; null on failure, with the error
// as the last error.
PSECURITY_DESCRIPTOR BuildPipeSecurity(const WCHAR* clientSids);

// 1 when the object's DACL holds the entry afterwards (already there, or added
// and written back), 0 on any failure, with the failure's code as the last
// error; the DACL changes only on success.
// The handle must allow READ_CONTROL and, unless the entry is there, WRITE_DAC.
int GrantFullAccess(PSID sid, HANDLE object);

// An ACCESS_ALLOWED_ACE-shaped entry (8-byte header and mask, then the SID) in
// one LocalAlloc block the caller frees; nullptr on failure.
ACCESS_ALLOWED_ACE* BuildAce(BYTE type, BYTE flags, DWORD mask, PSID sid);

// Index of the last entry equal to ace (header, mask and SID), or -1; -1 also
// when there is no DACL or it cannot be read.
int FindEqualAce(PACL dacl, const ACCESS_ALLOWED_ACE* ace);

// Appends every entry of oldDacl (none when null) to newDacl in order; 1/0.
int CopyAces(PACL newDacl, PACL oldDacl);

// Where ace goes in dacl by the canonical order (denied before allowed,
// explicit before inherited): the index of the first entry whose sort key is
// not lower than its own, or -1 (the end) when an entry of a type without a
// key comes first or ace's own type has none.
int GetCanonicalAceIndex(PACL dacl, const ACCESS_ALLOWED_ACE* ace);

// The platform calls that tests steer: failures the platform will not give on
// demand (an allocation, an AddAce, a size query) and a record of what the
// grant reads, writes and frees. The real functions by default.
struct AccessGrantPlatform {
    decltype(&::GetSecurityInfo) GetSecurityInfo;
    decltype(&::SetSecurityInfo) SetSecurityInfo;
    decltype(&::GetAclInformation) GetAclInformation;
    decltype(&::AddAce) AddAce;
    decltype(&::LocalAlloc) LocalAlloc;
    decltype(&::LocalFree) LocalFree;
};
extern AccessGrantPlatform g_accessGrantPlatform;
