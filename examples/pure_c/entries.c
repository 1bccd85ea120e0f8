/* Prints every stored entry of an archive, named where a name list or the
 * command line names it, and the reason in words when the archive does not
 * open:
 *   entries ARCHIVE [NAME...]
 * Built from a project that enables C alone, so it shows that the library
 * links without a C++ compiler on the caller's side. */
#include <stdio.h>

#include <sorvane/sorvane.h>

static bool Print(void* context, const ArchiveEntry* entry) {
  unsigned long* count = (unsigned long*)context;
  ++*count;
  if (!entry->hasBlock) {
    printf("%10s %10s %6s  %s\n", "?", "?", "", entry->name);
    return true;
  }
  printf("%10lu %10lu %6lx  %s%s\n", (unsigned long)entry->fileSize, (unsigned long)entry->storedSize,
         (unsigned long)entry->locale, entry->name, entry->nameKnown ? "" : " (name unknown)");
  return true;
}

static int Fail(const char* what, const char* path) {
  const uint32_t code = GetLastError();
  char words[256];
  GetErrorText(code, words, sizeof words);
  fprintf(stderr, "entries: %s %s: %s (error %lu)\n", what, path, words, (unsigned long)code);
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: entries ARCHIVE [NAME...]\n");
    return 2;
  }
  ArchiveHandle archive;
  if (!OpenArchive(argv[1], 0, 0, &archive)) return Fail("cannot open", argv[1]);
  unsigned long count = 0;
  const bool ok = EnumerateArchiveEntries(archive, (const char* const*)(argv + 2), (uint32_t)(argc - 2), Print,
                                          &count);
  if (!ok) {
    const int status = Fail("cannot enumerate", argv[1]);
    CloseArchive(archive);
    return status;
  }
  printf("%lu entries\n", count);
  CloseArchive(archive);
  return 0;
}
