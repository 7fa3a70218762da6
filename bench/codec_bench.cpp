// Block codec benchmark: codes every file of a corpus directory in 1 MiB blocks,
// checks the round trip, and prints per file (category) and in total the compressed
// size and the compression and decompression speeds, beside bzip2 -9, lbzip2 -9 (one
// thread) and xz -6 run on the same files in the same run where the system has them.
// Speeds are per second of processor time (user + system), so that a busy machine
// distorts them less than wall time would; decoding counts the best of several rounds.
//
//   codec_bench CORPUS_DIR [--no-external] [--rounds N]
//
// The Windows build runs without peers (under Wine their figures would be the host's).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ctime>
#endif

#include "codec/gfl_exception.h"
#include "codec/block_codec.h"

namespace {

double ProcessSeconds() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    auto sec = [](const FILETIME& t) {
      return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 1e-7;
    };
    return sec(kernel) + sec(user);
  }
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
#else
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
#endif
}

#ifndef _WIN32
double ChildSeconds() {
  rusage u;
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}
#endif

bool ReadFile(const std::string& path, std::vector<uint8_t>* data) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  data->clear();
  uint8_t buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), f)) > 0) data->insert(data->end(), buffer, buffer + got);
  std::fclose(f);
  return true;
}

#ifndef _WIN32
long FileSize(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fclose(f);
  return size;
}
#endif

struct Result {
  double size = 0, compress_s = 0, decompress_s = 0;
};

#ifndef _WIN32
bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command and returns the processor time of its processes, or -1 when it fails.
double Timed(const std::string& command) {
  const double start = ChildSeconds();
  const int rc = std::system(command.c_str());
  return rc == 0 ? ChildSeconds() - start : -1.0;
}

// The best of `rounds` decoding runs, like ours.
Result External(const std::string& tool, const std::string& level, const std::string& file,
                const std::string& work, int rounds) {
  Result r;
  const std::string packed = work + "/packed";
  r.compress_s = Timed(tool + " " + level + " -c '" + file + "' > '" + packed + "'");
  r.size = static_cast<double>(FileSize(packed));
  r.decompress_s = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const double t = Timed(tool + " -d -c '" + packed + "' > /dev/null");
    if (t < 0) {
      r.decompress_s = -1;
      break;
    }
    r.decompress_s = std::min(r.decompress_s, t);
  }
  std::remove(packed.c_str());
  return r;
}
#endif

struct Row {
  std::string name;
  double bytes = 0;
  Result ours, bzip2, lbzip2, xz;
  int stored = 0, fixed = 0, method = 0, noise = 0;
};

double MBps(double bytes, double s) { return s > 0 ? bytes / s / 1e6 : 0.0; }

struct Peer {
  const char* title;
  Result Row::*result;
  bool present;
};

void Print(const Row& r, const std::vector<Peer>& peers) {
  std::printf("%-12s %8.2f | %8.2f %6.3f %7.1f %7.1f", r.name.c_str(), r.bytes / 1048576.0,
              r.ours.size / 1048576.0, r.ours.size / r.bytes, MBps(r.bytes, r.ours.compress_s),
              MBps(r.bytes, r.ours.decompress_s));
  for (const Peer& p : peers) {
    if (!p.present) continue;
    const Result& x = r.*(p.result);
    std::printf(" | %8.2f %6.1f %6.1f", x.size / 1048576.0, MBps(r.bytes, x.compress_s),
                MBps(r.bytes, x.decompress_s));
  }
  if (!peers.empty() && peers[0].present && r.bzip2.size > 0)
    std::printf(" | %5.3f %5.2f %5.2f", r.ours.size / r.bzip2.size,
                r.bzip2.compress_s / r.ours.compress_s,
                r.bzip2.decompress_s / r.ours.decompress_s);
  std::printf("   [GCF0 %d GCF1 %d GCF2 %d noise %d]\n", r.stored, r.fixed, r.method, r.noise);
}

#ifndef _WIN32
std::string TempDir() {
  char work_template[] = "/tmp/codec_bench_XXXXXX";
  const char* work = mkdtemp(work_template);
  return work == nullptr ? std::string() : std::string(work);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: codec_bench CORPUS_DIR [--no-external] [--rounds N]\n");
    return 2;
  }
  const std::string dir = argv[1];
  bool external = true;
  int rounds = 3;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-external") == 0) external = false;
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
  }
#ifdef _WIN32
  external = false;
  (void)external;
#endif
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') files.push_back(e->d_name);
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "no files in %s\n", dir.c_str());
    return 2;
  }
  std::vector<Peer> peers;
  std::string work;
#ifndef _WIN32
  if (external) {
    work = TempDir();
    if (work.empty()) return 2;
    peers.push_back({"bzip2 -9", &Row::bzip2, HaveTool("bzip2")});
    peers.push_back({"lbzip2 -9 -n1", &Row::lbzip2, HaveTool("lbzip2")});
    peers.push_back({"xz -6", &Row::xz, HaveTool("xz")});
  }
#endif

  gca::BlockCodec codec;
  if (!codec.Allocate()) {
    std::fprintf(stderr, "allocation failed\n");
    return 1;
  }
  std::vector<Row> rows;
  Row total;
  total.name = "total";
  std::vector<uint8_t> data, frames, back;
  for (const std::string& name : files) {
    const std::string path = dir + "/" + name;
    if (!ReadFile(path, &data)) continue;
    Row row;
    row.name = name.substr(0, name.find('.'));
    row.bytes = static_cast<double>(data.size());
    frames.assign(data.size() + (data.size() / gca::kBlockSize + 1) * 64, 0);
    size_t framed = 0;
    double start = ProcessSeconds();
    for (size_t at = 0; at < data.size(); at += gca::kBlockSize) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(gca::kBlockSize, data.size() - at));
      const uint32_t length = codec.CompressBlock(data.data() + at, n, frames.data() + framed);
      const uint32_t magic = frames[framed + 3];
      if (magic == '0') ++row.stored;
      if (magic == '1') ++row.fixed;
      if (magic == '2') {
        ++row.method;
        if (frames[framed + 27] & 0x80) ++row.noise;
      }
      framed += length;
    }
    double end = ProcessSeconds();
    row.ours.compress_s = (end - start);
    row.ours.size = static_cast<double>(framed);

    back.assign(data.size(), 0);
    row.ours.decompress_s = 1e30;
    size_t out = 0;
    auto decode_all = [&]() -> bool {
      size_t read = 0;
      out = 0;
      try {
        while (read < framed) {
          const uint32_t len = std::min<uint32_t>(gca::kFrameBufferSize, static_cast<uint32_t>(framed - read));
          const uint8_t* f = frames.data() + read;
          const uint32_t n = codec.DecompressFrame(f, len, back.data() + out,
                                                   static_cast<uint32_t>(back.size() - out));
          uint32_t a = 0, b = 0;
          std::memcpy(&a, f + 16, 4);
          std::memcpy(&b, f + 20, 4);
          read += f[3] == '0' ? 8 + n : (f[3] == '1' ? 24 : 28) + size_t(a) + b;
          out += n;
        }
      } catch (const gca::GflException& e) {
        std::fprintf(stderr, "%s: decoding failed (code %u)\n", name.c_str(), e.Code);
        return false;
      }
      return true;
    };
    for (int round = 0; round < rounds; ++round) {
      // Short decodes (stored blocks) repeat until the clock has moved well past its
      // granularity; the time of one pass counts.
      start = ProcessSeconds();
      int passes = 0;
      double spent = 0;
      do {
        if (!decode_all()) return 1;
        ++passes;
        spent = ProcessSeconds() - start;
      } while (spent < 0.2);
      row.ours.decompress_s = std::min(row.ours.decompress_s, spent / passes);
      if (out != data.size() || back != data) {
        std::fprintf(stderr, "%s: round trip differs\n", name.c_str());
        return 1;
      }
    }
#ifndef _WIN32
    if (external) {
      if (peers[0].present) row.bzip2 = External("bzip2", "-9", path, work, rounds);
      if (peers[1].present) row.lbzip2 = External("lbzip2", "-9 -n1", path, work, rounds);
      if (peers[2].present) row.xz = External("xz", "-6 -T1", path, work, rounds);
    }
#endif
    total.bytes += row.bytes;
    for (auto p : {&Row::ours, &Row::bzip2, &Row::lbzip2, &Row::xz}) {
      (total.*p).size += (row.*p).size;
      (total.*p).compress_s += (row.*p).compress_s;
      (total.*p).decompress_s += (row.*p).decompress_s;
    }
    total.stored += row.stored;
    total.fixed += row.fixed;
    total.method += row.method;
    total.noise += row.noise;
    rows.push_back(row);
  }
#ifndef _WIN32
  if (!work.empty()) rmdir(work.c_str());
#endif

  std::printf("%-12s %8s | %8s %6s %7s %7s", "category", "MiB", "ours MiB", "ratio", "c MB/s",
              "d MB/s");
  for (const Peer& p : peers)
    if (p.present) std::printf(" | %-22s", p.title);
  if (!peers.empty() && peers[0].present) std::printf(" | size, c, d vs bzip2");
  std::printf("\n");
  for (const Row& r : rows) Print(r, peers);
  Print(total, peers);
  std::printf("speeds: MB of input per second of processor time; decoding: best of %d rounds\n",
              rounds);
#ifndef _WIN32
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory of the benchmark process: %.1f MiB (corpus file and frames included)\n",
              usage.ru_maxrss / 1024.0);
#endif
  return 0;
}
