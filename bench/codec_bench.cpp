// Block codec benchmark: codes every file of a corpus directory in 1 MiB blocks,
// checks the round trip, and prints per file (category) and in total the compressed
// size and the compression and decompression speeds, beside bzip2 -9 and xz -6 run on
// the same files in the same run. Speeds are per second of processor time (user +
// system), so that a busy machine distorts them less than wall time would.
//
//   codec_bench CORPUS_DIR [--no-external]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#include "codec/gfl_exception.h"
#include "codec/block_codec.h"

namespace {

double ProcessSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double ChildSeconds() {
  rusage u;
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

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

long FileSize(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fclose(f);
  return size;
}

struct Result {
  double size = 0, compress_s = 0, decompress_s = 0;
};

// Runs a shell command and returns the processor time of its processes, or -1 when it fails.
double Timed(const std::string& command) {
  const double start = ChildSeconds();
  const int rc = std::system(command.c_str());
  return rc == 0 ? ChildSeconds() - start : -1.0;
}

Result External(const std::string& tool, const std::string& level, const std::string& file,
                const std::string& work) {
  Result r;
  const std::string packed = work + "/packed";
  r.compress_s = Timed(tool + " " + level + " -c '" + file + "' > '" + packed + "'");
  r.size = static_cast<double>(FileSize(packed));
  r.decompress_s = Timed(tool + " -d -c '" + packed + "' > /dev/null");
  std::remove(packed.c_str());
  return r;
}

struct Row {
  std::string name;
  double bytes = 0;
  Result ours, bzip2, xz;
  int stored = 0, fixed = 0, method = 0, noise = 0;
};

double MBps(double bytes, double s) { return s > 0 ? bytes / s / 1e6 : 0.0; }

void Print(const Row& r, bool external) {
  std::printf("%-12s %8.2f | %8.2f %6.3f %7.1f %7.1f", r.name.c_str(), r.bytes / 1048576.0,
              r.ours.size / 1048576.0, r.ours.size / r.bytes, MBps(r.bytes, r.ours.compress_s),
              MBps(r.bytes, r.ours.decompress_s));
  if (external) {
    std::printf(" | %8.2f %6.1f %6.1f | %8.2f %6.1f %6.1f | %5.3f", r.bzip2.size / 1048576.0,
                MBps(r.bytes, r.bzip2.compress_s), MBps(r.bytes, r.bzip2.decompress_s),
                r.xz.size / 1048576.0, MBps(r.bytes, r.xz.compress_s),
                MBps(r.bytes, r.xz.decompress_s), r.ours.size / r.bzip2.size);
  }
  std::printf("   [GCF0 %d GCF1 %d GCF2 %d noise %d]\n", r.stored, r.fixed, r.method, r.noise);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: codec_bench CORPUS_DIR [--no-external]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const bool external = !(argc > 2 && std::strcmp(argv[2], "--no-external") == 0);
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
  char work_template[] = "/tmp/codec_bench_XXXXXX";
  const char* work = mkdtemp(work_template);
  if (work == nullptr) return 2;

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
    size_t read = 0, out = 0;
    start = ProcessSeconds();
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
      return 1;
    }
    end = ProcessSeconds();
    row.ours.decompress_s = (end - start);
    if (out != data.size() || back != data) {
      std::fprintf(stderr, "%s: round trip differs\n", name.c_str());
      return 1;
    }
    if (external) {
      row.bzip2 = External("bzip2", "-9", path, work);
      row.xz = External("xz", "-6 -T1", path, work);
    }
    total.bytes += row.bytes;
    for (auto p : {&Row::ours, &Row::bzip2, &Row::xz}) {
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
  rmdir(work);

  std::printf("%-12s %8s | %8s %6s %7s %7s", "category", "MiB", "ours MiB", "ratio", "c MB/s",
              "d MB/s");
  if (external)
    std::printf(" | %8s %6s %6s | %8s %6s %6s | %5s", "bzip2", "c", "d", "xz -6", "c", "d",
                "/bz2");
  std::printf("\n");
  for (const Row& r : rows) Print(r, external);
  Print(total, external);
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory of the benchmark process: %.1f MiB (corpus file and frames included)\n",
              usage.ru_maxrss / 1024.0);
  return 0;
}
