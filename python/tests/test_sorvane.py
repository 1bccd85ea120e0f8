"""The package against the sorvane tool and against a model of what an
archive should hold. SORVANE_TOOL names the tool (scripts/test-python.sh
builds it); SORVANE_TEST_SEED repeats a run."""

import ctypes
import hashlib
import io
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

import sorvane
from sorvane import _native

TOOL = os.environ.get("SORVANE_TOOL", "")
SEED = int(os.environ.get("SORVANE_TEST_SEED", random.randrange(1 << 30)))
METHODS = ["none", "implode", "huffman", "zlib", "bzip2", "implode-only"]


def content(rng, size=None):
    if size is None:
        size = rng.choice([0, 1, 511, 4096, 4097, rng.randrange(1, 70000), rng.randrange(1, 9000)])
    if rng.random() < 0.5:
        return rng.randbytes(size) if hasattr(rng, "randbytes") else bytes(rng.getrandbits(8) for _ in range(size))
    words = [b"grunt", b"peon", b"tower", b"\r\n", b"gold", b"lumber", b"  ", b"0123"]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words)
    return bytes(out[:size])


def tool(*args, check=True):
    result = subprocess.run([TOOL] + [str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if check and result.returncode != 0:
        raise AssertionError("sorvane %s: %s" % (" ".join(map(str, args)), result.stderr.decode()))
    return result


def edit_table(archive, hash_table, edit):
    """Deciphers the archive's hash table (or block table), lets edit(table,
    entries) change the 16-byte entries and writes it back enciphered: the
    odd archives other writers leave."""
    lib = _native.lib
    lib.HashTableKey.restype = lib.BlockTableKey.restype = lib.HashString.restype = ctypes.c_uint32
    lib.HashString.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
    key = lib.HashTableKey() if hash_table else lib.BlockTableKey()
    with open(archive, "r+b") as f:
        header = f.read(32)
        pos = struct.unpack_from("<I", header, 16 if hash_table else 20)[0]
        entries = struct.unpack_from("<I", header, 24 if hash_table else 28)[0]
        f.seek(pos)
        table = ctypes.create_string_buffer(f.read(entries * 16), entries * 16)
        lib.DecryptBlock(table, entries * 16, key)
        edit(table, entries)
        lib.EncryptBlock(table, entries * 16, key)
        f.seek(pos)
        f.write(table.raw)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Base(unittest.TestCase):
    def setUp(self):
        self.rng = random.Random(SEED + hash(self.id()) % 1000)
        self.dir = tempfile.mkdtemp(prefix="sorvane-py-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)


@unittest.skipUnless(TOOL and os.path.exists(TOOL), "SORVANE_TOOL is not set")
class AgainstTheTool(Base):
    """Archives the tool writes, read back by the package."""

    def make_archive(self):
        rng = self.rng
        files = {}
        archive = self.path("random.mpq")
        tool("create", archive, "--hash-size", rng.choice([64, 256, 1024]), "--format", rng.choice([0, 1]))
        for round_ in range(rng.randrange(2, 5)):
            tree = self.path("tree%d" % round_)
            names = set()
            for _ in range(rng.randrange(3, 12)):
                folder = rng.choice(["", "units", "units/human", "art", "Sound/Ambient"])
                name = (folder + "/" if folder else "") + rng.choice(["a", "B", "peon", "x y", "é"]) + \
                    str(rng.randrange(100)) + rng.choice([".txt", ".bin", ".wav", ""])
                if name.lower() in names:
                    continue
                names.add(name.lower())
                data = content(rng)
                os.makedirs(os.path.dirname(os.path.join(tree, name)) or tree, exist_ok=True)
                with open(os.path.join(tree, name), "wb") as f:
                    f.write(data)
            options = ["--compress", rng.choice(METHODS), "--replace"]
            if rng.random() < 0.3:
                options.append(rng.choice(["--encrypt", "--key-adjusted"]))
            if rng.random() < 0.2:
                options.append("--single-unit")
            locale = rng.choice([0, 0, 0x407])
            options += ["--locale", locale]
            # Stored names relative to the tree: add from inside it.
            result = subprocess.run([TOOL, "add", archive, "."] + [str(o) for o in options] + ["--grow"],
                                    cwd=tree, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            for root, _, names_here in os.walk(tree):
                for n in names_here:
                    full = os.path.join(root, n)
                    stored = os.path.relpath(full, tree).replace("/", "\\")
                    with open(full, "rb") as f:
                        files[(stored.upper(), locale)] = (stored, f.read())
            shutil.rmtree(tree)
        return archive, files

    def test_every_entry_name_and_byte(self):
        for _ in range(3):
            archive, files = self.make_archive()
            listing = json.loads(tool("list", archive, "--json").stdout.decode())
            by_index = {e["hash_index"]: e for e in listing["entries"]}
            with sorvane.open(archive) as a:
                infos = a.infolist()
                self.assertEqual(sorted(i.hash_index for i in infos), sorted(by_index))
                for info in infos:
                    e = by_index[info.hash_index]
                    self.assertEqual((info.filename, info.locale, info.name_known, info.has_block, info.file_size,
                                      info.compress_size, info.flags),
                                     (e["name"], e["locale"], e["name_known"], e["has_block"], e["size"],
                                      e["stored"], e["flags_value"]), info)
                    self.assertEqual(0xFFFFFFFF if info.methods is None else info.methods, e["methods_value"])
                # Every file the model holds, in its own locale.
                for (upper, locale), (stored, data) in files.items():
                    info = next(i for i in infos if i.filename.upper() == upper and i.locale == locale)
                    self.assertEqual(a.read(info), data, stored)
                    self.assertEqual(sorvane.Archive(archive, locale=locale).read(stored), data)
                names = a.namelist()
                self.assertEqual(len(names), len(set(n.upper() for n in names)))
                self.assertEqual(set(n.upper() for n in names), set(i.filename.upper() for i in infos))
                # extractall writes the tree the tool writes.
                a.extractall(self.path("py"))
            tool("extract", archive, "-C", self.path("tool"))
            self.assertEqual(tree_of(self.path("py")), tree_of(self.path("tool")))
            for d in ("py", "tool"):
                shutil.rmtree(self.path(d))
            os.remove(archive)

    def test_verify_and_info_agree_with_the_tool(self):
        archive, _ = self.make_archive()
        tool("verify", archive)
        facts = json.loads(tool("info", archive, "--json").stdout.decode())
        with sorvane.open(archive) as a:
            self.assertTrue(all(r.ok for r in a.verify()))
            self.assertIsNone(a.testzip())
            info = a.info()
        mine = info.as_dict()
        shared = [key for key in facts if key in mine]
        self.assertGreater(len(shared), 20, shared)
        for key in shared:
            expected = facts[key]
            self.assertEqual(bool(mine[key]) if isinstance(expected, bool) else mine[key], expected, key)
        self.assertEqual(info.signature.hex(), facts["signature_hex"].lower())

    def test_random_seeks_against_read(self):
        archive, files = self.make_archive()
        with sorvane.open(archive) as a:
            for info in a.infolist():
                if not info.name_known or info.file_size == 0:
                    continue
                whole = a.read(info)
                with a.open(info) as f:
                    self.assertEqual(f.size, len(whole))
                    for _ in range(40):
                        start = self.rng.randrange(len(whole) + 10)
                        count = self.rng.choice([1, 7, 512, 4096, 5000, len(whole)])
                        how = self.rng.randrange(3)
                        if how == 0:
                            f.seek(start)
                        elif how == 1:
                            f.seek(start - f.tell(), io.SEEK_CUR)
                        else:
                            f.seek(start - len(whole), io.SEEK_END)
                        expected = whole[min(start, len(whole)):][:count]
                        self.assertEqual(f.tell(), min(start, len(whole)))
                        if self.rng.random() < 0.5:
                            self.assertEqual(f.read(count), expected)
                        else:
                            buffer = bytearray(count)
                            n = f.readinto(buffer)
                            self.assertEqual(bytes(buffer[:n]), expected)
                    f.seek(0)
                    self.assertEqual(b"".join(f), whole)
                    f.seek(0)
                    self.assertEqual(f.read(), whole)

    def test_archives_the_package_writes_read_in_the_tool(self):
        archive, files = self.make_archive()
        copy = self.path("copy.mpq")
        with sorvane.create(copy, hash_size=256) as out, sorvane.open(archive) as src:
            for info in src.infolist():
                if info.name_known and info.filename not in sorvane.INTERNAL_NAMES:
                    out.writestr(info.filename, src.read(info), locale=info.locale,
                                 compress=self.rng.choice(["none", "implode", "zlib", "huffman"]))
        tool("verify", copy)
        for (upper, locale), (stored, data) in files.items():
            got = tool("extract", copy, stored, "--locale", locale, "-O").stdout
            self.assertEqual(got, data, stored)

    def test_names_apart_in_the_archive_stay_apart(self):
        # The archive folds the case of ASCII letters only: names that differ
        # in other letters are other files, in the package as in the tool.
        tree = self.path("tree")
        os.makedirs(tree)
        names = ["\u00e9.txt", "\u00c9.txt", "stra\u00dfe.txt", "STRASSE.txt", "\ufb00.txt", "FF.txt"]
        for i, name in enumerate(names):
            with open(os.path.join(tree, name), "wb") as f:
                f.write(b"%d" % i)
        archive = self.path("n.mpq")
        subprocess.run([TOOL, "add", archive, "."], cwd=tree, check=True, stdout=subprocess.PIPE)
        listed = [e["name"] for e in json.loads(tool("list", archive, "--json").stdout.decode())["entries"]]
        with sorvane.open(archive) as a:
            self.assertEqual(sorted(a.namelist()), sorted(listed))
            a.extractall(self.path("py"))
        tool("extract", archive, "-C", self.path("tool"))
        self.assertEqual(tree_of(self.path("py")), tree_of(self.path("tool")))
        self.assertEqual(len(tree_of(self.path("py"))), 6)

    def test_names_stored_with_slashes_read_back(self):
        # Other writers store names with "/": each name namelist() gives
        # reads, extracts, and is deleted and renamed as the tool does it.
        archive = self.path("s.mpq")
        with sorvane.create(archive) as a:
            a.writestr("keep.txt", b"k")
        handle = _native.lib.OpenArchiveWritable(os.fsencode(archive),
                                                 _native.UPDATE_OPEN_EXISTING | _native.UPDATE_KEEP_LISTFILE, 0)
        for name in (b"units/grunt.txt", b"units/orc/peon.txt", b"art\\x/y.blp"):
            self.assertTrue(_native.lib.AddFileFromMemory(handle, name, len(name), name, 0, 0, 0))
        _native.lib.CloseWritableArchive(handle, 0)
        with sorvane.open(archive) as a:
            for name in a.namelist():
                self.assertIn(name, a)
                self.assertEqual(a.read(name), a.read(a.getinfo(name)))
                if "/" in name:
                    self.assertEqual(a.read(name), name.encode())
            a.extractall(self.path("py"))
        tool("extract", archive, "-C", self.path("tool"))
        self.assertEqual(tree_of(self.path("py")), tree_of(self.path("tool")))
        with sorvane.open(archive, "a") as a:
            a.delete("units/grunt.txt")
            a.rename("units/orc/peon.txt", "units\\orc\\peon.txt")
        with sorvane.open(archive) as a:
            self.assertEqual(sorted(a.namelist()), ["(listfile)", "art\\x/y.blp", "keep.txt", "units\\orc\\peon.txt"])

    def test_extract_writes_what_the_tool_writes_for_hollow_names(self):
        # Names of archives others write: a name that ends in a separator or
        # "." is refused, as the tool refuses it, and never lands on the file
        # of another entry.
        names = [b"readme.txt", b"readme.txt\\", b"docs\\.", b"docs\\a.txt", b"x\\\\y.txt", b".\\dot.txt", b"z/",
                 b"z/w.txt"]
        archive = self.path("h.mpq")
        with sorvane.create(archive):
            pass
        handle = _native.lib.OpenArchiveWritable(os.fsencode(archive), _native.UPDATE_OPEN_EXISTING, 0)
        for name in names:
            self.assertTrue(_native.lib.AddFileFromMemory(handle, name, len(name), name, 0, 0, 0))
        _native.lib.CloseWritableArchive(handle, 0)
        listfile = self.path("names.txt")
        with open(listfile, "wb") as f:
            f.write(b"\n".join(names))
        refused = []
        with sorvane.open(archive, listfile=listfile) as a:
            for info in a.infolist():
                try:
                    a.extract(info, self.path("py"))
                except sorvane.BadNameError:
                    refused.append(info.filename)
        self.assertEqual(tool("extract", archive, "-C", self.path("tool"), "--listfile", listfile,
                              check=False).returncode, 1)
        self.assertEqual(tree_of(self.path("py")), tree_of(self.path("tool")))
        self.assertEqual(sorted(refused), ["docs\\.", "readme.txt\\", "z/"])

    def test_extractall_passes_over_an_entry_naming_no_block(self):
        # Archives made to resist editors carry hash entries that name no
        # block: readers pass over them, and so do the tool's extract and
        # extractall().
        archive = self.path("d.mpq")
        with sorvane.create(archive, hash_size=16) as a:
            a.writestr("real.txt", b"real")
        hashed = _native.lib.HashString

        def decoys(table, entries):
            # One where a lookup of real.txt comes first; the file further on.
            real = next(k for k in range(entries)
                        if struct.unpack_from("<I", table, k * 16)[0] == hashed(b"real.txt", 1))
            moved = (real + 1) % entries
            while struct.unpack_from("<I", table, moved * 16 + 12)[0] != 0xFFFFFFFF:
                moved = (moved + 1) % entries
            table[moved * 16:moved * 16 + 16] = table[real * 16:real * 16 + 16]
            struct.pack_into("<I", table, real * 16 + 12, 78)
            # And one of a name no file has.
            slot = hashed(b"ghost.txt", 0) % entries
            while struct.unpack_from("<I", table, slot * 16 + 12)[0] != 0xFFFFFFFF:
                slot = (slot + 1) % entries
            struct.pack_into("<IIII", table, slot * 16, hashed(b"ghost.txt", 1), hashed(b"ghost.txt", 2), 0, 77)

        edit_table(archive, True, decoys)
        listfile = self.path("names.txt")
        with open(listfile, "wb") as f:
            f.write(b"ghost.txt\n")
        with sorvane.open(archive, listfile=listfile) as a:
            self.assertEqual(sorted(i.filename for i in a.infolist() if not i.has_block), ["ghost.txt", "real.txt"])
            info = a.getinfo("real.txt")
            self.assertEqual((info.has_block, info.file_size), (True, 4))
            a.extractall(self.path("py"))
            self.assertIsNone(a.testzip())
        tool("verify", archive, "--listfile", listfile)
        tool("extract", archive, "-C", self.path("tool"), "--listfile", listfile)
        self.assertEqual(tree_of(self.path("py")), tree_of(self.path("tool")))
        self.assertEqual(tree_of(self.path("py")), {"real.txt": b"real"})

    @unittest.skipUnless(hasattr(os, "mkfifo"), "pipes and symbolic links of this system")
    def test_add_leaves_out_what_the_tool_skips(self):
        tree = self.path("tree")
        os.makedirs(os.path.join(tree, "sub"))
        for name in ("a.txt", "sub/b.txt"):
            with open(os.path.join(tree, name), "wb") as f:
                f.write(name.encode())
        os.symlink("loop1", os.path.join(tree, "loop2"))
        os.symlink("loop2", os.path.join(tree, "loop1"))
        os.symlink("nowhere", os.path.join(tree, "dangling"))
        os.symlink("sub", os.path.join(tree, "folder-link"))
        os.symlink("a.txt", os.path.join(tree, "file-link"))
        os.mkfifo(os.path.join(tree, "fifo"))
        with sorvane.open(self.path("p.mpq"), "a") as a:
            a.add(tree, arcname="")
        self.assertEqual(subprocess.run([TOOL, "add", self.path("t.mpq"), "."], cwd=tree, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE).returncode, 3)
        with sorvane.open(self.path("p.mpq")) as p, sorvane.open(self.path("t.mpq")) as t:
            self.assertEqual(sorted(p.namelist()), sorted(t.namelist()))
            self.assertEqual(sorted(p.namelist()), ["(listfile)", "a.txt", "file-link", "sub\\b.txt"])


def tree_of(root):
    out = {}
    for folder, _, names in os.walk(root):
        for n in names:
            with open(os.path.join(folder, n), "rb") as f:
                out[os.path.relpath(os.path.join(folder, n), root)] = f.read()
    return out


class Model:
    """What the archive should hold: (upper name, locale) -> (name, bytes)."""

    def __init__(self):
        self.files = {}

    def check(self, test, archive_path):
        with sorvane.open(archive_path) as a:
            infos = [i for i in a.infolist() if i.filename not in sorvane.INTERNAL_NAMES]
            got = {(i.filename.upper(), i.locale): i for i in infos}
            test.assertEqual(set(got), set(self.files))
            for key, (name, data) in self.files.items():
                test.assertEqual(got[key].filename, name)
                test.assertEqual(a.read(got[key]), data, key)
        if TOOL:
            tool("verify", archive_path)


class UpdateRoundTrips(Base):
    def random_name(self):
        return self.rng.choice(["", "units\\", "art/", "Sound\\Wave\\"]) + self.rng.choice(["grunt", "Peon", "x"]) + \
            str(self.rng.randrange(40)) + self.rng.choice([".txt", ".blp", ""])

    def step(self, a, model):
        rng = self.rng
        op = rng.choice(["writestr", "writestr", "add", "replace", "delete", "rename", "set_locale", "refused"])
        present = list(model.files.items())
        if op in ("writestr", "add"):
            name = self.random_name().replace("/", "\\")
            locale = rng.choice([0, 0, 0x407, 0x409])
            data = content(rng)
            key = (name.upper(), locale)
            options = dict(compress=rng.choice(["none", "implode", "zlib", "huffman", "bzip2", 0x09]),
                           encrypt=rng.random() < 0.2, key_adjusted=rng.random() < 0.1,
                           single_unit=rng.random() < 0.1, locale=locale)
            if op == "add":
                source = self.path("source.bin")
                with open(source, "wb") as f:
                    f.write(data)
                call = lambda: a.add(source, name, **options)
            else:
                call = lambda: a.writestr(name, data, **options)
            if key in model.files:
                self.assertRaises(FileExistsError, call)
            else:
                call()
                model.files[key] = (name, data)
        elif op == "replace" and present:
            (key, (name, _)) = rng.choice(present)
            data = content(rng)
            a.writestr(name, data, replace=True, locale=key[1])
            model.files[key] = (name, data)
        elif op == "delete" and present:
            (key, (name, _)) = rng.choice(present)
            a.delete(name, locale=key[1])
            del model.files[key]
        elif op == "rename" and present:
            (key, (name, data)) = rng.choice(present)
            new = self.random_name().replace("/", "\\")
            new_key = (new.upper(), key[1])
            if new_key == key:
                return
            if new_key in model.files:
                self.assertRaises(FileExistsError, a.rename, name, new, locale=key[1])
                return
            a.rename(name, new, locale=key[1])
            del model.files[key]
            model.files[new_key] = (new, data)
        elif op == "set_locale" and present:
            (key, (name, data)) = rng.choice(present)
            new = rng.choice([0, 0x407, 0x409, 0x40c])
            new_key = (key[0], new)
            if new == key[1] or new_key in model.files:
                return
            a.set_locale(name, key[1], new)
            del model.files[key]
            model.files[new_key] = (name, data)
        else:
            self.assertRaises(KeyError, a.delete, "not\\there.txt")
            neutral = [name for (upper, locale), (name, _) in present if locale == 0 and (upper, 0x40c) not in model.files]
            if neutral:
                # Only the neutral version is stored: no file of locale 0x40c to delete or move.
                self.assertRaises(KeyError, a.delete, neutral[0], locale=0x40c)
                self.assertRaises(KeyError, a.set_locale, neutral[0], 0x40c, 0x407)
                self.assertRaises(ValueError, a.set_locale, neutral[0], 0, 0)

    def test_calls_commit_one_by_one(self):
        archive = self.path("model.mpq")
        model = Model()
        a = sorvane.open(archive, "a", hash_size=512, format=self.rng.choice([0, 1]))
        try:
            for i in range(60):
                self.step(a, model)
                if i % 15 == 14:
                    a.compact()
        finally:
            a.close()
        model.check(self, archive)

    def test_batches_commit_at_the_end_of_the_block(self):
        archive = self.path("model.mpq")
        model = Model()
        for _ in range(6):
            with sorvane.open(archive, "a", hash_size=512, attributes=True) as a:
                for _ in range(12):
                    self.step(a, model)
            model.check(self, archive)
        with sorvane.open(archive) as a:
            self.assertTrue(all(r.ok for r in a.verify()), [r for r in a.verify() if not r.ok])

    def test_an_exception_leaves_the_archive_byte_identical(self):
        archive = self.path("model.mpq")
        model = Model()
        with sorvane.open(archive, "a", hash_size=256) as a:
            for _ in range(20):
                self.step(a, model)
        # Dead space for the batches below to be tempted by.
        with sorvane.open(archive, "a") as a:
            for key, (name, _) in list(model.files.items())[:3]:
                a.delete(name, locale=key[1])
                del model.files[key]
        with sorvane.open(archive) as a:
            self.assertGreater(a.info().dead_bytes, 0)
        before = digest(archive)
        for _ in range(5):
            with self.assertRaises(ZeroDivisionError):
                with sorvane.open(archive, "a") as a:
                    scratch = _Copy(model)
                    for _ in range(15):
                        self.step(a, scratch)
                    1 / 0
            self.assertEqual(digest(archive), before)
        model.check(self, archive)
        # Batches allowed to fill dead space may leave their data there, where
        # no table reaches: the header, the tables and every file stay.
        with sorvane.open(archive) as a:
            facts = a.info().as_dict()
            entries = [(i.filename, i.hash_index, i.locale, i.flags, i.file_size) for i in a.infolist()]
        with self.assertRaises(ZeroDivisionError):
            with sorvane.open(archive, "a", reuse_dead_space=True) as a:
                scratch = _Copy(model)
                for _ in range(15):
                    self.step(a, scratch)
                1 / 0
        with sorvane.open(archive) as a:
            self.assertEqual(a.info().as_dict(), facts)
            self.assertEqual([(i.filename, i.hash_index, i.locale, i.flags, i.file_size) for i in a.infolist()],
                             entries)
        model.check(self, archive)

    def test_folders_and_the_name_rule(self):
        tree = self.path("mod")
        expected = {}
        for rel in ["units/grunt.txt", "units/human/peasant.txt", "art/a.blp", "readme"]:
            os.makedirs(os.path.dirname(os.path.join(tree, rel)) or tree, exist_ok=True)
            data = content(self.rng)
            with open(os.path.join(tree, rel), "wb") as f:
                f.write(data)
            expected[("mod\\" + rel.replace("/", "\\"))] = data
        archive = self.path("mod.mpq")
        seen = []
        with sorvane.create(archive) as a:
            stored = a.add(tree, arcname="mod", progress=seen.append)
        self.assertEqual(sorted(stored), sorted(expected))
        self.assertEqual(sum(seen), sum(len(d) for d in expected.values()))
        with sorvane.open(archive) as a:
            for name, data in expected.items():
                self.assertEqual(a.read(name), data)
                self.assertEqual(a.read(name.replace("\\", "/")), data)
        with sorvane.open(archive, "a") as a:
            for bad in ["", "a\nb", "..\\up", "\\root", "C:x", "a\\\\b", "a\\.\\b", "x" * 300]:
                with self.assertRaises(sorvane.BadNameError):
                    a.writestr(bad, b"x")
                self.assertRaises(ValueError, a.rename, "mod\\readme", bad)


class _Copy(Model):
    def __init__(self, model):
        super().__init__()
        self.files = dict(model.files)


class Errors(Base):
    def test_mapping(self):
        missing = self.path("missing.mpq")
        with self.assertRaises(FileNotFoundError) as caught:
            sorvane.open(missing)
        self.assertIsInstance(caught.exception, sorvane.Error)
        self.assertEqual(caught.exception.code, 2)
        self.assertEqual(caught.exception.filename, missing)
        self.assertTrue(caught.exception.strerror)
        # A folder is there: no archive, but not missing either.
        for mode in ("r", "a"):
            with self.assertRaises(sorvane.Error) as caught:
                sorvane.open(self.dir, mode)
            self.assertNotIsInstance(caught.exception, FileNotFoundError)
            self.assertIn("folder", str(caught.exception))

        junk = self.path("junk.mpq")
        with open(junk, "wb") as f:
            f.write(b"not an archive at all" * 100)
        with self.assertRaises(sorvane.BadArchiveError) as caught:
            sorvane.open(junk)
        self.assertEqual(caught.exception.code, _native.ERR_NOT_ARCHIVE)
        self.assertIsInstance(caught.exception, OSError)

        archive = self.path("a.mpq")
        with sorvane.create(archive) as a:
            a.writestr("a.txt", b"x")
        with self.assertRaises(FileExistsError):
            sorvane.create(archive)
        writer = sorvane.open(archive, "a")
        try:
            for attempt in (lambda: sorvane.open(archive), lambda: sorvane.open(archive, "a")):
                with self.assertRaises(sorvane.ArchiveInUseError) as caught:
                    attempt()
                self.assertIsInstance(caught.exception, PermissionError)
                self.assertEqual(caught.exception.code, _native.ERROR_SHARING_VIOLATION)
                self.assertIn("used by another process", str(caught.exception))
            with self.assertRaises(FileExistsError) as caught:
                writer.writestr("a.txt", b"y")
            self.assertEqual(caught.exception.code, _native.ERR_ALREADY_STORED)
            self.assertRaises(KeyError, writer.read, "b.txt")
            self.assertRaises(KeyError, writer.rename, "b.txt", "c.txt")
            self.assertRaises(FileNotFoundError, writer.add, self.path("no-such-file"))
            self.assertRaises(ValueError, writer.writestr, "b.txt", b"", compress="lzma")
        finally:
            writer.close()
        with sorvane.open(archive) as reader:
            self.assertRaises(io.UnsupportedOperation, reader.writestr, "b.txt", b"")
            f = reader.open("a.txt")
            self.assertEqual(f.read(), b"x")
        self.assertRaises(ValueError, f.read)
        self.assertRaises(ValueError, reader.read, "a.txt")
        # Two readers share the file.
        with sorvane.open(archive) as r1, sorvane.open(archive) as r2:
            self.assertEqual(r1.read("a.txt"), r2.read("a.txt"))

    def test_full_hash_table(self):
        archive = self.path("small.mpq")
        with self.assertRaises(sorvane.TableFullError):
            with sorvane.create(archive, hash_size=4) as a:
                for i in range(8):
                    a.writestr("f%d" % i, b"x")
        with sorvane.open(archive, "a", listfile=["f%d" % i for i in range(8)]) as a:
            self.assertEqual(a.namelist(), [])
            for i in range(3):
                a.writestr("f%d" % i, b"x")
            a.resize(64)
            for i in range(3, 8):
                a.writestr("f%d" % i, b"x")
        with sorvane.open(archive) as a:
            self.assertEqual(a.info().hash_table_entries, 64)
            self.assertEqual(len([n for n in a.namelist() if n.startswith("f")]), 8)


class Extraction(Base):
    def test_no_escape_and_no_links(self):
        archive = self.path("evil.mpq")
        with sorvane.create(archive) as a:
            a.writestr("ok\\file.txt", b"fine")
            a.writestr("link\\inside.txt", b"through a link")
        # Names the rule refuses can still be in archives others write.
        handle = _native.lib.OpenArchiveWritable(os.fsencode(archive), _native.UPDATE_OPEN_EXISTING, 0)
        self.assertTrue(_native.lib.IsUsableArchive(handle))
        for bad in (b"..\\escape.txt", b"\\rooted.txt"):
            self.assertTrue(_native.lib.AddFileFromMemory(handle, b"bad", 3, bad, 0, 0, 0))
        _native.lib.CloseWritableArchive(handle, 0)
        out = self.path("out")
        elsewhere = self.path("elsewhere")
        os.makedirs(out)
        os.makedirs(elsewhere)
        os.symlink(elsewhere, os.path.join(out, "link"))
        with open(os.path.join(out, "ok.txt"), "wb") as f:
            f.write(b"old")
        with sorvane.open(archive, listfile=["..\\escape.txt", "\\rooted.txt"]) as a:
            for bad in ("..\\escape.txt", "\\rooted.txt"):
                self.assertRaises(sorvane.BadNameError, a.extract, bad, out)
            self.assertRaises(sorvane.Error, a.extract, "link\\inside.txt", out)
            self.assertEqual(os.listdir(elsewhere), [])
            self.assertFalse(os.path.exists(self.path("escape.txt")))
            path = a.extract("ok\\file.txt", out)
            self.assertEqual(path, os.path.join(out, "ok", "file.txt"))
            with open(path, "rb") as f:
                self.assertEqual(f.read(), b"fine")
            self.assertRaises(sorvane.Error, a.extractall, out)
        self.assertEqual(sorted(os.listdir(out)), ["link", "ok", "ok.txt"])
        self.assertEqual(os.listdir(os.path.join(out, "ok")), ["file.txt"])

    @unittest.skipUnless(os.name == "posix", "a process's address-space limit of POSIX systems")
    def test_a_size_the_data_cannot_back_fails_as_damage(self):
        # A block that claims almost 4 GiB for four stored bytes: reading it
        # fails as a damaged archive also in a process that cannot have
        # that much memory, as the tool's extract does.
        archive = self.path("big.mpq")
        with sorvane.create(archive) as a:
            a.writestr("big.bin", b"tiny", compress="none")
            a.writestr("ok.txt", b"ok", compress="none")
        with sorvane.open(archive) as a:
            block = a.getinfo("big.bin").block_index
        edit_table(archive, False, lambda table, _: struct.pack_into("<I", table, block * 16 + 8, 0xFFFFFF00))
        script = ("import resource, sys, sorvane\n"
                  "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
                  "with sorvane.open(sys.argv[1]) as a:\n"
                  "    for how in (lambda: a.read('big.bin'), lambda: a.open('big.bin').read()):\n"
                  "        try:\n"
                  "            how()\n"
                  "        except sorvane.BadArchiveError:\n"
                  "            print('damaged')\n"
                  "    print(a.read('ok.txt').decode())\n")
        result = subprocess.run([sys.executable, "-c", script, archive], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.assertEqual(result.stdout.decode().split(), ["damaged", "damaged", "ok"], result.stderr.decode())

    def test_names_windows_would_change_are_refused_there(self):
        # Checked here by the rule Windows applies, so the refusal is tested
        # on every system; the files of the names it keeps are written.
        from sorvane import _extract
        refused = ["a.", "b ", "x.txt:s", "nul", "Com1.txt", "lpt9", "d.\\f", "q?", "t\x01ab"]
        kept = ["a", "nul1", "com10", ".\\dot\\f", "c.txt"]
        archive = self.path("win.mpq")
        with sorvane.create(archive):
            pass
        # Names the rule refuses can still be in archives others write.
        handle = _native.lib.OpenArchiveWritable(os.fsencode(archive), _native.UPDATE_OPEN_EXISTING, 0)
        for name in refused + kept:
            self.assertTrue(_native.lib.AddFileFromMemory(handle, name.encode(), len(name), name.encode(), 0, 0, 0))
        _native.lib.CloseWritableArchive(handle, 0)
        out = self.path("out")
        saved = _extract._WINDOWS
        _extract._WINDOWS = True
        try:
            with sorvane.open(archive, listfile=refused + kept) as a:
                for name in refused:
                    self.assertRaises(sorvane.BadNameError, a.extract, name, out)
                for name in kept:
                    with open(a.extract(name, out), "rb") as f:
                        self.assertEqual(f.read(), name.encode())
        finally:
            _extract._WINDOWS = saved
        self.assertEqual(sorted(os.listdir(out)), ["a", "c.txt", "com10", "dot", "nul1"])


class Seeks(Base):
    def test_positions_past_2_gib_read_the_bytes_there(self):
        # A file of 2.25 GiB whose first sector and the one at 2.125 GiB hold
        # bytes (the others are empty: only the sectors read are decoded),
        # made from a small file by pointing its block at data put behind it.
        archive = self.path("big.mpq")
        with sorvane.create(archive) as a:
            a.writestr("big.bin", b"x" * 5000, compress="zlib")
        with sorvane.open(archive) as a:
            block = a.getinfo("big.bin").block_index
        size, sectors, far_at = 0x90000000, 0x90000, 0x88000
        near, far = content(self.rng, 4096), content(self.rng, 4096)
        offsets = [4 * (sectors + 1) + (0 if i == 0 else 4096 if i <= far_at else 8192) for i in range(sectors + 1)]
        data = struct.pack("<%dI" % len(offsets), *offsets) + near + far
        with open(archive, "ab") as f:
            end = f.seek(0, io.SEEK_END)
            f.write(data)

        def point(table, _):
            flags = struct.unpack_from("<I", table, block * 16 + 12)[0]
            struct.pack_into("<IIII", table, block * 16, end, len(data), size, flags)

        edit_table(archive, False, point)
        with sorvane.open(archive) as a, a.open("big.bin") as f:
            self.assertEqual(f.size, size)
            for at, expected in ((50, near[50:150]), (0x88000000 + 100, far[100:300]), (0x88000000, far),
                                 (10, near[10:20])):
                f.seek(at)
                self.assertEqual(f.read(len(expected)), expected, at)


class TwoEntriesOfOneName(Base):
    def test_each_entry_reads_as_itself(self):
        # Archives that hide files behind a decoy hold two entries of one
        # name and locale: an ArchiveInfo of infolist() reads its own entry,
        # as the tool's extract and verify take each.
        archive = self.path("d.mpq")
        with sorvane.create(archive, hash_size=16) as a:
            a.writestr("dup.txt", b"the first", compress="none")
            a.writestr("other.txt", b"the second", compress="none")
        hashed = _native.lib.HashString

        def rename(table, entries):
            other = next(k for k in range(entries)
                         if struct.unpack_from("<I", table, k * 16)[0] == hashed(b"other.txt", 1))
            struct.pack_into("<II", table, other * 16, hashed(b"dup.txt", 1), hashed(b"dup.txt", 2))

        edit_table(archive, True, rename)
        with sorvane.open(archive) as a:
            dups = [i for i in a.infolist() if i.filename == "dup.txt"]
            self.assertEqual(len(dups), 2)
            self.assertEqual(sorted(a.read(i) for i in dups), [b"the first", b"the second"])
            for info in dups:
                with a.open(info) as f:
                    self.assertEqual(f.read(), a.read(info))
            self.assertEqual(a.read(sorvane.ArchiveInfo("dup.txt")), a.read("dup.txt"))


class Threads(Base):
    def test_archives_on_several_threads(self):
        paths = []
        expected = []
        for k in range(3):
            path = self.path("t%d.mpq" % k)
            files = {"f%d.bin" % i: content(self.rng, 20000 + i) for i in range(20)}
            with sorvane.create(path) as a:
                for name, data in files.items():
                    a.writestr(name, data, compress="zlib")
            paths.append(path)
            expected.append(files)
        failures = []

        def work(k):
            try:
                for _ in range(5):
                    with sorvane.open(paths[k], locale=k) as a:
                        for name, data in expected[k].items():
                            if a.read(name) != data:
                                failures.append((k, name))
                # Updates of different archives take turns.
                with sorvane.open(paths[k], "a") as a:
                    a.writestr("added.txt", b"%d" % k, locale=0x400 + k)
            except BaseException as error:
                failures.append(error)

        threads = [threading.Thread(target=work, args=(k,)) for k in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        for k, path in enumerate(paths):
            with sorvane.open(path, locale=0x400 + k) as a:
                self.assertEqual(a.read("added.txt"), b"%d" % k)
                self.assertEqual(a.getinfo("added.txt").locale, 0x400 + k)


if __name__ == "__main__":
    print("seed", SEED)
    unittest.main()
