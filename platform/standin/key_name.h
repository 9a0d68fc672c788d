#pragma once

// How registry names become file names in the stand-in store. A key is a folder "k_NAME", a value a file
// "v_NAME" (the default value, whose name is empty, is "v_"). NAME is the name folded to upper case, since
// the registry compares names case-insensitively, with every code unit other than A-Z, 0-9, '_' and '-'
// written as %XXXX (four hex digits). No name can therefore spell "..", a separator or a temporary file's
// name, and two names meet in one file exactly when the registry would take them for the same name.

#include <string>
#include <string_view>
#include <vector>

namespace platform::standin {

// The file names for a key's folder and a value's file; empty if the name would not fit in a file name.
std::string KeyFolderName(std::u16string_view name);
std::string ValueFileName(std::u16string_view name);

// Splits a sub-key path at its backslashes. Runs of backslashes count as one and a trailing one is ignored,
// but a path may not start with one. Returns false for a path the registry would refuse.
bool SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>& parts);

}  // namespace platform::standin
