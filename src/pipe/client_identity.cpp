// The client's process id and account.
#include "pipe/client_identity.h"

#include <sddl.h>
#include <stdio.h>

#include "pipe/pipe_platform.h"

namespace {

// A SID is at most SECURITY_MAX_SID_SIZE bytes; the record and its SID fit here.
union TokenUserBuffer {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
};

// The account as "DOMAIN\name", else the SID's text; unknown when neither.
void FormatAccount(PSID sid, WCHAR* user)
{
    WCHAR name[257];
    WCHAR domain[257];
    DWORD nameChars = ARRAYSIZE(name);
    DWORD domainChars = ARRAYSIZE(domain);
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameChars, domain, &domainChars, &use)) {
        if (domain[0] != L'\0')
            swprintf(user, CLIENT_USER_CHARS, L"%ls\\%ls", domain, name);
        else
            swprintf(user, CLIENT_USER_CHARS, L"%ls", name);
        return;
    }
    WCHAR* text = nullptr;
    if (ConvertSidToStringSidW(sid, &text)) {
        swprintf(user, CLIENT_USER_CHARS, L"%ls", text);
        LocalFree(text);
        return;
    }
    swprintf(user, CLIENT_USER_CHARS, L"%ls", CLIENT_USER_UNKNOWN);
}

}  // namespace

DWORD ReadClientProcessId(HANDLE pipe)
{
    ULONG processId = 0;
    if (!GetNamedPipeClientProcessId(pipe, &processId))
        return 0;
    return processId;
}

int ReadClientUser(HANDLE pipe, WCHAR* user)
{
    swprintf(user, CLIENT_USER_CHARS, L"%ls", CLIENT_USER_UNKNOWN);
    if (!g_pipePlatform.ImpersonateNamedPipeClient(pipe))
        return 1;
    // As the service itself (OpenAsSelf): an identification-level token may
    // not open anything.
    HANDLE token = nullptr;
    BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    // At once, before anything else runs as the client: the token is all we need.
    if (!g_pipePlatform.RevertToSelf()) {
        if (opened)
            CloseHandle(token);
        return 0;
    }
    if (!opened)
        return 1;
    TokenUserBuffer buffer;
    DWORD size = 0;
    BOOL got = GetTokenInformation(token, TokenUser, &buffer, sizeof(buffer), &size);
    CloseHandle(token);
    if (got)
        FormatAccount(buffer.user.User.Sid, user);
    return 1;
}
