#!/usr/bin/python3
"""Writes a game-like zip for the unpack benchmark: many small files and a few
large ones, half of the bytes compressible text, half random.
    unpack-archive.py OUT.zip [TOTAL_MIB]"""
import os
import random
import sys
import zipfile

out = sys.argv[1]
total = (int(sys.argv[2]) if len(sys.argv) > 2 else 1024) << 20
rng = random.Random(1234)

words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 10))) for _ in range(4000)]
text = b" ".join(rng.choice(words) for _ in range(400000))[: 2 << 20]


def compressible(n):
    start = rng.randrange(0, len(text) - 1)
    chunk = (text[start:] + text[:start])
    reps = n // len(chunk) + 1
    return (chunk * reps)[:n]


small_share = total * 3 // 8          # bytes in small files
large_count = 6
large_size = (total - small_share) // large_count

written = 0
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    z.writestr("Game/", b"")
    z.writestr("Game/game.exe", os.urandom(3 << 20))
    i = 0
    while written < small_share:
        n = rng.randint(512, 48 << 10)
        data = compressible(n) if i % 2 == 0 else rng.randbytes(n)
        z.writestr(f"Game/data/pack{i // 500:03d}/file{i:06d}.{'txt' if i % 2 == 0 else 'bin'}", data)
        written += n
        i += 1
    for k in range(large_count):
        name = f"Game/large/asset{k}.{'txt' if k % 2 == 0 else 'bin'}"
        with z.open(name, "w", force_zip64=True) as f:
            left = large_size
            while left > 0:
                n = min(left, 8 << 20)
                f.write(compressible(n) if k % 2 == 0 else rng.randbytes(n))
                left -= n
print(f"{out}: {i} small files, {large_count} large, {os.path.getsize(out) >> 20} MiB compressed")
