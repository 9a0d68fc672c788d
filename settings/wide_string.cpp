#include "settings/wide_string.h"

#include <cstdlib>
#include <utility>

WideString::~WideString() {
    std::free(data_);
}

WideString::WideString(WideString&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), length_(std::exchange(other.length_, 0)) {}

bool WideString::Assign(std::u16string_view text) {
    char16_t* const buffer = WritableBuffer(text.size() + 1);
    if (buffer == nullptr) {
        return false;
    }
    text.copy(buffer, text.size());
    length_ = text.size();  // an embedded NUL is part of assigned text
    return true;
}

char16_t* WideString::WritableBuffer(std::size_t characters) {
    Clear();
    // One more than asked for, so that the text stays terminated however the buffer is filled.
    if (characters >= static_cast<std::size_t>(-1) / sizeof(char16_t) - 1) {
        return nullptr;
    }
    data_ = static_cast<char16_t*>(std::calloc(characters + 1, sizeof(char16_t)));
    return data_;
}

void WideString::SetLengthToFirstNul() {
    length_ = std::char_traits<char16_t>::length(c_str());
}

void WideString::Clear() {
    std::free(data_);
    data_ = nullptr;
    length_ = 0;
}
