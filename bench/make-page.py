#!/usr/bin/env python3
"""Writes the benchmarks' test page into DIR: index.html with IMAGES images,
SHEETS style sheets and SCRIPTS scripts, each a file of a few kB.

Usage: make-page.py DIR IMAGES SHEETS SCRIPTS
"""
import os, struct, sys, zlib

root, images, sheets, scripts = sys.argv[1], *map(int, sys.argv[2:])

def png(seed, size=48):
    # Noise compresses badly, so each image is a few kB on the wire.
    rows = b"".join(b"\0" + os.urandom(size * 3) for _ in range(size))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))

body = []
head = []
for i in range(sheets):
    with open(f"{root}/s{i}.css", "w") as f:
        f.write("".join(f".c{i}-{j} {{ margin: {j % 7}px; color: #{(i * 37 + j) % 4096:03x}; }}\n" for j in range(60)))
    head.append(f'<link rel="stylesheet" href="s{i}.css">')
for i in range(scripts):
    with open(f"{root}/j{i}.js", "w") as f:
        f.write(f"window.ran = (window.ran || 0) + 1;\n" + "".join(
            f"function f{i}_{j}(x) {{ return x * {j} + {i}; }}\n" for j in range(60)))
    head.append(f'<script src="j{i}.js"></script>')
for i in range(images):
    with open(f"{root}/i{i}.png", "wb") as f:
        f.write(png(i))
    body.append(f'<img src="i{i}.png" width="48" height="48" alt="">')
with open(f"{root}/index.html", "w") as f:
    f.write("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>page</title>\n"
            + "\n".join(head) + "\n</head><body>\n" + "\n".join(body) + "\n</body></html>\n")
