// Patches built by the patch builder, applied by the updater's own start-up and update
// worker against real files and the registry of the test prefix: a data archive the
// updater cannot merge into is replaced whole, and a release whose members changed only
// their times leaves the game's members as they were.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/app_globals.h"
#include "app/payload.h"
#include "app/startup.h"
#include "app/update_ui.h"
#include "app/update_worker.h"
#include "archive/gca_archive.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "tools/patch_builder.h"
#include "tests/app/updater_fixture.h"

namespace fs = std::filesystem;

namespace {

using updater_fixture::kBaseTime;
using updater_fixture::kKey;
using updater_fixture::kTitle;
using updater_fixture::Read;
using updater_fixture::RemoveAll;
using updater_fixture::SetWriteTime;
using updater_fixture::Write;
using updater_fixture::WriteStub;

constexpr uint64_t kHour = 36000000000ull;

std::string Ansi(const fs::path& path) { return Utf8ToAnsi(path.u8string()); }

void Pack(const fs::path& dat, const fs::path& source, bool solid) {
  gca::GcaArchive builder;
  ASSERT_TRUE(builder.PrepareBuffers());
  builder.CompressData = solid;
  builder.Solid = solid;
  builder.SetArchivePath(Ansi(dat));
  builder.SetSourceList({Ansi(source)});
  ASSERT_TRUE(builder.Build()) << dat.u8string();
}

struct MemberState {
  uint64_t WriteTime = 0;
  std::string Bytes;
};

// The file members of a data archive by name, read with the answers a tool gives.
std::map<std::string, MemberState> Members(const fs::path& dat, const fs::path& scratch) {
  std::map<std::string, MemberState> members;
  RemoveAll(scratch);
  fs::create_directories(scratch);
  gca::ArchiveHandle handle;
  handle.Create();
  EXPECT_TRUE(handle.PrepareBuffers());
  handle.SetArchivePath(Ansi(dat));
  handle.Archive()->SetNoticeCallback([](uint32_t code, const std::string&, gca::GcaArchive*) {
    return code == gca::kNoticeSolidIndex ? 0 : -1;
  });
  EXPECT_TRUE(handle.Open()) << dat.u8string();
  handle.SetOutputDirectory(Ansi(scratch));
  for (int32_t i = 0; i < handle.EntryCount(); ++i) {
    const gca::EntryRecord record = handle.Archive()->EntryInfo(i);
    if (record.Attributes & 0x10) continue;
    const std::string name = AnsiToUtf8(handle.EntryName(i));
    EXPECT_TRUE(handle.ExtractEntry(i)) << name;
    members[name] = {record.WriteTime, Read(scratch / fs::u8path(name))};
  }
  handle.Close();
  handle.ReleaseBuffers();
  RemoveAll(scratch);
  return members;
}

// The entry names of a patch's archive.
std::vector<std::string> PatchEntries(const fs::path& patch) {
  const int32_t tag = FindRecord(patch.u8string(), ArchiveTag());
  EXPECT_GT(tag, 0);
  gca::ArchiveHandle handle;
  handle.Create();
  EXPECT_TRUE(handle.PrepareBuffers());
  handle.SetArchivePath(Ansi(patch));
  handle.SetStartOffset(tag + 16);
  EXPECT_TRUE(handle.Open());
  std::vector<std::string> names;
  for (int32_t i = 0; i < handle.EntryCount(); ++i) names.push_back(AnsiToUtf8(handle.EntryName(i)));
  return names;
}

class SilentUi : public UpdateUi {
 public:
  void Repaint() override {}
  void SetProgressText(const std::string&) override {}
  void ShowMessage(const std::string& text, const std::string&, unsigned) override { messages.push_back(text); }
  void OpenDocument(const std::string&) override {}
  void AnnounceEnd() override {}
  std::vector<std::string> messages;
};

class StartOnly : public StartupHost {
 public:
  long InitializeCom() override { return 0; }
  void ShowMessage(const std::string& text, const std::string&, unsigned) override { messages.push_back(text); }
  int RunMainWindow() override {
    ++main_windows;
    return 0;
  }
  int main_windows = 0;
  std::vector<std::string> messages;
};

class PatchApplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    root_ = fs::path(temp) / ("patch_apply_test_" + std::to_string(GetCurrentProcessId()));
    RemoveAll(root_);
    install_ = root_ / "Games" / "SampleQuest";
    WriteStub(root_ / "updater.exe");
    for (const char* side : {"old", "new"}) {
      const bool is_new = side[0] == 'n';
      Write(Tree(side) / "game.exe", is_new ? "MZ new game" : "MZ old game");
      for (int i = 0; i < 5; ++i) {
        const fs::path member = Src(side) / "data" / "maps" / ("m" + std::to_string(i) + ".txt");
        std::string body;
        for (int k = 0; k < 200; ++k) body += "map " + std::to_string(i) + " line " + std::to_string(k) + "\n";
        Write(member, body);
        SetWriteTime(member, kBaseTime + 100 * i);
      }
    }
  }
  void TearDown() override {
    SetProgramFilePathOverride(std::string());
    SetUpdateUi(nullptr);
    RegistryKey key;
    key.DeleteKey(HKEY_LOCAL_MACHINE, kKey);
    RemoveAll(root_);
  }

  fs::path Src(const char* side) { return root_ / (std::string(side) + "-src"); }
  fs::path Tree(const char* side) { return root_ / side; }

  bool MakePatch(bool with_times, PatchSummary& summary) {
    PatchOptions o;
    o.Stub = (root_ / "updater.exe").u8string();
    o.OldDir = Tree("old").u8string();
    o.NewDir = Tree("new").u8string();
    o.Title = kTitle;
    o.OldVersion = "1.0.0";
    o.NewVersion = "1.1.0";
    o.CheckFile = "game.exe";
    o.Output = patch().u8string();
    o.WithTimes = with_times;
    std::string error;
    const bool ok = BuildPatch(o, summary, error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }

  // Installs the old tree, then runs start-up and the worker as the program does.
  bool InstallAndUpdate() {
    RemoveAll(install_);
    fs::create_directories(install_);
    for (const auto& entry : fs::directory_iterator(Tree("old"))) fs::copy_file(entry.path(), install_ / entry.path().filename());
    for (const auto& entry : fs::directory_iterator(install_)) {
      HANDLE h = CreateFileW((Tree("old") / entry.path().filename()).wstring().c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      FILETIME t = {};
      GetFileTime(h, nullptr, nullptr, &t);
      CloseHandle(h);
      SetWriteTime(entry.path(), (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    }
    RegistryKey key;
    EXPECT_TRUE(key.CreateKey(HKEY_LOCAL_MACHINE, kKey));
    EXPECT_TRUE(key.SetString("PATH", install_.u8string()));
    key.Close();
    SetProgramFilePathOverride(patch().u8string());
    StartOnly host;
    EXPECT_EQ(RunStartup(host), 0);
    EXPECT_TRUE(host.messages.empty()) << host.messages[0];
    if (host.main_windows != 1) return false;
    SilentUi ui;
    SetUpdateUi(&ui);
    UpdateWorker(nullptr);
    SetUpdateUi(nullptr);
    EXPECT_EQ(ui.messages.size(), 1u);
    return ui.messages.size() == 1 && ui.messages[0] == kSuccessMessage;
  }

  fs::path patch() { return root_ / "patch.exe"; }
  fs::path root_, install_;
};

TEST_F(PatchApplyTest, SolidDataArchiveIsShippedWholeAndReplacesTheOldOne) {
  Write(Src("new") / "data" / "maps" / "m2.txt", "changed map");
  Write(Src("new") / "data" / "extra.txt", "a new member");
  Pack(Tree("old") / "data.dat", Src("old") / "data", true);
  Pack(Tree("new") / "data.dat", Src("new") / "data", true);
  PatchSummary summary;
  ASSERT_TRUE(MakePatch(false, summary));
  ASSERT_EQ(summary.Archives.size(), 1u);
  EXPECT_TRUE(summary.Archives[0].ShippedWhole);
  EXPECT_EQ(summary.Archives[0].WholeReason, "solid");
  for (const std::string& name : PatchEntries(patch())) EXPECT_NE(name.rfind("___", 0), 0u) << name;

  ASSERT_TRUE(InstallAndUpdate());
  EXPECT_FALSE(fs::exists(install_ / "tmp"));
  EXPECT_EQ(Read(install_ / "data.dat"), Read(Tree("new") / "data.dat"));
  EXPECT_EQ(Read(install_ / "game.exe"), "MZ new game");
  const auto members = Members(install_ / "data.dat", root_ / "scratch");
  EXPECT_EQ(members.at("data\\maps\\m2.txt").Bytes, "changed map");
  EXPECT_EQ(members.count("data\\extra.txt"), 1u);
}

// The data archive rebuilt from a fresh checkout: every member has a new time, none new
// bytes.
TEST_F(PatchApplyTest, ReleaseWhoseMembersChangedOnlyTheirTimes) {
  Pack(Tree("old") / "data.dat", Src("old") / "data", false);
  for (int i = 0; i < 5; ++i) {
    SetWriteTime(Src("new") / "data" / "maps" / ("m" + std::to_string(i) + ".txt"), kBaseTime + 100 * i + 5 * kHour);
  }
  Pack(Tree("new") / "data.dat", Src("new") / "data", false);
  const std::string old_dat = Read(Tree("old") / "data.dat");
  ASSERT_NE(old_dat, Read(Tree("new") / "data.dat"));

  PatchSummary summary;
  ASSERT_TRUE(MakePatch(false, summary));
  EXPECT_EQ(summary.MembersTimeOnly, 5);
  for (const std::string& name : PatchEntries(patch())) EXPECT_NE(name.rfind("___", 0), 0u) << name;
  ASSERT_TRUE(InstallAndUpdate());
  // The updater left the data archive alone: its members keep their bytes and old times.
  EXPECT_EQ(Read(install_ / "data.dat"), old_dat);
  const auto before = Members(Tree("old") / "data.dat", root_ / "scratch");
  const auto after = Members(install_ / "data.dat", root_ / "scratch");
  ASSERT_EQ(after.size(), 5u);
  for (const auto& [name, state] : before) {
    EXPECT_EQ(after.at(name).Bytes, state.Bytes) << name;
    EXPECT_EQ(after.at(name).WriteTime, state.WriteTime) << name;
  }

  // With the times asked for, the members come with the new times.
  ASSERT_TRUE(MakePatch(true, summary));
  EXPECT_EQ(summary.Archives[0].Shipped, 5);
  ASSERT_TRUE(InstallAndUpdate());
  const auto wanted = Members(Tree("new") / "data.dat", root_ / "scratch");
  const auto timed = Members(install_ / "data.dat", root_ / "scratch");
  ASSERT_EQ(timed.size(), 5u);
  for (const auto& [name, state] : wanted) {
    EXPECT_EQ(timed.at(name).Bytes, state.Bytes) << name;
    EXPECT_EQ(timed.at(name).WriteTime, state.WriteTime) << name;
  }
}

}  // namespace
