// UTF-8 <-> UTF-16 conversion and fixed-field copies.
#include "platform/utf16.h"

#include <algorithm>
#include <cstdint>

namespace ostrel::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char16_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Number of units that fit into `limit` without cutting a surrogate pair in half.
std::size_t unitsWithoutSplit(std::u16string_view src, std::size_t limit) noexcept {
    std::size_t n = std::min(src.size(), limit);
    if (n > 0 && n < src.size() && isHighSurrogate(src[n - 1]) && isLowSurrogate(src[n])) {
        --n;
    }
    return n;
}

} // namespace

std::size_t u16len(const char16_t* text) noexcept {
    if (text == nullptr) {
        return 0;
    }
    std::size_t n = 0;
    while (text[n] != u'\0') {
        ++n;
    }
    return n;
}

std::u16string toUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    const std::size_t size = utf8.size();
    std::size_t i = 0;
    while (i < size) {
        const auto lead = static_cast<uint8_t>(utf8[i]);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        // Sequence length and the allowed range of the second byte; the narrowed ranges reject
        // overlong forms, surrogates and code points above U+10FFFF.
        std::size_t length = 0;
        uint8_t secondLow = 0x80;
        uint8_t secondHigh = 0xBF;
        char32_t cp = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            cp = lead & 0x0F;
            if (lead == 0xE0) secondLow = 0xA0;
            if (lead == 0xED) secondHigh = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            cp = lead & 0x07;
            if (lead == 0xF0) secondLow = 0x90;
            if (lead == 0xF4) secondHigh = 0x8F;
        } else {
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        // A broken sequence yields one U+FFFD for its valid prefix; the offending byte starts anew.
        std::size_t used = 1;
        bool valid = true;
        while (used < length) {
            if (i + used >= size) {
                valid = false;
                break;
            }
            const auto b = static_cast<uint8_t>(utf8[i + used]);
            const uint8_t low = used == 1 ? secondLow : uint8_t{0x80};
            const uint8_t high = used == 1 ? secondHigh : uint8_t{0xBF};
            if (b < low || b > high) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
            ++used;
        }
        appendUtf16(out, valid ? cp : kReplacement);
        i += used;
    }
    return out;
}

std::string toUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        const char16_t c = utf16[i];
        if (isHighSurrogate(c) && i + 1 < utf16.size() && isLowSurrogate(utf16[i + 1])) {
            const char32_t cp = 0x10000 + ((char32_t{c} - 0xD800) << 10) + (char32_t{utf16[i + 1]} - 0xDC00);
            appendUtf8(out, cp);
            ++i;
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, c);
        }
    }
    return out;
}

std::string toUtf8(const char16_t* text) {
    if (text == nullptr) {
        return {};
    }
    return toUtf8(std::u16string_view(text, u16len(text)));
}

std::size_t copyBounded(char16_t* dest, std::size_t capacity, std::u16string_view src) noexcept {
    if (dest == nullptr || capacity == 0) {
        return 0;
    }
    const std::size_t n = unitsWithoutSplit(src, capacity - 1);
    std::copy_n(src.data(), n, dest);
    dest[n] = u'\0';
    return n;
}

std::size_t copyBounded(char16_t* dest, std::size_t capacity, std::string_view utf8) {
    if (dest == nullptr || capacity == 0) {
        return 0;
    }
    return copyBounded(dest, capacity, std::u16string_view(toUtf16(utf8)));
}

void copyField(char16_t* dest, std::size_t capacity, std::u16string_view src) noexcept {
    if (dest == nullptr || capacity == 0) {
        return;
    }
    const std::size_t n = unitsWithoutSplit(src, capacity);
    std::copy_n(src.data(), n, dest);
    std::fill(dest + n, dest + capacity, u'\0');
}

std::u16string_view fieldView(const char16_t* field, std::size_t capacity) noexcept {
    if (field == nullptr) {
        return {};
    }
    std::size_t n = 0;
    while (n < capacity && field[n] != u'\0') {
        ++n;
    }
    return {field, n};
}

std::u16string asciiUpper(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - (u'a' - u'A'));
        }
    }
    return out;
}

std::string asciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - ('a' - 'A'));
        }
    }
    return out;
}

} // namespace ostrel::platform
