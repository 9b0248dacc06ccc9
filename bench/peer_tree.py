#!/usr/bin/env python3
"""Generates the game folders of the peer benchmarks, the same bytes on every run.

  peer_tree.py large  FOLDER [files] [MiB each]   text-like files that gzip about 3:1 (64 x 16 MiB)
  peer_tree.py small  FOLDER [files]              files of 2-4 KiB in 100 folders (10,000)
  peer_tree.py tiny   FOLDER [files]              files of 100 bytes in 1,000 folders (100,000)

Every file gets the same modification time, so that a manifest built from the folder and an
installation copied from it agree. The text is words drawn from a fixed vocabulary of 512; a large
file is made of 64 KiB pieces taken at pseudo-random places of a 4 MiB pool of that text, so that
each file differs and gzip still sees only the text's own redundancy.
"""
import os
import random
import sys

STAMP = 1709294400  # 2024-03-01 12:00:00 UTC
PIECE = 64 * 1024


def text(rng, size):
    letters = "abcdefghijklmnopqrstuvwxyz"
    vocab = ["".join(rng.choice(letters) for _ in range(rng.randint(2, 9))) for _ in range(512)]
    lines, length = [], 0
    while length < size:
        line = " ".join(rng.choices(vocab, k=12))
        lines.append(line)
        length += len(line) + 1
    return ("\n".join(lines) + "\n").encode()[:size]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)
    os.utime(path, (STAMP, STAMP))


def large(folder, files=64, mib=16):
    rng = random.Random(20240301)
    pool = text(rng, 4 * 1024 * 1024 + PIECE)
    span = len(pool) - PIECE
    for i in range(files):
        pieces = (mib * 1024 * 1024) // PIECE
        data = b"".join(pool[o:o + PIECE] for o in (rng.randrange(span) for _ in range(pieces)))
        write(os.path.join(folder, "data", f"pack{i // 100:02d}", f"large_{i:04d}.pak"), data)


def small(folder, files=10000):
    rng = random.Random(20240302)
    pool = text(rng, 1024 * 1024)
    for i in range(files):
        size = rng.randint(2048, 4096)
        start = rng.randrange(len(pool) - size)
        write(os.path.join(folder, "data", f"d{i % 100:02d}", f"small_{i:05d}.txt"), pool[start:start + size])


def tiny(folder, files=100000):
    for i in range(files):
        line = f"tiny file {i:06d} of the scan benchmark".encode()
        write(os.path.join(folder, "data", f"t{i % 1000:03d}", f"tiny_{i:06d}.dat"), (line * 3)[:100])


def main(argv):
    if len(argv) < 3 or argv[1] not in ("large", "small", "tiny"):
        sys.stderr.write(__doc__)
        return 2
    kind, folder, numbers = argv[1], argv[2], [int(a) for a in argv[3:]]
    {"large": large, "small": small, "tiny": tiny}[kind](folder, *numbers)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
