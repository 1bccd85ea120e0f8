// One archive, several programs: an archive handle that may update keeps
// every other out, readers share, a conflict fails at once with the sharing
// violation and sorvane's message, --wait lets commands take turns, and
// compaction's new file is private, held and put where a link points.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sorvane/sorvane.h"
#include "platform/platform.h"
#include "tests/support/archive_builder.h"
#include "tests/support/run_program.h"

#ifndef _WIN32
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

using Tree = std::map<std::string, Bytes>;  // stored name -> contents

const char kBusy[] =
    "sorvane: \"t.mpq\" is in use by another program (being read or updated); nothing was written. Try again when "
    "it is done, or give --wait SECONDS\n";

class SharingTest : public ::testing::Test {
 protected:
  SharingTest() : dir_("sharing") {}
  RunResult Sorvane(const std::vector<std::string>& args) {
    return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir_.path(), "");
  }
  std::string At(const std::string& name) const { return dir_ / name; }
  // What the archive holds under names; "" when it opens and all read.
  std::string Contents(const std::vector<std::string>& names, Tree* found) {
    ArchiveHandle a = nullptr;
    if (!OpenArchive(At("t.mpq").c_str(), 0, 0, &a)) return "does not open: " + std::to_string(GetLastError());
    std::string problem;
    for (const std::string& name : names) {
      FileHandle f = nullptr;
      if (!OpenArchiveFile(a, name.c_str(), 0, &f)) continue;
      Bytes data(GetArchiveFileSize(f, nullptr) + 1);
      uint32_t got = 0;
      if (!ReadArchiveFile(f, data.data(), static_cast<uint32_t>(data.size()), &got, nullptr)) problem += name + " ";
      data.resize(got);
      (*found)[name] = data;
      CloseArchiveFile(f);
    }
    CloseArchive(a);
    return problem;
  }
  void MakeArchive(const Tree& files) {
    ASSERT_EQ(Sorvane({"create", "t.mpq", "--hash-size", "4096"}).status, 0);
    for (const auto& [name, data] : files) {
      WriteBytes(At("src.bin"), data);
      ASSERT_EQ(Sorvane({"add", "t.mpq", "src.bin", "--name", name}).status, 0) << name;
    }
  }
  TempDir dir_;
};

// Every verb meets an archive held by another handle (a writer, and a
// reader for those that would write) with the message and status 1, and
// leaves every byte as it was; --wait takes its turn once the holder is done.
TEST_F(SharingTest, HeldArchiveRefusesEveryOtherHandleAndWaitTakesTurns) {
  MakeArchive({{"a", PatternBytes(5000, 1)}, {"b", PatternBytes(70000, 2)}});
  WriteBytes(At("new.bin"), PatternBytes(3000, 3));
  const std::vector<std::vector<std::string>> writers = {{"add", "t.mpq", "new.bin"}, {"delete", "t.mpq", "a"},
                                                         {"rename", "t.mpq", "a", "c"}, {"compact", "t.mpq"},
                                                         {"set-locale", "t.mpq", "a", "0", "7"}};
  const std::vector<std::vector<std::string>> readers = {{"extract", "t.mpq", "-C", "out"}, {"verify", "t.mpq"},
                                                         {"list", "t.mpq"}};
  for (const bool heldForUpdate : {true, false}) {
    const Bytes before = ReadBytes(At("t.mpq"));
    ArchiveHandle held = nullptr;
    if (heldForUpdate) held = OpenArchiveWritable(At("t.mpq").c_str(), UPDATE_OPEN_EXISTING, 0);
    else ASSERT_TRUE(OpenArchive(At("t.mpq").c_str(), 0, 0, &held));
    ASSERT_TRUE(IsUsableArchive(held));
    // In this process too, and never found again under the base folder.
    ArchiveHandle second = nullptr;
    EXPECT_FALSE(IsUsableArchive(OpenArchiveWritable(At("t.mpq").c_str(), UPDATE_OPEN_EXISTING, 0)));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(OpenArchive(At("t.mpq").c_str(), 0, 0, &second), !heldForUpdate);
    if (second != nullptr) CloseArchive(second);
    std::vector<std::vector<std::string>> refused = writers;
    if (heldForUpdate) refused.insert(refused.end(), readers.begin(), readers.end());
    for (const auto& args : refused) {
      const RunResult r = Sorvane(args);
      EXPECT_EQ(ExitCode(r), 1) << args[0];
      EXPECT_EQ(r.errors, kBusy) << args[0];
    }
    EXPECT_FALSE(fs::exists(At("out/a")));
    EXPECT_EQ(ReadBytes(At("t.mpq")), before);
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      EXPECT_EQ(entry.path().filename().string().find(".compact"), std::string::npos) << entry.path();
    }
    // A waiting command goes through once the holder lets go (held long
    // enough that a slow start under a sanitizer still finds it held).
    std::thread release([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      CloseArchive(held);
    });
    const RunResult waited =
        Sorvane({"add", "t.mpq", "new.bin", "--name", heldForUpdate ? "w1" : "w2", "--wait", "30"});
    release.join();
    EXPECT_EQ(waited.status, 0) << waited.errors;
    EXPECT_EQ(waited.errors, "sorvane: \"t.mpq\" is in use by another program; waiting up to 30 seconds\n");
  }
  Tree found;
  ASSERT_EQ(Contents({"a", "b", "w1", "w2"}, &found), "");
  EXPECT_EQ(found, (Tree{{"a", PatternBytes(5000, 1)}, {"b", PatternBytes(70000, 2)}, {"w1", PatternBytes(3000, 3)},
                         {"w2", PatternBytes(3000, 3)}}));
}

#ifdef _WIN32
TEST_F(SharingTest, ProgramsTakingTurnsLoseNothing) { GTEST_SKIP() << "POSIX processes and permissions"; }
#else

// Compaction's file: made private (whatever the umask lets through), held
// against other programs, left alone while one holds a file of its name, and
// put where a symbolic link points, with the archive's mode.
TEST_F(SharingTest, CompactionFileIsPrivateHeldAndFollowsTheLink) {
  MakeArchive({{"a", PatternBytes(40000, 1)}, {"b", PatternBytes(40000, 2)}});
  ASSERT_EQ(Sorvane({"delete", "t.mpq", "a"}).status, 0);
  fs::rename(At("t.mpq"), At("real.mpq"));
  fs::create_symlink("real.mpq", At("t.mpq"));
  ASSERT_EQ(chmod(At("real.mpq").c_str(), 0640), 0);
  const uint64_t size = fs::file_size(At("real.mpq"));

  // Another compaction of the same file (by another path) writing its file.
  const std::string held = At("real.mpq.compact");
  platform::OsHandle other = platform::CreateSharedFile(held.c_str(), platform::kGenericRead | platform::kGenericWrite,
                                                        0, platform::kCreateNew, false);
  ASSERT_TRUE(platform::IsValidHandle(other));
  ASSERT_EQ(platform::CreateSharedFile(held.c_str(), platform::kGenericRead, platform::kFileShareRead,
                                       platform::kOpenExisting, false),
            platform::InvalidHandle());
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
  struct stat before;
  ASSERT_EQ(stat(held.c_str(), &before), 0);

  // The file being written, seen from outside: stop it after its first write.
  const mode_t mask = umask(0);
  ArchiveHandle a = OpenArchiveWritable(At("t.mpq").c_str(), UPDATE_OPEN_EXISTING, 0);
  ASSERT_TRUE(IsUsableArchive(a));
  platform::SetWriteFault(1, platform::kErrorDiskFull);
  EXPECT_FALSE(CompactArchive(a));
  platform::ClearWriteFault();
  umask(mask);
  CloseArchive(a);
  struct stat temp;
  ASSERT_EQ(stat(At("real.mpq.compact.0000").c_str(), &temp), 0);
  EXPECT_EQ(temp.st_mode & 07777, 0600u);

  const RunResult r = Sorvane({"compact", "t.mpq"});
  EXPECT_EQ(r.status, 0) << r.errors;
  struct stat now;
  ASSERT_EQ(stat(held.c_str(), &now), 0) << "a held file was taken for a leftover";
  EXPECT_EQ(now.st_ino, before.st_ino);
  platform::CloseHandle(other);
  EXPECT_FALSE(fs::exists(At("real.mpq.compact.0000"))) << "an abandoned file stays";
  EXPECT_TRUE(fs::is_symlink(At("t.mpq")));
  EXPECT_LT(fs::file_size(At("real.mpq")), size);
  ASSERT_EQ(stat(At("real.mpq").c_str(), &now), 0);
  EXPECT_EQ(now.st_mode & 07777, 0640u);
  EXPECT_EQ(now.st_uid, geteuid());
  Tree found;
  ASSERT_EQ(Contents({"a", "b"}, &found), "");
  EXPECT_EQ(found, (Tree{{"b", PatternBytes(40000, 2)}}));
}

// A user who may write the archive but not give files away compacts it:
// the archive is his now, and sorvane says so.
TEST_F(SharingTest, CompactionThatCannotKeepTheOwnerSaysSo) {
  if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
  MakeArchive({{"a", PatternBytes(4000, 1)}});
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  ASSERT_EQ(chmod(At("t.mpq").c_str(), 0666), 0);
  const RunResult r = RunProgram("/usr/bin/setpriv",
                                 {"--reuid=65534", "--regid=65534", "--clear-groups",
                                  BuiltProgram("tools/sorvane/sorvane"), "compact", "t.mpq"},
                                 dir_.path(), "");
  ASSERT_EQ(r.status, 0) << r.errors;
  EXPECT_EQ(r.errors,
            "sorvane: note: the compacted \"t.mpq\" belongs to this user now: the system refused to give it its "
            "former owner\n");
  struct stat now;
  ASSERT_EQ(stat(At("t.mpq").c_str(), &now), 0);
  EXPECT_EQ(now.st_uid, 65534u);
  EXPECT_EQ(now.st_mode & 07777, 0666u);
}

// A program killed while it holds the archive holds nothing any more.
TEST_F(SharingTest, KilledHolderReleasesTheArchive) {
  MakeArchive({{"a", PatternBytes(100, 1)}});
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool opened = IsUsableArchive(OpenArchiveWritable(At("t.mpq").c_str(), UPDATE_OPEN_EXISTING, 0));
    const char c = opened ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    for (;;) pause();
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  ArchiveHandle a = nullptr;
  EXPECT_FALSE(OpenArchive(At("t.mpq").c_str(), 0, 0, &a));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(ready[0]);
  close(ready[1]);
  ASSERT_TRUE(OpenArchive(At("t.mpq").c_str(), 0, 0, &a)) << GetLastError();
  CloseArchive(a);
}

// Several programs add, delete, rename, compact, extract and verify one
// archive at random moments, each waiting for its turn. Each worker owns its
// names, so its commands' effects are known: at the end the archive holds
// exactly what the commands that succeeded made, the files none touched
// unchanged, and every extraction wrote one committed state of each worker.
TEST_F(SharingTest, ProgramsTakingTurnsLoseNothing) {
  Tree untouched;
  for (int i = 0; i < 12; ++i) untouched["k\\k" + std::to_string(i)] = PatternBytes(1000 + i * 3000, 100 + i);
  MakeArchive(untouched);
  constexpr int kWorkers = 4;
  // Thirty seconds of turns, longer on a loaded machine until enough went
  // through to mean something (a cap keeps a stuck run finite).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const auto cap = std::chrono::steady_clock::now() + std::chrono::seconds(150);
  std::mutex lock;
  std::vector<Tree> models(kWorkers);
  std::vector<std::vector<Tree>> histories(kWorkers, std::vector<Tree>(1));
  std::vector<std::string> failures;
  std::atomic<int> done{0}, refused{0}, extracts{0};
  const auto fail = [&](const std::string& text) {
    std::lock_guard<std::mutex> guard(lock);
    failures.push_back(text);
  };
  // What an extraction wrote under a worker's folder.
  const auto written = [&](const fs::path& out, int w) {
    Tree tree;
    const fs::path folder = out / ("w" + std::to_string(w));
    if (!fs::exists(folder)) return tree;
    for (const auto& entry : fs::directory_iterator(folder)) {
      tree["w" + std::to_string(w) + "\\" + entry.path().filename().string()] = ReadBytes(entry.path().string());
    }
    return tree;
  };
  const auto worker = [&](int w) {
    std::mt19937 random(static_cast<uint32_t>(w * 7919 + 1));
    const std::string me = "w" + std::to_string(w);
    Tree& model = models[w];
    const auto more = [&] {
      const auto now = std::chrono::steady_clock::now();
      return now < deadline || (now < cap && (done.load() < 80 || extracts.load() < 5));
    };
    for (int n = 0; more(); ++n) {
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
      const std::string tag = me + "_" + std::to_string(n);
      const uint32_t pick = random() % 10;
      std::vector<std::string> args;
      Tree after = model;
      if (pick < 4 || model.empty()) {
        const Bytes data = PatternBytes(500 + random() % 60000, w * 100000 + n);
        WriteBytes(At(tag + ".src"), data);
        const std::string name = me + "\\f" + std::to_string(n);
        args = {"add", "t.mpq", tag + ".src", "--name", name};
        after[name] = data;
      } else if (pick < 6) {
        auto it = std::next(model.begin(), static_cast<long>(random() % model.size()));
        const std::string name = it->first;
        if (pick == 4) {
          args = {"delete", "t.mpq", name};
          after.erase(name);
        } else {
          const std::string to = me + "\\r" + std::to_string(n);
          args = {"rename", "t.mpq", name, to};
          after[to] = after[name];
          after.erase(name);
        }
      } else if (pick == 6 || pick == 7) {
        args = {"compact", "t.mpq"};
      } else if (pick == 8) {
        args = {"extract", "t.mpq", "-C", tag};
      } else {
        args = {"verify", "t.mpq"};
      }
      const bool reader = args[0] == "extract" || args[0] == "verify";
      args.push_back("--wait");
      args.push_back("60");
      // A state is known before its command ends: a reader may see it
      // before this thread hears that it was committed.
      if (!reader) {
        std::lock_guard<std::mutex> guard(lock);
        histories[w].push_back(after);
      }
      const RunResult r = Sorvane(args);
      const int code = ExitCode(r);
      if (code != 0) {
        // Only a turn that never came may fail, and then nothing changed.
        ++refused;
        if (!reader) {
          std::lock_guard<std::mutex> guard(lock);
          histories[w].pop_back();
        }
        if (r.errors.find("is still in use by another program") == std::string::npos) {
          fail(args[0] + " failed: " + r.errors);
        }
        continue;
      }
      ++done;
      if (!reader) {
        model = after;
        continue;
      }
      if (args[0] != "extract") continue;
      ++extracts;
      const fs::path out = At(tag);
      for (const auto& [name, data] : untouched) {
        if (ReadBytes((out / "k" / name.substr(2)).string()) != data) fail("extract " + tag + ": " + name + " differs");
      }
      std::lock_guard<std::mutex> guard(lock);
      for (int v = 0; v < kWorkers; ++v) {
        const Tree seen = written(out, v);
        bool known = false;
        for (const Tree& state : histories[v]) known = known || state == seen;
        if (!known) failures.push_back("extract " + tag + " wrote no committed state of worker " + std::to_string(v));
      }
    }
  };
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) threads.emplace_back(worker, w);
  for (std::thread& t : threads) t.join();
  std::printf("%d commands went through (%d extractions), %d found no turn\n", done.load(), extracts.load(),
              refused.load());
  for (const std::string& f : failures) ADD_FAILURE() << f;

  Tree expected = untouched;
  std::vector<std::string> names;
  for (const Tree& model : models) expected.insert(model.begin(), model.end());
  for (const auto& states : histories) {
    for (const Tree& state : states) {
      for (const auto& entry : state) names.push_back(entry.first);
    }
  }
  Tree found;
  for (const auto& name : untouched) names.push_back(name.first);
  ASSERT_EQ(Contents(names, &found), "");
  for (const auto& [name, data] : found) EXPECT_TRUE(expected.count(name) && expected[name] == data) << name;
  for (const auto& entry : expected) EXPECT_TRUE(found.count(entry.first)) << entry.first << " is missing";
  EXPECT_EQ(Sorvane({"verify", "t.mpq"}).status, 0);
  // Most commands must have gone through, several of them side by side.
  EXPECT_GE(done.load(), 80);
  EXPECT_GE(extracts.load(), 5);
  EXPECT_LE(refused.load(), done.load() / 10);
}

#endif

}  // namespace
