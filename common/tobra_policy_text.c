/* The text forms of the administrators' settings. */
#include "tobra_policy_text.h"

#include <sddl.h>

static int IsBlank(WCHAR c)
{
    return c == L' ' || c == L'\t';
}

int TobraTrimBlanks(const WCHAR* text, WCHAR* out, int chars)
{
    int length;
    while (IsBlank(*text))
        ++text;
    length = lstrlenW(text);
    while (length > 0 && IsBlank(text[length - 1]))
        --length;
    if (length >= chars)
        return 0;
    CopyMemory(out, text, length * sizeof(WCHAR));
    out[length] = L'\0';
    return 1;
}

int TobraIsSidText(const WCHAR* text)
{
    const WCHAR* p;
    int numbers = 0;
    PSID sid = NULL;

    if (text[0] != L'S' || text[1] != L'-' || text[2] != L'1' || text[3] != L'-')
        return 0;
    /* The identifier authority, then at least one sub-authority. */
    for (p = text + 4;; ++p) {
        if (*p < L'0' || *p > L'9')
            return 0;
        while (*p >= L'0' && *p <= L'9')
            ++p;
        ++numbers;
        if (*p == L'\0')
            break;
        if (*p != L'-')
            return 0;
    }
    if (numbers < 2 || !ConvertStringSidToSidW(text, &sid))
        return 0;
    LocalFree(sid);
    return 1;
}
