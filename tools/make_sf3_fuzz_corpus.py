#!/usr/bin/env python3
"""Writes the seed corpora of the .sf3 fuzz targets: tests/fuzz/corpus/sf3_program/ (whole
SoundFont files) and tests/fuzz/corpus/sf3_sample/ (one sample's Ogg Vorbis stream).

    python3 tools/make_sf3_fuzz_corpus.py

The streams are encoded by the system's libsndfile (the decoder the loader uses), so the seeds
are what real files hold: sines, a stream cut short, one whose last page overstates its length,
a stereo one. The SoundFonts reach each rule of the loader: a melodic program and a drum kit,
key and velocity splits, global zones, more than 64 modulators in a zone, headers sharing one
stream and headers on ranges of their own, a 16-bit PCM sample, samples that are never playable,
and a file cut inside its sample chunk. Same files on every run.
"""

import ctypes
import ctypes.util
import math
import os
import struct
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(REPO, "tests", "fuzz", "corpus")

SFM_WRITE = 0x20
SF_FORMAT_OGG_VORBIS = 0x200000 | 0x0060


class SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int), ("channels", ctypes.c_int),
                ("format", ctypes.c_int), ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


def ogg_vorbis(frequency, seconds, rate=8000, channels=1):
    """A sine encoded as Ogg Vorbis by libsndfile."""
    lib = ctypes.CDLL(ctypes.util.find_library("sndfile"))
    lib.sf_open.restype = ctypes.c_void_p
    lib.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(SfInfo)]
    lib.sf_writef_float.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_float), ctypes.c_int64]
    lib.sf_close.argtypes = [ctypes.c_void_p]
    frames = int(rate * seconds)
    samples = (ctypes.c_float * (frames * channels))()
    for i in range(frames):
        for c in range(channels):
            samples[i * channels + c] = 0.5 * math.sin(2 * math.pi * frequency * i / rate)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "s.ogg")
        info = SfInfo(0, rate, channels, SF_FORMAT_OGG_VORBIS, 0, 0)
        handle = lib.sf_open(path.encode(), SFM_WRITE, ctypes.byref(info))
        if not handle:
            raise SystemExit("libsndfile cannot write Ogg Vorbis")
        lib.sf_writef_float(handle, samples, frames)
        lib.sf_close(handle)
        with open(path, "rb") as f:
            return f.read()


def ogg_crc(data):
    crc = 0
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def forge_length(ogg, frames):
    """The stream with its last page saying it holds `frames` frames."""
    last = ogg.rfind(b"OggS")
    page = bytearray(ogg[last:])
    page[6:14] = struct.pack("<Q", frames)
    page[22:26] = b"\0\0\0\0"
    page[22:26] = struct.pack("<I", ogg_crc(page))
    return ogg[:last] + bytes(page)


def chunk(cid, body, kind=b""):
    data = kind + body
    return cid + struct.pack("<I", len(data)) + data + (b"\0" if len(data) & 1 else b"")


def name(text):
    return text.encode()[:19].ljust(20, b"\0")


def gen(kind, amount):
    return struct.pack("<HH", kind, amount & 0xFFFF)


def mod(source, dest, amount, amount_source=0):
    return struct.pack("<HHhHH", source, dest, amount, amount_source, 0)


def soundfont(presets, instruments, samples, chunk_bytes):
    """presets: (name, bank, program, zones); instruments: (name, zones); a zone: (generators,
    modulators); samples: (name, start, end, loop_start, loop_end, rate, root, type)."""
    def zones_tables(owners, terminal_bags):
        bags, gens, mods, firsts = b"", b"", b"", []
        gen_count = mod_count = bag_count = 0
        for owner_zones in owners:
            firsts.append(bag_count)
            for generators, modulators in owner_zones:
                bags += struct.pack("<HH", gen_count, mod_count)
                gens += b"".join(generators)
                mods += b"".join(modulators)
                gen_count += len(generators)
                mod_count += len(modulators)
                bag_count += 1
        bags += struct.pack("<HH", gen_count, mod_count)
        return bags, gens + gen(0, 0), mods + b"\0" * 10, firsts + [bag_count]

    pbag, pgen, pmod, pfirst = zones_tables([p[3] for p in presets], 1)
    ibag, igen, imod, ifirst = zones_tables([i[1] for i in instruments], 1)
    phdr = b"".join(name(p[0]) + struct.pack("<HHHIII", p[2], p[1], pfirst[n], 0, 0, 0) for n, p in enumerate(presets))
    phdr += name("EOP") + struct.pack("<HHHIII", 0, 0, pfirst[-1], 0, 0, 0)
    inst = b"".join(name(i[0]) + struct.pack("<H", ifirst[n]) for n, i in enumerate(instruments))
    inst += name("EOI") + struct.pack("<H", ifirst[-1])
    shdr = b"".join(name(s[0]) + struct.pack("<IIIIIBbHH", *s[1:7], 0, 0, s[7]) for s in samples)
    shdr += name("EOS") + b"\0" * 26
    info = chunk(b"LIST", chunk(b"ifil", struct.pack("<HH", 3, 1)) + chunk(b"INAM", b"Fuzz\0\0"), b"INFO")
    sdta = chunk(b"LIST", chunk(b"smpl", chunk_bytes), b"sdta")
    pdta = chunk(b"LIST", b"".join(chunk(cid, body) for cid, body in [
        (b"phdr", phdr), (b"pbag", pbag), (b"pmod", pmod), (b"pgen", pgen), (b"inst", inst),
        (b"ibag", ibag), (b"imod", imod), (b"igen", igen), (b"shdr", shdr)]), b"pdta")
    return chunk(b"RIFF", info + sdta + pdta, b"sfbk")


OGG = 0x11  # mono, Ogg Vorbis


def one_sine(stream, rate=8000, root=69):
    return soundfont([("Sine", 0, 0, [([gen(41, 0)], [])])], [("Sine", [([gen(53, 0)], [])])],
                     [("Sine", 0, len(stream), 0, 0, rate, root, OGG)], stream)


def program_seeds():
    a = ogg_vorbis(440, 0.3)
    b = ogg_vorbis(220, 1.2)
    both = a + b
    seeds = {"sine": one_sine(a), "sine_longer_than_its_beginning": one_sine(b)}
    # Two melodic programs and a drum kit; splits, global zones, loops, overrides.
    seeds["programs_and_drums"] = soundfont(
        [("Piano", 0, 0, [([gen(48, 20)], []), ([gen(43, 0 | 127 << 8), gen(41, 0)], [])]),
         ("Organ", 0, 1, [([gen(43, 0 | 60 << 8), gen(41, 1)], []), ([gen(43, 61 | 127 << 8), gen(41, 0)], [])]),
         ("Kit", 128, 0, [([gen(41, 2)], [])])],
        [("Split", [([gen(54, 1), gen(17, 200)], []),
                    ([gen(43, 0 | 64 << 8), gen(44, 0 | 63 << 8), gen(53, 0)], []),
                    ([gen(43, 65 | 127 << 8), gen(44, 64 | 127 << 8), gen(58, 60), gen(53, 1)], [])]),
         ("Loop", [([gen(54, 3), gen(53, 1)], [])]),
         ("Kit", [([gen(43, 35 | 40 << 8), gen(57, 1), gen(53, 0)], []), ([gen(43, 41 | 50 << 8), gen(57, 1), gen(53, 1)], [])])],
        [("A", 0, len(a), 100, 2000, 8000, 69, OGG), ("B", len(a), len(both), 800, 8000, 8000, 57, OGG)], both)
    # 70 modulators in the instrument's global zone and in its sample zone.
    many = [mod(0x0080 | (64 + i % 34), 8, 10) for i in range(69)] + [mod(0x0002, 48, 960)]
    seeds["modulators_past_64"] = soundfont(
        [("Sine", 0, 0, [([], [mod(0x0002, 48, 100)]), ([gen(41, 0)], many[:3])])],
        [("Sine", [([], many), ([gen(53, 0)], many)])],
        [("Sine", 0, len(a), 0, 0, 8000, 69, OGG)], a)
    # Eight headers on the same stream, eight on ranges of their own past its end (each costs
    # a decoder's set-up, a few milliseconds under the sanitizers).
    headers = [("Same", 0, len(a), 0, 0, 8000, 69, OGG) for _ in range(8)]
    headers += [("Own", 0, len(a) + 1 + i, 0, 0, 8000, 69, OGG) for i in range(8)]
    seeds["headers_sharing_one_stream"] = soundfont(
        [("Many", 0, 0, [([gen(41, 0)], [])])],
        [("Many", [([gen(43, k | k << 8), gen(53, k % 16)], []) for k in range(16)])],
        headers, a + b"\0" * 8)
    seeds["stream_overstating_its_length"] = one_sine(forge_length(a, 1 << 36))
    seeds["stream_understating_its_length"] = one_sine(forge_length(a, 10))
    pcm = b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * 440 * i / 8000))) for i in range(2400))
    seeds["pcm_sample"] = soundfont([("Pcm", 0, 0, [([gen(41, 0)], [])])], [("Pcm", [([gen(54, 1), gen(53, 0)], [])])],
                                    [("Pcm", 0, 2400, 200, 2000, 8000, 69, 1)], pcm)
    seeds["never_playable_samples"] = soundfont(
        [("Odd", 0, 0, [([gen(41, 0)], [])])],
        [("Odd", [([gen(53, 0)], []), ([gen(53, 1)], []), ([gen(53, 2)], []), ([gen(53, 3)], [])])],
        [("Rom", 0, len(a), 0, 0, 8000, 69, OGG | 0x8000), ("NoRate", 0, len(a), 0, 0, 0, 69, OGG),
         ("Past", 0, len(a) + 99, 0, 0, 8000, 69, OGG), ("Empty", 5, 5, 0, 0, 8000, 69, OGG)], a)
    whole = one_sine(a)
    seeds["cut_in_its_samples"] = whole[:len(whole) // 2]
    seeds["not_a_stream"] = one_sine(b"OggS" + bytes(range(256)) * 4)
    return seeds


def sample_seeds():
    a = ogg_vorbis(440, 0.3)
    return {
        "sine": a,
        "sine_longer_than_its_beginning": ogg_vorbis(220, 1.2),
        "sine_44100": ogg_vorbis(440, 0.6, rate=44100),
        "stereo": ogg_vorbis(440, 0.2, channels=2),
        "overstating_its_length": forge_length(a, 1 << 36),
        "understating_its_length": forge_length(a, 10),
        "cut_short": a[:len(a) * 2 // 3],
        "headers_only": a[:a.find(b"OggS", 200)] if a.find(b"OggS", 200) > 0 else a[:200],
        "empty": b"",
    }


def main():
    for target, seeds in (("sf3_program", program_seeds()), ("sf3_sample", sample_seeds())):
        folder = os.path.join(CORPUS, target)
        os.makedirs(folder, exist_ok=True)
        for seed, data in sorted(seeds.items()):
            with open(os.path.join(folder, seed), "wb") as f:
                f.write(data)
        print(f"{folder}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
