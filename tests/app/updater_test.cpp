// The updater against real files and the registry of the test prefix: start-up outcomes
// and whole updates of generated game installs, built with the patch builder. A
// recording UpdateUi stands in for the windows.
#include "tests/app/updater_fixture.h"

#include "archive/notice_policy.h"
#include "codec/threads.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <thread>

namespace {

using namespace updater_fixture;

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

// Every way of rebuilding the data archives makes the new version. Stream packs them
// stored; keep gives each the installed one's form (compressed, scrambled data or
// directory, solid: every member coded anew), and every entry of it decodes with its
// CRC.
TEST_F(UpdaterTest, EveryRebuildWayUpdatesTheGame) {
  UsePatch();
  struct Case {
    RebuildWay Way;
    PackForm Form;
  };
  for (const Case& c : {Case{RebuildWay::kStream, {true, false, false}}, Case{RebuildWay::kKeep, {true, false, false}},
                        Case{RebuildWay::kKeep, {false, true, false}}, Case{RebuildWay::kKeep, {false, false, true}}}) {
    SCOPED_TRACE(std::string(RebuildWayName(c.Way)) + (c.Form.ScrambleData ? ", scrambled data" : "") +
                 (c.Form.ScrambleDirectory ? ", scrambled directory" : "") + (c.Form.Solid ? ", solid" : ""));
    for (const char* side : {"old", "new"}) {
      RemoveAll(Src(side));
      RemoveAll(Tree(side));
    }
    rebuild_ = c.Way;
    form_ = c.Form;
    MakeGame();
    PatchSummary summary;
    ASSERT_TRUE(MakePatch(nullptr, &summary));
    ASSERT_EQ(summary.Archives.size(), 2u);
    for (const ArchiveSummary& archive : summary.Archives) EXPECT_EQ(archive.WholeReason, "");  // merged into
    Install();
    RecordingUi ui;
    ASSERT_TRUE(Run(ui)) << ui.messages[0].Text;
    ExpectNewVersionInstalled({"data", "voice"});
    for (const char* name : {"data.dat", "voice.dat"}) {
      auto archive = std::make_unique<gca::GcaArchive>();
      ASSERT_TRUE(archive->PrepareBuffers());
      gca::NoticeOutcome outcome;
      gca::InstallNoticePolicy(archive.get(), gca::NoticePolicy::kTool, &outcome);
      archive->SetArchivePath(Ansi(install_ / name));
      ASSERT_TRUE(archive->ReadDirectory()) << name;
      const bool keep = c.Way == RebuildWay::kKeep;
      EXPECT_EQ(archive->CompressData, keep) << name;
      EXPECT_EQ(archive->ScrambleData, keep && c.Form.ScrambleData) << name;
      EXPECT_EQ(archive->DirectoryScrambled(), keep && c.Form.ScrambleDirectory) << name;
      EXPECT_EQ(archive->Solid, keep && c.Form.Solid) << name;
      int32_t failed = -1;
      EXPECT_TRUE(archive->CheckEntries({}, &failed)) << name << " entry " << failed;
      EXPECT_FALSE(outcome.Failed) << name;
    }
  }
}

// The rebuilt archive as bytes, with what may differ between two runs set to zero: the
// times of directory entries (the run's) and the directory's CRC over them. Empty when
// it is not a rebuilt archive (stored directory).
std::string MaskDirectoryTimes(std::string a) {
  auto load = [&](uint64_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | uint8_t(a[at + i]);
    return v;
  };
  if (a.size() < 16 || a.compare(0, 4, "GCAX") != 0) return std::string();
  const uint64_t head = load(8, 8);
  if (head > a.size() || a.size() - head < 32 || a.compare(head, 4, "GCA3") != 0 || (load(head + 4, 4) & 1)) {
    return std::string();
  }
  std::fill(a.begin() + std::ptrdiff_t(head + 20), a.begin() + std::ptrdiff_t(head + 24), '\0');
  const uint64_t count = load(head + 24, 4);
  if (count > (a.size() - head - 32) / 32) return std::string();
  for (uint64_t k = 0; k < count; ++k) {
    const uint64_t record = head + 32 + 32 * k;
    if (load(record + 4, 4) & 0x10) std::fill(a.begin() + std::ptrdiff_t(record + 8), a.begin() + std::ptrdiff_t(record + 16), '\0');
  }
  return a;
}

// The installed data archive as another packer may have written it: its files without
// the archive bit, which extraction gives them back on this file system.
void ClearArchiveBits(const fs::path& dat) {
  const fs::path copy = dat.parent_path() / "copy.dat";
  fs::copy_file(dat, copy);
  {
    auto from = std::make_unique<gca::GcaArchive>();
    auto to = std::make_unique<gca::GcaArchive>();
    ASSERT_TRUE(from->PrepareBuffers() && to->PrepareBuffers());
    from->SetArchivePath(Ansi(copy));
    ASSERT_TRUE(from->ReadDirectory());
    std::vector<gca::ListItem> items;
    for (int32_t k = 0; k < from->EntryCount(); ++k) {
      const gca::EntryRecord record = from->EntryInfo(k);
      gca::ListItem item;
      item.Name = from->EntryName(k);
      item.Attributes = record.Attributes & gca::kAttrDirectory ? record.Attributes : record.Attributes & ~0x20u;
      item.WriteTime = record.WriteTime;
      item.From = from.get();
      item.Index = k;
      items.push_back(item);
    }
    to->CompressData = from->CompressData;
    to->SetArchivePath(Ansi(dat));
    ASSERT_TRUE(to->BuildFromList(items));
  }
  fs::remove(copy);
}

// Stream writes the rebuilt archive from the installed one without unpacking it, and
// writes the bytes unpack writes but for the directories' times: nested and empty
// directories, empty files, a read-only and a dot-named member, members replaced,
// added, unchanged, deleted and made by a delta; the installed archive's files stored
// without the archive bit. Runs again under code page 932 with Japanese names.
TEST_F(UpdaterTest, StreamWritesWhatUnpackWritesAlsoWithJapaneseNames) {
  UsePatch();
  Both("data/maps/same.txt", "unchanged", false, 1);
  Both("data/maps/replaced.txt", "old text", true, 2);
  Both("data/deep/a/b/empty.bin", "", false, 3);
  Both("data/deep/a/b/c/empty.dat", "", true, 4);
  Both("data/ro.txt", "read-only member", false, 5);
  SetReadOnly(Src("old") / "data/ro.txt");
  SetReadOnly(Src("new") / "data/ro.txt");
  Both("data/.dotted", "a member whose name begins with a dot", false, 6);
  Both("data/maps/long.txt", Lines(1200, false), false, 7);
  Write(Src("new") / "data/maps/long.txt", Lines(1200, true));
  SetWriteTime(Src("new") / "data/maps/long.txt", kBaseTime + 8);
  NewOnly("data/added/sub/new.txt", "a new member", 9);
  Write(Src("old") / "data/gone/old.txt", "a member the new version has no more");
  for (const char* side : {"old", "new"}) fs::create_directories(Src(side) / "data/empty/inner");
  if (GetACP() == 932) {
    Both("data/ソフト/表.txt", "表", false, 11);
    Both("data/ソフト/変更.txt", "変更前", true, 12);
    NewOnly("data/新しい/追加.txt", "追加", 13);
  }
  Both("game/game.exe", "MZ game binary", true, 20);
  BuildTrees({"data"}, true);
  std::string rebuilt[2];
  const RebuildWay ways[2] = {RebuildWay::kUnpack, RebuildWay::kStream};
  for (int i = 0; i < 2; ++i) {
    rebuild_ = ways[i];
    PatchSummary summary;
    ASSERT_TRUE(MakePatch(nullptr, &summary));
    ASSERT_EQ(summary.Archives.size(), 1u);
    EXPECT_EQ(summary.Archives[0].Deltas, 1);
    EXPECT_EQ(summary.Archives[0].Deleted, 1);
    Install();
    ClearArchiveBits(install_ / "data.dat");
    RecordingUi ui;
    ASSERT_TRUE(Run(ui)) << ui.messages[0].Text;
    ExpectNewVersionInstalled({"data"});
    rebuilt[i] = MaskDirectoryTimes(Read(install_ / "data.dat"));
  }
  ASSERT_FALSE(rebuilt[0].empty());
  ASSERT_EQ(rebuilt[0].size(), rebuilt[1].size());
  const auto differ = std::mismatch(rebuilt[0].begin(), rebuilt[0].end(), rebuilt[1].begin());
  EXPECT_TRUE(differ.first == rebuilt[0].end()) << "first difference at byte " << (differ.first - rebuilt[0].begin());
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
  // a member whose bytes no longer match its CRC: found by unpacking, and where the
  // rebuilt archive is written from the installed one, by the check of its data
  for (const RebuildWay way : {RebuildWay::kStream, RebuildWay::kUnpack}) {
    SCOPED_TRACE(RebuildWayName(way));
    rebuild_ = way;
    ASSERT_TRUE(MakePatch());
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
  {  // damaged data in the patch archive: found before anything is written
    Install();
    const std::string good = Read(patch_);
    std::string bytes = good;
    const size_t start = bytes.find(ArchiveTag()) + 16;
    for (size_t i = start + 40; i < start + 48; ++i) bytes[i] = char(bytes[i] ^ 0x5a);
    Write(patch_, bytes);
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    ExpectFailureReported(ui, "This patch file is damaged. Download it again.");
    Write(patch_, good);
    EXPECT_FALSE(fs::exists(install_ / "tmp"));
    expect_untouched("damaged patch");
  }
  {  // too little space: both figures, nothing changed
    Install();
    FreeSpaceOverride = 4 * 1024 + 100;
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    FreeSpaceOverride = -1;
    ASSERT_EQ(ui.messages.size(), 1u);
    const std::string& text = ui.messages[0].Text;
    EXPECT_EQ(text.find("There is not enough free space on drive "), 0u) << text;
    EXPECT_NE(text.find(" KB and 4 KB are free. Nothing was changed."), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(install_ / "tmp"));
    expect_untouched("space");
  }
  {  // an installed data archive with a member outside its directory: the rebuilt
     // archive would lose it
    Install();
    Write(root_ / "stray" / "stray.txt", "stray");
    Pack(install_ / "voice.dat", {Src("old") / "voice", root_ / "stray" / "stray.txt"}, false);
    const std::string voice = Read(install_ / "voice.dat");
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].Text.find("installing the game again"), std::string::npos);
    EXPECT_EQ(Read(install_ / "voice.dat"), voice);
    EXPECT_TRUE(Snapshot(install_)["data.dat"] == old_tree.at("data.dat"));
    EXPECT_TRUE(Snapshot(install_)["game.exe"] == old_tree.at("game.exe"));
    EXPECT_FALSE(fs::exists(install_ / "tmp"));
  }
  {  // a rebuild way this updater does not know: a damaged patch
    rebuild_ = RebuildWay::kStream;
    ASSERT_TRUE(MakePatch());
    Install();
    std::string bytes = Read(patch_);
    const size_t at = bytes.find("REBUILD_________");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 16] = 7;
    Write(patch_, bytes);
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    ExpectFailureReported(ui, "This patch file is damaged. Download it again.");
    expect_untouched("unknown rebuild way");
  }
}

// Holds a file open without letting it be moved or deleted.
class Lock {
 public:
  explicit Lock(const fs::path& path, DWORD share = FILE_SHARE_READ)
      : h_(CreateFileW(path.wstring().c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~Lock() { Release(); }
  bool Held() const { return h_ != INVALID_HANDLE_VALUE; }
  void Release() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

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
  ExpectFailureReported(ui, "voice.dat is in use by another program. Close the game and any program using it, then "
                            "run this patch again.");
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
  ExpectFailureReported(ui, "game.exe is in use by another program. Close the game and any program using it, then "
                            "run this patch again.");
  EXPECT_EQ(Read(install_ / "game.exe"), old_exe);
  // The log has the failing operation with the system's error and what was done.
  const std::string log = Read(root_ / "patch.log");
  EXPECT_NE(log.find("failed: move (error 32) " + (install_ / "game.exe").u8string()), std::string::npos) << log;
  EXPECT_NE(log.find("rolled back: the game is the old version again"), std::string::npos) << log;
  EXPECT_NE(log.find("end: failure"), std::string::npos) << log;
}

// What the new version has no more: a loose file and its directory, a whole data
// archive and a member. A failed run brings every deleted file back; the next run deletes
// them, leaving the players' own files and the directory that holds one.
TEST_F(UpdaterTest, DeletionsAreUndoneByARollBackAndDoneByTheCommit) {
  UsePatch();
  MakeGame();
  Write(Tree("old") / "stale/sub/old.txt", "stale");
  Write(Tree("old") / "kept/old.txt", "stale too");
  fs::remove(Tree("new") / "voice.dat");
  fs::remove(Src("new") / "data/maps/m5.txt");
  fs::remove(Tree("new") / "data.dat");
  Pack(Tree("new") / "data.dat", {Src("new") / "data"}, true);
  SetWriteTime(Tree("new") / "data.dat", kBaseTime + 9999);
  ASSERT_TRUE(MakePatch());
  Install();
  Write(install_ / "kept/mine.txt", "the player's");
  Write(install_ / "mods/mine.txt", "the player's");
  const std::map<std::string, FileState> before = Snapshot(install_);
  {
    RecordingUi ui;
    Lock lock(install_ / "game.exe");  // placed last, after the deletions
    ASSERT_TRUE(lock.Held());
    EXPECT_FALSE(Run(ui));
  }
  const std::map<std::string, FileState> after = Snapshot(install_);
  EXPECT_EQ(after.size(), before.size());
  for (const auto& [name, state] : before) EXPECT_TRUE(after.count(name) && after.at(name) == state) << name;

  RecordingUi ui;
  ASSERT_TRUE(Run(ui)) << ui.messages[0].Text;
  EXPECT_FALSE(fs::exists(install_ / "voice.dat"));
  EXPECT_FALSE(fs::exists(install_ / "stale"));
  EXPECT_EQ(Read(install_ / "kept/mine.txt"), "the player's");
  EXPECT_FALSE(fs::exists(install_ / "kept/old.txt"));
  EXPECT_EQ(Read(install_ / "mods/mine.txt"), "the player's");
  RemoveAll(install_ / "kept");
  RemoveAll(install_ / "mods");
  ExpectNewVersionInstalled({"data"});
}

// Changed members and loose files go as deltas where those are smaller once coded, and
// whole where not (a file whose every byte changed); the update makes the new version
// from both. An installed file that is not the one a delta expects ends the update
// before anything changes, with a message that names it.
TEST_F(UpdaterTest, DeltasOfMembersAndLooseFiles) {
  UsePatch();
  Both("data/maps/big.txt", Lines(3000, false), false, 1);
  Write(Src("new") / "data/maps/big.txt", Lines(3000, true));
  Both("data/same.txt", "same", false, 2);
  Both("game/game.exe", Lines(2000, false), false, 3);
  Write(Src("new") / "game/game.exe", Lines(2000, true));
  Both("game/config/ro.js", Lines(1500, false), false, 4);
  Write(Src("new") / "game/config/ro.js", Lines(1500, true) + "// new tail\n");
  SetReadOnly(Src("old") / "game/config/ro.js");
  SetReadOnly(Src("new") / "game/config/ro.js");
  std::string noise_old, noise_new;
  for (uint32_t i = 0, x = 7; i < 20000; ++i) {
    x = x * 1103515245u + 12345u;
    noise_old += char(x >> 24);
    noise_new += char(x >> 16);
  }
  Both("game/noise.bin", noise_old, false, 5);
  Write(Src("new") / "game/noise.bin", noise_new);
  // A renamed file: made from the old one, which the same patch deletes.
  Write(Src("old") / "game/lib/engine.5be0c2a9.js", Lines(1200, false));
  NewOnly("game/lib/engine.e71f03d4.js", Lines(1200, true), 6);
  for (const char* name : {"data/maps/big.txt", "game/game.exe", "game/config/ro.js", "game/noise.bin"}) {
    SetWriteTime(Src("new") / name, kBaseTime + 777);
  }
  BuildTrees({"data"}, true);
  PatchSummary summary;
  ASSERT_TRUE(MakePatch(nullptr, &summary));
  ASSERT_EQ(summary.Archives.size(), 1u);
  EXPECT_EQ(summary.Archives[0].Deltas, 1);
  EXPECT_EQ(summary.LooseDeltas, 3);    // game.exe, the read-only file and the renamed one
  EXPECT_EQ(summary.LooseFromOther, 1);
  EXPECT_EQ(summary.LooseReplaced, 3);  // the noise goes whole
  EXPECT_EQ(summary.LooseBytes, noise_new.size());
  const uint64_t with_deltas = summary.ArchiveSize;

  // The player changed the file the renamed one is made from: that file is named.
  Install();
  Write(install_ / "lib/engine.5be0c2a9.js", Lines(1200, false) + "// mine\n");
  {
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    ExpectFailureReported(ui, "The game's file lib\\engine.5be0c2a9.js is not the one this patch updates: it was "
                              "changed or is damaged. Nothing was changed.\nRestore the game's original file, then "
                              "run this patch again.");
  }
  EXPECT_FALSE(fs::exists(install_ / "lib/engine.e71f03d4.js"));

  // The player changed the file a delta starts from: named, and nothing changes.
  Install();
  Write(install_ / "config/ro.js", Lines(1500, false) + "// mine\n");
  SetReadOnly(install_ / "config/ro.js");
  const std::map<std::string, FileState> before = Snapshot(install_);
  {
    RecordingUi ui;
    EXPECT_FALSE(Run(ui));
    ExpectFailureReported(ui, "The game's file config\\ro.js is not the one this patch updates: it was changed or is "
                              "damaged. Nothing was changed.\nRestore the game's original file, then run this patch "
                              "again.");
  }
  const std::map<std::string, FileState> after = Snapshot(install_);
  EXPECT_EQ(after.size(), before.size());
  for (const auto& [name, state] : before) EXPECT_TRUE(after.count(name) && after.at(name) == state) << name;

  // A run rolled back after the renamed file's base was kept aside (game.exe, placed
  // last, is held) brings the base back; the next run makes the renamed file from it.
  Install();
  {
    RecordingUi ui;
    Lock lock(install_ / "game.exe");
    ASSERT_TRUE(lock.Held());
    EXPECT_FALSE(Run(ui));
  }
  EXPECT_EQ(Read(install_ / "lib/engine.5be0c2a9.js"), Lines(1200, false));
  RecordingUi ui;
  ASSERT_TRUE(Run(ui)) << ui.messages[0].Text;
  ExpectNewVersionInstalled({"data"});

  no_delta_ = true;
  ASSERT_TRUE(MakePatch(nullptr, &summary));
  EXPECT_EQ(summary.LooseDeltas, 0);
  EXPECT_LT(with_deltas + 20000, summary.ArchiveSize);  // the noise weighs the same in both
}

// A record of an earlier run that cannot be read says nothing about what to put back:
// the update does not run over it, and nothing of the game changes.
TEST_F(UpdaterTest, AnUnreadableRecordStopsTheUpdateBeforeAnyChange) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  Install();
  Write(install_ / "tmp" / "___undo.rec", "GUTXN001 cut short");
  RecordingUi ui;
  EXPECT_FALSE(Run(ui));
  ExpectFailureReported(ui);
  EXPECT_EQ(Read(install_ / "tmp" / "___undo.rec"), "GUTXN001 cut short");
  fs::remove(install_ / "tmp" / "___undo.rec");
  fs::remove(install_ / "tmp");
  const std::map<std::string, FileState> old_tree = Snapshot(Tree("old")), now = Snapshot(install_);
  EXPECT_EQ(now.size(), old_tree.size());
  for (const auto& [name, state] : old_tree) EXPECT_TRUE(now.at(name) == state) << name;
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

// The names of a directory, sorted.
std::vector<std::string> Listing(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().u8string());
  std::sort(names.begin(), names.end());
  return names;
}

// Installation paths as the registry may hold them, each read as the shell reads a typed
// path: the update succeeds and nothing appears beside the installation. The patch
// replaces a file whose name begins with a dot, which Wine marks hidden by itself.
TEST_F(UpdaterTest, RegistryPathsAsTheShellReadsThem) {
  UsePatch();
  Both("data/a.txt", "member", true, 1);
  Both("game/game.exe", "MZ game", true, 2);
  Both("game/.settings", "dot file", true, 3);
  BuildTrees({"data"}, false);
  ASSERT_TRUE(MakePatch());
  const std::string games = (root_ / "Games").u8string();
  std::string slashes = install_.u8string();
  std::replace(slashes.begin(), slashes.end(), '\\', '/');
  for (const std::string& registered :
       {slashes, games + "\\\\SampleQuest\\", games + "\\x\\..\\.\\SampleQuest", install_.u8string() + ".",
        install_.u8string() + " ", install_.u8string() + ". ."}) {
    SCOPED_TRACE(registered);
    Install();
    Register(registered);
    RecordingUi ui;
    EXPECT_TRUE(Run(ui));
    EXPECT_EQ(InstallPath, install_.u8string());
    ExpectNewVersionInstalled({"data"});
    EXPECT_EQ(Listing(root_ / "Games"), std::vector<std::string>{"SampleQuest"});
  }
}

// An installation directory whose name on disk ends in a dot (made through the
// long-path prefix): the update reaches it through its short name and leaves nothing
// beside it.
TEST_F(UpdaterTest, InstallDirectoryWhoseNameEndsInADot) {
  UsePatch();
  Both("data/a.txt", "member", true, 1);
  Both("game/game.exe", "MZ game", true, 2);
  NewOnly("game/new/dir/file.txt", "new", 3);
  BuildTrees({"data"}, false);
  ASSERT_TRUE(MakePatch());
  fs::create_directories(root_ / "Games");
  const std::string dotted = (root_ / "Games" / "SampleQuest.").u8string();
  ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + fs::u8path(dotted).wstring()).c_str(), nullptr));
  // The fixture's own file calls reach it through its short name too.
  const std::string short_name = ShortPathName(dotted);
  ASSERT_FALSE(short_name.empty());
  ASSERT_FALSE(HasTrailingDotOrSpace(short_name)) << short_name;
  install_ = fs::u8path(short_name);
  // The fixture's tree removal cannot reach a name ending in a dot: it goes here.
  struct RemoveDotted {
    fs::path Short;
    std::wstring Prefixed;
    ~RemoveDotted() {
      RemoveAll(Short);
      RemoveDirectoryW(Prefixed.c_str());
    }
  } remove_dotted{install_, L"\\\\?\\" + fs::u8path(dotted).wstring()};
  CopyTree(Tree("old"), install_);
  Register(dotted);
  RecordingUi ui;
  EXPECT_TRUE(Run(ui)) << ui.messages[0].Text;
  EXPECT_EQ(InstallPath, short_name);
  ExpectNewVersionInstalled({"data"});
  EXPECT_EQ(Listing(root_ / "Games"), std::vector<std::string>{"SampleQuest."});
}

// Paths below the installation beyond the limits of the archive code's entry points
// (the game's own files are within them): the short form of the installation serves when
// it is short enough; when nothing is, the run says by how much and changes nothing.
TEST_F(UpdaterTest, PathsBeyondTheClassicLimit) {
  UsePatch();
  const std::string member = "data/" + std::string(120, 'm') + ".txt";  // tmp\___\ and 129 characters
  Both(member, "a long member name", true, 1);
  Both("game/game.exe", "MZ game", true, 2);
  BuildTrees({"data"}, false);
  ASSERT_TRUE(MakePatch());
  const size_t base = root_.u8string().size();
  ASSERT_LT(base, 200u);
  install_ = root_ / std::string(235 - 22 - base, 'd') / "Sample Quest Install";
  ASSERT_EQ(install_.u8string().size(), 235u);
  Install();
  RecordingUi ui;
  EXPECT_TRUE(Run(ui)) << ui.messages[0].Text;
  ExpectNewVersionInstalled({"data"});

  // Deeper than any short form helps: names of eight letters are their own short form.
  install_ = root_;
  for (char c = 'e'; c < 'e' + 14; ++c) install_ /= std::string(8, c);
  Install();
  const auto before = Snapshot(install_);
  RecordingUi refused;
  EXPECT_FALSE(Run(refused));
  ASSERT_EQ(refused.messages.size(), 1u);
  const size_t excess = install_.u8string().size() + 9 + 129 - 259;
  EXPECT_EQ(refused.messages[0].Text, "The game's folder path is too long for this patch by " + std::to_string(excess) +
                                          " characters. Nothing was changed.\nMove the game to a folder with a "
                                          "shorter path, then run this patch again.\n\nDetails for support are in " +
                                          UpdateLogPath());
  EXPECT_TRUE(Snapshot(install_) == before);
  EXPECT_FALSE(fs::exists(install_ / "tmp"));
}

// The patch and the game in folders whose names have no form in the system code page
// (Cyrillic under 1252): the archive code is given their short names.
TEST_F(UpdaterTest, FoldersOutsideTheCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "needs code page 1252";
  UsePatch();
  Both("data/a.txt", "member", true, 1);
  Both("game/game.exe", "MZ game", true, 2);
  BuildTrees({"data"}, false);
  ASSERT_TRUE(MakePatch());
  const fs::path downloads = root_ / U8("Загрузки");
  fs::create_directories(downloads);
  fs::copy_file(patch_, downloads / "patch.exe");
  patch_ = downloads / "patch.exe";
  install_ = root_ / U8("Игры") / "SampleQuest";
  Install();
  RecordingUi ui;
  EXPECT_TRUE(Run(ui)) << ui.messages[0].Text;
  ExpectNewVersionInstalled({"data"});
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

namespace {

using namespace updater_fixture;

// ---- one copy at a time, the game's own files, files in use -------------------------

// A second copy started while the first one runs: before Start, while it stages, after
// the swap. It changes nothing and says so; the first one ends with the new version.
TEST_F(UpdaterTest, ASecondCopyWaitsForTheFirst) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  const int64_t c = 2;
  for (const int64_t at_step : {int64_t(-1), int64_t(1), 2 * c + 1}) {
    Install();
    std::vector<Message> second;
    auto second_copy = [&] {
      RecordingHost host;
      EXPECT_EQ(RunStartup(host), 0);
      EXPECT_EQ(host.main_windows, 0);
      second.insert(second.end(), host.messages.begin(), host.messages.end());
    };
    SetProgramFilePathOverride(patch_.u8string());
    RecordingHost host;
    if (at_step < 0) host.on_main_window = second_copy;
    ASSERT_EQ(RunStartup(host), 0);
    ASSERT_EQ(host.main_windows, 1);
    RecordingUi ui;
    ui.on_repaint = [&] {
      if (at_step >= 0 && second.empty() && StepDone == at_step && ItemDone > 0) second_copy();
    };
    SetUpdateUi(&ui);
    UpdateWorker(nullptr);
    SetUpdateUi(nullptr);
    ASSERT_EQ(second.size(), 1u) << at_step;
    EXPECT_EQ(second[0].Text, kAnotherCopyMessage);
    EXPECT_EQ(second[0].Caption, "Sample Quest Update Patch ver. 1.1.0");
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].Text, kSuccessMessage) << at_step;
    ExpectNewVersionInstalled({"data", "voice"});
  }
}

// The game's own "tmp" (a folder with files named like the patch's, an empty folder; or
// a file) is left exactly as it was; the update works beside it.
TEST_F(UpdaterTest, TheGamesOwnTmpIsLeftAlone) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  for (const bool as_folder : {true, false}) {
    Install();
    if (as_folder) {
      Write(install_ / "tmp" / "readme.txt", "the player's readme");
      Write(install_ / "tmp" / "game.exe", "the player's copy");
      Write(install_ / "tmp" / "___" / "data" / "maps" / "m2.txt", "the player's map");
      fs::create_directories(install_ / "tmp" / "cache" / "empty");
    } else {
      Write(install_ / "tmp", "a file named tmp");
    }
    const std::map<std::string, FileState> before =
        as_folder ? Snapshot(install_ / "tmp") : std::map<std::string, FileState>();
    RecordingUi ui;
    ASSERT_TRUE(Run(ui)) << ui.messages[0].Text;
    EXPECT_FALSE(fs::exists(install_ / "___tmp"));
    if (as_folder) {
      const std::map<std::string, FileState> after = Snapshot(install_ / "tmp");
      EXPECT_EQ(after.size(), before.size());
      for (const auto& [name, state] : before) EXPECT_TRUE(after.at(name) == state) << name;
      EXPECT_TRUE(fs::is_directory(install_ / "tmp" / "cache" / "empty"));
    } else {
      EXPECT_EQ(Read(install_ / "tmp"), "a file named tmp");
    }
    RemoveAll(install_ / "tmp");
    ExpectNewVersionInstalled({"data", "voice"});
  }
}

TEST_F(UpdaterTest, ACheckFileThatCannotBeReadIsNamed) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  Install();
  SetProgramFilePathOverride(patch_.u8string());
  Lock lock(install_ / "game.exe", 0);
  ASSERT_TRUE(lock.Held());
  RecordingHost host;
  RunStartup(host);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].Text, "The game's file " + (install_ / "game.exe").u8string() +
                                       " cannot be read (error 32). Close the game and any program using it, then "
                                       "run this patch again.");
  EXPECT_EQ(host.main_windows, 0);
}

// A program holds voice.dat open when the swap begins and closes it a moment later:
// the update waits for it.
TEST_F(UpdaterTest, AFileInUseForAMomentIsWaitedFor) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  Install();
  InUseRetryMilliseconds = 10000;
  Lock lock(install_ / "voice.dat");
  ASSERT_TRUE(lock.Held());
  gca::Thread releaser;
  RecordingUi ui;
  // The last repaint before the swap: the rebuilt voice archive is complete.
  ui.on_repaint = [&] {
    if (!releaser.Joinable() && StepDone == 4 && ItemDone == ItemTotal) {
      releaser.Start([&lock] {
        Sleep(300);
        lock.Release();
      });
    }
  };
  const bool ok = Run(ui);
  ASSERT_TRUE(releaser.Joinable());
  releaser.Join();
  ASSERT_TRUE(ok) << ui.messages[0].Text;
  ExpectNewVersionInstalled({"data", "voice"});
}

// A program opens the new data.dat after the swap and keeps it while the placement
// fails: the game cannot be put back yet. The message says so, and the next run, once
// the program has closed, puts it back and then updates it.
TEST_F(UpdaterTest, ARollBackBlockedByAProgramIsFinishedByTheNextRun) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  Install();
  const std::map<std::string, FileState> old_state = Snapshot(install_);
  std::unique_ptr<Lock> dat;
  {
    Lock exe(install_ / "game.exe");
    RecordingUi ui;
    ui.on_repaint = [&] {
      if (!dat && StepDone == 2 * 2 + 1) dat = std::make_unique<Lock>(install_ / "data.dat");
    };
    EXPECT_FALSE(Run(ui));
    ExpectFailureReported(ui,
                          "The update could not be finished and the game is not yet back as it was: data.dat is in "
                          "use by another program.\nDo not start the game. Close the program using it, then run this "
                          "patch again: it finishes putting the game back.");
    ASSERT_TRUE(dat && dat->Held());
    EXPECT_TRUE(fs::exists(install_ / "tmp" / "___undo.rec"));
  }
  dat.reset();
  // Start-up puts the old version back before it looks at the check file.
  SetProgramFilePathOverride(patch_.u8string());
  RecordingHost host;
  RunStartup(host);
  EXPECT_EQ(host.main_windows, 1);
  EXPECT_FALSE(fs::exists(install_ / "tmp"));
  const std::map<std::string, FileState> back = Snapshot(install_);
  EXPECT_EQ(back.size(), old_state.size());
  for (const auto& [name, state] : old_state) EXPECT_TRUE(back.at(name) == state) << name;
  RecordingUi ui;
  ASSERT_TRUE(Run(ui)) << ui.messages[0].Text;
  ExpectNewVersionInstalled({"data", "voice"});
}

// After the commit point a backup held open cannot turn the run into a failure: it
// stays with the record, and the next run removes it.
TEST_F(UpdaterTest, ALeftoverAfterTheCommitIsLeftToTheNextRun) {
  UsePatch();
  MakeGame();
  ASSERT_TRUE(MakePatch());
  Install();
  std::unique_ptr<Lock> bak;
  RecordingUi ui;
  ui.on_repaint = [&] {
    if (!bak && StepDone == 2 * 2 + 2) bak = std::make_unique<Lock>(install_ / "data.bak");
  };
  ASSERT_TRUE(Run(ui)) << ui.messages[0].Text;
  ASSERT_TRUE(bak && bak->Held());
  EXPECT_TRUE(fs::exists(install_ / "data.bak"));
  EXPECT_TRUE(fs::exists(install_ / "tmp" / "___done.rec"));
  bak.reset();
  RecordingHost host;
  RunStartup(host);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].Text, "already attached even version.");
  ExpectNewVersionInstalled({"data", "voice"});
}

// The space the run counts on is never less than what its files take at the peak
// (each file in whole clusters), and not far above it, for each rebuild way: with a
// large member that goes over unchanged (incompressible: keep stores it as large),
// the files' own bytes outweigh what the estimate adds for each file's metadata.
TEST_F(UpdaterTest, TheSpaceEstimateCoversThePeak) {
  UsePatch();
  std::string noise(3 << 20, '\0');
  uint32_t x = 99;
  for (char& c : noise) c = char((x = x * 1103515245u + 12345u) >> 24);
  Both("data/big.bin", noise, false, 77);
  MakeGame();
  for (const RebuildWay way : {RebuildWay::kUnpack, RebuildWay::kStream, RebuildWay::kKeep}) {
    SCOPED_TRACE(RebuildWayName(way));
    rebuild_ = way;
    ASSERT_TRUE(MakePatch());
    Install();
    const uint64_t cluster = QueryVolumeSpace(install_.u8string()).Cluster;
    auto used = [&] {
      uint64_t bytes = 0;
      for (fs::recursive_directory_iterator it(install_), end; it != end; ++it) {
        if (it->is_directory()) bytes += cluster;
        else bytes += (fs::file_size(it->path()) + cluster - 1) / cluster * cluster;
      }
      return bytes;
    };
    const uint64_t before = used();
    uint64_t peak = 0;
    RecordingUi ui;
    ui.on_repaint = [&] { peak = std::max(peak, used() - before); };
    ASSERT_TRUE(Run(ui));
    EXPECT_GT(LastPeakEstimate, 0u);
    EXPECT_GE(LastPeakEstimate, peak);
    EXPECT_LE(LastPeakEstimate, peak + peak / 4);
    std::cout << RebuildWayName(way) << ": peak " << peak << " bytes, estimate " << LastPeakEstimate << " bytes"
              << std::endl;
  }
}

}  // namespace
