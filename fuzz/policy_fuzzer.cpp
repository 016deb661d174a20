// libFuzzer target: the parsers of what administrators write, as the service
// and the installer's actions call them. The raw data of AllowedAdapters and
// AllowedClients as RegQueryValueExW returns it (any type, any length), and
// the installer's ALLOWEDADAPTERS and ALLOWEDCLIENTS properties, each judged against the rules as
// stated here; every buffer the parsers get is exactly as large as they are
// told, so AddressSanitizer catches a write or read past it.
//
// Input: byte 0 chooses the parser (modulo 4), the rest is its input:
//   0  AllowedAdapters: 1 byte type (modulo 12), then the value's bytes
//      (UTF-16LE; an odd count leaves half a character)
//   1  AllowedClients: likewise
//   2  ALLOWEDADAPTERS: 1 byte room (bit 7: the installer's whole buffer, else
//      that many characters), then UTF-16LE text (a zero character ends it)
//   3  ALLOWEDCLIENTS: 2 bytes room (bit 7 of the first: the whole buffer,
//      else its 7 bits and the second's low 5 bits above them), then the text
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "fuzz_finding.h"
#include "fuzz_rules.h"
#include "tobra_policy_text.h"

namespace {

const size_t MAX_ADAPTERS = 256;
const size_t SID_CHARS = 200;
const size_t MAX_CLIENTS = 32;
const size_t CLIENT_LIST_CHARS = MAX_CLIENTS * SID_CHARS + 1;
const size_t ENTRY_CHARS = 18;  // "00-11-22-33-44-55" and its terminator

using Text = std::vector<uint32_t>;

bool IsBlank(uint32_t c)
{
    return c == ' ' || c == '\t';
}

Text Trimmed(const Text& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return Text(text.begin() + static_cast<long>(begin), text.begin() + static_cast<long>(end));
}

// The pieces of text between the separators.
std::vector<Text> Split(const Text& text, uint32_t separator)
{
    std::vector<Text> pieces(1);
    for (uint32_t c : text) {
        if (c == separator)
            pieces.emplace_back();
        else
            pieces.back().push_back(c);
    }
    return pieces;
}

// A registry value's data, as the parsers get it: each pair of bytes one
// character, on the heap and no larger; the byte count keeps an odd byte as
// a part of a character.
struct Value {
    std::unique_ptr<WCHAR[]> data;
    DWORD bytes;
    bool wholeCharacters;
    Text content;  // the characters without the terminators at the end
};

Value MakeValue(const uint8_t* data, size_t size)
{
    Value value;
    size_t chars = size / 2;
    value.data.reset(new WCHAR[chars]);
    for (size_t i = 0; i < chars; ++i) {
        value.data[i] = static_cast<WCHAR>(data[2 * i] | data[2 * i + 1] << 8);
        value.content.push_back(static_cast<uint32_t>(value.data[i]));
    }
    value.wholeCharacters = size % 2 == 0;
    value.bytes = static_cast<DWORD>(chars * sizeof(WCHAR) + size % 2);
    while (!value.content.empty() && value.content.back() == 0)
        value.content.pop_back();
    return value;
}

// A list of hardware addresses: a REG_MULTI_SZ of whole characters whose
// entries, blanks around each allowed, are all addresses, at most 256 of
// them; terminators at its end, however many, end it. -1 when it is invalid.
int AdapterRules(DWORD type, const Value& value, std::vector<uint8_t>* addresses)
{
    if (type != REG_MULTI_SZ || !value.wholeCharacters)
        return -1;
    if (value.content.empty())
        return 0;
    std::vector<Text> entries = Split(value.content, 0);
    if (entries.size() > MAX_ADAPTERS)
        return -1;
    for (const Text& entry : entries) {
        uint8_t address[6];
        if (!AddressRules(Trimmed(entry), address))
            return -1;
        addresses->insert(addresses->end(), address, address + 6);
    }
    return static_cast<int>(entries.size());
}

// "S-1-", then the authority and 1 to 15 sub-authorities: decimal numbers of
// 32 bits each, separated by '-'.
bool SidRules(const Text& text)
{
    static const char PREFIX[] = "S-1-";
    if (text.size() < 4 || !std::equal(PREFIX, PREFIX + 4, text.begin()))
        return false;
    std::vector<Text> numbers = Split(Text(text.begin() + 4, text.end()), '-');
    if (numbers.size() < 2 || numbers.size() > 16)
        return false;
    for (const Text& number : numbers) {
        uint64_t n = 0;
        if (number.empty())
            return false;
        for (uint32_t c : number) {
            if (c < '0' || c > '9')
                return false;
            n = n * 10 + (c - '0');
            if (n > 0xFFFFFFFFu)
                return false;
        }
    }
    return true;
}

// One SID: a REG_SZ of whole characters with nothing after its terminator,
// blanks around it allowed; blanks alone are no SID (absent). Or a list: a
// REG_MULTI_SZ of whole characters whose entries, blanks around each, are
// all SIDs, at most 32 of them. -1 when it is invalid.
int ClientRules(DWORD type, const Value& value, std::vector<Text>* sids)
{
    if ((type != REG_SZ && type != REG_MULTI_SZ) || !value.wholeCharacters)
        return -1;
    if (type == REG_SZ) {
        for (uint32_t c : value.content) {
            if (c == 0)
                return -1;
        }
        Text sid = Trimmed(value.content);
        if (sid.size() >= SID_CHARS)
            return -1;
        if (sid.empty())
            return 0;
        if (!SidRules(sid))
            return -1;
        sids->push_back(sid);
        return 1;
    }
    if (value.content.empty())
        return 0;
    std::vector<Text> entries = Split(value.content, 0);
    if (entries.size() > MAX_CLIENTS)
        return -1;
    for (const Text& entry : entries) {
        Text sid = Trimmed(entry);
        if (sid.size() >= SID_CHARS || !SidRules(sid))
            return -1;
        sids->push_back(sid);
    }
    return static_cast<int>(entries.size());
}

// The SIDs as the parsers hand them over: each terminated, then the list's
// terminator.
Text ClientList(const std::vector<Text>& sids)
{
    Text list;
    for (const Text& sid : sids) {
        list.insert(list.end(), sid.begin(), sid.end());
        list.push_back(0);
    }
    list.push_back(0);
    return list;
}

void FuzzAllowedAdapters(const uint8_t* data, size_t size)
{
    if (size < 1)
        return;
    DWORD type = data[0] % 12;
    Value value = MakeValue(data + 1, size - 1);
    std::unique_ptr<unsigned char[]> parsed(new unsigned char[MAX_ADAPTERS * 6]);
    int count =
        TobraParseAllowedAdapters(type, value.data.get(), value.bytes,
                                  reinterpret_cast<unsigned char(*)[TOBRA_HARDWARE_ADDRESS_SIZE]>(parsed.get()));
    std::vector<uint8_t> expected;
    int wanted = AdapterRules(type, value, &expected);
    if (count != wanted)
        Finding(wanted < 0 ? "an invalid adapter list is accepted" : "an adapter list is misjudged", data, size);
    if (count > 0 && memcmp(parsed.get(), expected.data(), expected.size()) != 0)
        Finding("an adapter list is parsed into the wrong addresses", data, size);
}

void FuzzAllowedClients(const uint8_t* data, size_t size)
{
    if (size < 1)
        return;
    DWORD type = data[0] % 12;
    Value value = MakeValue(data + 1, size - 1);
    std::unique_ptr<WCHAR[]> sids(new WCHAR[CLIENT_LIST_CHARS]);
    int found = TobraParseAllowedClients(type, value.data.get(), value.bytes, sids.get());
    std::vector<Text> expected;
    int wanted = ClientRules(type, value, &expected);
    if (found != wanted)
        Finding(wanted < 0 ? "an invalid client list is accepted" : "a client list is misjudged", data, size);
    Text list = ClientList(expected);
    if (found > 0 && !std::equal(list.begin(), list.end(), sids.get()))
        Finding("the client SIDs are not the value's entries, trimmed", data, size);
}

// ALLOWEDCLIENTS: SIDs separated by ';', blanks around each, empty entries
// skipped, at most 32; written only when all of them and the list's
// terminator fit the room.
void FuzzClientProperty(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    int room = data[0] & 0x80 ? TOBRA_POLICY_CLIENT_MULTI_SZ_CHARS : data[0] | (data[1] & 0x1F) << 7;
    Text characters = Utf16Text(data + 2, size - 2);
    std::unique_ptr<WCHAR[]> text(new WCHAR[characters.size() + 1]);
    std::copy(characters.begin(), characters.end(), text.get());
    text[characters.size()] = 0;

    std::vector<Text> expected;
    int wanted = 0;
    for (const Text& entry : Split(characters, ';')) {
        Text sid = Trimmed(entry);
        if (sid.empty())
            continue;
        if (++wanted > static_cast<int>(MAX_CLIENTS) || sid.size() >= SID_CHARS || !SidRules(sid)) {
            wanted = -1;
            break;
        }
        expected.push_back(sid);
    }
    Text list = ClientList(expected);

    if (TobraParseClientProperty(text.get(), nullptr, 0) != wanted)
        Finding(wanted < 0 ? "an invalid ALLOWEDCLIENTS passes the check" : "ALLOWEDCLIENTS is misjudged", data, size);
    bool fits = wanted >= 0 && list.size() <= static_cast<size_t>(room);
    std::unique_ptr<WCHAR[]> multiString(new WCHAR[static_cast<size_t>(room)]);
    int written = TobraParseClientProperty(text.get(), multiString.get(), room);
    if (written != (fits ? wanted : -1))
        Finding(fits ? "a client list that fits is not written" : "a client list is written without its room", data,
                size);
    if (fits && !std::equal(list.begin(), list.end(), multiString.get()))
        Finding("ALLOWEDCLIENTS is written as another list", data, size);
}

// ALLOWEDADAPTERS: addresses separated by ';', blanks around each, empty
// entries skipped, at most 256; written only when all of them and the list's
// terminator fit the room.
void FuzzAdapterProperty(const uint8_t* data, size_t size)
{
    if (size < 1)
        return;
    int room = data[0] & 0x80 ? TOBRA_POLICY_ADAPTER_MULTI_SZ_CHARS : data[0];
    Text characters = Utf16Text(data + 1, size - 1);
    std::unique_ptr<WCHAR[]> text(new WCHAR[characters.size() + 1]);
    std::copy(characters.begin(), characters.end(), text.get());
    text[characters.size()] = 0;

    Text expected;
    int wanted = 0;
    for (const Text& entry : Split(characters, ';')) {
        Text address = Trimmed(entry);
        uint8_t bytes[6];
        if (address.empty())
            continue;
        if (++wanted > static_cast<int>(MAX_ADAPTERS) || !AddressRules(address, bytes)) {
            wanted = -1;
            break;
        }
        static const char DIGITS[] = "0123456789ABCDEF";
        for (int i = 0; i < 6; ++i) {
            expected.push_back(static_cast<uint32_t>(DIGITS[bytes[i] >> 4]));
            expected.push_back(static_cast<uint32_t>(DIGITS[bytes[i] & 15]));
            expected.push_back(i < 5 ? '-' : 0);
        }
    }
    expected.push_back(0);

    if (TobraParseAdapterProperty(text.get(), nullptr, 0) != wanted)
        Finding(wanted < 0 ? "an invalid ALLOWEDADAPTERS passes the check" : "ALLOWEDADAPTERS is misjudged", data,
                size);
    bool fits = wanted >= 0 && static_cast<size_t>(wanted) * ENTRY_CHARS + 1 <= static_cast<size_t>(room);
    std::unique_ptr<WCHAR[]> multiString(new WCHAR[static_cast<size_t>(room)]);
    int written = TobraParseAdapterProperty(text.get(), multiString.get(), room);
    if (written != (fits ? wanted : -1))
        Finding(fits ? "a list that fits is not written" : "a list is written without its room", data, size);
    if (fits && !std::equal(expected.begin(), expected.end(), multiString.get()))
        Finding("ALLOWEDADAPTERS is written as another list", data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    switch (data[0] % 4) {
    case 0:
        FuzzAllowedAdapters(data + 1, size - 1);
        break;
    case 1:
        FuzzAllowedClients(data + 1, size - 1);
        break;
    case 2:
        FuzzAdapterProperty(data + 1, size - 1);
        break;
    default:
        FuzzClientProperty(data + 1, size - 1);
        break;
    }
    return 0;
}
