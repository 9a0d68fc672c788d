#pragma once

#include <string>
#include <vector>

#include "platform/message_box.h"

// A message box that records what it was asked to show and answers as the test says.
class RecordingDialog final : public platform::MessageDialog {
  public:
    struct Shown {
        std::u16string caption;
        std::u16string text;
        platform::DialogButtons buttons;
    };

    explicit RecordingDialog(platform::DialogResult reply = platform::DialogResult::Ok) : answer(reply) {}

    platform::DialogResult Show(const char16_t* caption, const char16_t* text,
                                platform::DialogButtons buttons) override {
        shown.push_back({caption, text, buttons});
        return answer;
    }

    platform::DialogResult answer;
    std::vector<Shown> shown;
};
