// How the registry treats names, paths and bytes, as the program relies on it. The same cases run on the
// stand-in and on the real registry (Wine's), so that the stand-in is held to what Windows does.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "tests/support/case_name.h"
#include "tests/support/raw_value.h"
#include "tests/support/scratch_store.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::registry_status;
using namespace platform::registry_type;

class RegistrySemanticsTest : public ::testing::Test {
  protected:
    ScratchStore store;
    platform::Registry& registry = platform::SystemRegistry();
};

struct NameCase {
    const char* what;
    std::u16string name;
};
void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.what;
}

const NameCase kHostileNames[] = {
    {"dot", u"."},
    {"dot dot", u".."},
    {"slash", u"/"},
    {"parent path", u"../../escaped"},
    {"absolute path", u"/tmp/escaped"},
    {"escape lookalike", u"%002E%002E"},
    {"temporary file lookalike", u".tmp-1-1"},
    {"nul in the middle", std::u16string(u"a\0b", 3)},
    {"lone surrogate", std::u16string(1, char16_t{0xD800})},
    {"chinese", u"修复黑屏"},
};

class HostileNameTest : public RegistrySemanticsTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(HostileNameTest, StaysInsideTheStoreAndApartFromOtherNames) {
    const std::u16string& name = GetParam().name;
    const std::u16string key = std::u16string(kTestKey) + u"\\" + name;
    const RawValue value = StringValue(name);

    // The same name as a key and as a value, each beside a value of a plain name that must not be disturbed.
    ASSERT_TRUE(PutRawValue(kTestKey, u"plain", StringValue(u"plain")));
    ASSERT_TRUE(PutRawValue(kTestKey, name.c_str(), value));
    ASSERT_TRUE(PutRawValue(key.c_str(), name.c_str(), value));

    EXPECT_EQ(GetRawValue(kTestKey, name.c_str()), value);
    EXPECT_EQ(GetRawValue(key.c_str(), name.c_str()), value);
    EXPECT_EQ(GetRawValue(kTestKey, u"plain"), StringValue(u"plain"));
    // The stand-in keeps all of it inside its own folder, and nothing half-written.
    if (!store.home().empty()) {
        for (const auto& entry : fs::recursive_directory_iterator(store.home())) {
            const std::string path = fs::relative(entry.path(), store.home()).string();
            EXPECT_EQ(path.rfind("standin-registry", 0), 0u) << path << " is outside the store";
            EXPECT_EQ(path.find(".tmp-"), std::string::npos) << path << " is a temporary file left behind";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Names, HostileNameTest, ::testing::ValuesIn(kHostileNames), CaseName<NameCase>);

TEST_F(RegistrySemanticsTest, NamesThatLookAlikeStayApart) {
    // Each of these would collide under a careless encoding of the others.
    const std::u16string names[] = {u"a.b", u"a%002Eb", u"a/b", u"a\\b", u"a_b", u"a-b", u"ab", u""};
    for (const auto& name : names) {
        ASSERT_TRUE(PutRawValue(kTestKey, name.c_str(), StringValue(u"v:" + name)));
    }
    for (const auto& name : names) {
        EXPECT_EQ(GetRawValue(kTestKey, name.c_str()), StringValue(u"v:" + name));
    }
}

TEST_F(RegistrySemanticsTest, NamesCompareWithoutRegardToCase) {
    ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, StringValue(u"true")));
    EXPECT_EQ(GetRawValue(u"SOFTWARE\\drovenal\\LUMAREST", u"USE_Software_OpenGL"), StringValue(u"true"));

    ASSERT_TRUE(PutRawValue(kTestKey, u"Äpfel", StringValue(u"1")));
    ASSERT_TRUE(PutRawValue(kTestKey, u"äPFEL", StringValue(u"2")));
    EXPECT_EQ(GetRawValue(kTestKey, u"ÄPFEL"), StringValue(u"2")) << "the second write replaces the first";
}

TEST_F(RegistrySemanticsTest, BackslashesSeparateKeysButMayNotLeadThePath) {
    ASSERT_TRUE(PutRawValue(u"Software\\\\Drovenal\\", u"v", StringValue(u"x")));
    EXPECT_EQ(GetRawValue(u"Software\\Drovenal", u"v"), StringValue(u"x"));

    platform::UniqueKey key(platform::KeyCloser{&registry});
    EXPECT_EQ(registry.CreateKey(registry.CurrentUser(), u"\\Software", key.put()), kBadPathName);
    EXPECT_FALSE(key);
}

struct BytesCase {
    const char* what;
    std::uint32_t type;
    std::vector<unsigned char> bytes;
};
void PrintTo(const BytesCase& c, std::ostream* os) {
    *os << c.what;
}

class RoundTripTest : public RegistrySemanticsTest, public ::testing::WithParamInterface<BytesCase> {};

TEST_P(RoundTripTest, KeepsTypeAndBytesExactly) {
    const RawValue value{GetParam().type, GetParam().bytes};
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", value));
    EXPECT_EQ(GetRawValue(kTestKey, u"v"), value);
}

INSTANTIATE_TEST_SUITE_P(Values, RoundTripTest,
                         ::testing::Values(BytesCase{"no bytes", kString, {}},
                                           BytesCase{"one byte", kString, {'t'}},
                                           BytesCase{"three bytes", kString, {'t', 0, 'r'}},
                                           BytesCase{"embedded nuls", kBinary, {0, 0, 1, 0, 0}},
                                           BytesCase{"unknown type", 0x12345678u, {1, 2, 3}},
                                           BytesCase{"none type", kNone, {0xFF}}),
                         CaseName<BytesCase>);

TEST_F(RegistrySemanticsTest, QueryReportsSizeAndRefusesTooSmallBuffers) {
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", TerminatedString(u"true")));
    platform::UniqueKey key(platform::KeyCloser{&registry});
    ASSERT_EQ(registry.OpenKey(registry.CurrentUser(), kTestKey, key.put()), kSuccess);

    std::uint32_t type = 0;
    std::uint32_t size = 0;
    EXPECT_EQ(registry.QueryValue(key.get(), u"v", &type, nullptr, &size), kSuccess);
    EXPECT_EQ(type, kString);
    EXPECT_EQ(size, 10u);

    unsigned char buffer[10] = {};
    size = 9;
    EXPECT_EQ(registry.QueryValue(key.get(), u"v", &type, buffer, &size), kMoreData);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(registry.QueryValue(key.get(), u"v", &type, buffer, nullptr), kInvalidParameter);
}

}  // namespace
