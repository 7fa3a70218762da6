// Throughput of the codec primitives: whole-file SHA-512 (beside the system's sha512sum
// where there is one), CRC-32 (each update path, beside zlib where linked) and the
// archive cipher.
//
// Usage: codec1_bench [FILE]   FILE is created (256 MiB) when missing and removed after.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/archive_cipher.h"
#include "codec/crc32.h"
#include "codec/crc32_paths.h"
#include "codec/sha512.h"
#include "codec/sha512_paths.h"

#ifdef GU_BENCH_WITH_ZLIB
#include <zlib.h>
#endif
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/time.h>
#else
#include <windows.h>
#endif

namespace {

constexpr size_t kFileSize = size_t(256) << 20;
constexpr size_t kBufferSize = size_t(64) << 20;
constexpr int kRounds = 5;

#ifdef _WIN32
double ProcessTime() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1.0;
  auto sec = [](const FILETIME& t) {
    return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 1e-7;
  };
  return sec(kernel) + sec(user);
}

double CounterTime() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? double(f.QuadPart) : 0.0;
  }();
  LARGE_INTEGER c;
  if (frequency > 0 && QueryPerformanceCounter(&c)) return double(c.QuadPart) / frequency;
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Whether the process times move at all within a second of work (under Wine they move in
// scheduler ticks, or not at all for a short process); otherwise the wall clock is read.
bool ProcessTimesMove() {
  static const bool moves = [] {
    const double p0 = ProcessTime();
    const double w0 = CounterTime();
    volatile uint32_t sink = 0;
    while (CounterTime() - w0 < 1.0) {
      for (int i = 0; i < 100000; ++i) sink = sink + uint32_t(i);
      if (p0 >= 0 && ProcessTime() > p0) return true;
    }
    return false;
  }();
  return moves;
}
#endif

// Processor time of this process and its finished children where the system keeps it,
// so that other load on the machine disturbs the figures less. Windows reads its process
// times when they move, else the performance counter (wall time).
double Now() {
#ifndef _WIN32
  struct rusage self, children;
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  auto sec = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
  return sec(self.ru_utime) + sec(self.ru_stime) + sec(children.ru_utime) +
         sec(children.ru_stime);
#else
  return ProcessTimesMove() ? ProcessTime() : CounterTime();
#endif
}

// Seconds per call of f, the best of `rounds`; each round calls f until at least
// kMinRoundSeconds have passed, so that a coarse clock still gives a finite, steady figure.
#ifdef _WIN32
constexpr double kMinRoundSeconds = 1.0;  // process times move in 15.6 ms ticks
#else
constexpr double kMinRoundSeconds = 0.25;
#endif

template <typename F>
double BestSeconds(int rounds, F&& f) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const double t0 = Now();
    int calls = 0;
    double t = 0;
    do {
      f();
      ++calls;
      t = Now() - t0;
    } while (t < kMinRoundSeconds);
    t /= calls;
    if (t < best) best = t;
  }
  return best;
}

void Report(const char* what, size_t bytes, double seconds) {
  std::printf("%-44s %9.1f MB/s\n", what, double(bytes) / seconds / 1e6);
}

std::vector<uint8_t> RandomBytes(size_t n) {
  std::vector<uint8_t> v(n);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    v[i] = static_cast<uint8_t>(x >> 32);
  }
  return v;
}

#ifdef _WIN32
// Windows builds take the whole-file digest from the platform layer; this loop reads
// the same 64 KiB pieces with stdio.
std::string FileDigest(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::string();
  std::vector<uint8_t> buf(65536);
  gca::Sha512Digest d;
  size_t got;
  while ((got = std::fread(buf.data(), 1, buf.size(), f)) != 0) {
    d.Update(buf.data(), static_cast<uint32_t>(got));
  }
  std::fclose(f);
  d.Finish();
  return d.HexText();
}
const char* const kFileDigestName = "Sha512Digest over 64 KiB stdio reads";
#else
std::string FileDigest(const std::string& path) { return FileSha512Hex(path); }
const char* const kFileDigestName = "FileSha512Hex";
#endif

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "codec1_bench.tmp";
  bool created = false;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
  } else {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
      std::fprintf(stderr, "cannot create %s\n", path.c_str());
      return 1;
    }
    const std::vector<uint8_t> chunk = RandomBytes(size_t(16) << 20);
    for (size_t done = 0; done < kFileSize; done += chunk.size()) {
      std::fwrite(chunk.data(), 1, chunk.size(), out);
    }
    std::fclose(out);
    created = true;
  }

  std::printf("file: %s (%zu MiB)\n", path.c_str(), kFileSize >> 20);
#ifdef _WIN32
  std::printf("clock: %s\n", ProcessTimesMove() ? "process times" : "performance counter (wall time)");
#else
  std::printf("clock: processor time (user + system)\n");
#endif
  std::string digest = FileDigest(path);  // warms the page cache
#ifndef _WIN32
  // Ours and the system tool take turns, so that changing load on the machine falls on
  // both alike; the best of five runs of each counts.
  const std::string command = "sha512sum '" + path + "'";
  std::string tool_digest;
  double sha_file = 1e30;
  double tool = 1e30;
  for (int round = 0; round < 5; ++round) {
    sha_file = std::min(sha_file, BestSeconds(1, [&] { digest = FileDigest(path); }));
    tool = std::min(tool, BestSeconds(1, [&] {
      tool_digest.clear();
      if (std::FILE* p = popen(command.c_str(), "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, p)) tool_digest.assign(line, 128);
        pclose(p);
      }
    }));
  }
  Report(kFileDigestName, kFileSize, sha_file);
  if (tool_digest.size() == 128) {
    Report("sha512sum (same file)", kFileSize, tool);
    std::printf("  ratio %.2fx, digests %s\n", tool / sha_file,
                tool_digest == digest ? "equal" : "DIFFER");
  }
#else
  const double sha_file = BestSeconds(3, [&] { digest = FileDigest(path); });
  Report(kFileDigestName, kFileSize, sha_file);
#endif

  std::vector<uint8_t> buffer = RandomBytes(kBufferSize);
  const uint32_t n = static_cast<uint32_t>(buffer.size());
  {
    std::string hex;
    const double t = BestSeconds(kRounds, [&] {
      gca::Sha512Digest d;
      d.Update(buffer.data(), n);
      d.Finish();
      hex = d.HexText();
    });
    Report("Sha512Digest::Update (memory)", n, t);
  }
  for (int p = 0; p < gca::sha512_paths::Count(); ++p) {
    const std::string name = std::string("  compression path ") + gca::sha512_paths::Name(p);
    if (!gca::sha512_paths::Available(p)) {
      std::printf("%-44s not supported here\n", name.c_str());
      continue;
    }
    uint64_t state[8] = {};
    const double t = BestSeconds(kRounds, [&] {
      gca::sha512_paths::CompressWith(p, state, buffer.data(), n / 128);
    });
    Report(name.c_str(), n, t);
  }

  gca::Crc32 crc;
  uint32_t ours = 0;
  const double crc_t = BestSeconds(kRounds, [&] { ours = crc.Update(buffer.data(), n, 0); });
  Report("Crc32::Update", n, crc_t);
  for (int p = 0; p < gca::crc32_paths::Count(); ++p) {
    const std::string name = std::string("  update path ") + gca::crc32_paths::Name(p);
    if (!gca::crc32_paths::Available(p)) {
      std::printf("%-44s not supported here\n", name.c_str());
      continue;
    }
    uint32_t value = 0;
    const double t = BestSeconds(kRounds, [&] {
      value = 0;
      gca::crc32_paths::UpdateWith(p, buffer.data(), n, &value);
    });
    Report(name.c_str(), n, t);
    if (value != ours) std::printf("  path %s gives a different CRC\n", gca::crc32_paths::Name(p));
  }
#ifdef GU_BENCH_WITH_ZLIB
  {
    uLong ref = 0;
    const double t = BestSeconds(kRounds, [&] { ref = ::crc32(0, buffer.data(), n); });
    Report("zlib crc32", n, t);
    std::printf("  ratio %.2fx, values %s\n", t / crc_t,
                static_cast<uint32_t>(ref) == ours ? "equal" : "DIFFER");
  }
#endif

  {
    gca::ArchiveCipher cipher;
    const double t = BestSeconds(kRounds, [&] {
      cipher.SetKey(gca::kDefaultArchiveKey);
      cipher.Encrypt(buffer.data(), static_cast<int32_t>(n));
    });
    Report("ArchiveCipher::Encrypt", n, t);
    // Small calls, as the archive reader makes them for frame heads.
    const double small = BestSeconds(kRounds, [&] {
      cipher.SetKey(gca::kDefaultArchiveKey);
      for (size_t at = 0; at + 13 <= buffer.size(); at += 13) {
        cipher.Encrypt(buffer.data() + at, 13);
      }
    });
    Report("ArchiveCipher::Encrypt (13-byte calls)", n, small);
  }

  if (created) std::remove(path.c_str());
  return 0;
}
