// Registry export (.reg) files, between the parser and the registry that
// applies them. A file is parsed whole into a list of changes first and only
// then applied, so a malformed file changes nothing.
#pragma once

#include <string>
#include <vector>

#include "win32.h"

namespace host {

// One change a registry export asks for. Paths are the key names below
// HKEY_LOCAL_MACHINE, one element per level, never empty.
struct RegChange {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind;
  std::vector<std::u16string> path;
  std::u16string name;  // value name; empty for the default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// Parses the bytes of a registry export. On failure returns false, leaves
// *changes empty and sets *error to "FILE:LINE: what is wrong".
bool ParseRegFile(const std::string& bytes, const std::string& fileName, std::vector<RegChange>* changes,
                  std::string* error);

// Applies parsed changes to the registry as one step (registry.cpp).
void ApplyRegChanges(const std::vector<RegChange>& changes);

}  // namespace host
