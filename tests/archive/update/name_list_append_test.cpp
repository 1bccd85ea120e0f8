// Adding names to a stored list (AddToNameList), which keeps the list's whole
// sectors as stored: checked against a model that splits the old text and
// appends what it lacks, on random lists (repeats, case variants, CR, LF and
// ';', empty lines, zero bytes, garbage) stored with every layout a list may
// have, with and without "(attributes)", in a batch and alone.
#include <set>
#include <string>
#include <vector>

#include "sorvane/sorvane_ext.h"
#include "tests/archive/update/update_test_util.h"

namespace {

using updatetest::Bytes;
using updatetest::TextBytes;
using updatetest::UpdateTest;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return s;
}

// What the list must hold after the names are added: the old text, a line
// end when it lacks one, then each name no line holds (case ignored) once.
std::string Model(const std::string& old, const std::vector<std::string>& names) {
  std::set<std::string> listed;
  std::string line;
  for (char c : old + '\n') {
    if (c == '\r' || c == '\n' || c == '\0') {
      if (!line.empty()) listed.insert(Upper(line));
      line.clear();
    } else {
      line += c;
    }
  }
  std::string text = old;
  for (const std::string& name : names) {
    if (name.empty() || name.find_first_of("\r\n") != std::string::npos || Upper(name) == "(LISTFILE)") continue;
    if (!listed.insert(Upper(name)).second) continue;
    if (!text.empty() && text.back() != '\r' && text.back() != '\n') text += "\r\n";
    text += name + "\r\n";
  }
  return text;
}

std::string RandomName(std::mt19937& rng) {
  static const char* const kParts[] = {"Units", "units", "UI", "Sound", "war3map", "Footman", "a", "B;c", "\xC3\xA9t\xC3\xA9"};
  std::string name;
  for (uint32_t n = 1 + rng() % 3; n > 0; --n) {
    if (!name.empty()) name += '\\';
    name += kParts[rng() % 9];
  }
  if (rng() % 3 == 0) name += std::to_string(rng() % 50);
  return name + ".txt";
}

std::string RandomList(std::mt19937& rng, uint32_t lines) {
  static const char* const kEnds[] = {"\r\n", "\n", "\r", "\r\n\r\n", ";", ""};
  std::string text;
  for (uint32_t i = 0; i < lines; ++i) {
    switch (rng() % 12) {
      case 0: text += '\0'; break;
      case 1: for (uint32_t n = rng() % 6; n > 0; --n) text += static_cast<char>(rng() % 256); break;
      case 2: text += Upper(RandomName(rng)); break;
      default: text += RandomName(rng);
    }
    text += kEnds[rng() % 6];
  }
  return text;
}

class NameListAppendTest : public UpdateTest {};

TEST_F(NameListAppendTest, ListGainsWhatTheModelAppends) {
  std::mt19937 rng(2727);
  const uint32_t layouts[] = {BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, BLOCK_COMPRESSED,
                              BLOCK_COMPRESSED | BLOCK_ENCRYPTED, BLOCK_IMPLODED, 0, BLOCK_ENCRYPTED};
  int kept = 0;  // rounds whose list kept sectors, so the point is not missed idly
  for (int round = 0; round < 90; ++round) {
    const std::string file = "append" + std::to_string(round) + ".mpq";
    ArchiveHandle a = Create(file, 256);
    ASSERT_NE(a, nullptr);
    const bool attributes = round % 3 == 0;
    if (attributes) {
      ASSERT_TRUE(SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_MD5 | ATTRIBUTE_FILETIME));
    }
    // Lists from none to several sectors, some ending exactly at a sector.
    const bool hasList = round % 10 != 9;
    std::string old = RandomList(rng, rng() % 2 ? rng() % 20 : rng() % 2500);
    if (round % 7 == 3) old.resize(4096 * (1 + rng() % 3), 'x');
    const uint32_t layout = layouts[round % 6];
    if (hasList) {
      ASSERT_TRUE(Add(a, "(listfile)", TextBytes(old), layout | ADD_REPLACE)) << round;
    }
    if (!hasList) old.clear();
    ASSERT_TRUE(Add(a, "data.bin", updatetest::Compressible(9000, round), BLOCK_COMPRESSED));
    std::vector<std::string> names;
    for (uint32_t n = rng() % 40; n > 0; --n) {
      const uint32_t kind = rng() % 10;
      names.push_back(kind == 0 ? "" : kind == 1 ? "(LISTFILE)" : kind == 2 ? "bad\r\nname" : RandomName(rng));
    }
    const BlockEntry before = hasList ? a->blockTable[FindExactHashEntry(a, "(listfile)", 0)->blockIndex] : BlockEntry{};
    const bool batch = round % 2 == 1;
    if (batch) {
      ASSERT_TRUE(BeginArchiveUpdate(a));
    }
    std::vector<const char*> pointers;
    for (const std::string& n : names) pointers.push_back(n.c_str());
    bool unreadable = true;
    ASSERT_TRUE(AddToNameList(a, pointers.data(), static_cast<uint32_t>(pointers.size()), &unreadable))
        << "round " << round << ": " << GetLastError();
    EXPECT_FALSE(unreadable);
    if (batch) {
      ASSERT_TRUE(CommitArchiveUpdate(a));
    }
    const std::string expected = Model(old, names);
    bool ok = false;
    const Bytes got = UpdateTest::Read(a, "(listfile)", &ok);
    if (expected.empty()) {
      EXPECT_FALSE(ok && !got.empty()) << round;
    } else {
      ASSERT_TRUE(ok) << round;
      ASSERT_EQ(std::string(got.begin(), got.end()), expected) << "round " << round;
      const BlockEntry after = a->blockTable[FindExactHashEntry(a, "(listfile)", 0)->blockIndex];
      if (hasList && expected != old && (before.flags & BLOCK_COMPRESSED) && old.size() >= 4096) {
        EXPECT_EQ(after.flags, before.flags);  // kept as it was laid out
        ++kept;
      }
    }
    ASSERT_TRUE(CloseArchive(a));
    // Reopened, everything reads whole and agrees with "(attributes)".
    ArchiveHandle r = nullptr;
    ASSERT_TRUE(OpenArchive(Path(file).c_str(), 0, 0, &r));
    ExpectEveryFileWhole(r, round);
    if (!expected.empty()) {
      const Bytes reread = UpdateTest::Read(r, "(listfile)", &ok);
      EXPECT_TRUE(ok && std::string(reread.begin(), reread.end()) == expected) << round;
    }
    CloseArchive(r);
  }
  EXPECT_GT(kept, 10);
}

// A list whose sectors do not decode is left alone and said to be so.
TEST_F(NameListAppendTest, UnreadableListIsLeftAlone) {
  ArchiveHandle a = Create("bad.mpq", 64);
  ASSERT_NE(a, nullptr);
  std::mt19937 rng(5);
  ASSERT_TRUE(Add(a, "(listfile)", TextBytes(RandomList(rng, 3000)), BLOCK_COMPRESSED | ADD_REPLACE));
  const BlockEntry block = a->blockTable[FindExactHashEntry(a, "(listfile)", 0)->blockIndex];
  ASSERT_TRUE(CloseArchive(a));
  // Its third sector's place lies past the data.
  Bytes bytes = testsupport::ReadBytes(Path("bad.mpq"));
  testsupport::StoreLE32At(bytes, block.offset + 12, 0x7FFFFFFF);
  testsupport::WriteBytes(Path("bad.mpq"), bytes);
  a = OpenExisting("bad.mpq");
  ASSERT_NE(a, nullptr);
  const char* names[] = {"new\\name.txt"};
  bool unreadable = false;
  EXPECT_FALSE(AddToNameList(a, names, 1, &unreadable));
  EXPECT_TRUE(unreadable);
  ASSERT_TRUE(CloseArchive(a));
  EXPECT_EQ(testsupport::ReadBytes(Path("bad.mpq")), bytes);
}

}  // namespace
