#include "platform/standin/key_name.h"

#include <locale.h>
#include <wctype.h>

namespace platform::standin {
namespace {

// The Unicode locale case folding needs beyond ASCII, loaded on the first name that is not ASCII.
locale_t unicodeLocale{};
bool unicodeLocaleTried = false;

char16_t FoldCase(char16_t unit) {
    if (unit >= u'a' && unit <= u'z') {
        return static_cast<char16_t>(unit - u'a' + u'A');
    }
    if (unit < 0x80 || (unit >= 0xD800 && unit <= 0xDFFF)) {
        return unit;  // ASCII is done; surrogate halves have no case
    }
    if (!unicodeLocaleTried) {
        unicodeLocaleTried = true;
        unicodeLocale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    }
    if (unicodeLocale == locale_t{}) {
        return unit;
    }
    const wint_t upper = ::towupper_l(unit, unicodeLocale);
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

std::string EncodeName(char kind, std::u16string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    constexpr std::size_t kMaxFileName = 255;
    std::string encoded{kind, '_'};
    for (const char16_t raw : name) {
        const char16_t unit = FoldCase(raw);
        if ((unit >= u'A' && unit <= u'Z') || (unit >= u'0' && unit <= u'9') || unit == u'_' ||
            unit == u'-') {
            encoded += static_cast<char>(unit);
        } else {
            encoded += '%';
            for (int shift = 12; shift >= 0; shift -= 4) {
                encoded += kHex[(unit >> shift) & 0xF];
            }
        }
        if (encoded.size() > kMaxFileName) {
            return {};
        }
    }
    return encoded;
}

}  // namespace

std::string KeyFolderName(std::u16string_view name) {
    return EncodeName('k', name);
}

std::string ValueFileName(std::u16string_view name) {
    return EncodeName('v', name);
}

bool SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>& parts) {
    if (!path.empty() && path.front() == u'\\') {
        return false;
    }
    while (!path.empty()) {
        const std::size_t end = path.find(u'\\');
        if (end != 0) {
            parts.push_back(path.substr(0, end));
        }
        path.remove_prefix(end == std::u16string_view::npos ? path.size() : end + 1);
    }
    return true;
}

}  // namespace platform::standin
