#!/usr/bin/env python3
"""Lists an archive as JSON: one object per stored entry.

    python3 examples/python/list_json.py ARCHIVE [--listfile FILE] [--locale ID]
"""
import argparse
import json
import sys

import sorvane


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("archive")
    parser.add_argument("--listfile", help="a file of names the archive's own list lacks")
    parser.add_argument("--locale", type=lambda s: int(s, 0), default=0)
    args = parser.parse_args()
    try:
        with sorvane.open(args.archive, listfile=args.listfile, locale=args.locale) as archive:
            entries = [{
                "name": info.filename,
                "locale": info.locale,
                "name_known": info.name_known,
                "size": info.file_size,
                "stored": info.compress_size,
                "flags": info.flag_words,
                "methods": info.methods,
            } for info in archive.infolist()]
    except sorvane.Error as error:
        print("list_json: %s" % error, file=sys.stderr)
        return 1
    # Names that are no UTF-8 come back with surrogates; show them escaped.
    json.dump({"archive": args.archive, "entries": entries}, sys.stdout, indent=1, ensure_ascii=True)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
