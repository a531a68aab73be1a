// An in-memory registry with the seven operations of registry/registry.h.
//
// It behaves like the Windows registry wherever the scheme code could tell
// the difference: one tree below HKEY_CLASSES_ROOT, names compared without
// regard to case but kept as created, handles that remember their key and
// access, Win32 error codes. Tests steer it through memory_registry.h.
#include "registry/memory_registry.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <utility>

#include "registry/shown_bytes.h"

namespace memory_registry {
namespace {

// Windows limits a key name to 255 characters and a value name to 16383.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

// The registry folds case over all of Unicode; every name this system uses
// is ASCII, so folding ASCII is all a test could observe.
std::string foldCase(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

struct Node {
  std::string name;
  // Kept, not derived: a deleted key's parent may be gone.
  std::string path;
  std::map<std::string, Value> values;                   // by folded name
  std::map<std::string, std::shared_ptr<Node>> subkeys;  // by folded name
  // Valid while the key is in the tree.
  Node* parent = nullptr;
  bool deleted = false;
};

struct OpenHandle {
  std::shared_ptr<Node> node;
  REGSAM access;
};

struct Fault {
  Operation operation;
  std::string foldedKeyPath;
  LONG error;
};

struct State {
  std::shared_ptr<Node> root = std::make_shared<Node>();
  std::map<uintptr_t, OpenHandle> handles;
  uintptr_t nextHandle = 0x1000;
  std::vector<Call> calls;
  std::vector<Fault> faults;
  std::map<int, LONG> nthFaults;
  std::function<void()> afterCall;
};

State& state() {
  static State s;
  return s;
}

bool isRoot(HKEY key) { return key == HKEY_CLASSES_ROOT; }

// The node a handle stands for; null for an unknown or closed handle.
// `access` receives the handle's access mask.
std::shared_ptr<Node> resolve(HKEY key, REGSAM* access) {
  State& s = state();
  if (isRoot(key)) {
    *access = KEY_ALL_ACCESS;
    return s.root;
  }
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(key));
  if (it == s.handles.end()) return nullptr;
  *access = it->second.access;
  return it->second.node;
}

std::string handleText(HKEY key) {
  if (isRoot(key)) return "HKEY_CLASSES_ROOT";
  REGSAM access;
  std::shared_ptr<Node> node = resolve(key, &access);
  return node ? "<" + node->path + ">" : "<invalid>";
}

std::string joinPath(const std::string& parent, const std::string& child) {
  if (parent.empty()) return child;
  if (child.empty()) return parent;
  return parent + "\\" + child;
}

std::string quotedOrNull(const char* text) { return text ? shownBytes(text) : "NULL"; }

std::string hex(DWORD value) {
  char buffer[16];
  const int length = std::snprintf(buffer, sizeof buffer, "0x%x", value);
  return std::string(buffer, length);
}

std::string typeName(DWORD type) {
  switch (type) {
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    default:
      return "type " + std::to_string(type);
  }
}

// Encodes wide text as UTF-8, the form every name is kept in here.
std::string toUtf8(const wchar_t* wide) {
  std::string out;
  for (; *wide; ++wide) {
    // A wchar_t, not a char: a negative one becomes a value above 0x10FFFF,
    // replaced below.
    // NOLINTNEXTLINE(bugprone-signed-char-misuse)
    uint32_t c = static_cast<uint32_t>(*wide);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && wide[1] >= 0xDC00 &&
        wide[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(wide[1]) - 0xDC00);
      ++wide;
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
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

// Decodes UTF-8 into wide units, as Windows turns a narrow string value
// into the wide one that RegQueryValueExW returns; a byte that does not
// decode becomes U+FFFD.
std::wstring toWide(const std::string& narrow) {
  std::wstring out;
  for (size_t i = 0; i < narrow.size();) {
    const unsigned char lead = static_cast<unsigned char>(narrow[i]);
    const size_t length = lead < 0x80   ? 1
                          : lead < 0xC2 ? 0
                          : lead < 0xE0 ? 2
                          : lead < 0xF0 ? 3
                          : lead < 0xF5 ? 4
                                        : 0;
    uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    bool valid = length != 0 && i + length <= narrow.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(narrow[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && c >= least[length] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    if (!valid) {
      out += static_cast<wchar_t>(0xFFFD);
      ++i;
      continue;
    }
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
    i += length;
  }
  return out;
}

// Splits a relative key path into its levels. An empty path names the key
// itself; an empty level or one over the length limit makes it malformed.
LONG splitPath(const std::string& path, std::vector<std::string>* levels) {
  levels->clear();
  if (path.empty()) return ERROR_SUCCESS;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    std::string level = path.substr(start, end == std::string::npos ? end : end - start);
    if (level.empty()) return ERROR_BAD_PATHNAME;
    if (level.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    levels->push_back(level);
    if (end == std::string::npos) return ERROR_SUCCESS;
    start = end + 1;
  }
}

std::shared_ptr<Node> findChild(const std::shared_ptr<Node>& node, const std::string& name) {
  auto it = node->subkeys.find(foldCase(name));
  return it == node->subkeys.end() ? nullptr : it->second;
}

std::shared_ptr<Node> createPath(std::shared_ptr<Node> node,
                                 const std::vector<std::string>& levels) {
  for (const std::string& level : levels) {
    std::shared_ptr<Node>& child = node->subkeys[foldCase(level)];
    if (!child) {
      child = std::make_shared<Node>();
      child->name = level;
      child->path = joinPath(node->path, level);
      child->parent = node.get();
    }
    node = child;
  }
  return node;
}

void markDeleted(Node* node) {
  node->deleted = true;
  for (auto& entry : node->subkeys) markDeleted(entry.second.get());
}

HKEY newHandle(const std::shared_ptr<Node>& node, REGSAM access) {
  State& s = state();
  uintptr_t id = s.nextHandle;
  s.nextHandle += 4;  // never reused before reset, so a stale handle stays invalid
  s.handles[id] = OpenHandle{node, access};
  return reinterpret_cast<HKEY>(id);
}

// Counts the call and tells whether a fault was set for it: the error to
// return, or ERROR_SUCCESS to go on.
LONG injectedFault(Operation operation, const std::string& keyPath) {
  State& s = state();
  int n = static_cast<int>(s.calls.size()) + 1;
  auto nth = s.nthFaults.find(n);
  if (nth != s.nthFaults.end()) return nth->second;
  std::string folded = foldCase(keyPath);
  for (const Fault& fault : s.faults) {
    if (fault.operation == operation && fault.foldedKeyPath == folded) return fault.error;
  }
  return ERROR_SUCCESS;
}

LONG record(Operation operation, const std::string& text, LONG result) {
  State& s = state();
  s.calls.push_back(Call{operation, text + " = " + std::to_string(result)});
  if (s.afterCall) s.afterCall();
  return result;
}

// What the two open calls share once the path is narrow text.
LONG openKey(Operation operation, const std::string& callName, HKEY key, const std::string& subKey,
             const std::string& shownSubKey, DWORD options, REGSAM access, PHKEY result) {
  REGSAM parentAccess;
  std::shared_ptr<Node> parent = resolve(key, &parentAccess);
  std::string keyPath = parent ? joinPath(parent->path, subKey) : subKey;
  std::string text = callName + "(" + handleText(key) + ", " + shownSubKey + ", " +
                     std::to_string(options) + ", " + hex(access) + ", &key)";
  if (LONG fault = injectedFault(operation, keyPath)) {
    return record(operation, text, fault);
  }
  if (result == nullptr) return record(operation, text, ERROR_INVALID_PARAMETER);
  if (!parent) return record(operation, text, ERROR_INVALID_HANDLE);
  if (parent->deleted) return record(operation, text, ERROR_KEY_DELETED);
  std::vector<std::string> levels;
  if (LONG error = splitPath(subKey, &levels)) return record(operation, text, error);
  std::shared_ptr<Node> node = parent;
  for (const std::string& level : levels) {
    node = findChild(node, level);
    if (!node) return record(operation, text, ERROR_FILE_NOT_FOUND);
  }
  *result = newHandle(node, access);
  return record(operation, text, ERROR_SUCCESS);
}

// Fills a query's outputs from `value` and gives its result. Strings stored
// through the narrow interface come back wide, as Windows converts them;
// other values come back as they were stored. A buffer too small gets the
// leading bytes: Windows leaves its contents undefined then.
LONG answerQuery(const Value& value, LPDWORD type, BYTE* data, LPDWORD size) {
  std::string bytes = value.bytes;
  const bool isString =
      value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
  if (isString && !value.wide) {
    const std::wstring wide = toWide(value.bytes);
    bytes.assign(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
  }
  if (type) *type = value.type;
  if (size == nullptr) return ERROR_SUCCESS;
  const DWORD capacity = *size;
  *size = static_cast<DWORD>(bytes.size());
  if (data == nullptr) return ERROR_SUCCESS;
  std::copy_n(bytes.begin(), std::min<size_t>(capacity, bytes.size()), data);
  return capacity < bytes.size() ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

void collect(const Node& node, std::vector<Key>* keys) {
  for (const auto& entry : node.subkeys) {
    const Node& child = *entry.second;
    Key key{child.path, {}};
    for (const auto& value : child.values) key.values.push_back(value.second);
    keys->push_back(key);
    collect(child, keys);
  }
}

void seed(const std::string& keyPath, const Value& value) {
  std::vector<std::string> levels;
  if (splitPath(keyPath, &levels) != ERROR_SUCCESS) return;
  createPath(state().root, levels)->values[foldCase(value.name)] = value;
}

}  // namespace

void reset() { state() = State(); }

void seedKey(const std::string& path) {
  std::vector<std::string> levels;
  if (splitPath(path, &levels) == ERROR_SUCCESS) createPath(state().root, levels);
}

void seedValue(const std::string& keyPath, const std::string& name, DWORD type,
               const std::string& bytes) {
  seed(keyPath, Value{name, type, bytes});
}

void seedWideValue(const std::string& keyPath, const std::string& name, DWORD type,
                   const std::string& bytes) {
  seed(keyPath, Value{name, type, bytes, true});
}

std::vector<Key> tree() {
  std::vector<Key> keys;
  collect(*state().root, &keys);
  return keys;
}

std::string treeText() {
  std::string text;
  for (const Key& key : tree()) {
    text += key.path + "\n";
    for (const Value& value : key.values) {
      text += "  " + (value.name.empty() ? std::string("@") : shownBytes(value.name)) + " = " +
              typeName(value.type) + " " + shownBytes(value.bytes) + "\n";
    }
  }
  return text;
}

void failCall(Operation operation, const std::string& keyPath, LONG error) {
  state().faults.push_back(Fault{operation, foldCase(keyPath), error});
}

void failNthCall(int n, LONG error) { state().nthFaults[n] = error; }

void afterEachCall(std::function<void()> hook) { state().afterCall = std::move(hook); }

int openHandleCount() { return static_cast<int>(state().handles.size()); }

const std::vector<Call>& calls() { return state().calls; }

std::string callsText() {
  std::string text;
  for (const Call& call : state().calls) text += call.text + "\n";
  return text;
}

}  // namespace memory_registry

// The registry functions are defined at global scope, as Windows declares
// them; their bodies use the registry's internals by their short names.
using memory_registry::Node;
using memory_registry::Operation;

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  std::string path = subKey ? memory_registry::toUtf8(subKey) : "";
  std::string shown = subKey ? "L" + shownBytes(path) : "NULL";
  return memory_registry::openKey(Operation::OpenKeyW, "RegOpenKeyExW", key, path, shown, options,
                                  access, result);
}

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  return memory_registry::openKey(Operation::OpenKeyA, "RegOpenKeyExA", key, subKey ? subKey : "",
                                  memory_registry::quotedOrNull(subKey), options, access, result);
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     // NOLINTNEXTLINE(readability-non-const-parameter): Windows' signature
                     LPDWORD disposition) {
  using namespace memory_registry;  // NOLINT(google-build-using-namespace): as said above
  REGSAM parentAccess;
  std::shared_ptr<Node> parent = resolve(key, &parentAccess);
  std::string path = subKey ? subKey : "";
  std::string keyPath = parent ? joinPath(parent->path, path) : path;
  std::string text = "RegCreateKeyExA(" + handleText(key) + ", " + quotedOrNull(subKey) + ", " +
                     std::to_string(reserved) + ", " + quotedOrNull(keyClass) + ", " +
                     std::to_string(options) + ", " + hex(access) + ", " +
                     (security ? "&security" : "NULL") + ", &key, " +
                     (disposition ? "&disposition" : "NULL") + ")";
  const Operation op = Operation::CreateKey;
  if (LONG fault = injectedFault(op, keyPath)) return record(op, text, fault);
  if (result == nullptr || reserved != 0) return record(op, text, ERROR_INVALID_PARAMETER);
  if (!parent) return record(op, text, ERROR_INVALID_HANDLE);
  if (parent->deleted) return record(op, text, ERROR_KEY_DELETED);
  std::vector<std::string> levels;
  if (LONG error = splitPath(path, &levels)) return record(op, text, error);
  if (!levels.empty() && !(parentAccess & KEY_CREATE_SUB_KEY)) {
    return record(op, text, ERROR_ACCESS_DENIED);
  }
  *result = newHandle(createPath(parent, levels), access);
  return record(op, text, ERROR_SUCCESS);
}

// NOLINTNEXTLINE(readability-non-const-parameter): Windows' signature
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                      LPDWORD size) {
  using namespace memory_registry;  // NOLINT(google-build-using-namespace): as said above
  REGSAM access = 0;
  std::shared_ptr<Node> node = resolve(key, &access);
  std::string keyPath = node ? node->path : "";
  std::string name = valueName ? toUtf8(valueName) : "";
  std::string text = "RegQueryValueExW(" + handleText(key) + ", " +
                     (valueName ? "L" + shownBytes(name) : std::string("NULL")) + ", " +
                     (reserved ? "&reserved" : "NULL") + ", " + (type ? "&type" : "NULL") + ", " +
                     (data ? "&data" : "NULL") + ", " +
                     (size ? std::to_string(*size) : std::string("NULL")) + ")";
  const Operation op = Operation::QueryValue;
  const Value* value = nullptr;
  if (node && !node->deleted) {
    const auto found = node->values.find(foldCase(name));
    if (found != node->values.end()) value = &found->second;
  }
  if (LONG fault = injectedFault(op, keyPath)) {
    // Windows promises nothing of a failed query's outputs; filled, they
    // show a caller that reads them all the same.
    if (value && (data == nullptr || size != nullptr)) answerQuery(*value, type, data, size);
    return record(op, text, fault);
  }
  if (!node) return record(op, text, ERROR_INVALID_HANDLE);
  if (node->deleted) return record(op, text, ERROR_KEY_DELETED);
  if (!(access & KEY_QUERY_VALUE)) return record(op, text, ERROR_ACCESS_DENIED);
  if (reserved != nullptr || (data != nullptr && size == nullptr)) {
    return record(op, text, ERROR_INVALID_PARAMETER);
  }
  if (!value) return record(op, text, ERROR_FILE_NOT_FOUND);
  return record(op, text, answerQuery(*value, type, data, size));
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
  using namespace memory_registry;  // NOLINT(google-build-using-namespace): as said above
  REGSAM access = 0;
  std::shared_ptr<Node> node = resolve(key, &access);
  std::string keyPath = node ? node->path : "";
  std::string bytes = data ? std::string(reinterpret_cast<const char*>(data), size) : "";
  std::string text = "RegSetValueExA(" + handleText(key) + ", " + quotedOrNull(valueName) + ", " +
                     std::to_string(reserved) + ", " + typeName(type) + ", " + shownBytes(bytes) +
                     ", " + std::to_string(size) + ")";
  const Operation op = Operation::SetValue;
  if (LONG fault = injectedFault(op, keyPath)) return record(op, text, fault);
  if (!node) return record(op, text, ERROR_INVALID_HANDLE);
  if (node->deleted) return record(op, text, ERROR_KEY_DELETED);
  if (!(access & KEY_SET_VALUE)) return record(op, text, ERROR_ACCESS_DENIED);
  std::string name = valueName ? valueName : "";
  if (reserved != 0 || (data == nullptr && size != 0) || name.size() > kMaxValueNameLength) {
    return record(op, text, ERROR_INVALID_PARAMETER);
  }
  // Replacing a value keeps the name as it was first written.
  auto existing = node->values.find(foldCase(name));
  if (existing != node->values.end()) name = existing->second.name;
  node->values[foldCase(name)] = Value{name, type, bytes};
  return record(op, text, ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key) {
  using namespace memory_registry;  // NOLINT(google-build-using-namespace): as said above
  State& s = state();
  REGSAM access;
  std::shared_ptr<Node> node = resolve(key, &access);
  std::string keyPath = node ? node->path : "";
  std::string text = "RegCloseKey(" + handleText(key) + ")";
  const Operation op = Operation::CloseKey;
  LONG fault = injectedFault(op, keyPath);
  if (isRoot(key)) return record(op, text, fault);
  // A close that fails still ends the handle: a caller has nothing left to do with it.
  bool known = s.handles.erase(reinterpret_cast<uintptr_t>(key)) > 0;
  if (fault) return record(op, text, fault);
  return record(op, text, known ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
}

LONG RegDeleteTreeA(HKEY key, LPCSTR subKey) {
  using namespace memory_registry;  // NOLINT(google-build-using-namespace): as said above
  REGSAM access;
  std::shared_ptr<Node> parent = resolve(key, &access);
  std::string path = subKey ? subKey : "";
  std::string keyPath = parent ? joinPath(parent->path, path) : path;
  std::string text = "RegDeleteTreeA(" + handleText(key) + ", " + quotedOrNull(subKey) + ")";
  const Operation op = Operation::DeleteTree;
  if (LONG fault = injectedFault(op, keyPath)) return record(op, text, fault);
  if (!parent) return record(op, text, ERROR_INVALID_HANDLE);
  if (parent->deleted) return record(op, text, ERROR_KEY_DELETED);
  std::vector<std::string> levels;
  if (LONG error = splitPath(path, &levels)) return record(op, text, error);
  std::shared_ptr<Node> node = parent;
  for (const std::string& level : levels) {
    node = findChild(node, level);
    if (!node) return record(op, text, ERROR_FILE_NOT_FOUND);
  }
  if (levels.empty()) {
    // With no subkey the key itself stays; only what it holds goes.
    for (auto& entry : node->subkeys) markDeleted(entry.second.get());
    node->subkeys.clear();
    node->values.clear();
  } else {
    markDeleted(node.get());
    node->parent->subkeys.erase(foldCase(node->name));
  }
  return record(op, text, ERROR_SUCCESS);
}
