// The stand-in's terminal dialog, shown with texts the program itself never has: every length of UTF-8 and
// surrogates without their other half. Its standard input and output are files of the test's for the length
// of one dialog.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/message_box.h"
#include "tests/support/case_name.h"

namespace {

// Standard input and output swapped for temporary files while it lives.
class TerminalFiles {
  public:
    explicit TerminalFiles(const std::string& typed) {
        (void)std::fflush(stdout);
        std::FILE* input = std::tmpfile();
        (void)std::fputs(typed.c_str(), input);
        (void)std::fflush(input);
        ::lseek(::fileno(input), 0, SEEK_SET);
        ::dup2(::fileno(input), STDIN_FILENO);
        (void)std::fclose(input);
        ::dup2(::fileno(output_), STDOUT_FILENO);
        std::clearerr(stdin);
    }
    ~TerminalFiles() {
        ::dup2(savedInput_, STDIN_FILENO);
        ::dup2(savedOutput_, STDOUT_FILENO);
        ::close(savedInput_);
        ::close(savedOutput_);
        (void)std::fclose(output_);
        std::clearerr(stdin);
    }
    TerminalFiles(const TerminalFiles&) = delete;
    TerminalFiles& operator=(const TerminalFiles&) = delete;

    std::string Printed() {
        (void)std::fflush(stdout);
        std::string printed;
        char buffer[4096];
        for (off_t offset = 0;;) {
            const ssize_t got = ::pread(::fileno(output_), buffer, sizeof buffer, offset);
            if (got <= 0) {
                return printed;
            }
            printed.append(buffer, static_cast<std::size_t>(got));
            offset += got;
        }
    }

  private:
    int savedInput_ = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    int savedOutput_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    std::FILE* output_ = std::tmpfile();
};

struct TextCase {
    const char* what;
    std::u16string text;
    std::string utf8;
};
void PrintTo(const TextCase& c, std::ostream* os) {
    *os << c.what;
}

class TerminalTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(TerminalTextTest, IsPrintedAsUtf8) {
    const TextCase& c = GetParam();
    std::string printed;
    platform::DialogResult result{};
    {
        TerminalFiles terminal("\n");
        result =
            platform::SystemMessageDialog().Show(c.text.c_str(), c.text.c_str(), platform::DialogButtons::Ok);
        printed = terminal.Printed();
    }
    EXPECT_EQ(result, platform::DialogResult::Ok);
    // The caption's line and the text's line.
    EXPECT_NE(printed.find("[ " + c.utf8 + " ]\n" + c.utf8 + "\n"), std::string::npos) << printed;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TerminalTextTest,
    ::testing::Values(TextCase{"ascii", u"Lumarest", "Lumarest"},
                      TextCase{"two bytes", u"\u00E9", "\xC3\xA9"},
                      TextCase{"three bytes", u"\u4FEE\uFFFF", "\xE4\xBF\xAE\xEF\xBF\xBF"},
                      TextCase{"surrogate pair", u"\U0001F600\U0010FFFF", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
                      TextCase{"lone high surrogate",
                               std::u16string(u"a\xD800"
                                              u"b"),
                               "a\xEF\xBF\xBD"
                               "b"},
                      TextCase{"lone low surrogate",
                               std::u16string(u"\xDFFF"
                                              u"a"),
                               "\xEF\xBF\xBD"
                               "a"},
                      TextCase{"high surrogate at the end", std::u16string(u"a\xDBFF"), "a\xEF\xBF\xBD"},
                      TextCase{"two high surrogates, then a low one", std::u16string(u"\xD800\xD83D\xDE00"),
                               "\xEF\xBF\xBD\xF0\x9F\x98\x80"}),
    CaseName<TextCase>);

}  // namespace
