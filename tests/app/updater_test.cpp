// The updater against real files and the registry of the test prefix: start-up outcomes
// and whole updates of generated game installs, built with the patch builder. A
// recording UpdateUi stands in for the windows.
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
#include "app/payload.h"
#include "app/startup.h"
#include "app/update_ui.h"
#include "app/update_worker.h"
#include "archive/gca_archive.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "tools/patch_builder.h"

namespace fs = std::filesystem;

namespace {

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

std::string Ansi(const fs::path& path) { return Utf8ToAnsi(path.u8string()); }

void Pack(const fs::path& dat, const std::vector<fs::path>& sources, bool compress) {
  gca::GcaArchive builder;
  ASSERT_TRUE(builder.PrepareBuffers());
  builder.CompressData = compress;
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
  }
  void SetProgressText(const std::string& text) override { texts.push_back(text); }
  void ShowMessage(const std::string& text, const std::string& caption, unsigned style) override {
    messages.push_back({text, caption, style});
  }
  void OpenDocument(const std::string& path) override { documents.push_back(path); }
  void AnnounceEnd() override { ++ends; }

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
    return 0;
  }
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
  }
  void TearDown() override {
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
        Pack(Tree(side) / (name + ".dat"), {Src(side) / U8(name)}, compress);
        SetWriteTime(Tree(side) / (name + ".dat"), kBaseTime + (side[0] == 'n' ? 9999 : 0));
      }
    }
  }

  bool MakePatch(std::string* error_out = nullptr) {
    PatchOptions o;
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

  void ExpectFailureReported(const RecordingUi& ui) {
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].Text, "Update process failed.\nPlease update it after installing the game again.");
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

  fs::path root_, install_;
  fs::path patch_ = fs::path();
  void UsePatch() { patch_ = root_ / "patch.exe"; }
};

// ---- start-up -----------------------------------------------------------------------

class StartupTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    UsePatch();
    Both("data/a.txt", "a", true, 1);
    Both("game/game.exe", "MZ game", true, 2);
    BuildTrees({"data"}, false);
    ASSERT_TRUE(MakePatch());
    Install();
    SetProgramFilePathOverride(patch_.u8string());
  }
  std::vector<Message> Start(long com_result = 0, int* main_windows = nullptr) {
    RecordingHost host;
    host.com_result = com_result;
    EXPECT_EQ(RunStartup(host), 0);
    if (main_windows) *main_windows = host.main_windows;
    EXPECT_LE(host.messages.size() + host.main_windows, 1u);
    return host.messages;
  }
  void ExpectOneMessage(const std::vector<Message>& m, const char* text, const char* caption, unsigned style) {
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].Text, text);
    EXPECT_EQ(m[0].Caption, caption);
    EXPECT_EQ(m[0].Style, style);
  }
};

TEST_F(StartupTest, OldVersionInstalledOpensTheMainWindow) {
  int windows = 0;
  EXPECT_TRUE(Start(0, &windows).empty());
  EXPECT_EQ(windows, 1);
  EXPECT_EQ(WindowTitle, "Sample Quest Update Patch ver. 1.1.0");
  EXPECT_EQ(InstallPath, install_.u8string());
  EXPECT_EQ(Title, kTitle);
  EXPECT_EQ(OldVersion, "1.0.0");
  EXPECT_EQ(NewVersion, "1.1.0");
}

TEST_F(StartupTest, EveryEarlyEnd) {
  ExpectOneMessage(Start(1), "OLE initialize error.", "Error", 0x10);  // S_FALSE counts as failure

  // A program without payload, and one that ends inside a digest field.
  SetProgramFilePathOverride((root_ / "updater.exe").u8string());
  ExpectOneMessage(Start(), "This file is damaged.", "Error", 0x10);
  const std::string bytes = Read(patch_);
  const size_t at = bytes.find(AssembleTag(CheckNewHashName));
  ASSERT_NE(at, std::string::npos);
  Write(root_ / "cut.exe", bytes.substr(0, at + 16 + 100));
  SetProgramFilePathOverride((root_ / "cut.exe").u8string());
  ExpectOneMessage(Start(), "This file is damaged.", "Error", 0x10);
  SetProgramFilePathOverride(patch_.u8string());

  // Started elsewhere, without the registry key.
  Unregister();
  const fs::path here = fs::current_path();
  fs::current_path(root_);
  ExpectOneMessage(Start(), "installation destination is not found.", "Error", 0x10);
  fs::current_path(here);
  Register("");
  ExpectOneMessage(Start(), "installation destination is not found.", "Error", 0x10);

  // A directory without the check file.
  Register((root_ / "elsewhere").u8string());
  ExpectOneMessage(Start(), "No game requiring an update is installed on this computer.", "Error", 0x10);

  // The new version is there already.
  Register(Tree("new").u8string());
  ExpectOneMessage(Start(), "already attached even version.", "", 0);
}

// ---- whole updates ------------------------------------------------------------------

TEST_F(UpdaterTest, UpdatesDataArchivesAndLooseFiles) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  Install();
  RecordingUi ui;
  ASSERT_TRUE(Run(ui)) << ui.messages[0].Text;
  EXPECT_EQ(ui.messages[0].Caption, "Sample Quest Update Patch ver. 1.1.0");
  EXPECT_EQ(ui.messages[0].Style, 0u);
  EXPECT_EQ(ui.texts, std::vector<std::string>{"finished renewal of patch complete."});
  EXPECT_EQ(ui.documents, std::vector<std::string>{install_.u8string() + "\\update\\index.htm"});
  EXPECT_EQ(StepTotal.load(), 3 * 2 + 2);
  EXPECT_EQ(StepDone.load(), StepTotal.load());
  EXPECT_EQ(ItemDone.load(), ItemTotal.load());
  EXPECT_GT(ItemTotal.load(), 0);
  ExpectNewVersionInstalled({"data", "voice"});
  // Run again: the new version is recognised.
  RecordingHost host;
  RunStartup(host);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].Text, "already attached even version.");
}

TEST_F(UpdaterTest, SignedPatchApplies) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  AppendCertificateTable(patch_);
  Install();
  RecordingUi ui;
  ASSERT_TRUE(Run(ui)) << ui.messages[0].Text;
  ExpectNewVersionInstalled({"data", "voice"});
}

TEST_F(UpdaterTest, PatchWithoutDataArchiveMembers) {
  UsePatch();
  Both("data/a.txt", "same", false, 1);
  Both("game/game.exe", "MZ game", true, 2);
  NewOnly("game/new/dir/file.txt", "new", 3);
  BuildTrees({"data"}, false);
  // Same members, same times: data.dat is not part of the patch.
  SetWriteTime(Tree("new") / "data.dat", WriteTimeOf(Tree("old") / "data.dat"));
  ASSERT_TRUE(MakePatch());
  Install();
  const std::string dat_before = Read(install_ / "data.dat");
  RecordingUi ui;
  ASSERT_TRUE(Run(ui));
  EXPECT_EQ(StepTotal.load(), 2);
  EXPECT_EQ(Read(install_ / "data.dat"), dat_before);
  EXPECT_TRUE(ui.documents.empty());  // no update page in this game
  // Only the directory entry's time differs between the trees' data archives.
  ExpectNewVersionInstalled({"data"});
}

TEST_F(UpdaterTest, BackupsOfAnInterruptedRunAreDealtWithFirst) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  // The data archive was moved to its backup and nothing took its place.
  Install();
  fs::rename(install_ / "voice.dat", install_ / "voice.bak");
  RecordingUi ui;
  ASSERT_TRUE(Run(ui));
  EXPECT_FALSE(fs::exists(install_ / "voice.bak"));
  ExpectNewVersionInstalled({"data", "voice"});
  // A stale backup beside its data archive.
  Install();
  Write(install_ / "data.bak", "stale");
  RecordingUi again;
  ASSERT_TRUE(Run(again));
  EXPECT_FALSE(fs::exists(install_ / "data.bak"));
  ExpectNewVersionInstalled({"data", "voice"});
}

// Each failure before the swap leaves the old installation as it was.
TEST_F(UpdaterTest, FailuresBeforeTheSwapChangeNothing) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  const std::map<std::string, FileState> old_tree = Snapshot(Tree("old"));
  auto expect_untouched = [&](const char* what) {
    std::map<std::string, FileState> now = Snapshot(install_);
    EXPECT_EQ(now.size(), old_tree.size()) << what;
    for (const auto& [name, state] : old_tree) EXPECT_TRUE(now[name] == state) << what << ": " << name;
    EXPECT_FALSE(fs::exists(install_ / "tmp" / "data.gca")) << what;
    EXPECT_FALSE(fs::exists(install_ / "tmp" / "voice.gca")) << what;
  };

  {  // a data archive missing from the installation
    Install();
    const std::string voice = Read(install_ / "voice.dat");
    fs::remove(install_ / "voice.dat");
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    ExpectFailureReported(ui);
    Write(install_ / "voice.dat", voice);
    SetWriteTime(install_ / "voice.dat", WriteTimeOf(Tree("old") / "voice.dat"));
    expect_untouched("missing data archive");
  }
  {  // a member whose bytes no longer match its CRC
    Install();
    Pack(install_ / "data.dat", {Src("old") / "data"}, false);
    SetWriteTime(install_ / "data.dat", WriteTimeOf(Tree("old") / "data.dat"));
    const std::map<std::string, FileState> before = Snapshot(install_);
    std::string bytes = Read(install_ / "data.dat");
    const size_t at = bytes.find("map 4 line 7");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'X';
    Write(install_ / "data.dat", bytes);
    const uint64_t time = WriteTimeOf(install_ / "data.dat");
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    ExpectFailureReported(ui);
    EXPECT_EQ(Read(install_ / "data.dat"), bytes);
    EXPECT_EQ(WriteTimeOf(install_ / "data.dat"), time);
    EXPECT_TRUE(Snapshot(install_)["game.exe"] == before.at("game.exe"));
    EXPECT_FALSE(fs::exists(install_ / "tmp" / "data.gca"));
  }
  {  // damaged data in the patch archive
    Install();
    const std::string good = Read(patch_);
    std::string bytes = good;
    const size_t start = bytes.find(ArchiveTag()) + 16;
    for (size_t i = start + 40; i < start + 48; ++i) bytes[i] = char(bytes[i] ^ 0x5a);
    Write(patch_, bytes);
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    ExpectFailureReported(ui);
    Write(patch_, good);
    expect_untouched("damaged patch");
  }
  {  // the rebuilt archive cannot be written
    Install();
    fs::create_directories(install_ / "tmp" / "data.gca");
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    ExpectFailureReported(ui);
    fs::remove(install_ / "tmp" / "data.gca");
    fs::remove(install_ / "tmp");
    expect_untouched("failed build");
  }
  {  // an installed data archive with a member outside its directory: the rebuilt
     // archive would lose it
    Install();
    Write(root_ / "stray" / "stray.txt", "stray");
    Pack(install_ / "voice.dat", {Src("old") / "voice", root_ / "stray" / "stray.txt"}, false);
    const std::string voice = Read(install_ / "voice.dat");
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    ExpectFailureReported(ui);
    EXPECT_EQ(Read(install_ / "voice.dat"), voice);
    EXPECT_TRUE(Snapshot(install_)["data.dat"] == old_tree.at("data.dat"));
    EXPECT_TRUE(Snapshot(install_)["game.exe"] == old_tree.at("game.exe"));
    EXPECT_FALSE(fs::exists(install_ / "tmp"));
  }
}

// Holds a file open without letting it be moved or deleted.
class Lock {
 public:
  explicit Lock(const fs::path& path)
      : h_(CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~Lock() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  bool Held() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

TEST_F(UpdaterTest, FailedSwapPutsEveryDataArchiveBack) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  Install();
  const std::map<std::string, FileState> before = Snapshot(install_);
  RecordingUi ui;
  {
    Lock lock(install_ / "voice.dat");  // data.dat is swapped first, then voice.dat fails
    ASSERT_TRUE(lock.Held());
    EXPECT_FALSE(Run(ui));
  }
  ExpectFailureReported(ui);
  const std::map<std::string, FileState> after = Snapshot(install_);
  EXPECT_EQ(after.size(), before.size());
  for (const auto& [name, state] : before) EXPECT_TRUE(after.at(name) == state) << name;
}

TEST_F(UpdaterTest, FailedPlacementKeepsTheOldFile) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  Install();
  const std::string old_exe = Read(install_ / "game.exe");
  RecordingUi ui;
  {
    Lock lock(install_ / "game.exe");
    ASSERT_TRUE(lock.Held());
    EXPECT_FALSE(Run(ui));
  }
  ExpectFailureReported(ui);
  EXPECT_EQ(Read(install_ / "game.exe"), old_exe);
}

TEST_F(UpdaterTest, TimeStampListEndsAtTheFirstShortRead) {
  UsePatch();
  Both("game/game.exe", "MZ game", true, 2);
  Both("game/readme.txt", "readme", true, 3);
  BuildTrees({}, false);
  ASSERT_TRUE(MakePatch());
  // The payload's list is disabled; a list at the very end of the file holds one whole
  // entry and one cut inside its name.
  std::string bytes = Read(patch_);
  const std::string tag = AssembleTag(DatTimeName);
  const size_t at = bytes.find(tag);
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'X';
  const uint64_t listed = kBaseTime + 123456789;
  std::string list = tag;
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) list += char(v >> (8 * i));
  };
  u32(2);
  u32(8);
  list += "game.exe";
  u32(uint32_t(listed));
  u32(uint32_t(listed >> 32));
  u32(10);
  list += "read";
  Write(patch_, bytes + list);
  Install();
  RecordingUi ui;
  ASSERT_TRUE(Run(ui));
  EXPECT_EQ(WriteTimeOf(install_ / "game.exe"), listed);
  EXPECT_EQ(WriteTimeOf(install_ / "readme.txt"), WriteTimeOf(Tree("new") / "readme.txt"));
}

// Runs with code page 932 only (LC_ALL=ja_JP.UTF-8).
TEST_F(UpdaterTest, JapaneseNames) {
  if (GetACP() != 932) GTEST_SKIP() << "needs code page 932";
  UsePatch();
  Both("data/マップ/地図.txt", "地図", true, 1);
  Both("data/a.txt", "a", false, 2);
  NewOnly("data/新しい/追加.txt", "追加", 3);
  // Shift-JIS trail bytes equal to a backslash.
  Both("data/ソフト/表.txt", "表", true, 7);
  Both("game/表示/ソ.txt", "ソ", true, 8);
  Both("game/game.exe", "MZ game", true, 4);
  NewOnly("game/セーブ/説明.txt", "説明", 5);
  Both("game/読んでね.txt", "読んでね", true, 6);
  BuildTrees({"data"}, true);
  ASSERT_TRUE(MakePatch());
  // An installation below a Japanese directory name.
  install_ = root_ / U8("ゲーム") / "SampleQuest";
  Install();
  RecordingUi ui;
  ASSERT_TRUE(Run(ui));
  ExpectNewVersionInstalled({"data"});
}

}  // namespace
