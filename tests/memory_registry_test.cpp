// The in-memory registry must answer as the Windows registry does wherever
// the scheme code could tell the difference.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "registry/memory_registry.h"

namespace {

using memory_registry::Operation;

const auto kOtherRoot = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u));

LONG create(const char* path, HKEY* key) {
  return RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                         nullptr, key, nullptr);
}

LONG createAndClose(const char* path) {
  HKEY key = nullptr;
  LONG result = create(path, &key);
  if (result == ERROR_SUCCESS) RegCloseKey(key);
  return result;
}

LONG setString(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

class MemoryRegistryTest : public testing::Test {
 protected:
  void SetUp() override { memory_registry::reset(); }
};

TEST_F(MemoryRegistryTest, OnlyClassesRootIsARoot) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(kOtherRoot, "a", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(kOtherRoot, L"a", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCreateKeyExA(kOtherRoot, "a", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegDeleteTreeA(kOtherRoot, "a"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(memory_registry::treeText(), "");
}

TEST_F(MemoryRegistryTest, NamesIgnoreCaseButKeepIt) {
  HKEY key = nullptr;
  ASSERT_EQ(create("Zarvel\\Shell", &key), ERROR_SUCCESS);
  EXPECT_EQ(setString(key, "Name", "one"), ERROR_SUCCESS);
  EXPECT_EQ(setString(key, "NAME", "two"), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(createAndClose("ZARVEL\\shell\\Open"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"zarVEL\\SHELL", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(memory_registry::treeText(),
            "Zarvel\nZarvel\\Shell\n  \"Name\" = REG_SZ \"two\\0\"\nZarvel\\Shell\\Open\n");
}

TEST_F(MemoryRegistryTest, MalformedPathsFailAndCreateNothing) {
  const std::string longLevel(256, 'x');
  const struct {
    std::string path;
    LONG error;
  } cases[] = {
      {"a\\\\b", ERROR_BAD_PATHNAME},
      {"\\a", ERROR_BAD_PATHNAME},
      {"a\\", ERROR_BAD_PATHNAME},
      {"a\\" + longLevel, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(createAndClose(c.path.c_str()), c.error);
    EXPECT_EQ(memory_registry::treeText(), "");
  }
  EXPECT_EQ(createAndClose(("a\\" + std::string(255, 'x')).c_str()), ERROR_SUCCESS);
}

TEST_F(MemoryRegistryTest, CreatingAnExistingKeyKeepsWhatItHolds) {
  memory_registry::seedValue("a\\b", "v", REG_SZ, "x");
  EXPECT_EQ(createAndClose("a\\b"), ERROR_SUCCESS);
  EXPECT_EQ(memory_registry::treeText(), "a\na\\b\n  \"v\" = REG_SZ \"x\"\n");
}

TEST_F(MemoryRegistryTest, OpeningAMissingKeyFindsNothing) {
  memory_registry::seedKey("a");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "a\\b", 0, KEY_ALL_ACCESS, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"b", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(memory_registry::openHandleCount(), 0);
}

TEST_F(MemoryRegistryTest, WideAndNarrowPathsNameTheSameKey) {
  memory_registry::seedKey("C\xc5\x81\xc3\xb3");  // "CŁó" in UTF-8
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"C\u0141\u00f3", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"C\u0141o", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(MemoryRegistryTest, HandlesKeepTheirAccessAndLifetime) {
  memory_registry::seedKey("a\\b");
  HKEY readOnly = nullptr, writable = nullptr, child = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"a", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
  EXPECT_EQ(setString(readOnly, nullptr, "x"), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "a", 0, KEY_ALL_ACCESS, &writable), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "a\\b", 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
  EXPECT_EQ(memory_registry::openHandleCount(), 3);
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "A"), ERROR_SUCCESS);
  EXPECT_EQ(setString(writable, nullptr, "x"), ERROR_KEY_DELETED);
  EXPECT_EQ(setString(child, nullptr, "x"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(writable), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(child), ERROR_INVALID_HANDLE);
  EXPECT_EQ(setString(child, nullptr, "x"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(memory_registry::openHandleCount(), 0);
  EXPECT_EQ(memory_registry::treeText(), "");
}

TEST_F(MemoryRegistryTest, ValuesKeepTypeAndExactBytes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(create("k", &key), ERROR_SUCCESS);
  const BYTE binary[] = {0, 1, 0x7f, 0xff};
  EXPECT_EQ(RegSetValueExA(key, "bin", 0, REG_BINARY, binary, 4), ERROR_SUCCESS);
  EXPECT_EQ(setString(key, nullptr, "first"), ERROR_SUCCESS);
  EXPECT_EQ(setString(key, "", "second"), ERROR_SUCCESS);  // also the default value
  EXPECT_EQ(setString(key, "empty", ""), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(memory_registry::treeText(),
            "k\n"
            "  @ = REG_SZ \"second\\0\"\n"
            "  \"bin\" = REG_BINARY \"\\0\\x01\\x7f\xff\"\n"
            "  \"empty\" = REG_SZ \"\\0\"\n");
}

std::string bytesOf(const std::wstring& wide) {
  return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
}

// Strings stored through the narrow interface come back wide, as on
// Windows; one stored through the wide interface comes back as it is. A
// buffer too small is told the size it needs.
TEST_F(MemoryRegistryTest, QueryAnswersWithTypeSizeAndData) {
  const DWORD w = sizeof(wchar_t);
  const auto seed = [](DWORD type, const std::string& bytes) {
    return [=] { memory_registry::seedValue("k", "", type, bytes); };
  };
  const struct {
    const char* name;
    std::function<void()> prepare;
    DWORD room;  // bytes offered; 0: no data buffer
    LONG result;
    DWORD type;
    DWORD size;            // as returned
    std::string returned;  // the buffer's leading bytes afterwards
  } cases[] = {
      {"missing", [] {}, 2 * w, ERROR_FILE_NOT_FOUND, REG_NONE, 2 * w, bytesOf(std::wstring(2, 0))},
      {"fits", seed(REG_SZ, std::string("a\0", 2)), 2 * w, ERROR_SUCCESS, REG_SZ, 2 * w,
       bytesOf(std::wstring(L"a\0", 2))},
      {"too long, its start given", seed(REG_EXPAND_SZ, std::string("ab\0", 3)), 2 * w,
       ERROR_MORE_DATA, REG_EXPAND_SZ, 3 * w, bytesOf(L"ab")},
      {"size only", seed(REG_SZ, std::string("ab\0", 3)), 0, ERROR_SUCCESS, REG_SZ, 3 * w, ""},
      {"UTF-8 decoded", seed(REG_SZ, "\xc5\x81\xff"), 2 * w, ERROR_SUCCESS, REG_SZ, 2 * w,
       bytesOf(L"\u0141\ufffd")},
      {"multi-string decoded", seed(REG_MULTI_SZ, std::string("a\0b\0\0", 5)), 2 * w,
       ERROR_MORE_DATA, REG_MULTI_SZ, 5 * w, bytesOf(std::wstring(L"a\0", 2))},
      {"binary as stored", seed(REG_BINARY, "abcd"), 4, ERROR_SUCCESS, REG_BINARY, 4, "abcd"},
      {"stored wide, as it is", [] { memory_registry::seedWideValue("k", "", REG_SZ, "x"); }, 2 * w,
       ERROR_SUCCESS, REG_SZ, 1, std::string("x\0\0\0", 4)},
      {"failed, and answered all the same",
       [] {
         memory_registry::seedValue("k", "", REG_SZ, std::string("ab\0", 3));
         memory_registry::failCall(Operation::QueryValue, "k", ERROR_ACCESS_DENIED);
       },
       2 * w, ERROR_ACCESS_DENIED, REG_SZ, 3 * w, bytesOf(L"ab")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    memory_registry::reset();
    memory_registry::seedKey("k");
    c.prepare();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"k", 0, KEY_READ, &key), ERROR_SUCCESS);
    wchar_t buffer[4] = {};
    DWORD type = REG_NONE;
    DWORD size = c.room;
    BYTE* data = c.room ? reinterpret_cast<BYTE*>(buffer) : nullptr;
    EXPECT_EQ(RegQueryValueExW(key, L"", nullptr, &type, data, &size), c.result);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.size);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), c.returned.size()), c.returned);
    RegCloseKey(key);
  }
  // Reading needs a handle opened for it.
  HKEY writeOnly = nullptr;
  ASSERT_EQ(create("k", &writeOnly), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(writeOnly, nullptr, nullptr, nullptr, nullptr, &size),
            ERROR_ACCESS_DENIED);
  RegCloseKey(writeOnly);
}

TEST_F(MemoryRegistryTest, DeleteTreeTakesEverythingBelow) {
  memory_registry::seedValue("zarvel\\shell\\open\\command", "", REG_SZ, "x");
  memory_registry::seedValue("zarvel", "v", REG_SZ, "x");
  memory_registry::seedKey("zarvelous");
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "zarvel"), ERROR_SUCCESS);
  EXPECT_EQ(memory_registry::treeText(), "zarvelous\n");
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "zarvel"), ERROR_FILE_NOT_FOUND);
}

TEST_F(MemoryRegistryTest, FaultsHitTheChosenCallAndChangeNothing) {
  memory_registry::failNthCall(2, ERROR_ACCESS_DENIED);
  memory_registry::failCall(Operation::CreateKey, "B", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(createAndClose("a"), ERROR_SUCCESS);         // calls 1 and 2: the close fails
  EXPECT_EQ(createAndClose("a\\x"), ERROR_SUCCESS);      // calls 3 and 4
  EXPECT_EQ(createAndClose("b"), ERROR_FILE_NOT_FOUND);  // every create of "b"
  EXPECT_EQ(createAndClose("b"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(memory_registry::treeText(), "a\na\\x\n");
  EXPECT_EQ(memory_registry::openHandleCount(), 0);  // a failed close still ends the handle
  EXPECT_EQ(
      memory_registry::callsText(),
      "RegCreateKeyExA(HKEY_CLASSES_ROOT, \"a\", 0, NULL, 0, 0x20006, NULL, &key, NULL) = 0\n"
      "RegCloseKey(<a>) = 5\n"
      "RegCreateKeyExA(HKEY_CLASSES_ROOT, \"a\\x\", 0, NULL, 0, 0x20006, NULL, &key, NULL) = 0\n"
      "RegCloseKey(<a\\x>) = 0\n"
      "RegCreateKeyExA(HKEY_CLASSES_ROOT, \"b\", 0, NULL, 0, 0x20006, NULL, &key, NULL) = 2\n"
      "RegCreateKeyExA(HKEY_CLASSES_ROOT, \"b\", 0, NULL, 0, 0x20006, NULL, &key, NULL) = 2\n");
}

}  // namespace
