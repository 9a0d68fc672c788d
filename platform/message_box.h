#pragma once

// A modal message box with no owner window and no icon: a caption, a text and a set of buttons, shown until
// the user answers. On Windows it is user32's MessageBoxW; elsewhere the terminal plays the dialog.

namespace platform {

enum class DialogButtons {
    Ok,     // MB_OK
    YesNo,  // MB_YESNO; Yes is the default button
};

// The button that closed the box, numbered as MessageBoxW numbers them.
enum class DialogResult : int {
    NotShown = 0,  // the box could not be shown
    Ok = 1,        // IDOK
    Yes = 6,       // IDYES
    No = 7,        // IDNO
};

class MessageDialog {
  public:
    virtual ~MessageDialog() = default;

    // Shows the box and waits for the answer. `caption` and `text` are NUL-terminated UTF-16.
    virtual DialogResult Show(const char16_t* caption, const char16_t* text, DialogButtons buttons) = 0;
};

// The system's message box (MessageBoxW on Windows, the terminal elsewhere).
MessageDialog& SystemMessageDialog();

}  // namespace platform
