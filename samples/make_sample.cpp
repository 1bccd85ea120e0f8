// Writes the small sample archive shipped in samples/sample.mpq:
//   make_sample [output path]   (default: sample.mpq in the current folder)
// A few folders, an encrypted file, a position-adjusted encrypted file, an
// empty file and a "(listfile)" with CR LF line ends, stored the way the
// library's own update side stores its list (encrypted, key adjusted).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tests/support/archive_builder.h"

using testsupport::ArchiveBuilder;

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "sample.mpq";
  try {
    ArchiveBuilder b;
    b.Add("readme.txt",
          "This archive was made by make_sample to show tavrix at work.\r\n"
          "Every file listed in (listfile) lands in a folder named after the archive.\r\n");
    b.Add("Units\\Human\\Footman.txt",
          "Footman\r\nHit points: 420\r\nArmor: 2\r\nWeapon: sword\r\n");
    b.Add("Units\\Orc\\Grunt.txt",
          "Grunt\r\nHit points: 700\r\nArmor: 1\r\nWeapon: axe\r\n"
          "(stored encrypted with the key of its name)\r\n",
          BLOCK_ENCRYPTED);
    b.Add("Maps\\Secret\\notes.txt",
          "Stored encrypted with a key adjusted by the file's place and size.\r\n",
          BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | BLOCK_COMPRESSED);
    b.Add("Maps\\pattern.bin", testsupport::PatternBytes(10000, 2003));
    b.Add("Empty\\empty.dat", testsupport::Bytes{});
    const std::vector<std::string> names = {"readme.txt",        "Units\\Human\\Footman.txt",
                                            "Units\\Orc\\Grunt.txt", "Maps\\Secret\\notes.txt",
                                            "Maps\\pattern.bin", "Empty\\empty.dat",
                                            "(listfile)"};
    b.Listfile(names, "\r\n", BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | BLOCK_COMPRESSED);
    b.WriteTo(path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_sample: %s\n", e.what());
    return 1;
  }
  std::printf("wrote %s\n", path.c_str());
  return 0;
}
