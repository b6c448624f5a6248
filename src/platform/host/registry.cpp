// The handheld's registry: HKEY_LOCAL_MACHINE held in memory.
//
// Key and value names compare without regard to case, as on the handheld.
// Each RegOpenKeyExW hands out a key handle from the handheld's one numbering
// of handles (a closed key's value may come back for a later open), and an
// open handle keeps working on the key it was opened on: if that key is deleted meanwhile, calls through the
// handle answer ERROR_KEY_DELETED instead of reaching whatever replaced it.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "internal.h"
#include "reg_file.h"

// Not in the program's subset: only the registry itself answers with it.
#define ERROR_KEY_DELETED 1018L

namespace {

struct Value {
  std::u16string name;  // as first set, for display
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key {
  std::u16string name;
  std::map<std::u16string, std::shared_ptr<Key>> children;  // by lower-case name
  std::map<std::u16string, Value> values;                   // by lower-case name
  bool deleted = false;
};

// Key handles share one numbering with every other handle, below the
// predefined keys (0x80000000 and up): a live key handle passed where
// another kind belongs is never mistaken for one.
struct Registry {
  std::mutex mutex;
  std::shared_ptr<Key> root = std::make_shared<Key>();
  std::map<uintptr_t, std::shared_ptr<Key>> open;
};

// Never destroyed: a thread still inside a registry call at exit must not
// find it gone.
Registry& State() {
  static Registry* registry = new Registry;
  return *registry;
}

void MarkDeleted(Key* key) {
  key->deleted = true;
  for (auto& child : key->children) MarkDeleted(child.second.get());
}

// The path elements of a device-side key path. Leading, trailing and
// doubled backslashes are tolerated, as is a leading hive name.
std::vector<std::u16string> SplitDevicePath(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  if (!parts.empty()) {
    std::u16string hive = host::WideLower(parts.front());
    if (hive == u"hkey_local_machine" || hive == u"hklm") parts.erase(parts.begin());
  }
  return parts;
}

// The path elements a program passes to RegOpenKeyExW. One leading and one
// trailing backslash are tolerated; an empty element names no key.
bool SplitProgramPath(const WCHAR* subKey, std::vector<std::u16string>* parts) {
  std::u16string path = host::Wide(subKey);
  if (!path.empty() && path.front() == u'\\') path.erase(0, 1);
  if (!path.empty() && path.back() == u'\\') path.pop_back();
  parts->clear();
  if (path.empty()) return true;
  size_t start = 0;
  for (;;) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end == start) return false;
    parts->push_back(path.substr(start, end - start));
    if (end == path.size()) return true;
    start = end + 1;
  }
}

// Both with the registry's mutex held.
std::shared_ptr<Key> Find(const std::shared_ptr<Key>& from, const std::vector<std::u16string>& path) {
  std::shared_ptr<Key> key = from;
  for (const auto& part : path) {
    auto child = key->children.find(host::WideLower(part));
    if (child == key->children.end()) return nullptr;
    key = child->second;
  }
  return key;
}

Key* Create(Key* from, const std::vector<std::u16string>& path) {
  Key* key = from;
  for (const auto& part : path) {
    std::shared_ptr<Key>& child = key->children[host::WideLower(part)];
    if (!child) {
      child = std::make_shared<Key>();
      child->name = part;
    }
    key = child.get();
  }
  return key;
}

void Delete(const std::shared_ptr<Key>& root, const std::vector<std::u16string>& path) {
  if (path.empty()) return;
  std::vector<std::u16string> parentPath(path.begin(), path.end() - 1);
  std::shared_ptr<Key> parent = Find(root, parentPath);
  if (parent == nullptr) return;
  auto child = parent->children.find(host::WideLower(path.back()));
  if (child == parent->children.end()) return;
  MarkDeleted(child->second.get());
  parent->children.erase(child);
}

void Set(Key* key, const std::u16string& name, DWORD type, const std::vector<BYTE>& data) {
  Value& value = key->values[host::WideLower(name)];
  if (value.name.empty()) value.name = name;
  value.type = type;
  value.data = data;
}

void AppendWide(std::vector<BYTE>* bytes, const std::u16string& text) {
  for (char16_t unit : text) {
    bytes->push_back(static_cast<BYTE>(unit & 0xff));
    bytes->push_back(static_cast<BYTE>(unit >> 8));
  }
  bytes->push_back(0);
  bytes->push_back(0);
}

// The key a handle stands for, or null with *error set. Mutex held.
std::shared_ptr<Key> KeyOf(Registry& registry, HKEY handle, LONG* error) {
  if (handle == HKEY_LOCAL_MACHINE) return registry.root;
  auto found = registry.open.find(reinterpret_cast<uintptr_t>(handle));
  if (found == registry.open.end()) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (found->second->deleted) {
    *error = ERROR_KEY_DELETED;
    return nullptr;
  }
  return found->second;
}

}  // namespace

// ---- The program's operations -----------------------------------------------

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  // The handheld takes no options and grants every access asked for.
  (void)options;
  (void)access;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Registry& registry = State();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    LONG error = ERROR_SUCCESS;
    std::shared_ptr<Key> from = KeyOf(registry, key, &error);
    if (!from) return error;
    std::vector<std::u16string> path;
    if (!SplitProgramPath(subKey, &path)) return ERROR_FILE_NOT_FOUND;
    std::shared_ptr<Key> found = Find(from, path);
    if (!found) return ERROR_FILE_NOT_FOUND;
    uintptr_t value = host::NewHandleValue();
    registry.open[value] = found;
    *result = reinterpret_cast<HKEY>(value);
  }
  device::NotifyChanged();
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& registry = State();
  std::lock_guard<std::mutex> lock(registry.mutex);
  LONG error = ERROR_SUCCESS;
  std::shared_ptr<Key> from = KeyOf(registry, key, &error);
  if (!from) return error;
  auto found = from->values.find(host::WideLower(host::Wide(valueName)));
  if (found == from->values.end()) return ERROR_FILE_NOT_FOUND;
  const Value& value = found->second;
  DWORD needed = static_cast<DWORD>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data != nullptr && *dataSize < needed) {
    *dataSize = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && needed != 0) std::memcpy(data, value.data.data(), needed);
  if (dataSize != nullptr) *dataSize = needed;
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;  // predefined: never really open
  Registry& registry = State();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.open.erase(reinterpret_cast<uintptr_t>(key)) == 0) return ERROR_INVALID_HANDLE;
  }
  host::FreeHandleValue(reinterpret_cast<uintptr_t>(key));
  device::NotifyChanged();
  return ERROR_SUCCESS;
}

// ---- The device side ------------------------------------------------------------

namespace host {

void ResetRegistry() {
  Registry& registry = State();
  std::vector<uintptr_t> values;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    MarkDeleted(registry.root.get());
    registry.root = std::make_shared<Key>();
    for (const auto& entry : registry.open) values.push_back(entry.first);
    registry.open.clear();
  }
  for (uintptr_t value : values) FreeHandleValue(value);
  device::NotifyChanged();
}

void ApplyRegChanges(const std::vector<RegChange>& changes) {
  Registry& registry = State();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    const std::shared_ptr<Key>& root = registry.root;
    for (const RegChange& change : changes) {
      switch (change.kind) {
        case RegChange::CreateKey:
          Create(root.get(), change.path);
          break;
        case RegChange::DeleteKey:
          Delete(root, change.path);
          break;
        case RegChange::SetValue:
          Set(Create(root.get(), change.path), change.name, change.type, change.data);
          break;
        case RegChange::DeleteValue:
          if (std::shared_ptr<Key> key = Find(root, change.path)) key->values.erase(WideLower(change.name));
          break;
      }
    }
  }
  device::NotifyChanged();
}

}  // namespace host

namespace device {

void RegistryClear() {
  Registry& registry = State();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    MarkDeleted(registry.root.get());
    registry.root = std::make_shared<Key>();
  }
  device::NotifyChanged();
}

void RegistryCreateKey(const std::u16string& path) {
  Registry& registry = State();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    Create(registry.root.get(), SplitDevicePath(path));
  }
  device::NotifyChanged();
}

void RegistrySetValue(const std::u16string& path, const std::u16string& name, DWORD type,
                      const std::vector<BYTE>& data) {
  Registry& registry = State();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    Set(Create(registry.root.get(), SplitDevicePath(path)), name, type, data);
  }
  device::NotifyChanged();
}

void RegistrySetString(const std::u16string& path, const std::u16string& name, const std::u16string& value) {
  std::vector<BYTE> data;
  AppendWide(&data, value);
  RegistrySetValue(path, name, REG_SZ, data);
}

void RegistrySetMultiString(const std::u16string& path, const std::u16string& name,
                            const std::vector<std::u16string>& strings) {
  std::vector<BYTE> data;
  for (const auto& text : strings) AppendWide(&data, text);
  data.push_back(0);  // the empty string that ends the list
  data.push_back(0);
  RegistrySetValue(path, name, REG_MULTI_SZ, data);
}

void RegistrySetDword(const std::u16string& path, const std::u16string& name, DWORD value) {
  std::vector<BYTE> data = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                            static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
  RegistrySetValue(path, name, REG_DWORD, data);
}

int OpenRegistryKeys() {
  Registry& registry = State();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return static_cast<int>(registry.open.size());
}

}  // namespace device
