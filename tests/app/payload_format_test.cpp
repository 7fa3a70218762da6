#include "app/payload_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::string> AllTags() {
  return {AssembleTag(TitleName),        AssembleTag(VersionOldName),   AssembleTag(VersionNewName),
          AssembleTag(CheckFileOldName), AssembleTag(CheckFileNewName), AssembleTag(CheckOldHashName),
          AssembleTag(CheckNewHashName), AssembleTag(DatTimeName),      ArchiveTag()};
}

std::string Digest(char c) { return std::string(128, c); }

PayloadRecords SampleRecords() {
  PayloadRecords r;
  r.Title = "Game";
  r.OldVersion = "1.00";
  r.NewVersion = "1.01";
  r.OldCheckFile = "game.exe";
  r.NewCheckFile = "game.exe";
  r.OldCheckHash = Digest('a');
  r.NewCheckHash = Digest('b');
  r.Times = {{"game.exe", 0x01d2000012345678ull}, {"data\\x.dat", 7}};
  return r;
}

TEST(PayloadTags, AssembledFromShortNames) {
  const std::vector<std::string> expected = {
      "TITLE___________", "VERSION_OLD_____", "VERSION_NEW_____", "CHECK_FILE_OLD__", "CHECK_FILE_NEW__",
      "CHECK_OLD_HASH__", "CHECK_NEW_HASH__", "DAT_TIME________", "ARCHIVE_DATA____"};
  EXPECT_EQ(AllTags(), expected);
  EXPECT_EQ(AssembleTag("ABCDEFGHIJKLMNOPQ"), "");  // longer than a tag
}

TEST(FindTag, WindowEdges) {
  const std::string tag = AssembleTag(TitleName);
  std::vector<uint8_t> file(kSearchWindow + 64, 0);
  // Last byte at 1,048,575: found.
  std::memcpy(file.data() + kSearchWindow - 16, tag.data(), 16);
  const size_t window = static_cast<size_t>(SearchWindowSize(file.size()));
  EXPECT_EQ(window, kSearchWindow);
  EXPECT_EQ(FindTag(file.data(), window, tag), static_cast<int32_t>(kSearchWindow - 16));
  // One byte later it reaches beyond the window: not found.
  std::fill(file.begin(), file.end(), 0);
  std::memcpy(file.data() + kSearchWindow - 15, tag.data(), 16);
  EXPECT_EQ(FindTag(file.data(), window, tag), -1);
  // A smaller file is searched whole.
  EXPECT_EQ(SearchWindowSize(100), 100u);
  EXPECT_EQ(SearchWindowSize(uint64_t(5) << 32), kSearchWindow);
  std::vector<uint8_t> small(tag.begin(), tag.end());
  EXPECT_EQ(FindTag(small.data(), small.size(), tag), 0);
  EXPECT_EQ(FindTag(small.data(), 15, tag), -1);  // shorter than the tag
}

TEST(FindTag, FirstMatchWinsAndSpellingCounts) {
  const std::string tag = AssembleTag(DatTimeName);
  std::vector<uint8_t> bytes(200, 'x');
  std::memcpy(bytes.data() + 40, tag.data(), 16);
  std::memcpy(bytes.data() + 120, tag.data(), 16);
  EXPECT_EQ(FindTag(bytes.data(), bytes.size(), tag), 40);
  std::vector<uint8_t> other(200, 'x');
  const std::string lower = "dat_time________";
  const std::string dashes = "DAT_TIME--------";
  std::memcpy(other.data() + 10, lower.data(), 16);
  std::memcpy(other.data() + 50, dashes.data(), 16);
  EXPECT_EQ(FindTag(other.data(), other.size(), tag), -1);
  // A partial match followed by the full one.
  std::memcpy(other.data() + 100, tag.data(), 15);
  std::memcpy(other.data() + 115, tag.data(), 16);
  EXPECT_EQ(FindTag(other.data(), other.size(), tag), 115);
}

TEST(FieldValues, TextAndDigestRules) {
  uint8_t text[32];
  std::memset(text, 'A', sizeof text);
  EXPECT_EQ(TextFieldValue(text), std::string(31, 'A'));  // byte 31 counts as zero
  std::memset(text, 0, sizeof text);
  EXPECT_EQ(TextFieldValue(text), "");
  std::memcpy(text, "ab\0cd", 5);
  EXPECT_EQ(TextFieldValue(text), "ab");
  uint8_t digest[129] = {};
  std::memset(digest, 'f', 128);
  digest[128] = 'X';  // the reader's buffer has a zero there; the value stops at 128
  EXPECT_EQ(DigestFieldValue(digest), std::string(128, 'f'));
  std::memset(digest + 60, 0, 68);
  EXPECT_EQ(DigestFieldValue(digest), std::string(60, 'f'));
}

TEST(PayloadWriter, RecordsInOrderOnSixteenByteBoundaries) {
  const PayloadRecords records = SampleRecords();
  std::vector<uint8_t> out;
  std::string error;
  const uint64_t start = 1003;  // an image end that is not aligned
  ASSERT_TRUE(WritePayloadRecords(records, start, out, error)) << error;
  // Leading zeros bring the first tag to offset 1008.
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(out[i], 0);
  int32_t previous = -1;
  for (const std::string& tag : AllTags()) {
    const int32_t at = FindTag(out.data(), out.size(), tag);
    ASSERT_GE(at, 0) << tag;
    EXPECT_EQ((start + static_cast<uint64_t>(at)) % 16, 0u) << tag;
    EXPECT_GT(at, previous) << tag;
    previous = at;
  }
  // The archive tag is last: the archive follows it directly.
  EXPECT_EQ(static_cast<size_t>(previous) + 16, out.size());
  // Zero bytes between the end of the time-stamp list and the archive tag.
  const size_t list = static_cast<size_t>(FindTag(out.data(), out.size(), AssembleTag(DatTimeName))) + 16;
  const size_t list_end = list + 4 + (4 + 8 + 8) + (4 + 10 + 8);
  for (size_t i = list_end; i < static_cast<size_t>(previous); ++i) EXPECT_EQ(out[i], 0) << i;

  const PayloadView view = ParsePayload(out.data(), out.size());
  EXPECT_TRUE(view.HasTitle && view.HasVersions && view.HasOldCheck && view.HasNewCheck && view.TimesComplete);
  EXPECT_EQ(view.Records.Title, "Game");
  EXPECT_EQ(view.Records.OldVersion, "1.00");
  EXPECT_EQ(view.Records.NewVersion, "1.01");
  EXPECT_EQ(view.Records.OldCheckHash, Digest('a'));
  EXPECT_EQ(view.Records.NewCheckHash, Digest('b'));
  ASSERT_EQ(view.Records.Times.size(), 2u);
  EXPECT_EQ(view.Records.Times[0].Name, "game.exe");
  EXPECT_EQ(view.Records.Times[0].WriteTime, 0x01d2000012345678ull);
  EXPECT_EQ(view.Records.Times[1].Name, "data\\x.dat");
  EXPECT_EQ(view.ArchiveTagPosition, previous);
}

TEST(PayloadWriter, RefusesWhatTheFormatCannotHold) {
  std::vector<uint8_t> out;
  std::string error;
  PayloadRecords r = SampleRecords();
  r.Title = std::string(31, 'T');
  EXPECT_TRUE(WritePayloadRecords(r, 0, out, error)) << error;
  r.Title = std::string(32, 'T');  // refused, never cut short
  EXPECT_FALSE(WritePayloadRecords(r, 0, out, error));
  EXPECT_NE(error.find("31"), std::string::npos);
  r = SampleRecords();
  r.NewVersion = std::string("a\0b", 3);
  EXPECT_FALSE(WritePayloadRecords(r, 0, out, error));
  r = SampleRecords();
  r.OldCheckHash = std::string(128, 'A');  // not lowercase
  EXPECT_FALSE(WritePayloadRecords(r, 0, out, error));
  r = SampleRecords();
  r.Times.push_back({"..\\outside.txt", 1});
  EXPECT_FALSE(WritePayloadRecords(r, 0, out, error));
  r = SampleRecords();
  EXPECT_TRUE(WritePayloadRecords(r, kSearchWindow - 700, out, error)) << error;
  EXPECT_FALSE(WritePayloadRecords(r, kSearchWindow - 200, out, error));
}

TEST(PayloadView, TimeListStopsAtFirstShortRead) {
  std::vector<uint8_t> out;
  std::string error;
  ASSERT_TRUE(WritePayloadRecords(SampleRecords(), 0, out, error));
  const size_t list = static_cast<size_t>(FindTag(out.data(), out.size(), AssembleTag(DatTimeName))) + 16;
  // Cut inside the second entry's time.
  const size_t cut = list + 4 + (4 + 8 + 8) + (4 + 10 + 3);
  const PayloadView view = ParsePayload(out.data(), cut);
  EXPECT_FALSE(view.TimesComplete);
  ASSERT_EQ(view.Records.Times.size(), 1u);
  EXPECT_EQ(view.Records.Times[0].Name, "game.exe");
  // A count far beyond what is there.
  std::vector<uint8_t> bytes(out.begin(), out.begin() + static_cast<long>(list));
  const uint8_t count[4] = {0xff, 0xff, 0xff, 0x7f};
  bytes.insert(bytes.end(), count, count + 4);
  EXPECT_TRUE(ParsePayload(bytes.data(), bytes.size()).Records.Times.empty());
}

TEST(SafeNames, StayBelowTheirDirectory) {
  for (const char* good : {"a.txt", "sub\\b.txt", "___\\x\\a\\b.txt", "x..y"}) EXPECT_TRUE(IsSafeRelativeName(good)) << good;
  for (const char* bad : {"", "\\a", "..\\a", "a\\..\\..\\b", "a\\.\\b", "a\\\\b", "C:\\a", "c:a", "a/b", "a\\"}) {
    EXPECT_FALSE(IsSafeRelativeName(bad)) << bad;
  }
}

// Components the system shortens to "." or "..", or reads as a device, in any position.
TEST(SafeNames, RefuseDotsAndSpacesAndDevices) {
  for (const char* bad : {"...", ". .", " ..", "a\\...\\b", "a\\ . \\b", "  ", "a\\ ", "CON", "con", "Con.txt",
                          "nul.tar.gz", "sub\\aux", "sub\\PRN.dat\\x", "com1", "COM9.log", "lpt1", "LPT9.x",
                          "lPt5\\a", "CON .txt", "nul ", "conin$", "CONOUT$.txt", "com\xC2\xB9", "LPT\xC2\xB3.txt"}) {
    EXPECT_FALSE(IsSafeRelativeName(bad)) << bad;
  }
  // Names that merely begin like a device, or carry a number the system does not reserve.
  for (const char* good : {"console.txt", "con_\\a", "com0", "com10", "lpt", "lpt0.txt", "nuller", "auxiliary\\x",
                           "a.con", "x\\prn1", ".hidden", "..x", "a b\\c d.txt", "\xE8\xA1\xA8\\\xE7\xA4\xBA"}) {
    EXPECT_TRUE(IsSafeRelativeName(good)) << good;
  }
}

// Control bytes and the reserved wildcard, redirection and quoting characters.
TEST(SafeNames, RefuseBytesNoFileNameHolds) {
  for (int byte = 1; byte < 0x20; ++byte) {
    EXPECT_FALSE(IsSafeRelativeName("a" + std::string(1, static_cast<char>(byte)) + "b")) << byte;
  }
  EXPECT_FALSE(IsSafeRelativeName(std::string("a\0b", 3)));
  for (const char* bad : {"a*", "a?.txt", "sub\\<x", "x>", "a|b", "\"q\""}) EXPECT_FALSE(IsSafeRelativeName(bad)) << bad;
  EXPECT_TRUE(IsSafeRelativeName("a\x7F\xFF" "b"));
}

std::vector<uint8_t> MinimalPe(uint32_t raw_pointer, uint32_t raw_size) {
  std::vector<uint8_t> pe(0x200, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[0x3c] = 0x80;
  std::memcpy(&pe[0x80], "PE\0\0", 4);
  pe[0x86] = 2;     // two sections
  pe[0x94] = 0xe0;  // optional header size
  const size_t table = 0x80 + 24 + 0xe0;
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) pe[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(table + 16, 0x200);
  put(table + 20, 0x400);
  put(table + 40 + 16, raw_size);
  put(table + 40 + 20, raw_pointer);
  return pe;
}

TEST(PeImage, EndOfLastSection) {
  std::vector<uint8_t> pe = MinimalPe(0x1000, 0x345);
  EXPECT_EQ(PeImageEnd(pe.data(), pe.size()), 0x1345u);
  pe = MinimalPe(0x200, 0x10);  // the first section ends last
  EXPECT_EQ(PeImageEnd(pe.data(), pe.size()), 0x600u);
  pe[0] = 'X';
  EXPECT_EQ(PeImageEnd(pe.data(), pe.size()), 0u);
  EXPECT_EQ(PeImageEnd(pe.data(), 10), 0u);
}

#ifdef GU_UPDATER_IMAGE
// The shipped program must not contain any full tag: the payload's tag is the first; and
// it must leave room behind it, inside the first MiB where the records are searched for,
// for the records of a large patch (64 KiB: long time-stamp and deletion lists). The
// image is the one this build made; a missing image is a failure, not a reason to skip.
TEST(UpdaterImage, HoldsNoFullTag) {
  const char* path = GU_UPDATER_IMAGE;
  std::ifstream file(path, std::ios::binary);
  ASSERT_TRUE(file) << "the updater image of this build is missing: " << path;
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_GT(image.size(), 1000u) << path;
  EXPECT_GT(PeImageEnd(image.data(), image.size()), 0u) << path << " is not a program image";
  EXPECT_LE(image.size() + 64 * 1024, 1u << 20) << path << " leaves too little room for the records";
  for (const std::string& tag : AllTags()) EXPECT_EQ(FindTag(image.data(), image.size(), tag), -1) << tag << " in " << path;
}
#endif

// A patch file in memory for the shared readers; counts how often it is opened.
class MemoryPayloadFile : public PayloadFile {
 public:
  explicit MemoryPayloadFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  bool Open() override {
    ++opens;
    position_ = 0;
    return true;
  }
  uint64_t Size() override { return bytes_.size(); }
  bool Seek(uint64_t position) override {
    if (position > bytes_.size()) return false;
    position_ = static_cast<size_t>(position);
    return true;
  }
  uint32_t Read(void* buffer, uint32_t n) override {
    const size_t count = std::min<size_t>(n, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, count);
    position_ += count;
    return static_cast<uint32_t>(count);
  }
  void Close() override {}
  int opens = 0;

 private:
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
};

TEST(PayloadReaders, ReadWhatTheWriterWrote) {
  std::vector<uint8_t> out;
  std::string error;
  const PayloadRecords r = SampleRecords();
  const uint64_t start = 300;
  ASSERT_TRUE(WritePayloadRecords(r, start, out, error)) << error;
  // The image, the records, then the archive.
  std::vector<uint8_t> file(static_cast<size_t>(start) + out.size() + 100, 0xEE);
  std::fill(file.begin(), file.begin() + static_cast<long>(start), 0xCC);
  std::copy(out.begin(), out.end(), file.begin() + static_cast<long>(start));
  MemoryPayloadFile payload(file);
  std::string value;
  ASSERT_TRUE(ReadTextRecordIn(payload, TitleName, value));
  EXPECT_EQ(value, "Game");
  ASSERT_TRUE(ReadTextRecordIn(payload, VersionNewName, value));
  EXPECT_EQ(value, "1.01");
  ASSERT_TRUE(ReadDigestRecordIn(payload, CheckNewHashName, value));
  EXPECT_EQ(value, Digest('b'));
  std::vector<TimeStamp> stamps;
  bool complete = false;
  ASSERT_TRUE(ReadTimeStampsIn(payload, stamps, complete));
  EXPECT_TRUE(complete);
  ASSERT_EQ(stamps.size(), 2u);
  EXPECT_EQ(stamps[1].Name, "data\\x.dat");
  EXPECT_EQ(stamps[1].WriteTime, 7u);
  EXPECT_EQ(FindRecordIn(payload, ArchiveTag()), static_cast<int32_t>(start + out.size() - 16));

  // A file that ends inside the second entry's name: the list stops there.
  const size_t list = static_cast<size_t>(FindTag(file.data(), file.size(), AssembleTag(DatTimeName))) + 16;
  MemoryPayloadFile cut(std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(list + 4 + 20 + 4 + 5)));
  ASSERT_TRUE(ReadTimeStampsIn(cut, stamps, complete));
  EXPECT_FALSE(complete);
  ASSERT_EQ(stamps.size(), 1u);
  // A field that runs past the end of the file fails its reader.
  const size_t title = static_cast<size_t>(FindTag(file.data(), file.size(), AssembleTag(TitleName)));
  MemoryPayloadFile short_title(std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(title + 16 + 31)));
  EXPECT_FALSE(ReadTextRecordIn(short_title, TitleName, value));
  // A time-stamp tag at position 0 is no list.
  const std::string tag = AssembleTag(DatTimeName);
  std::vector<uint8_t> zero(tag.begin(), tag.end());
  zero.resize(64, 0);
  MemoryPayloadFile list_at_zero(zero);
  EXPECT_FALSE(ReadTimeStampsIn(list_at_zero, stamps, complete));
}

TEST(PayloadWriter, TagsInsideRecordsAreNamed) {
  std::vector<uint8_t> out;
  std::vector<PayloadSpan> spans;
  std::string error;
  auto check = [&](const PayloadRecords& r) {
    error.clear();
    if (!WritePayloadRecords(r, 0, out, error, &spans)) return false;
    return CheckTagPlacement(out.data(), out.size(), spans, error);
  };
  EXPECT_TRUE(check(SampleRecords())) << error;
  EXPECT_EQ(spans.size(), 5u + 2u + 1u + 2u + 1u);  // texts, digests, the list, its entries, the archive
  PayloadRecords r = SampleRecords();
  r.Title = "XCHECK_FILE_NEW__";
  EXPECT_FALSE(check(r));
  EXPECT_EQ(error.rfind("the title would hold \"CHECK_FILE_NEW__\", the tag of the new check file name", 0), 0u)
      << error;
  r = SampleRecords();
  r.Times.push_back({"ARCHIVE_DATA____.txt", 1});
  EXPECT_FALSE(check(r));
  EXPECT_NE(error.find("the time-stamp entry \"ARCHIVE_DATA____.txt\""), std::string::npos) << error;
  EXPECT_NE(error.find("the archive record"), std::string::npos) << error;
  // A record's own tag inside its value, or an earlier record's tag, is harmless.
  r = SampleRecords();
  r.NewVersion = "TITLE___________";
  r.Times.push_back({"DAT_TIME________", 1});
  EXPECT_TRUE(check(r)) << error;
  // The image in front of the payload counts too.
  r = SampleRecords();
  ASSERT_TRUE(WritePayloadRecords(r, 32, out, error, &spans));
  std::vector<uint8_t> file(32 + out.size(), 0);
  const std::string tag = AssembleTag(VersionOldName);
  std::memcpy(file.data() + 8, tag.data(), 16);
  std::copy(out.begin(), out.end(), file.begin() + 32);
  EXPECT_FALSE(CheckTagPlacement(file.data(), file.size(), spans, error));
  EXPECT_EQ(error.rfind("the updater image would hold", 0), 0u) << error;
}

TEST(PayloadWriter, SaysHowManyTimeStampsFitTheWindow) {
  PayloadRecords r = SampleRecords();
  r.Times.clear();
  // 20-byte names: 32 bytes per entry.
  for (int i = 0; i < 1000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "dir\\f%011d.bin", i);
    r.Times.push_back({name, 1});
  }
  std::vector<uint8_t> out;
  std::string error;
  const uint64_t start = kSearchWindow - 20000;  // an image that leaves 20,000 bytes
  EXPECT_FALSE(WritePayloadRecords(r, start, out, error));
  // 528 bytes of fixed records, the list's tag and count, the archive tag behind it.
  const uint64_t room = 20000 - 528 - 20 - 16;
  EXPECT_NE(error.find("the time-stamp list of 1000 entries needs 32000 bytes, but only " + std::to_string(room) +
                       " fit behind this updater image"),
            std::string::npos)
      << error;
  r.Times.resize(static_cast<size_t>(room / 32));
  EXPECT_TRUE(WritePayloadRecords(r, start, out, error)) << error;
  r.Times.push_back({"one-more-entry.bin", 1});
  EXPECT_FALSE(WritePayloadRecords(r, start, out, error));
}

}  // namespace
