// The stack protector's runtime: the guard, its seed and the failure path,
// written so that nothing here loads a DLL.
//
// libssp, GCC's runtime for the stack protector, imports CryptGenRandom and
// its kin from advapi32, and RtlGenRandom is a forwarder to cryptbase.dll:
// Windows resolves such forwarders at start, from the program's folder
// first, which for an installer's elevated run may be Downloads
// (dll_search.cpp). So the guard, its seed and the failure path are the
// project's own.
#include <windows.h>

#include <cpuid.h>
#include <immintrin.h>

#include <cstdint>

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the
// names the compiler's checks and fortified functions call.
extern "C" {

// The value every protected function compares its frame's copy against. It
// is not zero before the seed is set, nor in a host that loads the image as a
// library, whose constructors then do not run: MSVC's default cookie.
#if UINTPTR_MAX == UINT32_MAX
std::uintptr_t __stack_chk_guard = 0xBB40E64E;
#else
std::uintptr_t __stack_chk_guard = 0x00002B992DDFA232;
#endif

[[noreturn]] void __stack_chk_fail();
// mingw-w64's fortified headers declare it first, and [[noreturn]] belongs on
// a first declaration only; the GNU attribute may repeat it.
__attribute__((noreturn)) void __chk_fail();
}

namespace {

// Ends the process at once, as MSVC's /GS does: the stack is not to be
// trusted, so no message, no runtime call and no unwinding. Windows reports
// either way as STATUS_STACK_BUFFER_OVERRUN.
[[noreturn]] __attribute__((no_stack_protector)) void failFast(unsigned code) {
  if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
    __asm__ volatile("int $0x29" : : "c"(code) : "memory");  // __fastfail
  }
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_trap();
}

// The CPU's random number instruction, where CPUID says it has one, with a
// few tries. 0 and all ones count as failures: some processors returned them
// after a firmware fault. 0 when there is none.
__attribute__((target("rdrnd"), no_stack_protector)) std::uintptr_t hardwareRandom() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_RDRND) == 0) return 0;
  for (int attempt = 0; attempt < 10; ++attempt) {
#if UINTPTR_MAX == UINT32_MAX
    unsigned value = 0;
    if (_rdrand32_step(&value) != 0 && value != 0 && value != ~0U) return value;
#else
    unsigned long long value = 0;  // NOLINT(google-runtime-int): the intrinsic's type
    if (_rdrand64_step(&value) != 0 && value != 0 && value != ~0ULL) return value;
#endif
  }
  return 0;
}

// What varies from run to run and cannot be read from outside in advance, as
// MSVC mixes it into its cookie, and a stack address, which ASLR moves: the
// guard changes from run to run even without the CPU's generator.
__attribute__((no_stack_protector)) std::uint64_t clocksAndIds() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  std::uint64_t mix = static_cast<std::uint64_t>(counter.QuadPart);
  mix ^= (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  mix ^= static_cast<std::uint64_t>(GetCurrentProcessId()) << 16;
  mix ^= static_cast<std::uint64_t>(GetCurrentThreadId()) << 40;
  mix ^= reinterpret_cast<std::uintptr_t>(&counter);
  return mix;
}

// Never zero: a zero guard would match a zeroed frame.
__attribute__((no_stack_protector)) std::uintptr_t guardSeed() {
  const std::uint64_t mix = clocksAndIds();
  const std::uintptr_t seed = hardwareRandom() ^ static_cast<std::uintptr_t>(mix ^ (mix >> 32));
  return seed != 0 ? seed : __stack_chk_guard;
}

// Priority 102: right after the DLL search is confined (dll_search.cpp, 101),
// before every other constructor, and so before main. Unprotected, as the
// guard changes under it.
__attribute__((constructor(102), no_stack_protector)) void seedGuard() {
  __stack_chk_guard = guardSeed();
}

}  // namespace

void __stack_chk_fail() { failFast(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE); }

void __chk_fail() { failFast(FAST_FAIL_RANGE_CHECK_FAILURE); }
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
