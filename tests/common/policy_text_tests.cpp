// ALLOWEDADAPTERS and ALLOWEDCLIENTS as the installer's actions check them
// and write them: the same
// parser in the immediate check, which must refuse whatever the service would,
// and in the deferred write as SYSTEM, which must never write past its buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "tobra_policy_text.h"

namespace {

struct PropertyCase {
    const char* name;
    std::wstring text;
    int chars;             // room the parser is given to write in
    int count;             // the check's result, -1: refused; the write's too when the list fits
    std::wstring written;  // what the REG_MULTI_SZ holds, for a short list
};

TEST(PolicyProperty, IsCheckedAndWrittenWithinItsBounds)
{
    const int ROOM = TOBRA_POLICY_ADAPTER_MULTI_SZ_CHARS;
    const PropertyCase cases[] = {
        {"every form, blanks around", L"00:11:22:33:44:55; 0011223344aa\t", ROOM, 2,
         std::wstring(L"00-11-22-33-44-55\0"
                      L"00-11-22-33-44-AA\0\0",
                      37)},
        {"empty entries are skipped", L";;00-11-22-33-44-55;; ;", ROOM, 1, std::wstring(L"00-11-22-33-44-55\0\0", 19)},
        {"nothing", L"", ROOM, 0, std::wstring(L"\0", 1)},
        {"an entry that is not an address", L"00-11-22-33-44-55;x", ROOM, -1, L""},
        {"an address too long", L"00-11-22-33-44-55-66", ROOM, -1, L""},
        {"256 addresses", test::AddressList(256, false), ROOM, 256, L""},
        {"257 addresses", test::AddressList(257, false), ROOM, -1, L""},
        {"800 addresses", test::AddressList(800, false), ROOM, -1, L""},
        {"256 addresses of 12 digits", test::AddressList(256, true), ROOM, 256, L""},
        {"257 addresses of 12 digits", test::AddressList(257, true), ROOM, -1, L""},
        {"800 addresses of 12 digits", test::AddressList(800, true), ROOM, -1, L""},
        // The room is checked before each address and before the list's terminator.
        {"no room for the second address", L"00-11-22-33-44-55;00-11-22-33-44-66", 35, 2, L""},
        {"no room for the list's terminator", L"00-11-22-33-44-55;00-11-22-33-44-66", 36, 2, L""},
        {"room exactly", L"00-11-22-33-44-55;00-11-22-33-44-66", 37, 2,
         std::wstring(L"00-11-22-33-44-55\0"
                      L"00-11-22-33-44-66\0\0",
                      37)},
    };
    const wchar_t GUARD = 0xA5A5;
    for (const PropertyCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TobraParseAdapterProperty(c.text.c_str(), nullptr, 0), c.count) << "the check";
        std::vector<wchar_t> buffer(c.chars + 64, GUARD);
        int fits = c.count < 0 || c.count * TOBRA_ADDRESS_TEXT_CHARS + 1 <= c.chars;
        EXPECT_EQ(TobraParseAdapterProperty(c.text.c_str(), buffer.data(), c.chars), fits ? c.count : -1)
            << "the write";
        for (size_t i = c.chars; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], GUARD) << "written past the room at " << i;
        if (!c.written.empty()) {
            EXPECT_EQ(std::wstring(buffer.data(), c.written.size()), c.written);
        }
    }
}

struct ClientPropertyCase {
    const char* name;
    std::wstring text;
    int chars;             // room the parser is given to write in
    int count;             // the check's result, -1: refused
    int writes;            // the write's result
    std::wstring written;  // what the REG_MULTI_SZ holds, when written
};

std::wstring Joined(const std::vector<std::wstring>& sids)
{
    std::wstring text;
    for (const std::wstring& sid : sids)
        text += sid + L";";
    return text;
}

TEST(PolicyProperty, ClientSidsAreCheckedAndWrittenWithinTheirBounds)
{
    const int ROOM = TOBRA_POLICY_CLIENT_MULTI_SZ_CHARS;
    const std::wstring two = L"S-1-5-4;S-1-5-32-545";  // 7 + 1 + 12 + 1, then the list's terminator
    const ClientPropertyCase cases[] = {
        {"one", L"S-1-5-32-545", ROOM, 1, 1, std::wstring(L"S-1-5-32-545\0\0", 14)},
        {"blanks around, empty entries skipped", L" ;S-1-5-4 ;;\tS-1-5-32-556;", ROOM, 2, 2,
         std::wstring(L"S-1-5-4\0S-1-5-32-556\0\0", 22)},
        {"nothing", L"", ROOM, 0, 0, std::wstring(L"\0", 1)},
        {"an alias", L"S-1-5-4;BU", ROOM, -1, -1, L""},
        {"two SIDs in one entry", L"S-1-5-4 S-1-5-32-545", ROOM, -1, -1, L""},
        {"an authority alone", L"S-1-5", ROOM, -1, -1, L""},
        {"32 of the longest", Joined(test::LongestSids(32)), ROOM, 32, 32, L""},
        {"33", Joined(test::LongestSids(33)), ROOM, -1, -1, L""},
        // The room is checked before each SID and before the list's terminator.
        {"no room for the second SID", two, 20, 2, -1, L""},
        {"no room for the list's terminator", two, 21, 2, -1, L""},
        {"room exactly", two, 22, 2, 2, std::wstring(L"S-1-5-4\0S-1-5-32-545\0\0", 22)},
    };
    const wchar_t GUARD = 0xA5A5;
    for (const ClientPropertyCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TobraParseClientProperty(c.text.c_str(), nullptr, 0), c.count) << "the check";
        std::vector<wchar_t> buffer(c.chars + 64, GUARD);
        EXPECT_EQ(TobraParseClientProperty(c.text.c_str(), buffer.data(), c.chars), c.writes) << "the write";
        for (size_t i = c.chars; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], GUARD) << "written past the room at " << i;
        if (!c.written.empty()) {
            EXPECT_EQ(std::wstring(buffer.data(), c.written.size()), c.written);
        }
    }
}

}  // namespace
