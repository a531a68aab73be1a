// Test control of the in-memory registry behind registry/registry.h on
// builds other than Windows. Only tests and test tools include this.
#ifndef ZARVEL_REGISTRY_MEMORY_REGISTRY_H_
#define ZARVEL_REGISTRY_MEMORY_REGISTRY_H_

#include <functional>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace memory_registry {

enum class Operation { OpenKeyW, OpenKeyA, CreateKey, QueryValue, SetValue, CloseKey, DeleteTree };

struct Value {
  std::string name;  // empty for the default value
  DWORD type;
  std::string bytes;
  // Stored through the wide interface: a query returns the bytes as they
  // are. A string stored through the narrow one comes back converted.
  bool wide = false;
};

struct Key {
  std::string path;  // backslash-separated, below HKEY_CLASSES_ROOT, as created
  std::vector<Value> values;
};

struct Call {
  Operation operation;
  std::string text;  // the call with its arguments and result, one line
};

// Empties the tree, closes every handle, forgets calls and faults.
void reset();

// Creates every missing level of `path`; no call is recorded.
void seedKey(const std::string& path);
// Creates `keyPath` as seedKey does and stores one value in it, as
// RegSetValueExA would; an empty name is the default value.
void seedValue(const std::string& keyPath, const std::string& name, DWORD type,
               const std::string& bytes);
// The same as another program's RegSetValueExW would store it: `bytes` are
// wide units and come back from RegQueryValueExW as they are, whatever
// their length.
void seedWideValue(const std::string& keyPath, const std::string& name, DWORD type,
                   const std::string& bytes);

// Every key below the root in name order, parents before children, each with
// its values in name order (the default value first).
std::vector<Key> tree();
// The same as text: a line per key, then a line per value indented by two
// spaces: `@ = REG_SZ "data\0"` or `"name" = REG_SZ "data\0"`. A zero byte
// shows as \0, other bytes below 0x20 and 0x7f as \xNN.
std::string treeText();

// Every later call of `operation` whose key path equals `keyPath` (compared
// as the registry compares names) fails with `error` and changes nothing.
// A failed query still fills its outputs as the value would: Windows
// promises nothing of them, and a caller that reads them after a failure is
// to be caught.
void failCall(Operation operation, const std::string& keyPath, LONG error);
// The nth registry call after reset (counting from 1) fails with `error`.
void failNthCall(int n, LONG error);

// Runs `hook` after every later call, once the call has had its effect:
// the tree it then sees is what a process ended right after that call
// leaves behind.
void afterEachCall(std::function<void()> hook);

// Handles handed out and not yet closed.
int openHandleCount();
// Every call made since reset, in order.
const std::vector<Call>& calls();
// The text of every call, one per line.
std::string callsText();

}  // namespace memory_registry

#endif  // ZARVEL_REGISTRY_MEMORY_REGISTRY_H_
