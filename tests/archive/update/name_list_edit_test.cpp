// Changing names already in the list: random sequences of adds, deletes,
// renames and re-locales (alone and batched) on an archive that keeps its
// list, RemoveFromNameList and RespellInNameList, checked byte for byte
// against the list the whole-text code wrote, on lists of several sectors in
// every layout.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sorvane/sorvane_ext.h"
#include "tests/archive/update/update_test_util.h"

namespace {

using updatetest::Bytes;
using updatetest::TextBytes;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return s;
}

// Calls f(offset, line, its line ends) for each line, split at CR and LF.
template <typename F>
void ForLines(const std::string& text, F f) {
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
    const size_t next = std::min(text.find_first_not_of("\r\n", end), text.size());
    f(pos, text.substr(pos, end - pos), text.substr(end, next - end));
    pos = next;
  }
}

// The session list as the whole-text code kept it: a name goes in at the
// end when no line holds it, and each of its lines goes out with one line end.
size_t FindLine(const std::string& text, const std::string& name) {
  size_t found = std::string::npos;
  ForLines(text, [&](size_t pos, const std::string& line, const std::string&) {
    if (found == std::string::npos && Upper(line) == Upper(name)) found = pos;
  });
  return found;
}
void ModelAdd(std::string* text, const std::string& name) {
  if (FindLine(*text, name) != std::string::npos) return;
  if (!text->empty() && text->back() != '\r' && text->back() != '\n') *text += "\r\n";
  *text += name + "\r\n";
}
void ModelRemove(std::string* text, const std::string& name) {
  for (size_t pos; (pos = FindLine(*text, name)) != std::string::npos;) {
    size_t from = pos, to = pos + name.size();
    const auto lineBreak = [text](size_t i) { return (*text)[i] == '\r' || (*text)[i] == '\n'; };
    if (pos == 0) {
      if (to < text->size()) ++to;
      if (to < text->size() && lineBreak(to)) ++to;
    } else if (to < text->size()) {
      --from;
      if (from >= 1 && lineBreak(from - 1)) --from;
    }
    text->erase(from, to - from);
  }
}

std::string RandomName(std::mt19937& rng) {
  static const char* const kParts[] = {"Units", "units", "UI", "Sound", "Footman", "a", "B;c"};
  return std::string(kParts[rng() % 7]) + "\\" + kParts[rng() % 7] + std::to_string(rng() % 400) + ".txt";
}

// Some thousand lines: repeats, case variants, all kinds of line ends.
std::string RandomList(std::mt19937& rng, const std::vector<std::string>& stored) {
  static const char* const kEnds[] = {"\r\n", "\n", "\r", "\r\n\r\n", ";"};
  std::string text;
  for (uint32_t i = 0, n = 400 + rng() % 3000; i < n; ++i) {
    const std::string name = rng() % 4 == 0 ? stored[rng() % stored.size()] : RandomName(rng);
    text += (rng() % 5 == 0 ? Upper(name) : name) + kEnds[rng() % 5];
  }
  return text;
}

class NameListEditTest : public updatetest::UpdateTest {
 protected:
  std::string List(ArchiveHandle a) {
    bool ok = false;
    const Bytes got = Read(a, "(listfile)", &ok);
    EXPECT_TRUE(ok);
    return std::string(got.begin(), got.end());
  }
  // Closes a and checks that every file of it reads whole.
  void Finish(ArchiveHandle a, const std::string& file, int round) {
    ASSERT_TRUE(CloseArchive(a));
    ArchiveHandle r = nullptr;
    ASSERT_TRUE(OpenArchive(Path(file).c_str(), 0, 0, &r));
    ExpectEveryFileWhole(r, round);
    CloseArchive(r);
  }
  const uint32_t layouts_[4] = {BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, BLOCK_COMPRESSED,
                                BLOCK_COMPRESSED | BLOCK_ENCRYPTED, BLOCK_IMPLODED};
};

TEST_F(NameListEditTest, SessionChangesLeaveTheListTheWholeTextCodeWrote) {
  std::mt19937 rng(4141);
  for (int round = 0; round < 24; ++round) {
    const std::string file = "edit" + std::to_string(round) + ".mpq";
    ArchiveHandle a = Create(file, 512);
    ASSERT_NE(a, nullptr);
    if (round % 3 == 0) {
      ASSERT_TRUE(SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_MD5 | ATTRIBUTE_FILETIME));
    }
    std::map<std::string, std::set<uint32_t>> stored;  // upper-case name -> locales
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) {
      const std::string name = RandomName(rng);
      if (!stored.emplace(Upper(name), std::set<uint32_t>{0}).second) continue;
      names.push_back(name);
      ASSERT_TRUE(Add(a, name, TextBytes(name), BLOCK_COMPRESSED | BLOCK_ENCRYPTED));
    }
    std::string model = RandomList(rng, names);
    ASSERT_TRUE(Add(a, "(listfile)", TextBytes(model), layouts_[round % 4] | ADD_REPLACE));
    ASSERT_TRUE(CloseArchive(a));
    a = OpenExisting(file, UPDATE_KEEP_LISTFILE);
    ASSERT_NE(a, nullptr);
    for (int step = 0; step < 12; ++step) {
      const bool batch = rng() % 2 == 0;
      ASSERT_TRUE(!batch || BeginArchiveUpdate(a));
      for (uint32_t n = batch ? 1 + rng() % 4 : 1; n > 0; --n) {
        const std::string name = names[rng() % names.size()];
        std::set<uint32_t>& locales = stored[Upper(name)];
        const uint32_t op = rng() % 6;
        const uint32_t locale = locales.empty() || rng() % 3 != 0 ? 0 : *locales.rbegin();
        SetLocale(locale);
        if (op == 0 && locales.count(0) == 0) {
          SetLocale(0);
          ASSERT_TRUE(Add(a, name, TextBytes("again"), BLOCK_COMPRESSED));
          locales.insert(0);
          ModelAdd(&model, name);
        } else if (op == 1 && locales.count(locale) != 0) {
          ASSERT_TRUE(DeleteArchiveFile(a, name.c_str())) << GetLastError();
          locales.erase(locale);
          if (locales.empty()) ModelRemove(&model, name);
        } else if (op == 2 && locales.count(locale) != 0) {
          const std::string to = RandomName(rng);
          std::set<uint32_t>& target = stored[Upper(to)];
          if (target.count(locale) != 0 || Upper(to) == Upper(name)) continue;
          ASSERT_TRUE(RenameArchiveFile(a, name.c_str(), to.c_str())) << GetLastError();
          locales.erase(locale);
          target.insert(locale);
          names.push_back(to);
          if (locales.empty()) ModelRemove(&model, name);
          ModelAdd(&model, to);
        } else if (op == 3 && locales.count(locale) != 0 && locales.count(locale ^ 1031) == 0) {
          ASSERT_TRUE(SetArchiveFileLocale(a, name.c_str(), locale, locale ^ 1031));
          locales.erase(locale);
          locales.insert(locale ^ 1031);
        } else if (op == 4) {
          // The calls that read the stored list, after the session's own
          // changes to it in the same batch.
          const std::string listed = RandomName(rng);
          const char* one = listed.c_str();
          ASSERT_TRUE(AddToNameList(a, &one, 1, nullptr));
          ModelAdd(&model, listed);
        } else if (op == 5 && locales.empty()) {
          const char* one = name.c_str();
          ASSERT_TRUE(RemoveFromNameList(a, &one, 1, nullptr));
          std::string kept;
          ForLines(model, [&](size_t, const std::string& line, const std::string& ends) {
            if (Upper(line) != Upper(name)) kept += line + ends;
          });
          model = kept;
        }
      }
      SetLocale(0);
      ASSERT_TRUE(!batch || CommitArchiveUpdate(a));
      ASSERT_EQ(List(a), model) << "round " << round << " step " << step;
    }
    Finish(a, file, round);
  }
}

TEST_F(NameListEditTest, RemoveAndRespellLeaveTheListTheToolsWholeTextCodeWrote) {
  std::mt19937 rng(77);
  for (int round = 0; round < 16; ++round) {
    const std::string file = "remove" + std::to_string(round) + ".mpq";
    ArchiveHandle a = Create(file, 64);
    ASSERT_NE(a, nullptr);
    if (round % 3 == 1) {
      ASSERT_TRUE(SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_MD5));
    }
    std::vector<std::string> names;
    for (int i = 0; i < 30; ++i) names.push_back(RandomName(rng));
    const std::string old = RandomList(rng, names);
    ASSERT_TRUE(Add(a, "(listfile)", TextBytes(old), layouts_[round % 4] | ADD_REPLACE));
    std::vector<const char*> gone;
    for (uint32_t n = rng() % 6; n > 0; --n) gone.push_back(names[rng() % names.size()].c_str());
    if (round % 5 == 4) gone.assign(1, "not\\listed.txt");
    // The tool's whole-text pruning.
    std::set<std::string> upper;
    for (const char* name : gone) upper.insert(Upper(name));
    std::string expected;
    ForLines(old, [&](size_t, const std::string& line, const std::string& ends) {
      if (upper.count(Upper(line)) == 0) expected += line + ends;
    });
    const bool batch = round % 2 == 0;
    ASSERT_TRUE(!batch || BeginArchiveUpdate(a));
    bool unreadable = true;
    ASSERT_TRUE(RemoveFromNameList(a, gone.data(), static_cast<uint32_t>(gone.size()), &unreadable));
    EXPECT_FALSE(unreadable);
    ASSERT_TRUE(!batch || CommitArchiveUpdate(a));
    ASSERT_EQ(List(a), expected) << "round " << round;
    // Then one name in another spelling, as the tool's whole-text code
    // wrote it: its lines respelled, or it added.
    std::string to = rng() % 4 == 0 ? RandomName(rng) : names[rng() % names.size()];
    for (char& c : to) c = static_cast<char>(rng() % 2 ? Upper(std::string(1, c))[0] : c);
    std::string respelled;
    bool found = false;
    ForLines(expected, [&](size_t, const std::string& line, const std::string& ends) {
      found = found || Upper(line) == Upper(to);
      respelled += (Upper(line) == Upper(to) ? to : line) + ends;
    });
    if (!found) ModelAdd(&respelled, to);
    ASSERT_TRUE(RespellInNameList(a, to.c_str(), &unreadable));
    ASSERT_EQ(List(a), respelled) << "round " << round;
    Finish(a, file, round);
  }
}

}  // namespace
