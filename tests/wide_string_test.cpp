#include "settings/wide_string.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>

namespace {

TEST(WideStringTest, BufferTextEndsAtItsFirstNul) {
    WideString text;
    char16_t* const buffer = text.WritableBuffer(6);
    ASSERT_NE(buffer, nullptr);
    EXPECT_TRUE(text.empty()) << "a new buffer holds no text yet";
    std::u16string_view(u"tr\0ue", 5).copy(buffer, 5);
    text.SetLengthToFirstNul();
    EXPECT_EQ(text.view(), u"tr");
}

TEST(WideStringTest, FullBufferStaysTerminated) {
    WideString text;
    char16_t* const buffer = text.WritableBuffer(4);
    ASSERT_NE(buffer, nullptr);
    std::u16string_view(u"true").copy(buffer, 4);
    text.SetLengthToFirstNul();
    EXPECT_EQ(text.view(), u"true");
    EXPECT_EQ(text.c_str()[4], u'\0');
}

TEST(WideStringTest, RequestBeyondMemoryFailsAndLeavesItEmpty) {
    WideString text;
    ASSERT_TRUE(text.Assign(u"old"));
    EXPECT_EQ(text.WritableBuffer(std::numeric_limits<std::size_t>::max() / 2), nullptr);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(text.c_str(), std::u16string_view());
}

TEST(WideStringTest, MoveHandsOverTheText) {
    WideString from;
    ASSERT_TRUE(from.Assign(std::u16string_view(u"a\0b", 3)));
    WideString to = std::move(from);
    EXPECT_EQ(to.view(), std::u16string_view(u"a\0b", 3)) << "assigned text keeps embedded NULs";
    EXPECT_TRUE(from.empty());  // NOLINT(bugprone-use-after-move): a moved-from string is empty by contract
}

}  // namespace
