// The patch builder on the host: which files and members go into a patch, what it
// refuses, and the records it writes.
#include "tools/patch_builder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/payload_format.h"
#include "archive/gca_archive.h"
#include "archive/os.h"
#include "host_files.h"

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

// Packs directory src/<base> into dat, as the game's data archives are packed.
void Pack(const fs::path& dat, const std::vector<fs::path>& sources) {
  gca::GcaArchive builder;
  ASSERT_TRUE(builder.PrepareBuffers());
  builder.CompressData = false;
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

  fs::remove(new_ / "readme.txt");  // a deleted loose file
  EXPECT_FALSE(BuildPatch(options_, summary, error));
  EXPECT_NE(error.find("readme.txt"), std::string::npos) << error;
  Write(new_ / "readme.txt", "same");

  fs::remove(root_ / "new-src/data/maps/m3.txt");  // a deleted member
  fs::remove(new_ / "data.dat");
  Pack(new_ / "data.dat", {root_ / "new-src/data"});
  EXPECT_FALSE(BuildPatch(options_, summary, error));
  EXPECT_NE(error.find("m3.txt"), std::string::npos) << error;

  // A member outside the directory named after its archive.
  Write(root_ / "new-src/data/maps/m3.txt", "map 3\n");
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

}  // namespace
