// What the processor offers the codecs' faster paths, probed once with CPUID. Code for an
// instruction set beyond the build's own sits only in functions named for it, and runs
// only where this says the processor (and, for AVX and AVX-512, the system) supports it.
#pragma once

namespace gca {

struct CpuFeatures {
  bool Mmx = false;
  bool Sse2 = false;
  bool Pclmul = false;    // carry-less multiply, with SSE2
  bool Avx = false;       // with the system saving the SSE and AVX register state
  bool Bmi2 = false;      // BMI1 and BMI2
  bool Avx512Vl = false;  // AVX-512 F and VL, with the system saving all of their state
};

// The answer of the first call, for the whole process; all false off x86.
const CpuFeatures& ProcessorFeatures();

}  // namespace gca
