#pragma once

#include "platform/message_box.h"
#include "platform/registry.h"

// Flips the editor's per-user rendering switch, HKEY_CURRENT_USER\Software\Drovenal\Lumarest
// use_software_opengl, and tells the user what was done:
//
//   stored before           user answers   stored after        dialog
//   anything but "true"     OK             "true"              repair attempted, restart the editor
//   "true"                  Yes            "true" (untouched)  back to hardware: is the problem solved?
//   "true"                  No             "false"             back to hardware: is the problem solved?
//
// At most one dialog and one write. A failure that prevents the repair is silent: no dialog at all.
void RunBlackScreenFix(platform::Registry& registry, platform::MessageDialog& dialog);

// The same on the system's registry and message box.
void RunBlackScreenFix();
