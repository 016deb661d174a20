// The rules the fuzzers judge the product by, written out here apart from the
// product's own code: a hardware address's text, and UTF-16LE text in an input.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

inline int HexDigit(uint32_t c)
{
    if (c >= '0' && c <= '9')
        return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<int>(c - 'A' + 10);
    return -1;
}

// Six pairs of hexadecimal digits, either case: all together, or all
// separated by '-' or all by ':'.
inline bool AddressRules(const std::vector<uint32_t>& text, uint8_t address[6])
{
    size_t step;
    if (text.size() == 12)
        step = 2;
    else if (text.size() == 17 && (text[2] == '-' || text[2] == ':'))
        step = 3;
    else
        return false;
    for (size_t i = 0; i < 6; ++i) {
        int high = HexDigit(text[i * step]);
        int low = HexDigit(text[i * step + 1]);
        if (high < 0 || low < 0 || (step == 3 && i < 5 && text[i * step + 2] != text[2]))
            return false;
        address[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

inline std::vector<uint32_t> Utf16Text(const uint8_t* data, size_t size)
{
    std::vector<uint32_t> characters;
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint32_t c = data[i] | (data[i + 1] << 8);
        if (c == 0)
            break;
        characters.push_back(c);
    }
    return characters;
}
