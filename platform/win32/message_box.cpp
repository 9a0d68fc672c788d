#include "platform/message_box.h"

#include <windows.h>

namespace platform {
namespace {

class Win32MessageDialog final : public MessageDialog {
  public:
    DialogResult Show(const char16_t* caption, const char16_t* text, DialogButtons buttons) override {
        // Application-modal, no owner, no icon; MB_YESNO's first button (Yes) is the default.
        const UINT style = buttons == DialogButtons::YesNo ? MB_YESNO : MB_OK;
        return static_cast<DialogResult>(::MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text),
                                                       reinterpret_cast<const wchar_t*>(caption), style));
    }
};

Win32MessageDialog systemDialog;

}  // namespace

MessageDialog& SystemMessageDialog() {
    return systemDialog;
}

}  // namespace platform
