// The stand-in message box: the terminal is the dialog. It prints the caption, the text and the buttons in
// UTF-8 on standard output and reads the answer from standard input, a line at a time.

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/message_box.h"

namespace platform {
namespace {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD, as it has no character to show.
std::string ToUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool Print(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

// The longest answer taken, in bytes. A terminal sends at most 4095 characters as one line, so a longer
// line is not someone answering; reading stops there, and no line can take unbounded memory or time.
constexpr std::size_t kMaxAnswer = 4096;

// The most answers read to one question. Someone who means to answer gives y or n within a few tries; an
// input that goes on giving something else (`yes ok |`) is nobody answering, and the box ends unanswered.
// With kMaxAnswer, this bounds what one dialog reads and prints, so no input can keep it going for ever.
constexpr int kMaxAnswers = 10;

// The next byte of standard input, or EOF. Whoever shares standard input may have made it non-blocking
// (O_NONBLOCK); there, no byte yet is not the end of input, and the answer is waited for as anywhere else.
int NextByte() {
    for (;;) {
        const int c = std::getchar();
        if (c != EOF || std::ferror(stdin) == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return c;
        }
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, -1) < 0 && errno != EINTR) {
            return EOF;  // with the read error still set
        }
        std::clearerr(stdin);
    }
}

// One line of standard input without its line ending, folded to lower case and trimmed. False when no answer
// can come: at end of input, after a read error (the terminal is gone) and for a line longer than kMaxAnswer.
bool ReadAnswer(std::string& answer) {
    answer.clear();
    int c = 0;
    while ((c = NextByte()) != EOF && c != '\n') {
        if (answer.size() == kMaxAnswer) {
            return false;
        }
        answer += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (std::ferror(stdin) != 0 || (c == EOF && answer.empty())) {
        return false;
    }
    const std::size_t first = answer.find_first_not_of(" \t\r");
    const std::size_t last = answer.find_last_not_of(" \t\r");
    answer = first == std::string::npos ? std::string() : answer.substr(first, last - first + 1);
    return true;
}

class TerminalMessageDialog final : public MessageDialog {
  public:
    DialogResult Show(const char16_t* caption, const char16_t* text, DialogButtons buttons) override {
        const std::string box = "\n[ " + ToUtf8(caption) + " ]\n" + ToUtf8(text) + "\n";
        if (buttons == DialogButtons::Ok) {
            std::string ignored;
            if (!Print(box + "[OK] (press Enter) ") || !ReadAnswer(ignored)) {
                return DialogResult::NotShown;
            }
            return DialogResult::Ok;
        }
        if (!Print(box + "[Yes] / [No] (y/n, Enter = Yes) ")) {
            return DialogResult::NotShown;
        }
        std::string answer;
        for (int answers = 1; ReadAnswer(answer); ++answers) {
            if (answer.empty() || answer == "y" || answer == "yes") {
                return DialogResult::Yes;
            }
            if (answer == "n" || answer == "no") {
                return DialogResult::No;
            }
            if (answers == kMaxAnswers || !Print("Please answer y or n. ")) {
                break;
            }
        }
        return DialogResult::NotShown;  // nobody is there to answer
    }
};

TerminalMessageDialog systemDialog;

}  // namespace

MessageDialog& SystemMessageDialog() {
    return systemDialog;
}

}  // namespace platform
