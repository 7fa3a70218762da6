// The patch builder on the host: which files and members go into a patch, what it
// refuses, and the records it writes.
#include "tools/patch_builder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/delta_format.h"
#include "app/payload_format.h"
#include "archive/gca_archive.h"
#include "archive/os.h"
#include "host_files.h"
#include "tools/patch_delta.h"
#include "tools/patch_names.h"

namespace fs = std::filesystem;

namespace {

using host_files::ReadAll;
using host_files::Write;

// A PE image of two sections that ends at 0x1400, with 0x40 bytes of trailing data.
void WriteStub(const fs::path& path) {
  std::vector<uint8_t> pe(0x1440, 0xCC);
  std::memset(pe.data(), 0, 0x400);
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[0x3c] = 0x80;
  std::memcpy(&pe[0x80], "PE\0\0", 4);
  pe[0x86] = 2;
  pe[0x94] = 0xe0;
  const size_t table = 0x80 + 24 + 0xe0;
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) pe[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(table + 16, 0x800);
  put(table + 20, 0x400);
  put(table + 40 + 16, 0x400);
  put(table + 40 + 20, 0x1000);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(pe.data()), pe.size());
}

std::string ArchivePathOf(const fs::path& path) {
  std::string text = path.string();
  for (char& c : text) c = c == '/' ? '\\' : c;
  return text;
}

struct PackForm {
  bool Solid = false;
  bool ScrambleDirectory = false;
};

// Packs directory src/<base> into dat, as the game's data archives are packed.
void Pack(const fs::path& dat, const std::vector<fs::path>& sources, PackForm form = PackForm()) {
  gca::GcaArchive builder;
  ASSERT_TRUE(builder.PrepareBuffers());
  builder.CompressData = false;
  builder.Solid = form.Solid;
  builder.ScrambleDirectory = form.ScrambleDirectory;
  builder.SetArchivePath(ArchivePathOf(dat));
  std::vector<std::string> list;
  for (const fs::path& s : sources) list.push_back(ArchivePathOf(s));
  builder.SetSourceList(list);
  ASSERT_TRUE(builder.Build());
}

std::set<std::string> PatchEntries(const fs::path& patch) {
  const std::vector<uint8_t> bytes = ReadAll(patch);
  const int32_t tag = FindTag(bytes.data(), std::min<size_t>(bytes.size(), kSearchWindow), ArchiveTag());
  EXPECT_GT(tag, 0);
  gca::ArchiveHandle handle;
  handle.Create();
  EXPECT_TRUE(handle.PrepareBuffers());
  handle.SetArchivePath(ArchivePathOf(patch));
  handle.SetStartOffset(tag + 16);
  EXPECT_TRUE(handle.Open());
  std::set<std::string> names;
  for (int32_t i = 0; i < handle.EntryCount(); ++i) names.insert(handle.EntryName(i));
  return names;
}

class PatchBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("patch_builder_test_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    old_ = root_ / "old";
    new_ = root_ / "new";
    fs::create_directories(root_);
    WriteStub(root_ / "updater.exe");
    for (int i = 0; i < 4; ++i) {
      const std::string body = "map " + std::to_string(i) + "\n";
      Write(root_ / "old-src/data/maps" / ("m" + std::to_string(i) + ".txt"), body);
      Write(root_ / "new-src/data/maps" / ("m" + std::to_string(i) + ".txt"), i == 2 ? body + "patched" : body);
    }
    Write(root_ / "new-src/data/extra/new.txt", "new member");
    // Unchanged members keep their time: only m2 differs.
    for (int i = 0; i < 4; ++i) {
      const std::string name = "m" + std::to_string(i) + ".txt";
      if (i != 2) fs::last_write_time(root_ / "new-src/data/maps" / name, fs::last_write_time(root_ / "old-src/data/maps" / name));
    }
    Write(root_ / "old-src/voice/v.bin", "voice");
    Write(root_ / "new-src/voice/v.bin", "voice");
    // Same content and time stamps in both trees: nothing of voice.dat changes.
    fs::last_write_time(root_ / "new-src/voice/v.bin", fs::last_write_time(root_ / "old-src/voice/v.bin"));
    fs::last_write_time(root_ / "new-src/voice", fs::last_write_time(root_ / "old-src/voice"));
    Write(old_ / "game.exe", "old game");
    Write(new_ / "game.exe", "new game");
    Write(old_ / "readme.txt", "same");
    Write(new_ / "readme.txt", "same");
    fs::last_write_time(new_ / "readme.txt", fs::last_write_time(old_ / "readme.txt"));
    Write(new_ / "docs/changes/v1.1.txt", "what changed");
    Pack(old_ / "data.dat", {root_ / "old-src/data"});
    Pack(new_ / "data.dat", {root_ / "new-src/data"});
    Pack(old_ / "voice.dat", {root_ / "old-src/voice"});
    fs::copy_file(old_ / "voice.dat", new_ / "voice.dat");
    Write(new_ / "voice.dat", std::string());  // replaced below by a repack with equal members
    fs::remove(new_ / "voice.dat");
    Pack(new_ / "voice.dat", {root_ / "new-src/voice"});
    options_.Stub = (root_ / "updater.exe").string();
    options_.OldDir = old_.string();
    options_.NewDir = new_.string();
    options_.Title = "Sample Quest";
    options_.OldVersion = "1.0.0";
    options_.NewVersion = "1.1.0";
    options_.CheckFile = "game.exe";
    options_.Output = (root_ / "patch.exe").string();
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_, old_, new_;
  PatchOptions options_;
};

TEST_F(PatchBuilderTest, HoldsWhatDiffersAndTheRecords) {
  PatchSummary summary;
  std::string error;
  ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
  EXPECT_EQ(summary.LooseFiles, 2);  // game.exe and the new document
  EXPECT_EQ(summary.DataArchives, 1);
  EXPECT_EQ(summary.ImageEnd, 0x1400u);  // the trailing bytes of the stub are not kept
  const std::set<std::string> entries = PatchEntries(root_ / "patch.exe");
  for (const char* name : {"game.exe", "docs\\changes\\v1.1.txt", "___\\data\\maps\\m2.txt", "___\\data\\extra\\new.txt"}) {
    EXPECT_EQ(entries.count(name), 1u) << name;
  }
  for (const char* name : {"readme.txt", "___\\data\\maps\\m1.txt", "___\\voice\\v.bin", "data.dat", "voice.dat"}) {
    EXPECT_EQ(entries.count(name), 0u) << name;
  }

  const std::vector<uint8_t> bytes = ReadAll(root_ / "patch.exe");
  ASSERT_EQ(bytes.size(), summary.PatchSize);
  const PayloadView view = ParsePayload(bytes.data(), std::min<size_t>(bytes.size(), kSearchWindow));
  EXPECT_EQ(FindTag(bytes.data(), bytes.size(), AssembleTag(TitleName)), 0x1400);
  EXPECT_EQ(view.Records.Title, "Sample Quest");
  EXPECT_EQ(view.Records.NewCheckFile, "game.exe");
  EXPECT_EQ(view.Records.OldCheckHash.size(), 128u);
  EXPECT_NE(view.Records.OldCheckHash, view.Records.NewCheckHash);
  std::set<std::string> timed;
  for (const TimeStamp& t : view.Records.Times) timed.insert(t.Name);
  // voice.dat holds the same members: the patch leaves it, and its time, alone.
  EXPECT_EQ(timed, (std::set<std::string>{"game.exe", "docs\\changes\\v1.1.txt", "data.dat"}));

  std::string text;
  ASSERT_TRUE(DescribePatch(options_.Output, text, error)) << error;
  EXPECT_NE(text.find("Sample Quest"), std::string::npos);
  EXPECT_NE(text.find("___\\data\\maps\\m2.txt"), std::string::npos);
}

// A publisher rebuilds and compares: the same trees and options give the same bytes,
// whatever the clock says when the directories of the work tree are made.
TEST_F(PatchBuilderTest, SameTreesGiveTheSameBytes) {
  PatchSummary summary;
  std::string error;
  ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
  const std::vector<uint8_t> first = ReadAll(root_ / "patch.exe");
  usleep(20000);
  ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
  EXPECT_TRUE(first == ReadAll(root_ / "patch.exe"));
}

// What the new version no longer has: loose files, a whole data archive, a member and
// directories go into the deletion list (deepest directory first), never the check file;
// --keep-deleted lists them as kept and writes no list.
TEST_F(PatchBuilderTest, DeletionsAreListedOrKept) {
  Write(old_ / "old/sub/stale.js", "stale");
  Write(old_ / "stale.map", "map");
  fs::remove(new_ / "voice.dat");
  fs::remove(root_ / "new-src/data/maps/m3.txt");
  fs::remove(new_ / "data.dat");
  Pack(new_ / "data.dat", {root_ / "new-src/data"});
  PatchSummary summary;
  std::string error;
  ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
  EXPECT_EQ(summary.LooseDeleted, 3);
  EXPECT_EQ(summary.DataArchivesDeleted, 1);
  EXPECT_EQ(summary.DirectoriesDeleted, 2);
  ASSERT_EQ(summary.Archives.size(), 1u);
  EXPECT_EQ(summary.Archives[0].Deleted, 1);
  std::vector<uint8_t> bytes = ReadAll(root_ / "patch.exe");
  const int32_t tag = FindTag(bytes.data(), std::min<size_t>(bytes.size(), kSearchWindow), AssembleTag(DeleteName));
  ASSERT_GT(tag, 0);
  std::vector<std::string> listed;
  size_t at = size_t(tag) + 20;
  for (uint32_t i = 0, n = bytes[tag + 16]; i < n; ++i) {
    const uint32_t flags = bytes[at], length = bytes[at + 4];
    listed.push_back((flags & 1 ? "dir " : "") + std::string(bytes.begin() + long(at) + 8, bytes.begin() + long(at + 8 + length)));
    at += 8 + length;
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"old\\sub\\stale.js", "stale.map", "voice.dat", "dir old\\sub", "dir old",
                                              "___\\data\\maps\\m3.txt"}));
  EXPECT_NE(SummaryText(summary).find("deleted: 3 loose file(s)"), std::string::npos) << SummaryText(summary);

  options_.KeepDeleted = true;
  ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
  EXPECT_EQ(summary.LooseDeleted, 0);
  EXPECT_EQ(summary.LooseKept, 3);
  EXPECT_EQ(summary.Archives.size(), 1u);
  EXPECT_EQ(summary.Archives[0].Kept, 1);
  bytes = ReadAll(root_ / "patch.exe");
  EXPECT_LT(FindTag(bytes.data(), std::min<size_t>(bytes.size(), kSearchWindow), AssembleTag(DeleteName)), 0);
  EXPECT_NE(SummaryText(summary).find("kept (--keep-deleted): 3 loose file(s)"), std::string::npos);
}

TEST_F(PatchBuilderTest, RefusesWhatThePatchCannotExpress) {
  PatchSummary summary;
  std::string error;
  PatchOptions o = options_;
  o.Title = std::string(32, 'x');
  EXPECT_FALSE(BuildPatch(o, summary, error));
  EXPECT_NE(error.find("31"), std::string::npos) << error;
  o = options_;
  o.NewVersion = "1.1.0-with-a-very-long-suffix-ok";
  EXPECT_FALSE(BuildPatch(o, summary, error));

  // Deletions go into the deletion list; a file that became a directory is refused.
  fs::remove(new_ / "readme.txt");
  fs::create_directories(new_ / "readme.txt");
  EXPECT_FALSE(BuildPatch(options_, summary, error));
  EXPECT_NE(error.find("readme.txt"), std::string::npos) << error;
  fs::remove(new_ / "readme.txt");
  Write(new_ / "readme.txt", "same");

  // A member outside the directory named after its archive.
  Write(root_ / "stray.txt", "stray");
  fs::remove(new_ / "data.dat");
  Pack(new_ / "data.dat", {root_ / "new-src/data", root_ / "stray.txt"});
  EXPECT_FALSE(BuildPatch(options_, summary, error));
  EXPECT_NE(error.find("stray.txt"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(options_.Output + ".work"));
}

// Names go into the archive in the players' code page; trail bytes equal to a backslash
// (as in the Shift-JIS forms of "ソ" and "表") are no separators.
TEST_F(PatchBuilderTest, JapaneseNamesInCodePage932) {
  ASSERT_TRUE(gca::os::SetNameCodePage(932));
  Write(root_ / "old-src/data/ソフト/表.txt", "old");
  Write(root_ / "new-src/data/ソフト/表.txt", "new");
  fs::remove(old_ / "data.dat");
  fs::remove(new_ / "data.dat");
  Pack(old_ / "data.dat", {root_ / "old-src/data"});
  Pack(new_ / "data.dat", {root_ / "new-src/data"});
  Write(new_ / "説明.txt", "notes");
  PatchOptions o = options_;
  o.CodePage = 932;
  PatchSummary summary;
  std::string error;
  const bool ok = BuildPatch(o, summary, error);
  const std::set<std::string> entries = PatchEntries(root_ / "patch.exe");
  gca::os::SetNameCodePage(1252);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(entries.count("___\\data\\\x83\x5c\x83\x74\x83\x67\\\x95\x5c.txt"), 1u);
  EXPECT_EQ(entries.count("\x90\xe0\x96\xbe.txt"), 1u);
  // The time-stamp list keeps the names in UTF-8.
  const std::vector<uint8_t> bytes = ReadAll(root_ / "patch.exe");
  const PayloadView view = ParsePayload(bytes.data(), std::min<size_t>(bytes.size(), kSearchWindow));
  bool listed = false;
  for (const TimeStamp& t : view.Records.Times) listed = listed || t.Name == "説明.txt";
  EXPECT_TRUE(listed);
}

TEST_F(PatchBuilderTest, IdenticalTreesMakeNoPatch) {
  PatchSummary summary;
  std::string error;
  PatchOptions o = options_;
  o.NewDir = o.OldDir;
  EXPECT_FALSE(BuildPatch(o, summary, error));  // the check file cannot tell them apart
  EXPECT_FALSE(error.empty());
}

// ---- refusals -----------------------------------------------------------------------

class PatchRefusalTest : public PatchBuilderTest {
 protected:
  // Nothing named like the output or its work directories is left behind.
  void ExpectNoOutput(const std::string& what) {
    EXPECT_FALSE(fs::exists(options_.Output)) << what;
    for (const auto& entry : fs::directory_iterator(root_)) {
      EXPECT_NE(entry.path().filename().string().rfind("patch.exe.work", 0), 0u) << what << ": " << entry.path();
    }
  }
  // The build fails; the message is returned.
  std::string Refused(const PatchOptions& o, const std::string& what) {
    PatchSummary summary;
    std::string error;
    EXPECT_FALSE(BuildPatch(o, summary, error)) << what;
    ExpectNoOutput(what);
    return error;
  }
  void ExpectRefusedNaming(const std::string& what, const std::vector<std::string>& parts) {
    const std::string error = Refused(options_, what);
    for (const std::string& part : parts) EXPECT_NE(error.find(part), std::string::npos) << what << ": " << error;
  }
};

TEST_F(PatchRefusalTest, CheckFileThatCannotTellTheVersionsApart) {
  PatchOptions o = options_;
  o.NewCheckFile = "readme.txt";  // the same bytes in both trees
  const std::string error = Refused(o, "same new check file");
  EXPECT_NE(error.find("readme.txt"), std::string::npos) << error;
  EXPECT_NE(error.find("same in the old and the new version"), std::string::npos) << error;
  // A new check file that is new in this version is fine.
  o.NewCheckFile = "docs\\changes\\v1.1.txt";
  PatchSummary summary;
  std::string build_error;
  EXPECT_TRUE(BuildPatch(o, summary, build_error)) << build_error;
}

TEST_F(PatchRefusalTest, EmptyTextsAndTagsInsideRecords) {
  PatchOptions o = options_;
  o.Title = "";
  EXPECT_NE(Refused(o, "empty title").find("the title is empty"), std::string::npos);
  o = options_;
  o.OldVersion = "";
  EXPECT_NE(Refused(o, "empty old version").find("the old version text is empty"), std::string::npos);
  o = options_;
  o.NewVersion = "";
  EXPECT_NE(Refused(o, "empty new version").find("the new version text is empty"), std::string::npos);

  // A title holding the tag of a later record: the updater would read that record there.
  o = options_;
  o.Title = "XCHECK_FILE_NEW__";
  std::string error = Refused(o, "tag in the title");
  EXPECT_NE(error.find("the title would hold \"CHECK_FILE_NEW__\""), std::string::npos) << error;
  o = options_;
  o.NewVersion = "1.1 DAT_TIME________";
  error = Refused(o, "tag in the version");
  EXPECT_NE(error.find("the new version text"), std::string::npos) << error;
  // A file name in the time-stamp list holding the archive's tag.
  Write(new_ / "ARCHIVE_DATA____.txt", "x");
  error = Refused(options_, "tag in a time-stamp name");
  EXPECT_NE(error.find("the time-stamp entry \"ARCHIVE_DATA____.txt\""), std::string::npos) << error;
}

TEST_F(PatchRefusalTest, NamesWindowsCannotHold) {
  // Each with the name refused: the file's, or that of the directory that holds it.
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"con.txt", "con.txt"},   {"CON", "CON"},         {"Aux.tar.gz", "Aux.tar.gz"}, {"nul .txt", "nul .txt"},
      {"a?b.txt", "a?b.txt"},   {"x.", "x."},           {"sp ", "sp "},               {"q<r", "q<r"},
      {"p>q", "p>q"},           {"p|q", "p|q"},         {"star*", "star*"},           {"say\"hi\"", "say\"hi\""},
      {"c:x", "c:x"},           {"ctl\x01.txt", "ctl\x01.txt"}, {"sub./f.txt", "sub."},  {"lpt1/f.txt", "lpt1"},
      {"deep/COM3.log", "deep\\COM3.log"}};
  for (const auto& [name, shown] : bad) {
    Write(new_ / name, "bad name");
    ExpectRefusedNaming(name, {"\"" + shown + "\"", "Windows cannot hold it"});
    fs::remove_all(new_ / fs::path(name).begin()->string());
  }
  // Reserved names only as a whole component, before the first dot.
  for (const char* fine : {"console.txt", "com10.txt", "lpt.txt", "a.con"}) Write(new_ / fine, "fine");
  PatchSummary summary;
  std::string error;
  EXPECT_TRUE(BuildPatch(options_, summary, error)) << error;
}

TEST_F(PatchRefusalTest, NamesThatDifferOnlyInCase) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"Game.exe", "game.exe"},
      {"Docs/a.txt", "docs"},                               // a directory beside another
      {"\xC3\x89t\xC3\xA9.txt", "\xC3\xA9t\xC3\xA9.txt"},   // Été / été
      {"\xD0\x94.txt", "\xD0\xB4.txt"},                     // Cyrillic De
      {"\xEF\xBC\xA1.txt", "\xEF\xBD\x81.txt"}};              // fullwidth A / a
  for (const auto& [first, second] : pairs) {
    Write(new_ / first, "one");
    if (!fs::exists(new_ / second)) Write(new_ / second, "two");
    std::string shown = first.substr(0, first.find('/'));
    ExpectRefusedNaming(first, {"\"" + shown + "\"", "differ only in letter case"});
    fs::remove_all(new_ / fs::path(first).begin()->string());
    if (second != "game.exe" && second != "docs") fs::remove(new_ / second);
  }
  // Members of a data archive are unpacked to the disk too.
  Write(root_ / "new-src/data/maps/M1.txt", "upper case");
  fs::remove(new_ / "data.dat");
  Pack(new_ / "data.dat", {root_ / "new-src/data"});
  ExpectRefusedNaming("members", {"data\\maps\\M1.txt", "data\\maps\\m1.txt", "\"data.dat\""});
  fs::remove(root_ / "new-src/data/maps/M1.txt");
  Write(root_ / "new-src/data/aux.txt", "device");
  fs::remove(new_ / "data.dat");
  Pack(new_ / "data.dat", {root_ / "new-src/data"});
  ExpectRefusedNaming("member device name", {"data\\aux.txt", "cannot be unpacked on Windows"});
}

TEST_F(PatchRefusalTest, NamesTheUpdaterKeeps) {
  for (const std::string name : {"tmp/x.txt", "TMP/y.txt", "tmp", "___x.txt", "___/y.txt"}) {
    Write(new_ / name, "kept");
    // The directory is refused before the file in it.
    const std::string shown = name.substr(0, name.find('/'));
    ExpectRefusedNaming(name, {"\"" + shown + "\" cannot be named in a patch"});
    fs::remove_all(new_ / fs::path(name).begin()->string());
  }
  Write(new_ / "tmpfile.txt", "a name that only begins with tmp");
  PatchSummary summary;
  std::string error;
  EXPECT_TRUE(BuildPatch(options_, summary, error)) << error;

  // Names that leave the players' game folder fewer than 100 characters of the updater's
  // path limit, as loose files (kept aside below tmp\___old\) and as members (unpacked
  // below tmp\___\); one character less is fine. Allowed on purpose, they ship.
  const std::string loose = "docs/" + std::string(142, 'l') + ".txt";  // 151: room 96 of 259 - 12
  Write(new_ / loose, "long");
  fs::remove(options_.Output);
  ExpectRefusedNaming("long loose name", {std::string(142, 'l'), "151 characters long", "--allow-long-names"});
  fs::remove_all(new_ / "docs");
  Write(new_ / ("docs/" + std::string(138, 'l') + ".txt"), "147 characters: room 100");
  EXPECT_TRUE(BuildPatch(options_, summary, error)) << error;
  Write(root_ / ("new-src/data/" + std::string(146, 'm') + ".txt"), "long member");  // 155: room 95
  fs::remove(new_ / "data.dat");
  Pack(new_ / "data.dat", {root_ / "new-src/data"});
  fs::remove(options_.Output);
  ExpectRefusedNaming("long member name", {std::string(146, 'm'), "\"data.dat\"", "155 characters long"});
  PatchOptions allowed = options_;
  allowed.AllowLongNames = true;
  EXPECT_TRUE(BuildPatch(allowed, summary, error)) << error;
}

// ---- what the patch carries ---------------------------------------------------------

// The new data archive rebuilt from a fresh checkout: every member has a new time.
TEST_F(PatchBuilderTest, MembersThatDifferOnlyInTimeAreCountedNotShipped) {
  for (const auto& entry : fs::recursive_directory_iterator(root_ / "new-src/data")) {
    fs::last_write_time(entry.path(), fs::last_write_time(entry.path()) + std::chrono::hours(3));
  }
  fs::remove(new_ / "data.dat");
  Pack(new_ / "data.dat", {root_ / "new-src/data"});
  // A loose file rewritten with the same bytes.
  fs::last_write_time(new_ / "readme.txt", fs::last_write_time(new_ / "readme.txt") + std::chrono::hours(3));

  PatchSummary summary;
  std::string error;
  ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
  ASSERT_EQ(summary.Archives.size(), 1u);  // voice.dat holds the same bytes
  const ArchiveSummary& data = summary.Archives[0];
  EXPECT_EQ(data.Name, "data.dat");
  EXPECT_FALSE(data.ShippedWhole);
  EXPECT_EQ(data.TimeOnly, 3);  // m0, m1, m3
  EXPECT_EQ(data.Replaced, 1);  // m2
  EXPECT_EQ(data.Added, 2);     // the directory extra and extra\new.txt
  EXPECT_EQ(data.Shipped, 3);
  EXPECT_EQ(summary.MembersTimeOnly, 3);
  EXPECT_EQ(summary.LooseTimeOnly, 2);  // readme.txt and voice.dat
  std::set<std::string> entries = PatchEntries(root_ / "patch.exe");
  for (const char* name : {"___\\data\\maps\\m0.txt", "___\\data\\maps\\m1.txt", "readme.txt"}) {
    EXPECT_EQ(entries.count(name), 0u) << name;
  }
  EXPECT_EQ(entries.count("___\\data\\maps\\m2.txt"), 1u);
  std::vector<uint8_t> bytes = ReadAll(root_ / "patch.exe");
  PayloadView view = ParsePayload(bytes.data(), std::min<size_t>(bytes.size(), kSearchWindow));
  for (const TimeStamp& t : view.Records.Times) EXPECT_NE(t.Name, "readme.txt");
  std::string text = SummaryText(summary);
  EXPECT_NE(text.find("3 members differ only in time: not shipped"), std::string::npos) << text;
  EXPECT_NE(text.find("2 loose files differ only in time: not shipped, no time stamp"), std::string::npos) << text;
  const uint64_t without = summary.PatchSize;

  PatchOptions o = options_;
  o.WithTimes = true;
  ASSERT_TRUE(BuildPatch(o, summary, error)) << error;
  EXPECT_EQ(summary.Archives[0].Shipped, 6);
  EXPECT_EQ(summary.MembersTimeOnly, 3);
  entries = PatchEntries(root_ / "patch.exe");
  EXPECT_EQ(entries.count("___\\data\\maps\\m0.txt"), 1u);
  EXPECT_EQ(entries.count("readme.txt"), 0u);  // its time comes from a time stamp
  bytes = ReadAll(root_ / "patch.exe");
  view = ParsePayload(bytes.data(), std::min<size_t>(bytes.size(), kSearchWindow));
  bool stamped = false;
  for (const TimeStamp& t : view.Records.Times) stamped = stamped || t.Name == "readme.txt";
  EXPECT_TRUE(stamped);
  text = SummaryText(summary);
  EXPECT_NE(text.find("3 members differ only in time: shipped (--with-times)"), std::string::npos) << text;
  EXPECT_GT(summary.PatchSize, without);
}

// Data archives in forms a stored rebuild cannot give: data.dat solid in both versions,
// voice.dat with a scrambled directory in the new one (and a new member). Unpacking and
// streaming ship them whole; keeping merges into them when both versions have the same
// options, and refuses by name when they differ. Each way is recorded in the payload.
TEST_F(PatchRefusalTest, ArchivesMergedOrShippedWholeByRebuildWay) {
  fs::remove(old_ / "data.dat");
  fs::remove(new_ / "data.dat");
  PackForm solid;
  solid.Solid = true;
  Pack(old_ / "data.dat", {root_ / "old-src/data"}, solid);
  Pack(new_ / "data.dat", {root_ / "new-src/data"}, solid);
  Write(root_ / "new-src/voice/v2.bin", "new voice");
  fs::remove(new_ / "voice.dat");
  PackForm scrambled;
  scrambled.ScrambleDirectory = true;
  Pack(new_ / "voice.dat", {root_ / "new-src/voice"}, scrambled);
  const struct {
    RebuildWay way;
    bool old_voice_scrambled;
    const char* refusal;  // what the refusal must name besides the archive
  } cases[] = {{RebuildWay::kUnpack, false, nullptr},
               {RebuildWay::kStream, false, nullptr},
               {RebuildWay::kKeep, false, "differ in scrambled directory"},
               {RebuildWay::kKeep, true, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(RebuildWayName(c.way)) + (c.old_voice_scrambled ? ", both scrambled" : ""));
    fs::remove(old_ / "voice.dat");
    Pack(old_ / "voice.dat", {root_ / "old-src/voice"}, c.old_voice_scrambled ? scrambled : PackForm());
    options_.Rebuild = c.way;
    fs::remove(options_.Output);
    if (c.refusal != nullptr) {
      ExpectRefusedNaming("keep with other options", {"\"voice.dat\"", c.refusal});
      continue;
    }
    PatchSummary summary;
    std::string error;
    ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
    const bool keep = c.way == RebuildWay::kKeep;
    const std::set<std::string> entries = PatchEntries(root_ / "patch.exe");
    for (const char* name : {"data.dat", "voice.dat"}) EXPECT_EQ(entries.count(name), keep ? 0u : 1u) << name;
    for (const char* name : {"___\\data\\maps\\m2.txt", "___\\voice\\v2.bin"}) {
      EXPECT_EQ(entries.count(name), keep ? 1u : 0u) << name;
    }
    ASSERT_EQ(summary.Archives.size(), 2u);
    EXPECT_EQ(summary.DataArchives, keep ? 2 : 0);
    EXPECT_EQ(summary.Archives[0].ShippedWhole, !keep);
    EXPECT_EQ(summary.Archives[0].KeptOptions, keep ? "compressed, solid" : "");
    EXPECT_EQ(summary.Archives[1].KeptOptions, keep ? "stored, scrambled directory" : "");
    const std::string text = SummaryText(summary);
    if (keep) {
      EXPECT_NE(text.find("data.dat: rebuilt with its own options (compressed, solid)"), std::string::npos) << text;
    } else {
      EXPECT_EQ(summary.Archives[0].WholeReason, "solid");
      EXPECT_EQ(summary.Archives[0].Bytes, fs::file_size(new_ / "data.dat"));
      EXPECT_EQ(summary.Archives[1].WholeReason, "scrambled directory");
      EXPECT_EQ(summary.LooseFiles, 4);  // game.exe, the document and both archives
      EXPECT_NE(text.find("data.dat: solid, shipped whole, " + std::to_string(fs::file_size(new_ / "data.dat")) +
                          " bytes"),
                std::string::npos)
          << text;
      EXPECT_NE(text.find("voice.dat: scrambled directory, shipped whole"), std::string::npos) << text;
    }
    // The unpacking patch has no rebuild record at all: its bytes are those of before.
    const std::vector<uint8_t> bytes = ReadAll(root_ / "patch.exe");
    EXPECT_EQ(FindTag(bytes.data(), bytes.size(), AssembleTag("REBUILD")) > 0, c.way != RebuildWay::kUnpack);
    std::string shown;
    ASSERT_TRUE(DescribePatch(options_.Output, shown, error)) << error;
    EXPECT_NE(shown.find(std::string("data archives rebuilt: ") + RebuildWayName(c.way)), std::string::npos);
  }
}

TEST_F(PatchBuilderTest, SummaryCountsWhatThePatchCarries) {
  PatchSummary summary;
  std::string error;
  ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
  EXPECT_EQ(summary.LooseAdded, 1);     // the document
  EXPECT_EQ(summary.LooseReplaced, 1);  // game.exe
  EXPECT_EQ(summary.LooseTimeOnly, 1);  // voice.dat, packed again from the same files
  EXPECT_EQ(summary.LooseBytes, std::string("new game").size() + std::string("what changed").size());
  ASSERT_EQ(summary.Archives.size(), 1u);
  const ArchiveSummary& data = summary.Archives[0];
  EXPECT_EQ(data.Added, 2);
  EXPECT_EQ(data.Replaced, 1);
  EXPECT_EQ(data.Unchanged, 3);  // m0, m1, m3 (directories are not counted)
  EXPECT_EQ(data.Bytes, std::string("map 2\npatched").size() + std::string("new member").size());
  EXPECT_EQ(summary.PatchSize, fs::file_size(options_.Output));
  EXPECT_EQ(summary.PatchSize, summary.ImageEnd + summary.RecordsSize + summary.ArchiveSize);
  const std::string text = SummaryText(summary);
  EXPECT_NE(text.find("loose files                        1         1          -          1     20 bytes"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("data.dat                           2         1          3          0     23 bytes"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("patch " + std::to_string(summary.PatchSize) + " bytes"), std::string::npos) << text;
}

// An added file that is mostly an old file of another name (a bundle renamed by its
// content hash, the old one deleted) goes as a delta that names that file and reads back.
TEST_F(PatchBuilderTest, AnAddedFileGoesAsADeltaFromARenamedOne) {
  std::string bundle;
  for (int i = 0; i < 400; ++i) bundle += "export const v" + std::to_string(i) + " = " + std::to_string(i * 7919 % 10007) + ";\n";
  Write(old_ / "web/app.3f9a1c2e.js", bundle);
  Write(old_ / "web/vendor.js", bundle.substr(0, 6000));  // less alike by name
  Write(new_ / "web/vendor.js", bundle.substr(0, 6000));
  Write(new_ / "web/app.77b01d4a.js", bundle.substr(0, 5000) + "export const added = 1;\n" + bundle.substr(5000));
  fs::last_write_time(new_ / "web/vendor.js", fs::last_write_time(old_ / "web/vendor.js"));
  PatchSummary summary;
  std::string error;
  ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
  EXPECT_EQ(summary.LooseAdded, 2);  // the document and the bundle
  EXPECT_EQ(summary.LooseDeltas, 1);
  EXPECT_EQ(summary.LooseFromOther, 1);
  EXPECT_EQ(summary.LooseDeleted, 1);
  const std::set<std::string> entries = PatchEntries(options_.Output);
  EXPECT_EQ(entries.count("___delta\\web\\app.77b01d4a.js"), 1u);
  EXPECT_EQ(entries.count("web\\app.77b01d4a.js"), 0u);
  EXPECT_NE(SummaryText(summary).find("1 added loose file(s) shipped as deltas from another file"), std::string::npos);
  std::string text;
  ASSERT_TRUE(DescribePatch(options_.Output, text, error)) << error;
  EXPECT_NE(text.find("(delta of web\\app.77b01d4a.js, from another file: web\\app.3f9a1c2e.js)"), std::string::npos)
      << text;
}

// ---- the read-back ------------------------------------------------------------------

TEST_F(PatchRefusalTest, ReadBackCatchesWhatWasDamagedAfterWriting) {
  struct Damage {
    const char* what;
    std::function<void(std::string&)> apply;
    const char* expected;
  };
  const std::vector<Damage> damages = {
      {"title", [](std::string& b) { b[b.find("Sample Quest") + 11] = 'X'; }, "the title reads as \"Sample QuesX\""},
      {"check digest", [](std::string& b) { b[b.find(AssembleTag(CheckNewHashName)) + 16 + 5] ^= 1; },
       "the new check digest"},
      {"time stamp", [](std::string& b) { b[b.find("docs\\changes") + 1] = 'X'; }, "time-stamp entry"},
      {"archive tag", [](std::string& b) { b[b.find(ArchiveTag())] = 'X'; }, "archive record"},
      {"archive data",
       [](std::string& b) {
         const size_t at = b.find("new game");
         b[at == std::string::npos ? b.find(ArchiveTag()) + 16 + 40 : at] ^= 0x20;
       },
       "does not"},
  };
  for (const Damage& damage : damages) {
    PatchOptions o = options_;
    o.AfterWrite = [&](const std::string& patch) {
      std::string bytes;
      {
        const std::vector<uint8_t> all = ReadAll(patch);
        bytes.assign(all.begin(), all.end());
      }
      damage.apply(bytes);
      std::ofstream(patch, std::ios::binary | std::ios::trunc) << bytes;
    };
    const std::string error = Refused(o, damage.what);
    EXPECT_NE(error.find("does not read back"), std::string::npos) << damage.what << ": " << error;
    EXPECT_NE(error.find(damage.expected), std::string::npos) << damage.what << ": " << error;
  }
  // Untouched, the same build goes through.
  PatchSummary summary;
  std::string error;
  EXPECT_TRUE(BuildPatch(options_, summary, error)) << error;
}

// ---- the command line and the work directory ----------------------------------------

TEST_F(PatchBuilderTest, WorkDirectoryIsFreshAndNothingNamedLikeItIsDeleted) {
  const std::string pid = std::to_string(::getpid());
  Write(root_ / ("patch.exe.work-" + pid + "-0"), "a file of the publisher");
  Write(root_ / ("patch.exe.work-" + pid + "-1") / "keep.txt", "a directory of the publisher");
  Write(root_ / "patch.exe.work" / "keep.txt", "named like the old work directory");
  PatchSummary summary;
  std::string error;
  ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
  EXPECT_TRUE(fs::exists(options_.Output));
  std::vector<uint8_t> kept = ReadAll(root_ / ("patch.exe.work-" + pid + "-0"));
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "a file of the publisher");
  EXPECT_TRUE(fs::exists(root_ / ("patch.exe.work-" + pid + "-1") / "keep.txt"));
  EXPECT_TRUE(fs::exists(root_ / "patch.exe.work" / "keep.txt"));
  int left = 0;
  for (const auto& entry : fs::directory_iterator(root_)) {
    left += entry.path().filename().string().rfind("patch.exe.work", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(left, 3);
}

TEST_F(PatchBuilderTest, ShowOfAFileThatIsNoPatch) {
  std::string text, error;
  EXPECT_FALSE(DescribePatch((root_ / "updater.exe").string(), text, error));
  EXPECT_EQ(error.rfind("not a patch: no ARCHIVE_DATA record", 0), 0u) << error;
  PatchSummary summary;
  ASSERT_TRUE(BuildPatch(options_, summary, error)) << error;
  EXPECT_TRUE(DescribePatch(options_.Output, text, error)) << error;
  EXPECT_NE(text.find("new check file: \"game.exe\""), std::string::npos) << text;
  EXPECT_NE(text.find("time stamps: 3"), std::string::npos) << text;
}

struct ToolRun {
  int Status = -1;
  std::string Output;  // stdout and stderr
};

ToolRun RunTool(const std::string& arguments) {
  const char* tool = std::getenv("GU_MKPATCH");
  ToolRun run;
  if (tool == nullptr) return run;
  FILE* pipe = popen(("'" + std::string(tool) + "' " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.Output.append(buffer, n);
  const int status = pclose(pipe);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST_F(PatchBuilderTest, CommandLineAsAPublisherExpects) {
  if (std::getenv("GU_MKPATCH") == nullptr) GTEST_SKIP() << "GU_MKPATCH is not set";
  const std::string base = "--stub '" + options_.Stub + "' --old '" + options_.OldDir + "' --new '" +
                           options_.NewDir + "' --title 'Sample Quest' --old-version 1.0.0 --new-version 1.1.0 -o '" +
                           options_.Output + "'";
  ToolRun run = RunTool(base);
  EXPECT_EQ(run.Status, 2);
  EXPECT_NE(run.Output.find("mkpatch: missing --check-file"), std::string::npos) << run.Output;
  run = RunTool(base + " --check-file game.exe --title Again");
  EXPECT_EQ(run.Status, 2);
  EXPECT_NE(run.Output.find("mkpatch: --title is given twice"), std::string::npos) << run.Output;
  for (const char* bad : {"abc", "1252x", "-1", "0", "99999", ""}) {
    run = RunTool(base + " --check-file game.exe --codepage '" + bad + "'");
    EXPECT_EQ(run.Status, 2) << bad;
    EXPECT_NE(run.Output.find("mkpatch: --codepage: \"" + std::string(bad) + "\" is not a code-page number"),
              std::string::npos)
        << run.Output;
  }
  run = RunTool(base + " --check-file game.exe --codepage 4242");
  EXPECT_EQ(run.Status, 2);
  EXPECT_NE(run.Output.find("mkpatch: --codepage: code page 4242"), std::string::npos) << run.Output;
  EXPECT_FALSE(fs::exists(options_.Output));

  run = RunTool("--show '" + options_.Stub + "'");
  EXPECT_EQ(run.Status, 1);
  EXPECT_NE(run.Output.find("mkpatch: not a patch: no ARCHIVE_DATA record"), std::string::npos) << run.Output;

  run = RunTool(base + " --check-file game.exe --codepage 1252");
  EXPECT_EQ(run.Status, 0) << run.Output;
  EXPECT_NE(run.Output.find("loose files"), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("data.dat"), std::string::npos) << run.Output;
  EXPECT_EQ(run.Output.find("comparing"), std::string::npos) << "no progress bar without a terminal";
  run = RunTool("--show '" + options_.Output + "'");
  EXPECT_EQ(run.Status, 0) << run.Output;
}

// ---- names --------------------------------------------------------------------------

TEST(PatchNames, WhatWindowsCannotHold) {
  for (const char* bad : {"con", "CON.txt", "a\\Prn.x.y", "aux  .txt", "NUL", "com1", "LPT9.log", "com0",
                          "COM\xC2\xB9", "conin$", "a\\b?", "x.", "d.\\f", "s ", "a\x1f", "a|b", "<", "\"q\"", "a:b",
                          "a\\\\b", "a/b"}) {
    EXPECT_FALSE(WindowsNameProblem(bad).empty()) << bad;
  }
  for (const char* good : {"console", "com10", "lpt", "a.con", "x.y", "sp ace", "\xE8\xA1\xA8.txt", "con_x", ".hidden"}) {
    EXPECT_EQ(WindowsNameProblem(good), "") << good;
  }
  EXPECT_NE(WindowsNameProblem("dir\\con.txt").find("\"con.txt\" names the Windows device CON"), std::string::npos);
  EXPECT_FALSE(UpdaterNameProblem("tmp").empty());
  EXPECT_FALSE(UpdaterNameProblem("Tmp\\a").empty());
  EXPECT_FALSE(UpdaterNameProblem("___a").empty());
  EXPECT_EQ(UpdaterNameProblem("tmp2\\a"), "");
  EXPECT_EQ(UpdaterNameProblem("a\\tmp\\b"), "");
}

TEST(PatchNames, CaseAsTheFileSystemComparesIt) {
  EXPECT_EQ(FoldNameCase("Game.EXE"), FoldNameCase("game.exe"));
  EXPECT_EQ(FoldNameCase("\xC3\xA9\xC3\xBF"), "\xC3\x89\xC5\xB8");     // é ÿ -> É Ÿ
  EXPECT_EQ(FoldNameCase("\xC5\x82"), "\xC5\x81");                   // ł -> Ł
  EXPECT_EQ(FoldNameCase("\xCF\x82\xCE\xAC"), "\xCE\xA3\xCE\x86");     // ς ά -> Σ Ά
  EXPECT_EQ(FoldNameCase("\xD1\x91"), "\xD0\x81");                   // ё -> Ё
  EXPECT_EQ(FoldNameCase("\xEF\xBD\x9A"), "\xEF\xBC\xBA");               // fullwidth z -> Z
  EXPECT_EQ(FoldNameCase("\xE3\x81\x82"), "\xE3\x81\x82");               // kana have no case
  EXPECT_EQ(FoldNameCase("\xFF\x81x"), "\xFF\x81X");                 // not UTF-8: kept
  EXPECT_EQ(FoldNameCase("\xC3\xB7"), "\xC3\xB7");                   // the division sign is no letter
  std::string a, b;
  EXPECT_FALSE(FindCaseClash({"a.txt", "b\\a.txt", "B2\\a.txt"}, a, b));
  EXPECT_TRUE(FindCaseClash({"dir\\a.txt", "x", "Dir\\b.txt"}, a, b));
  EXPECT_EQ(a, "dir");
  EXPECT_EQ(b, "Dir");
  EXPECT_TRUE(FindCaseClash({"d\\Readme", "d\\README"}, a, b));
  EXPECT_EQ(b, "d\\README");
  EXPECT_FALSE(FindCaseClash({"d", "d\\e", "d\\e\\f"}, a, b));  // a directory and what it holds
}

}  // namespace

namespace {

// Applies a delta in memory, pushing it in pieces of an awkward size.
class VectorSink : public DeltaSink {
 public:
  explicit VectorSink(const std::vector<uint8_t>& old_bytes) : old_(old_bytes) {}
  bool ReadSource(uint64_t position, uint8_t* buffer, uint32_t n) override {
    const std::vector<uint8_t>& from = position < old_.size() ? old_ : made;
    if (position >= old_.size()) position -= old_.size();
    if (position + n > from.size()) return false;
    std::memcpy(buffer, from.data() + position, n);
    return true;
  }
  bool WriteNew(const uint8_t* buffer, uint32_t n) override {
    made.insert(made.end(), buffer, buffer + n);
    return true;
  }
  std::vector<uint8_t> made;

 private:
  const std::vector<uint8_t>& old_;
};

bool ApplyInPieces(const std::vector<uint8_t>& old_bytes, const std::vector<uint8_t>& delta, std::vector<uint8_t>& out) {
  VectorSink sink(old_bytes);
  DeltaApplier applier(sink);
  for (size_t at = 0; at < delta.size(); at += 7777) {
    if (!applier.Push(delta.data() + at, std::min<size_t>(7777, delta.size() - at))) return false;
  }
  out = sink.made;
  return applier.Complete();
}

std::string Sha(const std::vector<uint8_t>& bytes) {
  gca::Sha512Digest digest;
  digest.Update(bytes.data(), static_cast<uint32_t>(bytes.size()));
  digest.Finish();
  return digest.HexText();
}

}  // namespace

// Deltas across chunk boundaries (a record split between chunks), repeats inside the new
// content, an empty old content, and streams that were damaged: each remade exactly or
// refused.
TEST(DeltaStream, MakesTheNewContentOrRefuses) {
  std::mt19937 random(7);
  std::vector<uint8_t> text(9 << 19);
  for (uint8_t& b : text) b = static_cast<uint8_t>('a' + random() % 26);
  std::vector<uint8_t> noise(300000);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
  std::vector<uint8_t> edited = text;  // every 1000th byte changed, a block inserted
  for (size_t i = 0; i < edited.size(); i += 1000) edited[i] ^= 0x20;
  edited.insert(edited.begin() + (3 << 20), noise.begin(), noise.end());
  std::vector<uint8_t> twice = noise;  // the new content repeats itself
  twice.insert(twice.end(), noise.begin(), noise.end());
  const struct {
    const char* what;
    std::vector<uint8_t> old_bytes, new_bytes;
    const char* base;  // a file of another name the old content is
  } cases[] = {
      {"edited across chunks", text, edited, ""},
      {"repeats itself, from a file of another name", {1, 2, 3}, twice, "lib\\old name.js"},
      {"empty old", {}, noise, ""},
      {"empty new", noise, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DeltaHeader header;
    header.OldSize = c.old_bytes.size();
    header.NewSize = c.new_bytes.size();
    header.NewCrc = gca::Crc32().Update(c.new_bytes.data(), static_cast<uint32_t>(c.new_bytes.size()), 0);
    header.OldDigest = Sha(c.old_bytes);
    header.NewDigest = Sha(c.new_bytes);
    header.Base = c.base;
    std::vector<uint8_t> delta, made;
    PutDeltaHeader(header, delta);
    const size_t header_size = delta.size();
    MakeDelta(c.old_bytes.data(), c.old_bytes.size(), c.new_bytes.data(), c.new_bytes.size(), delta);
    ASSERT_TRUE(ApplyInPieces(c.old_bytes, delta, made));
    EXPECT_TRUE(made == c.new_bytes);
    DeltaHeader read;
    ASSERT_EQ(DeltaHeaderBytes(delta.data(), std::min(delta.size(), kDeltaHeaderSize + 4)), header_size);
    ASSERT_TRUE(ParseDeltaHeader(delta.data(), header_size, read));
    EXPECT_EQ(read.Base, header.Base);
    // A flag bit no reader knows, and a base name's length of 0 or past the limit.
    for (size_t at : {size_t{28}, kDeltaHeaderSize, kDeltaHeaderSize + 1}) {
      if (at >= kDeltaHeaderSize && header.Base.empty()) continue;
      std::vector<uint8_t> damaged = delta;
      damaged[at] = at == 28 ? 2 : at == kDeltaHeaderSize ? 0 : 0x10;
      if (at == kDeltaHeaderSize) damaged[at + 1] = 0;
      EXPECT_FALSE(ApplyInPieces(c.old_bytes, damaged, made)) << at;
    }
    if (c.new_bytes.empty()) continue;
    // Any changed byte of the chunks, a stream cut short or one with a byte behind it.
    for (size_t at = header_size; at < delta.size(); at += delta.size() / 17 + 1) {
      std::vector<uint8_t> damaged = delta;
      damaged[at] ^= 0x41;
      EXPECT_FALSE(ApplyInPieces(c.old_bytes, damaged, made) && made == c.new_bytes) << at;
    }
    std::vector<uint8_t> cut(delta.begin(), delta.end() - 1), longer = delta;
    longer.push_back(0);
    EXPECT_FALSE(ApplyInPieces(c.old_bytes, cut, made));
    EXPECT_FALSE(ApplyInPieces(c.old_bytes, longer, made));
  }
}
