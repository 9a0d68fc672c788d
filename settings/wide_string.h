#pragma once

#include <cstddef>
#include <string_view>

// UTF-16 text with a known length, owning its characters. Growing it never throws: when memory is short the
// request fails and the string stays empty. It can be moved into a new string but not copied or assigned:
// nothing in the program needs either.
class WideString {
  public:
    WideString() = default;
    ~WideString();
    WideString(WideString&& other) noexcept;
    WideString(const WideString&) = delete;
    WideString& operator=(const WideString&) = delete;
    WideString& operator=(WideString&&) = delete;

    std::u16string_view view() const { return {c_str(), length_}; }
    const char16_t* c_str() const { return data_ != nullptr ? data_ : u""; }
    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }

    // Replaces the text with a copy of `text`; false (and empty) when memory is short.
    bool Assign(std::u16string_view text);

    // Empties the string and gives it a writable buffer of `characters` NULs to fill in; null when memory is
    // short. SetLengthToFirstNul then takes what was written as the text.
    char16_t* WritableBuffer(std::size_t characters);
    void SetLengthToFirstNul();

    void Clear();

  private:
    char16_t* data_ = nullptr;  // null, or a buffer whose last character always stays NUL
    std::size_t length_ = 0;
};

inline bool operator==(const WideString& a, std::u16string_view b) {
    return a.view() == b;
}
inline bool operator!=(const WideString& a, std::u16string_view b) {
    return !(a == b);
}
