// An update cut off at every file-system operation, and every operation failing once.
// The program is built with the fault points of the file-system layers armed: a
// reference update counts its operations K; then for each operation N
//   - crash at N (N and every later operation fail, as if the power went) and a normal
//     run of the same patch: the first run never says "Success"; after the second the
//     installation is exactly the new tree and no work file is left;
//   - fail N (only N fails): the run says "Success" on an installation that is exactly
//     the new tree, or says failure on one that is exactly the old tree, and a second
//     normal run ends with the new tree.
// The test command runs a spread sample of N; GU_SWEEP=full runs every N (the benchmark
// script bench/update_sweep.sh does). The reference game is swept for each way of
// rebuilding the data archives (unpacked and packed again, streamed from the installed
// archive, streamed keeping its form).
#include "tests/app/updater_fixture.h"

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "archive/fault_points.h"

namespace {

using namespace updater_fixture;
using fault_points::Mode;

struct Outcome {
  std::string Message;  // the worker's final message, or start-up's message
  bool Updated = false;  // the worker ran
};

std::set<std::string> Directories(const fs::path& root) {
  std::set<std::string> directories;
  for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
    if (it->is_directory()) directories.insert(fs::relative(it->path(), root).u8string());
  }
  return directories;
}

class UpdateSweep : public UpdaterTest {
 protected:
  void TearDown() override {
    fault_points::Disarm();
    fault_points::SetTimeRounding(0);
    UpdaterTest::TearDown();
  }

  // The program from start-up to the worker's end, with the fault points in a mode.
  Outcome RunProgram(Mode mode, uint64_t n) {
    Outcome outcome;
    SetProgramFilePathOverride(patch_.u8string());
    RecordingHost host;
    RecordingUi ui;
    fault_points::Arm(mode, n);
    RunStartup(host);
    if (host.main_windows == 1) {
      SetUpdateUi(&ui);
      UpdateWorker(nullptr);
      SetUpdateUi(nullptr);
    }
    fault_points::Disarm();
    if (host.main_windows == 1) {
      outcome.Updated = true;
      outcome.Message = ui.messages.size() == 1 ? ui.messages[0].Text : "(no single message)";
    } else {
      outcome.Message = host.messages.size() == 1 ? host.messages[0].Text : "(no single message)";
    }
    return outcome;
  }

  // How the installation differs from a tree; empty when it is that tree exactly. Data
  // archives are compared member by member (bytes, attributes, times) when asked,
  // otherwise byte for byte like every other file; files by bytes, read-only bit and
  // write time; directories by name.
  std::string Differences(const fs::path& want_root, bool dat_by_members) {
    std::ostringstream out;
    const std::map<std::string, FileState> got = Snapshot(install_), want = Snapshot(want_root);
    for (const auto& [name, state] : got) {
      if (want.count(name) == 0) out << "extra file " << name << "; ";
    }
    for (const auto& [name, state] : want) {
      const auto it = got.find(name);
      if (it == got.end()) {
        out << "missing file " << name << "; ";
        continue;
      }
      const bool dat = name.size() > 4 && name.compare(name.size() - 4, 4, ".dat") == 0;
      if (dat && dat_by_members) {
        if (!SameTime(it->second.WriteTime, state.WriteTime)) out << "listed time of " << name << "; ";
        const auto have = Members(install_ / U8(name), root_ / "scratch");
        const auto expect = Members(want_root / U8(name), root_ / "scratch");
        if (have.size() != expect.size()) out << "member count of " << name << "; ";
        for (const auto& [member, m] : expect) {
          const auto h = have.find(member);
          if (h == have.end() || !SameMember(h->second, m)) out << "member " << name << ":" << member << "; ";
        }
        continue;
      }
      if (it->second.Bytes != state.Bytes) out << "bytes of " << name << "; ";
      if (it->second.ReadOnly != state.ReadOnly) out << "read-only bit of " << name << "; ";
      if (!SameTime(it->second.WriteTime, state.WriteTime)) out << "time of " << name << "; ";
    }
    const std::set<std::string> got_dirs = Directories(install_), want_dirs = Directories(want_root);
    for (const std::string& d : got_dirs) {
      if (want_dirs.count(d) == 0) out << "extra directory " << d << "; ";
    }
    for (const std::string& d : want_dirs) {
      if (got_dirs.count(d) == 0) out << "missing directory " << d << "; ";
    }
    return out.str();
  }
  // Times as the volume keeps them: exact, or within the FAT seam's rounding.
  bool SameTime(uint64_t a, uint64_t b) const {
    const uint64_t slack = fault_points::TimeRounding();
    return slack == 0 ? a == b : (a > b ? a - b : b - a) < slack;
  }
  bool SameMember(const MemberState& a, const MemberState& b) const {
    if (a.Directory || b.Directory) return a.Directory == b.Directory;
    return a.Attributes == b.Attributes && a.Bytes == b.Bytes && SameTime(a.WriteTime, b.WriteTime);
  }
  std::string NotNew() { return Differences(Tree("new"), true); }
  // The reference game with a member and a loose file that go as deltas, and a member,
  // a loose file and its directory that the new version deletes; that loose file is the
  // base of a renamed one, made from it by a delta.
  bool with_deltas_ = false;
  void AddDeltas() {
    with_deltas_ = true;
    for (const char* name : {"data/maps/long.txt", "game/script.js"}) {
      Both(name, Lines(1200, false), false, 32);
      Write(Src("new") / name, Lines(1200, true));
      SetWriteTime(Src("new") / name, kBaseTime + 33);
    }
    Write(Src("old") / "data/maps/gone.txt", "a member the new version has no more");
    Write(Src("old") / "game/stale/engine.js", Lines(900, false));
    Write(Src("new") / "game/lib/engine.js", Lines(900, true));
  }
  std::string NotOld() { return Differences(Tree("old"), false); }

  static bool Ends(const Outcome& o) { return o.Message == kSuccessMessage || o.Message == kAlreadyUpdated; }

  // The operations of a spread sample: every stride-th, every move (the swaps, the
  // placements and the commit point are moves) and the last ones.
  static std::vector<uint64_t> Sample(const std::vector<std::string>& log, size_t spread) {
    const uint64_t k = log.size();
    const char* mode = std::getenv("GU_SWEEP");
    std::vector<uint64_t> sample;
    const uint64_t stride = (mode && std::string(mode) == "full") ? 1 : std::max<uint64_t>(1, k / spread);
    for (uint64_t n = 1; n <= k; ++n) {
      if ((n - 1) % stride == 0 || log[n - 1] == "move" || n + 3 > k) sample.push_back(n);
    }
    return sample;
  }

  // The sweep of the current patch for each rebuild way, with its spread.
  void SweepEveryWay(size_t unpack_spread, size_t other_spread) {
    for (const RebuildWay way : {RebuildWay::kUnpack, RebuildWay::kStream, RebuildWay::kKeep}) {
      SCOPED_TRACE(RebuildWayName(way));
      rebuild_ = way;
      Sweep(way == RebuildWay::kUnpack ? unpack_spread : other_spread);
    }
  }

  void Sweep(size_t spread) {
    PatchSummary summary;
    ASSERT_TRUE(MakePatch(nullptr, &summary));
    if (with_deltas_) {
      ASSERT_EQ(summary.LooseDeltas, 2);
      ASSERT_EQ(summary.LooseFromOther, 1);
      ASSERT_EQ(summary.Archives.at(0).Deltas, 1);
      ASSERT_EQ(summary.Archives.at(0).Deleted, 1);
      ASSERT_EQ(summary.LooseDeleted, 1);
    }
    // The reference update, counted.
    Install();
    const Outcome reference = RunProgram(Mode::kCount, 0);
    const std::vector<std::string> log = fault_points::Log();
    ASSERT_EQ(reference.Message, kSuccessMessage);
    ASSERT_EQ(NotNew(), "");
    const uint64_t k = log.size();
    ASSERT_GT(k, 20u);
    {  // Every kind of changing operation is counted.
      std::set<std::string> kinds(log.begin(), log.end());
      for (const char* kind : {"move", "delete", "create directory tree", "set times", "set attributes", "flush",
                               "write", "open for writing", "remove directory", "archive open for writing",
                               "archive write", "archive move", "archive set time", "archive set attributes"}) {
        EXPECT_EQ(kinds.count(kind), 1u) << kind;
      }
    }

    const std::vector<uint64_t> sample = Sample(log, spread);
    std::vector<std::string> broken;
    int runs = 1, crash_recovered = 0, fail_success = 0, fail_failure = 0;
    for (const uint64_t n : sample) {
      const std::string at = "N=" + std::to_string(n) + " (" + log[n - 1] + ")";
      // Cut off at N, then the restart.
      Install();
      const Outcome cut = RunProgram(Mode::kCrashAt, n);
      const Outcome restart = RunProgram(Mode::kOff, 0);
      runs += 2;
      // Success only once the commit point was passed: the game is the new one, only
      // leftovers wait for the next run.
      if (cut.Message == kSuccessMessage &&
          (fs::exists(install_ / "tmp" / "___undo.rec") || Read(install_ / "game.exe") != Read(Tree("new") / "game.exe"))) {
        broken.push_back("crash " + at + ": the cut-off run said Success before its commit point");
      }
      if (!Ends(restart)) broken.push_back("crash " + at + ": the restart said " + restart.Message);
      std::string diff = NotNew();
      if (!diff.empty()) {
        broken.push_back("crash " + at + ": after the restart " + diff);
      } else {
        ++crash_recovered;
      }

      // Only N fails, then a normal run.
      Install();
      const Outcome failed = RunProgram(Mode::kFailOne, n);
      runs += 1;
      if (failed.Message == kSuccessMessage) {
        ++fail_success;
        diff = NotNew();
        if (!diff.empty()) broken.push_back("fail " + at + ": Success, but " + diff);
      } else {
        ++fail_failure;
        // Put back whole: the message never sends the player to reinstall.
        if (failed.Message.find("installing the game again") != std::string::npos) {
          broken.push_back("fail " + at + ": said " + failed.Message);
        }
        diff = NotOld();
        if (!diff.empty()) broken.push_back("fail " + at + ": failure, but not old: " + diff);
      }
      const Outcome again = RunProgram(Mode::kOff, 0);
      runs += 1;
      if (!Ends(again)) broken.push_back("fail " + at + ": the next run said " + again.Message);
      diff = NotNew();
      if (!diff.empty()) broken.push_back("fail " + at + ": after the next run " + diff);
    }
    std::cout << RebuildWayName(rebuild_) << ": K=" << k << " operations; " << sample.size() << " of them swept; " << runs
              << " runs; crash: " << crash_recovered << " of " << sample.size()
              << " ended new after the restart; fail once: " << fail_success << " Success (new), "
              << fail_failure << " failure (old)" << std::endl;
    std::string all;
    for (const std::string& b : broken) all += b + "\n";
    EXPECT_TRUE(broken.empty()) << broken.size() << " broken:\n" << all;
  }
};

TEST_F(UpdateSweep, EveryCutOffAndEveryFailureEndsOldOrNew) {
  UsePatch();
  AddDeltas();
  MakeGame();
  SweepEveryWay(30, 12);
}

// A game on a FAT volume: every write time is kept rounded up to 2 s (the times of the
// generated game are not even seconds), and every check compares at that resolution.
TEST_F(UpdateSweep, FatTimesEveryCutOffAndEveryFailureEndsOldOrNew) {
  UsePatch();
  MakeGame();
  fault_points::SetTimeRounding(20000000);
  Sweep(12);
}

// No listed time can be set: the update is still a success, and apart from those times
// the installation is the new version.
TEST_F(UpdateSweep, TimesThatCannotBeSetDoNotTurnSuccessIntoFailure) {
  UsePatch();
  Both("game/notes.txt", "notes", false, 20);
  SetWriteTime(Src("new") / "game/notes.txt", kBaseTime + 777777);  // only its time changes
  MakeGame();
  ASSERT_TRUE(MakePatch());
  Install();
  SetProgramFilePathOverride(patch_.u8string());
  RecordingHost host;
  RecordingUi ui;
  RunStartup(host);
  ASSERT_EQ(host.main_windows, 1);
  SetUpdateUi(&ui);
  fault_points::ArmKind("set times");
  UpdateWorker(nullptr);
  fault_points::Disarm();
  SetUpdateUi(nullptr);
  EXPECT_TRUE(fault_points::Tripped());
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].Text, kSuccessMessage);
  EXPECT_EQ(ui.texts, std::vector<std::string>{"finished renewal of patch complete."});
  EXPECT_EQ(WriteTimeOf(install_ / "notes.txt"), WriteTimeOf(Tree("old") / "notes.txt"));
  // The times that were not set are all that differs.
  const std::string diff = NotNew();
  EXPECT_NE(diff.find("time of notes.txt"), std::string::npos) << diff;
  EXPECT_EQ(diff.find("bytes of"), std::string::npos) << diff;
  EXPECT_EQ(diff.find("read-only bit"), std::string::npos) << diff;
  EXPECT_EQ(diff.find("file "), std::string::npos) << diff;
  EXPECT_EQ(diff.find("directory"), std::string::npos) << diff;
  EXPECT_EQ(diff.find("member"), std::string::npos) << diff;
}

// Runs with code page 932 only (LC_ALL=ja_JP.UTF-8): Japanese names, and an
// installation below a directory whose name's trail byte is a backslash (表 is 95 5C).
TEST_F(UpdateSweep, JapaneseNamesBelowATrailByteBackslash) {
  if (GetACP() != 932) GTEST_SKIP() << "needs code page 932";
  UsePatch();
  Both("data/ソフト/表.txt", "表", true, 11);
  NewOnly("data/新しい/追加.txt", "追加", 12);
  Both("game/表示/ソ.txt", "ソ", true, 13);
  NewOnly("game/セーブ/説明.txt", "説明", 14);
  AddDeltas();
  MakeGame();
  install_ = root_ / U8("表") / "SampleQuest";
  SweepEveryWay(15, 8);
}

}  // namespace
