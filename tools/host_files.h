// The builder's host file layer: write times and attributes in the updater's terms, the
// relative names of the trees (UTF-8, backslash-separated), the conversion of names to and
// from the code page the archive code takes them in, and whole-file reads, comparisons,
// digests and the final move of the output.
#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/payload_format.h"

namespace builder {

namespace fs = std::filesystem;

// Relative names inside the program: UTF-8, backslash-separated.
std::string RelativeName(const fs::path& relative);
fs::path FromUtf8(const std::string& utf8);

// Write time as a Windows file time (100 ns since 1601).
bool GetTime(const fs::path& path, uint64_t& time);
bool SetTime(const fs::path& path, uint64_t time);
// Windows attribute bits; on the host the read-only bit stands for a file without write
// permission.
uint32_t GetAttributes(const fs::path& path);
bool SetAttributes(const fs::path& path, uint32_t attributes);

// UTF-8 to the code page the archive code takes names in; empty when a character has no
// form there.
std::string ArchiveText(const std::string& utf8);
// A path as the archive code takes it: backslash-separated, in its code page.
std::string ArchivePath(const fs::path& path);
fs::path PathOfArchiveName(const fs::path& directory, const std::string& name);
std::string Utf8OfArchiveName(const std::string& name);
// Whether entry names can be converted to this code page here (0: the system's).
bool CheckCodePage(int code_page, std::string& error);

bool ReadWhole(const fs::path& path, std::vector<char>& bytes);
bool SameBytes(const fs::path& a, const fs::path& b, bool& same);
// Whether two files hold the same bytes in [from, to).
bool SameRange(const fs::path& a, const fs::path& b, uint64_t from, uint64_t to);
// SHA-512 of a file's bytes as hex text; empty when it cannot be read.
std::string FileDigest(const fs::path& path);
// Moves a finished file over the output, replacing an earlier one.
bool ReplaceOutput(const fs::path& from, const fs::path& to, std::string& error);
unsigned long ProcessId();

// A patch file for the shared payload readers.
class HostPayloadFile : public PayloadFile {
 public:
  explicit HostPayloadFile(fs::path path) : path_(std::move(path)) {}
  bool Open() override;
  uint64_t Size() override { return size_; }
  bool Seek(uint64_t position) override;
  uint32_t Read(void* buffer, uint32_t n) override;
  void Close() override { in_.close(); }

 private:
  fs::path path_;
  std::ifstream in_;
  uint64_t size_ = 0;
};

}  // namespace builder
