/* Lists the files an archive's "(listfile)" names, with their sizes, and
 * extracts one of them:
 *   list_and_extract ARCHIVE [NAME OUTPUT]
 * A C11 program on the library's public header alone. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sorvane/sorvane.h>

static int Fail(const char* what, const char* name) {
  fprintf(stderr, "list_and_extract: %s %s: error %lu\n", what, name, (unsigned long)GetLastError());
  return 1;
}

/* The whole of a stored file in a new buffer with a terminating zero. */
static char* ReadWhole(ArchiveHandle archive, const char* name, uint32_t* size) {
  FileHandle file;
  if (!OpenArchiveFile(archive, name, 0, &file)) return NULL;
  *size = GetArchiveFileSize(file, NULL);
  char* data = *size == 0xFFFFFFFFu ? NULL : malloc((size_t)*size + 1);
  uint32_t got = 0;
  if (data != NULL && !(ReadArchiveFile(file, data, *size, &got, NULL) && got == *size)) {
    free(data);
    data = NULL;
  }
  CloseArchiveFile(file);
  if (data != NULL) data[*size] = '\0';
  return data;
}

static int List(ArchiveHandle archive) {
  uint32_t size = 0;
  char* list = ReadWhole(archive, "(listfile)", &size);
  if (list == NULL) return Fail("cannot read", "(listfile)");
  for (char* name = strtok(list, "\r\n"); name != NULL; name = strtok(NULL, "\r\n")) {
    FileHandle file;
    if (!OpenArchiveFile(archive, name, 0, &file)) {
      printf("%10s  %s\n", "?", name);
      continue;
    }
    printf("%10lu  %s\n", (unsigned long)GetArchiveFileSize(file, NULL), name);
    CloseArchiveFile(file);
  }
  free(list);
  return 0;
}

static int Extract(ArchiveHandle archive, const char* name, const char* output) {
  uint32_t size = 0;
  char* data = ReadWhole(archive, name, &size);
  if (data == NULL) return Fail("cannot read", name);
  FILE* out = fopen(output, "wb");
  int failed = out == NULL || fwrite(data, 1, size, out) != size;
  if (out != NULL && fclose(out) != 0) failed = 1;
  free(data);
  if (failed) {
    fprintf(stderr, "list_and_extract: cannot write %s\n", output);
    return 1;
  }
  printf("extracted %s (%lu bytes) to %s\n", name, (unsigned long)size, output);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    fprintf(stderr, "usage: list_and_extract ARCHIVE [NAME OUTPUT]\n");
    return 2;
  }
  const uint32_t version = GetSorvaneVersion();
  printf("built against sorvane %s, running with %lu.%lu.%lu\n", SORVANE_VERSION_STRING,
         (unsigned long)(version >> 16), (unsigned long)(version >> 8 & 0xFF), (unsigned long)(version & 0xFF));
  if (version >> 16 != SORVANE_VERSION_MAJOR) {
    fprintf(stderr, "list_and_extract: the library's major version differs from the header's\n");
    return 1;
  }
  ArchiveHandle archive;
  if (!OpenArchive(argv[1], 0, 0, &archive)) return Fail("cannot open", argv[1]);
  int status = argc == 2 ? List(archive) : Extract(archive, argv[2], argv[3]);
  CloseArchive(archive);
  return status;
}
