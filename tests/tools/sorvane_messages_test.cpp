// Messages that name the cause and the way forward, and -q.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/archive_builder.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

TEST(SorvaneMessagesTest, CausesAndWaysForwardAreNamed) {
  TempDir dir("sorvane-messages");
  fs::create_directories(dir / "adir");
  WriteBytes(dir / "text.txt", PatternBytes(40, 'a'));
  auto run = [&](const std::vector<std::string>& args) {
    return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir.path(), "");
  };
  ASSERT_EQ(ExitCode(run({"add", "m.mpq", "text.txt"})), 0);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string phrase;  // in standard error, or standard output for status 0
  };
  const std::vector<Case> cases = {
      {{"list", "adir"}, 1, "\"adir\": it is a folder, not an archive"},
      {{"add", "adir", "text.txt"}, 1, "\"adir\" for update: it is a folder, not an archive"},
      {{"info", "text.txt"}, 1, "not an archive"},
      {{"create", "m.mpq"}, 1, "the file exists; give --force to replace it"},
      {{"add", "m.mpq", "text.txt"}, 1, "1 file is already stored in this locale and was left as it is"},
      {{"verify", "m.mpq"}, 0, "2 files checked, 0 damaged"},
  };
  for (const Case& c : cases) {
    const RunResult r = run(c.args);
    EXPECT_EQ(ExitCode(r), c.status) << c.args[0] << " " << c.args[1];
    EXPECT_NE((c.status == 0 ? r.output : r.errors).find(c.phrase), std::string::npos) << r.errors << r.output;
    EXPECT_EQ(r.errors.find("0x852"), std::string::npos) << r.errors;
  }
  // -q: errors only.
  RunResult r = run({"verify", "-q", "m.mpq"});
  EXPECT_TRUE(ExitCode(r) == 0 && r.output.empty() && r.errors.empty()) << r.output;
  r = run({"extract", "m.mpq", "-q", "-v", "-C", "out", "nothing"});
  EXPECT_TRUE(ExitCode(r) == 1 && r.output.empty() && !r.errors.empty());
}

#ifndef _WIN32  // bash and the generated completion exist on the build machine only
// The completion the build made, tried as bash's completion would call it.
TEST(SorvaneMessagesTest, CompletionOffersVerbsOptionsAndStoredNames) {
  TempDir dir("sorvane-messages");
  WriteBytes(dir / "a.txt", PatternBytes(10, 'a'));
  ASSERT_EQ(ExitCode(RunProgram(BuiltProgram("tools/sorvane/sorvane"), {"add", "m.mpq", "a.txt", "--name",
                                                                         "Units/Orc/grunt.txt"}, dir.path(), "")), 0);
  // The script goes through a file: the test runner passes arguments to the
  // shell in double quotes, which would expand it.
  auto complete = [&](const std::string& words, int current) {
    const std::string script = "PATH=" + BuiltProgram("tools/sorvane") + ":$PATH\nsource " +
                               BuiltProgram("tools/sorvane/docs/sorvane.bash") + "\nCOMP_WORDS=(" + words +
                               ")\nCOMP_CWORD=" + std::to_string(current) +
                               "\n_sorvane\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    WriteBytes(dir / "complete.sh", Bytes(script.begin(), script.end()));
    return RunProgram("bash", {"complete.sh"}, dir.path(), "").output;
  };
  EXPECT_EQ(complete("sorvane ex", 1), "extract\n");
  const std::string options = complete("sorvane extract --all", 2);
  EXPECT_EQ(options, "--all-locales\n");
  EXPECT_NE(complete("sorvane extract m.mpq Un", 3).find("Units/Orc/grunt.txt"), std::string::npos);
  // Stored names are offered as they are, never run: an archive's names are
  // anyone's text.
  ArchiveBuilder b;
  b.Add("$(touch ran1)", "x");
  b.Add("`touch ran2`", "x");
  b.Listfile({"$(touch ran1)", "`touch ran2`"});
  b.WriteTo(dir / "n.mpq");
  const std::string offered = complete("sorvane extract n.mpq ''", 3);
  EXPECT_NE(offered.find("$(touch ran1)\n"), std::string::npos) << offered;
  EXPECT_NE(offered.find("`touch ran2`\n"), std::string::npos) << offered;
  EXPECT_FALSE(fs::exists(dir / "ran1") || fs::exists(dir / "ran2"));
}
#endif

}  // namespace
