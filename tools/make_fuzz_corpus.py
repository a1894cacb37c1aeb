#!/usr/bin/env python3
"""Writes the LZW fuzz target's seed corpus, tests/fuzz/corpus/lzw/.

    python3 tools/make_fuzz_corpus.py

The seeds are the stored built-in block (read from gfx/builtin_data_lzw.cpp, so no BIOS image
is needed) and small streams that reach each rule of the decoder: the end code alone, a code
equal to the next free one, a code beyond it, a half code pair, a full dictionary and the
longest possible chain. Same files on every run; inputs the fuzzer found are kept beside them.
"""

import os
import re
import sys

sys.dont_write_bytecode = True
from gen_builtin_data import END_CODE, lzw_compress, pack_codes

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(REPO, "tests", "fuzz", "corpus", "lzw")


def stored_block():
    with open(os.path.join(REPO, "gfx", "builtin_data_lzw.cpp")) as f:
        text = f.read()
    body = text[text.index("{"):text.index("};")]
    return bytes(int(h, 16) for h in re.findall(r"0x([0-9A-F]{2})", body))


def pseudo_random_letters(count, seed):
    out = bytearray()
    for _ in range(count):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(ord("a") + (seed >> 16) % 6)
    return bytes(out)


def seeds():
    block = stored_block()
    a, b, x = ord("A"), ord("B"), ord("x")
    return {
        "builtin_block": block,
        "builtin_block_truncated": block[:2501],
        "empty": b"",
        "end_only": pack_codes([END_CODE]),
        "next_free_code": pack_codes([a, 256, END_CODE]),
        "entries": pack_codes([a, b, 256, 258, END_CODE]),
        "beyond_next_free": pack_codes([a, b, 258, END_CODE]),
        "first_code_not_a_byte": pack_codes([300, a, END_CODE]),
        "half_pair": pack_codes([a, b, ord("C"), END_CODE])[:4],
        "caption": lzw_compress(b"Lautst\x84rke: 99%  Konzertfl\x81gel  Schlie\xe1endes Hi-Hat"),
        "full_dictionary": lzw_compress(pseudo_random_letters(30000, 1)),
        "longest_chain": pack_codes([x] + list(range(256, 4095)) + [4094, END_CODE]),
    }


def main():
    os.makedirs(CORPUS, exist_ok=True)
    for name, data in sorted(seeds().items()):
        with open(os.path.join(CORPUS, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
