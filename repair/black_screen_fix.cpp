#include "repair/black_screen_fix.h"

#include "settings/registry_key.h"
#include "settings/wide_string.h"

namespace {

constexpr char16_t kEditorSettingsKey[] = u"Software\\Drovenal\\Lumarest";
constexpr char16_t kSoftwareOpenGlSwitch[] = u"use_software_opengl";
constexpr char16_t kOn[] = u"true";
constexpr char16_t kOff[] = u"false";

constexpr char16_t kCaption[] = u"修复黑屏";
// "A repair of the black screen has been attempted; restart Lumarest to see whether it is fixed."
constexpr char16_t kRepairAttemptedText[] = u"环境黑屏问题已尝试修复，重新启动Lumarest，确认是否修复";
// "About to go back to hardware decoding: is the black-screen problem solved?"
constexpr char16_t kBackToHardwareText[] = u"将要回到硬解，环境黑屏问题已解决？";

}  // namespace

void RunBlackScreenFix(platform::Registry& registry, platform::MessageDialog& dialog) {
    RegistryKey key(registry);
    WideString current;  // stays empty, and so "not on", when nothing can be read
    if (key.Open(registry.CurrentUser(), kEditorSettingsKey, /*openExistingOnly=*/false)) {
        key.ReadString(kSoftwareOpenGlSwitch, current);
    }

    if (current != kOn) {
        // Fails without a held key too; then there is nothing to tell the user.
        if (key.WriteString(kSoftwareOpenGlSwitch, kOn)) {
            dialog.Show(kCaption, kRepairAttemptedText, platform::DialogButtons::Ok);
        }
        return;
    }

    // A box that could not be shown reports neither Yes nor No: the switch goes back off then too.
    if (dialog.Show(kCaption, kBackToHardwareText, platform::DialogButtons::YesNo) !=
        platform::DialogResult::Yes) {
        key.WriteString(kSoftwareOpenGlSwitch, kOff);
    }
}

void RunBlackScreenFix() {
    RunBlackScreenFix(platform::SystemRegistry(), platform::SystemMessageDialog());
}
