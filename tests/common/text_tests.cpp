// The shared folder's text: the hardware address as every program reads and
// writes it (the client library, tobractl, the service's settings, the
// installer's actions).
#include <gtest/gtest.h>

#include <string>

#include "tobra_wire.h"

namespace {

const unsigned char ADDRESS[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

std::string Bytes(const unsigned char* data, size_t size)
{
    return std::string(reinterpret_cast<const char*>(data), size);
}

TEST(AddressText, ParsesTheThreeWritingsOfAHardwareAddress)
{
    const wchar_t* accepted[] = {L"00-11-22-33-44-55", L"00:11:22:33:44:55", L"001122334455"};
    for (const wchar_t* text : accepted) {
        unsigned char address[6] = {};
        EXPECT_EQ(TobraParseHardwareAddress(text, address), 1) << text;
        EXPECT_EQ(Bytes(address, 6), Bytes(ADDRESS, 6)) << text;
    }
    unsigned char address[6] = {};
    ASSERT_EQ(TobraParseHardwareAddress(L"aB-cD-eF-0a-9F-Ff", address), 1);
    EXPECT_EQ(Bytes(address, 6), std::string("\xAB\xCD\xEF\x0A\x9F\xFF", 6));
}

TEST(AddressText, RejectsMalformedAddressesAndLeavesTheOutputAlone)
{
    const wchar_t* rejected[] = {
        L"",
        L"00-11-22-33-44",
        L"00-11-22-33-44-55-66",
        L"00-11:22-33-44-55",  // mixed separators
        L"00.11.22.33.44.55",
        L"0-11-22-33-44-55x",
        L"0G-11-22-33-44-55",
        L"00-11-22-33-44-5",
        L" 00-11-22-33-44-55",
        L"00-11-22-33-44-55 ",
        L"0011223344556",
        L"00112233445",
        L"001122-334455",
        L"+0-11-22-33-44-55",
    };
    for (const wchar_t* text : rejected) {
        unsigned char address[6] = {9, 9, 9, 9, 9, 9};
        EXPECT_EQ(TobraParseHardwareAddress(text, address), 0)
            << "\"" << testing::PrintToString(std::wstring(text)) << "\"";
        EXPECT_EQ(Bytes(address, 6), std::string(6, '\x09'));
    }
    unsigned char address[6];
    EXPECT_EQ(TobraParseHardwareAddress(nullptr, address), 0);
}

TEST(AddressText, FormatsAnAddressWithUpperCaseDigits)
{
    const unsigned char address[6] = {0x0A, 0xBC, 0x00, 0xFF, 0x10, 0x01};
    wchar_t text[TOBRA_ADDRESS_TEXT_CHARS];
    TobraFormatHardwareAddress(address, text);
    EXPECT_EQ(std::wstring(text), L"0A-BC-00-FF-10-01");
}

}  // namespace
