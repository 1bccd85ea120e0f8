#!/usr/bin/env python3
"""Writes a large name list shaped like a game mod's: folders and files of a
mod tree, mixed letter case, some lines repeated and some repeated in another
case, CR LF line ends.

make_name_list.py OUT NAMES [STORED_OUT STORED]
  OUT         the list, NAMES lines
  STORED_OUT  STORED distinct names of the list (one a line, LF), to be
              stored as files, so the archive holds names the list gives

Deterministic: the same arguments give the same bytes.
"""
import random
import sys

TOP = ["Units", "Abilities", "Buildings", "Doodads", "Environment", "Textures", "ReplaceableTextures",
       "Sound", "Music", "Scripts", "UI", "Maps", "Objects", "Spells", "Splats", "Shaders", "Fonts",
       "Cinematics", "Interface", "Data", "Models", "Effects", "Terrain", "Water", "Weather"]
SUB = ["Human", "Orc", "Undead", "NightElf", "Creeps", "Critters", "Neutral", "Naga", "Demon", "Other",
       "Widgets", "Console", "Glues", "Buttons", "Icons", "Portraits", "Skins", "Ambient", "Dialogue",
       "Footsteps", "Impacts", "Missiles", "Auras", "Ashenvale", "Barrens", "Lordaeron", "Northrend",
       "Village", "Dungeon", "Cityscape", "Outland", "Felwood", "BlackCitadel", "Underground", "Ruins",
       "Generic", "Common", "Shared", "Special", "Campaign", "Melee", "Custom", "Legacy", "HD", "SD"]
WORDS = ["Footman", "Grunt", "Archer", "Knight", "Peasant", "Peon", "Wisp", "Acolyte", "Ghoul", "Tauren",
         "Dragon", "Golem", "Spider", "Wolf", "Bear", "Tower", "Farm", "Barracks", "Altar", "Keep",
         "Tree", "Rock", "Crate", "Barrel", "Torch", "Banner", "Fence", "Bridge", "Gate", "Wall",
         "Fire", "Frost", "Lightning", "Holy", "Shadow", "Arcane", "Poison", "Blood", "Storm", "Earth",
         "Attack", "Death", "Walk", "Stand", "Spell", "Birth", "Decay", "Portrait", "Ready", "What",
         "Yes", "Pissed", "Warcry", "Impact", "Launch", "Target", "Caster", "Effect", "Glow", "Trail"]
EXT = [".mdx", ".mdx", ".blp", ".blp", ".blp", ".wav", ".wav", ".mp3", ".txt", ".slk", ".mdl", ".j",
       ".fdf", ".toc", ".tga", ".ai", ".w3x", ".flac", ".ogg", ".dds"]


def recase(rng, name):
    r = rng.random()
    if r < 0.5:
        return name.upper()
    if r < 0.8:
        return name.lower()
    return "".join(c.swapcase() if rng.random() < 0.2 else c for c in name)


def names(rng, count):
    seen = 0
    while seen < count:
        depth = rng.choice((2, 3, 3, 4, 4, 5))
        parts = [rng.choice(TOP)] + [rng.choice(SUB) for _ in range(depth - 1)]
        stem = rng.choice(WORDS) + rng.choice(WORDS)
        if rng.random() < 0.7:
            stem += "%d" % rng.randrange(100000)
        name = "\\".join(parts) + "\\" + stem + rng.choice(EXT)
        # Mod trees often spell folders in lower case.
        if rng.random() < 0.15:
            name = name.lower()
        seen += 1
        yield name


def main():
    out, count = sys.argv[1], int(sys.argv[2])
    stored_out = sys.argv[3] if len(sys.argv) > 3 else None
    stored = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    rng = random.Random(27)
    kept = []
    written = 0
    with open(out, "wb") as f:
        recent = []
        for name in names(rng, count):
            if written >= count:
                break
            r = rng.random()
            # A few percent of lines repeat an earlier name, exactly or in
            # another case, as merged lists do.
            if recent and r < 0.03:
                line = rng.choice(recent)
            elif recent and r < 0.05:
                line = recase(rng, rng.choice(recent))
            else:
                line = name
                if len(recent) < 4096:
                    recent.append(name)
                else:
                    recent[rng.randrange(4096)] = name
                if len(kept) < stored and rng.random() < 0.01:
                    kept.append(name)
            f.write(line.encode("ascii") + b"\r\n")
            written += 1
    if stored_out:
        with open(stored_out, "w") as f:
            lower = set()
            for name in kept:
                if name.lower() in lower:
                    continue
                lower.add(name.lower())
                f.write(name + "\n")


if __name__ == "__main__":
    main()
