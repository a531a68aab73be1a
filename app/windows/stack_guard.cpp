// Seeds the stack protector's guard before anything it protects runs. libssp
// would seed it from CryptGenRandom, which loads the crypto provider, user32,
// gdi32 and version.dll on every run, and version.dll is looked for in the
// program's folder first. libssp leaves a guard that is already set alone;
// RtlGenRandom comes from advapi32, which the image imports anyway.
#include <windows.h>

#include <ntsecapi.h>

#include <cstdint>

// libssp's guard, which the compiler's checks compare against.
extern "C" void* __stack_chk_guard;  // NOLINT(bugprone-reserved-identifier)

namespace {

// Should RtlGenRandom fail: what varies from run to run and cannot be read
// from outside in advance, as MSVC mixes it into its cookie, and a stack
// address, which ASLR moves. Never zero.
__attribute__((no_stack_protector)) std::uintptr_t mixedClocksAndIds() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  std::uint64_t mix = static_cast<std::uint64_t>(counter.QuadPart);
  mix ^= (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  mix ^= static_cast<std::uint64_t>(GetCurrentProcessId()) << 16;
  mix ^= static_cast<std::uint64_t>(GetCurrentThreadId()) << 40;
  mix ^= reinterpret_cast<std::uintptr_t>(&counter);
  const auto guard = static_cast<std::uintptr_t>(mix ^ (mix >> 32));
  return guard != 0 ? guard : ~reinterpret_cast<std::uintptr_t>(&now);
}

// Priority 101, the first that programs may use: before every other
// constructor, and so before main.
__attribute__((constructor(101), no_stack_protector)) void seedStackGuard() {
  std::uintptr_t guard = 0;
  if (!RtlGenRandom(&guard, sizeof guard) || guard == 0) guard = mixedClocksAndIds();
  __stack_chk_guard = reinterpret_cast<void*>(guard);
}

}  // namespace
