// How the stand-in store turns registry names into file names, and sub-key paths into names: pure functions,
// checked from tables.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/standin/key_name.h"
#include "tests/support/case_name.h"

namespace {

using platform::standin::KeyFolderName;
using platform::standin::SplitKeyPath;
using platform::standin::ValueFileName;

std::string Repeated(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

struct NameCase {
    const char* what;
    std::u16string name;
    std::string valueFile;  // the key's folder is the same with "k_" for "v_"; empty: the name does not fit
};
void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.what;
}

const NameCase kNames[] = {
    {"default value", u"", "v_"},
    {"letters fold to upper case", u"use_Software-OpenGL2", "v_USE_SOFTWARE-OPENGL2"},
    {"dot dot", u"..", "v_%002E%002E"},
    {"separators", u"a/b\\c", "v_A%002FB%005CC"},
    {"escape sign", u"%0041", "v_%00250041"},
    {"temporary file lookalike", u".tmp-1-1", "v_%002ETMP-1-1"},
    {"nul", std::u16string(u"a\0b", 3), "v_A%0000B"},
    {"accented letters fold", u"äÄ", "v_%00C4%00C4"},
    {"sharp s has no single capital", u"ß", "v_%00DF"},
    {"final sigma folds to sigma", u"ς", "v_%03A3"},
    {"chinese", u"修复", "v_%4FEE%590D"},
    {"lone surrogate", std::u16string(1, char16_t{0xD800}), "v_%D800"},
    {"surrogate pair as two units", u"\U0001F600", "v_%D83D%DE00"},
    {"longest plain name", std::u16string(253, u'a'), "v_" + std::string(253, 'A')},
    {"plain name one too long", std::u16string(254, u'a'), ""},
    // Each escaped unit takes five bytes of the 255 a file name may have.
    {"longest escaped name", std::u16string(50, u'.'), "v_" + Repeated("%002E", 50)},
    {"escaped name one too long", std::u16string(51, u'.'), ""},
};

class KeyNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(KeyNameTest, EncodesValueAndKeyNamesAlike) {
    const NameCase& c = GetParam();
    EXPECT_EQ(ValueFileName(c.name), c.valueFile);
    EXPECT_EQ(KeyFolderName(c.name), c.valueFile.empty() ? "" : "k_" + c.valueFile.substr(2));
}

INSTANTIATE_TEST_SUITE_P(Names, KeyNameTest, ::testing::ValuesIn(kNames), CaseName<NameCase>);

struct PathCase {
    const char* what;
    std::u16string path;
    bool valid;
    std::vector<std::u16string_view> parts;
};
void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.what;
}

const PathCase kPaths[] = {
    {"empty", u"", true, {}},
    {"one key", u"Software", true, {u"Software"}},
    {"three keys", u"Software\\Drovenal\\Lumarest", true, {u"Software", u"Drovenal", u"Lumarest"}},
    {"doubled and trailing backslashes", u"a\\\\b\\", true, {u"a", u"b"}},
    {"leading backslash", u"\\a", false, {}},
    {"backslash only", u"\\", false, {}},
};

class KeyPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(KeyPathTest, SplitsAtBackslashes) {
    const PathCase& c = GetParam();
    std::vector<std::u16string_view> parts;
    EXPECT_EQ(SplitKeyPath(c.path, parts), c.valid);
    if (c.valid) {
        EXPECT_EQ(parts, c.parts);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, KeyPathTest, ::testing::ValuesIn(kPaths), CaseName<PathCase>);

}  // namespace
