// The generated game of the updater tests: files with their times and read-only bits,
// data archives packed and read back, patches built with the patch builder, a recording
// UpdateUi and StartupHost, and the fixture that installs the old tree and runs the
// updater in-process.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>
#include "app/app_globals.h"
#include "app/file_retry.h"
#include "app/payload.h"
#include "app/startup.h"
#include "app/update_log.h"
#include "app/update_messages.h"
#include "app/update_space.h"
#include "app/update_ui.h"
#include "app/update_worker.h"
#include "archive/gca_archive.h"
#include "archive/notice_policy.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "tools/patch_builder.h"

namespace fs = std::filesystem;

namespace updater_fixture {

const char kTitle[] = "Sample Quest";
const std::string kKey = std::string("Software\\ORVANE\\") + kTitle;

// ---- files --------------------------------------------------------------------------

fs::path U8(const std::string& utf8) { return fs::u8path(utf8); }

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  SetFileAttributesW(path.wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint64_t WriteTimeOf(const fs::path& path) {
  HANDLE h = CreateFileW(path.wstring().c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  FILETIME t = {};
  GetFileTime(h, nullptr, nullptr, &t);
  CloseHandle(h);
  return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

void SetWriteTime(const fs::path& path, uint64_t time) {
  const DWORD attributes = GetFileAttributesW(path.wstring().c_str());
  SetFileAttributesW(path.wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
  HANDLE h = CreateFileW(path.wstring().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << path.u8string();
  FILETIME t = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  SetFileTime(h, nullptr, nullptr, &t);
  CloseHandle(h);
  SetFileAttributesW(path.wstring().c_str(), attributes);
}

uint32_t AttributesOf(const fs::path& path) { return GetFileAttributesW(path.wstring().c_str()); }
void SetReadOnly(const fs::path& path) { SetFileAttributesW(path.wstring().c_str(), FILE_ATTRIBUTE_READONLY); }

void RemoveAll(const fs::path& root) {
  std::error_code ec;
  if (!fs::exists(root, ec)) return;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    SetFileAttributesW(it->path().wstring().c_str(), it->is_directory() ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL);
  }
  fs::remove_all(root, ec);
}

// Copies a tree with its bytes, read-only bits and write times.
void CopyTree(const fs::path& from, const fs::path& to) {
  fs::create_directories(to);
  for (fs::recursive_directory_iterator it(from), end; it != end; ++it) {
    const fs::path target = to / fs::relative(it->path(), from);
    if (it->is_directory()) {
      fs::create_directories(target);
      continue;
    }
    Write(target, Read(it->path()));
    SetWriteTime(target, WriteTimeOf(it->path()));
    if (AttributesOf(it->path()) & FILE_ATTRIBUTE_READONLY) SetReadOnly(target);
  }
}

struct FileState {
  std::string Bytes;
  uint64_t WriteTime = 0;
  bool ReadOnly = false;
  bool operator==(const FileState& o) const { return Bytes == o.Bytes && WriteTime == o.WriteTime && ReadOnly == o.ReadOnly; }
};

// Every file of a tree by its UTF-8 relative name.
std::map<std::string, FileState> Snapshot(const fs::path& root) {
  std::map<std::string, FileState> files;
  for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
    if (it->is_directory()) continue;
    FileState s;
    s.Bytes = Read(it->path());
    s.WriteTime = WriteTimeOf(it->path());
    s.ReadOnly = (AttributesOf(it->path()) & FILE_ATTRIBUTE_READONLY) != 0;
    files[fs::relative(it->path(), root).u8string()] = s;
  }
  return files;
}

// The archive code takes paths in the system code page; short names stand in for names
// that have no form there.
std::string Ansi(const fs::path& path) { return AnsiPathOf(path.u8string()); }

// How a data archive is stored, beyond compression.
struct PackForm {
  bool ScrambleData = false;
  bool ScrambleDirectory = false;
  bool Solid = false;
};

void Pack(const fs::path& dat, const std::vector<fs::path>& sources, bool compress, PackForm form = {}) {
  gca::GcaArchive builder;
  ASSERT_TRUE(builder.PrepareBuffers());
  builder.CompressData = compress;
  builder.ScrambleData = form.ScrambleData;
  builder.ScrambleDirectory = form.ScrambleDirectory;
  builder.Solid = form.Solid;
  builder.SetArchivePath(Ansi(dat));
  std::vector<std::string> list;
  for (const fs::path& s : sources) list.push_back(Ansi(s));
  builder.SetSourceList(list);
  ASSERT_TRUE(builder.Build()) << dat.u8string();
}

struct MemberState {
  bool Directory = false;
  uint32_t Attributes = 0;
  uint64_t WriteTime = 0;
  std::string Bytes;
  bool operator==(const MemberState& o) const {
    if (Directory || o.Directory) return Directory == o.Directory;
    return Attributes == o.Attributes && WriteTime == o.WriteTime && Bytes == o.Bytes;
  }
};

// Every member of a data archive by its UTF-8 name, with its extracted bytes.
std::map<std::string, MemberState> Members(const fs::path& dat, const fs::path& scratch) {
  std::map<std::string, MemberState> members;
  RemoveAll(scratch);
  fs::create_directories(scratch);
  gca::ArchiveHandle handle;
  handle.Create();
  EXPECT_TRUE(handle.PrepareBuffers());
  handle.SetArchivePath(Ansi(dat));
  // Read whatever its form (a data archive that keeps a scrambled directory).
  gca::InstallNoticePolicy(handle.Archive(), gca::NoticePolicy::kTool, nullptr);
  EXPECT_TRUE(handle.Open()) << dat.u8string();
  handle.SetOutputDirectory(Ansi(scratch));
  for (int32_t i = 0; i < handle.EntryCount(); ++i) {
    const gca::EntryRecord record = handle.Archive()->EntryInfo(i);
    MemberState m;
    m.Directory = (record.Attributes & 0x10) != 0;
    m.Attributes = record.Attributes;
    m.WriteTime = record.WriteTime;
    const std::string name = AnsiToUtf8(handle.EntryName(i));
    if (!m.Directory) {
      EXPECT_TRUE(handle.ExtractEntry(i)) << name;
      m.Bytes = Read(scratch / U8(name));
    }
    members[name] = m;
  }
  handle.Close();
  handle.ReleaseBuffers();
  RemoveAll(scratch);
  return members;
}

// A PE image of two sections, as the patch's stub.
void WriteStub(const fs::path& path) {
  std::string pe(0x1400, '\0');
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[0x3c] = char(0x80);
  std::memcpy(&pe[0x80], "PE\0\0", 4);
  pe[0x86] = 2;
  pe[0x94] = char(0xe0);
  const size_t table = 0x80 + 24 + 0xe0;
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) pe[at + i] = char(v >> (8 * i));
  };
  put(table + 16, 0x800);
  put(table + 20, 0x400);
  put(table + 40 + 16, 0x400);
  put(table + 40 + 20, 0x1000);
  Write(path, pe);
}

// What signing leaves behind the archive: the file padded to a multiple of 8 bytes, a
// certificate table (length, revision 2, PKCS#7 type, then the signature's bytes), and the
// PE32 security directory pointing at it. The updater must not care.
void AppendCertificateTable(const fs::path& patch) {
  std::fstream f(patch, std::ios::binary | std::ios::in | std::ios::out);
  f.seekg(0, std::ios::end);
  const uint32_t size = static_cast<uint32_t>(f.tellg());
  const uint32_t offset = (size + 7) & ~7u;
  std::string table(offset - size, '\0');
  const uint32_t length = 8 + 1536;
  auto put = [](std::string& to, uint32_t v) {
    for (int i = 0; i < 4; ++i) to += char(v >> (8 * i));
  };
  put(table, length);
  put(table, 0x00020200);
  uint32_t x = 12345;
  for (uint32_t i = 8; i < length; ++i) table += char((x = x * 1103515245u + 12345u) >> 24);
  f.seekp(size);
  f.write(table.data(), std::streamsize(table.size()));
  std::string entry;
  put(entry, offset);
  put(entry, length);
  f.seekp(0x98 + 96 + 4 * 8);
  f.write(entry.data(), 8);
}

// ---- recorders ----------------------------------------------------------------------

struct Message {
  std::string Text, Caption;
  unsigned Style;
};

class RecordingUi : public UpdateUi {
 public:
  void Repaint() override {
    ++repaints;
    const int64_t item_done = ItemDone, item_total = ItemTotal, step_done = StepDone, step_total = StepTotal;
    if (item_done < 0 || item_done > item_total || step_done < 0 || step_done > step_total || step_done < last_step) {
      ++bad_counters;
    }
    last_step = step_done;
    if (on_repaint) on_repaint();
  }
  void SetProgressText(const std::string& text) override { texts.push_back(text); }
  void ShowMessage(const std::string& text, const std::string& caption, unsigned style) override {
    messages.push_back({text, caption, style});
  }
  void OpenDocument(const std::string& path) override { documents.push_back(path); }
  void AnnounceEnd() override { ++ends; }

  // Runs at every repaint: what another program or another copy does meanwhile.
  std::function<void()> on_repaint;
  int repaints = 0, bad_counters = 0, ends = 0;
  int64_t last_step = 0;
  std::vector<std::string> texts, documents;
  std::vector<Message> messages;
};

class RecordingHost : public StartupHost {
 public:
  long InitializeCom() override { return com_result; }
  void ShowMessage(const std::string& text, const std::string& caption, unsigned style) override {
    messages.push_back({text, caption, style});
  }
  int RunMainWindow() override {
    ++main_windows;
    if (on_main_window) on_main_window();
    return 0;
  }
  std::function<void()> on_main_window;
  long com_result = 0;
  int main_windows = 0;
  std::vector<Message> messages;
};

void Register(const std::string& path) {
  RegistryKey key;
  ASSERT_TRUE(key.CreateKey(HKEY_LOCAL_MACHINE, kKey));
  ASSERT_TRUE(key.SetString("PATH", path));
  key.Close();
}

void Unregister() {
  RegistryKey key;
  key.DeleteKey(HKEY_LOCAL_MACHINE, kKey);
}

// ---- the generated game -------------------------------------------------------------

constexpr uint64_t kBaseTime = 133000000000000000ull;  // a time in 2022

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    root_ = fs::path(temp) / ("updater_test_" + std::to_string(GetCurrentProcessId()));
    RemoveAll(root_);
    fs::create_directories(root_);
    install_ = root_ / "Games" / "SampleQuest";
    WriteStub(root_ / "updater.exe");
    // A file held open for good gives up at once; the tests that release one set it back.
    InUseRetryMilliseconds = 200;
  }
  void TearDown() override {
    InUseRetryMilliseconds = 10000;
    FreeSpaceOverride = -1;
    SetProgramFilePathOverride(std::string());
    SetUpdateUi(nullptr);
    Unregister();
    RemoveAll(root_);
  }

  fs::path Src(const char* side) { return root_ / (std::string(side) + "-src"); }
  fs::path Tree(const char* side) { return root_ / side; }

  // A file of both sources: in the new one changed when asked, with its own time.
  void Both(const std::string& name, const std::string& body, bool changed, uint64_t offset) {
    const fs::path o = Src("old") / U8(name), n = Src("new") / U8(name);
    Write(o, body);
    Write(n, changed ? body + " (patched)" : body);
    SetWriteTime(o, kBaseTime + offset);
    SetWriteTime(n, kBaseTime + offset + (changed ? 5000000 : 0));
  }
  void NewOnly(const std::string& name, const std::string& body, uint64_t offset) {
    Write(Src("new") / U8(name), body);
    SetWriteTime(Src("new") / U8(name), kBaseTime + offset);
  }

  // The standard game: two data archives with nested members, loose files in new
  // subdirectories, read-only files, the update page.
  void MakeGame() {
    for (int i = 0; i < 6; ++i) {
      std::string body;
      for (int k = 0; k < 40 + i; ++k) body += "map " + std::to_string(i) + " line " + std::to_string(k) + "\n";
      Both("data/maps/m" + std::to_string(i) + ".txt", body, i == 2, 100 * i);
    }
    Both("data/deep/a/b/c.bin", std::string(3000, 'c'), false, 7);
    Both("data/ro.txt", "read-only member", true, 8);
    SetReadOnly(Src("old") / "data/ro.txt");
    SetReadOnly(Src("new") / "data/ro.txt");
    NewOnly("data/extra/sub/new.txt", "a new member", 9);
    for (int i = 0; i < 3; ++i) Both("voice/v" + std::to_string(i) + ".bin", std::string(2000 + i, char('a' + i)), i == 1, 50 + i);
    Both("game/game.exe", "MZ game binary", true, 1000);
    Both("game/readme.txt", "readme", false, 1001);
    Both("game/config/ro.ini", "read-only loose file", true, 1002);
    SetReadOnly(Src("old") / "game/config/ro.ini");
    SetReadOnly(Src("new") / "game/config/ro.ini");
    NewOnly("game/docs/changes/v1.1.txt", "what changed", 1003);
    Both("game/update/index.htm", "<html></html>", true, 1004);
    BuildTrees({"data", "voice"}, true);
  }

  void BuildTrees(const std::vector<std::string>& archives, bool compress) {
    for (const char* side : {"old", "new"}) {
      CopyTree(Src(side) / "game", Tree(side));
      for (const std::string& name : archives) {
        Pack(Tree(side) / (name + ".dat"), {Src(side) / U8(name)}, compress, form_);
        SetWriteTime(Tree(side) / (name + ".dat"), kBaseTime + (side[0] == 'n' ? 9999 : 0));
      }
    }
  }

  bool MakePatch(std::string* error_out = nullptr, PatchSummary* summary_out = nullptr) {
    PatchOptions o;
    o.NoDelta = no_delta_;
    o.Rebuild = rebuild_;
    o.Stub = (root_ / "updater.exe").u8string();
    o.OldDir = Tree("old").u8string();
    o.NewDir = Tree("new").u8string();
    o.Title = kTitle;
    o.OldVersion = "1.0.0";
    o.NewVersion = "1.1.0";
    o.CheckFile = "game.exe";
    o.Output = patch_.u8string();
    PatchSummary summary;
    std::string error;
    const bool ok = BuildPatch(o, summary, error);
    if (summary_out) *summary_out = summary;
    EXPECT_TRUE(ok || error_out != nullptr) << error;
    if (error_out) *error_out = error;
    return ok;
  }

  void Install() {
    RemoveAll(install_);
    CopyTree(Tree("old"), install_);
    Register(install_.u8string());
  }

  // Start-up as the program runs it, then the worker.
  bool Run(RecordingUi& ui) {
    SetProgramFilePathOverride(patch_.u8string());
    RecordingHost host;
    EXPECT_EQ(RunStartup(host), 0);
    EXPECT_TRUE(host.messages.empty()) << host.messages[0].Text;
    EXPECT_EQ(host.main_windows, 1);
    if (host.main_windows != 1) return false;
    SetUpdateUi(&ui);
    UpdateWorker(nullptr);
    SetUpdateUi(nullptr);
    EXPECT_EQ(ui.ends, 1);
    EXPECT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.bad_counters, 0);
    return !ui.messages.empty() && ui.messages[0].Text == kSuccessMessage;
  }

  void ExpectFailureReported(const RecordingUi& ui,
                             const std::string& text = "Update process failed.\nPlease update it after installing the game again.") {
    ASSERT_EQ(ui.messages.size(), 1u);
    // The log of the run is named; it lies beside the patch, outside the game.
    EXPECT_EQ(UpdateLogPath(), (root_ / "patch.log").u8string());
    EXPECT_EQ(ui.messages[0].Text, text + "\n\nDetails for support are in " + UpdateLogPath());
    EXPECT_EQ(ui.messages[0].Caption, "Sample Quest Update Patch ver. 1.1.0");
    EXPECT_EQ(ui.messages[0].Style, 0x10u);
    EXPECT_EQ(ui.texts, std::vector<std::string>{"Update process failed."});
    EXPECT_TRUE(ui.documents.empty());
  }

  // The installation now is the new tree: loose files byte for byte with their
  // read-only bits and times, data archives member for member.
  void ExpectNewVersionInstalled(const std::vector<std::string>& archives) {
    EXPECT_FALSE(fs::exists(install_ / "tmp"));
    std::map<std::string, FileState> got = Snapshot(install_), want = Snapshot(Tree("new"));
    for (const std::string& name : archives) {
      const std::string dat = name + ".dat";
      EXPECT_EQ(got[dat].WriteTime, want[dat].WriteTime) << dat;  // from the time-stamp list
      const auto have = Members(install_ / dat, root_ / "scratch");
      const auto expect = Members(Tree("new") / dat, root_ / "scratch");
      EXPECT_EQ(have.size(), expect.size()) << dat;
      for (const auto& [member, state] : expect) {
        auto it = have.find(member);
        ASSERT_NE(it, have.end()) << member;
        EXPECT_TRUE(it->second == state) << member;
      }
      got.erase(dat);
      want.erase(dat);
    }
    EXPECT_EQ(got.size(), want.size());
    for (const auto& [name, state] : want) {
      auto it = got.find(name);
      ASSERT_NE(it, got.end()) << name;
      EXPECT_EQ(it->second.Bytes, state.Bytes) << name;
      EXPECT_EQ(it->second.ReadOnly, state.ReadOnly) << name;
      EXPECT_EQ(it->second.WriteTime, state.WriteTime) << name;
    }
  }

  // Text of many numbered lines, as code or data a release changes here and there: the
  // changed version has every seventh value altered.
  static std::string Lines(int count, bool changed) {
    std::string text;
    uint32_t x = 2463534242u;
    for (int i = 0; i < count; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      text += "entry " + std::to_string(i) + " = " + std::to_string(changed && i % 7 == 3 ? x / 3 : x) + ";\n";
    }
    return text;
  }

  fs::path root_, install_;
  bool no_delta_ = false;
  RebuildWay rebuild_ = RebuildWay::kUnpack;
  PackForm form_;  // of the data archives BuildTrees packs
  fs::path patch_ = fs::path();
  void UsePatch() { patch_ = root_ / "patch.exe"; }
};

}  // namespace updater_fixture
