#include "codec/cpu_features.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace gca {
namespace {

CpuFeatures Probe() {
  CpuFeatures f;
#if defined(__i386__) || defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  // __get_cpuid_max first checks that CPUID exists (the ID flag can be toggled): the
  // oldest 32-bit processors have none.
  const unsigned max_leaf = __get_cpuid_max(0, nullptr);
  if (max_leaf == 0 || !__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return f;
  f.Mmx = (edx & (1u << 23)) != 0;
  f.Sse2 = (edx & (1u << 26)) != 0;
  f.Pclmul = f.Sse2 && (ecx & (1u << 1)) != 0;
  const bool os_saves_state = (ecx & (1u << 27)) != 0;  // OSXSAVE
  unsigned xcr0 = 0;
  if (os_saves_state) {
    unsigned xcr0_hi = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0_hi) : "c"(0));
  }
  // AVX also needs the system to save the SSE and AVX register state (XCR0 bits 1, 2).
  f.Avx = f.Sse2 && (ecx & (1u << 28)) != 0 && os_saves_state && (xcr0 & 6u) == 6u;
  if (max_leaf < 7) return f;
  unsigned ebx7 = 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx7, &ecx, &edx)) return f;
  f.Bmi2 = (ebx7 & (1u << 3)) != 0 && (ebx7 & (1u << 8)) != 0;
  // AVX-512: the system must save the SSE, AVX and all three AVX-512 parts of the state.
  f.Avx512Vl = f.Bmi2 && os_saves_state && (ebx7 & (1u << 16)) != 0 && (ebx7 & (1u << 31)) != 0 &&
               (xcr0 & 0xE6u) == 0xE6u;
#endif
  return f;
}

}  // namespace

const CpuFeatures& ProcessorFeatures() {
  static const CpuFeatures features = Probe();
  return features;
}

}  // namespace gca
