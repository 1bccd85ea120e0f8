#!/usr/bin/env python3
"""Builds a mod archive from a folder, choosing the compression by extension:
audio with the audio coder, text with zlib, images stored as they are
(already compressed), everything else imploded. The whole build is one
batch: if any file fails, the archive is left as it was.

    python3 examples/python/build_mod.py FOLDER ARCHIVE [--prefix NAME]
"""
import argparse
import os
import sys

import sorvane

BY_EXTENSION = {
    ".wav": "wave",
    ".txt": "zlib", ".slk": "zlib", ".j": "zlib", ".lua": "zlib", ".xml": "zlib",
    ".blp": "none", ".tga": "none", ".mp3": "none", ".png": "none",
}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("archive")
    parser.add_argument("--prefix", default="", help="the stored folder the files go under")
    args = parser.parse_args()
    files = []
    for root, folders, names in os.walk(args.folder):
        folders.sort()
        for name in sorted(names):
            path = os.path.join(root, name)
            relative = os.path.relpath(path, args.folder).replace(os.sep, "\\")
            files.append((path, (args.prefix + "\\" if args.prefix else "") + relative))
    # A quarter of the table free after the build, for later additions.
    entries = 16
    while entries * 3 // 4 < len(files) + 2:
        entries *= 2
    done = 0
    try:
        with sorvane.open(args.archive, "a", hash_size=entries, attributes=True) as archive:
            for path, stored in files:
                method = BY_EXTENSION.get(os.path.splitext(path)[1].lower(), "implode")
                archive.add(path, stored, compress=method, replace=True)
                done += 1
                print("%5d/%d  %-7s %s" % (done, len(files), method, stored))
    except (sorvane.Error, OSError) as error:
        print("build_mod: %s; the archive was left as it was" % error, file=sys.stderr)
        return 1
    print("stored %d files in %s" % (done, args.archive))
    return 0


if __name__ == "__main__":
    sys.exit(main())
