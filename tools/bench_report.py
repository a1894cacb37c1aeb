#!/usr/bin/env python3
"""Turns one run of vxbench into the tables of bench/README.md.

Every ratio divides two results of the same run: a routine against the limit that bounds it
(memset or memcpy of the same bytes, reading the same file, copying one frame).

    tools/bench_report.py build/bench/vxbench        # runs it, prints Markdown
    tools/bench_report.py --json results.json        # a saved --benchmark_format=json run
"""
import argparse
import json
import subprocess
import sys


def load(args):
    if args.json:
        with open(args.json) as f:
            return json.load(f)
    out = subprocess.run([args.program, "--benchmark_format=json", "--benchmark_min_time=0.2"],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def index(run):
    found = {}
    for b in run["benchmarks"]:
        if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
            continue
        found[b["name"]] = b
    return found


def rate(b):
    return b.get("bytes_per_second")


def ns(b):
    factor = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    return b["real_time"] * factor


def table(title, head, rows):
    if not rows:
        return ""
    lines = [f"### {title}", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def gbs(value):
    return f"{value / 1e9:.2f}"


def report(run):
    b = index(run)
    ctx = run.get("context", {})
    parts = [f"Run {ctx.get('date', '?')} on {ctx.get('host_name', '?')}: {ctx.get('num_cpus', '?')} CPUs at "
             f"{ctx.get('mhz_per_cpu', '?')} MHz (Google Benchmark's own library: {ctx.get('library_build_type', '?')} build).\n"]

    rows = []
    for bpp in (1, 2, 4):
        for page, shape in ((0, "per line"), (1, "whole page")):
            limit = b.get(f"BM_MemsetOfTheSameBytes/{bpp}/{page}")
            for vector, family in ((0, "plain"), (1, "vector (AVX2 where present)"), (2, "vector, SSE2 form")):
                fill = b.get(f"BM_FillSpan/{bpp}/{vector}/{page}")
                if fill and limit:
                    rows.append([f"{bpp * 8} bit", shape, family, gbs(rate(fill)), gbs(rate(limit)),
                                 f"{rate(fill) / rate(limit):.2f}"])
    parts.append(table("fill_span against memset", ["depth", "calls", "family", "GB/s", "memset GB/s", "ratio"], rows))

    rows = []
    for bits in (32, 16, 8):
        limit = b.get(f"BM_Memcpy{bits}")
        for name, what in (("Plain", "plain, scattered mask"), ("Sse2", "vector, scattered mask"),
                           ("Sse2Only", "vector SSE2 form, scattered mask"), ("PlainRegions", "plain, mask in regions"),
                           ("Sse2Regions", "vector, mask in regions"), ("Sse2OnlyRegions", "vector SSE2 form, mask in regions")):
            put = b.get(f"BM_PutTrans{bits}{name}")
            if put and limit:
                rows.append([f"{bits} bit", what, gbs(rate(put)), gbs(rate(limit)), f"{rate(put) / rate(limit):.2f}"])
    parts.append(table("put_trans against memcpy of the same rows",
                       ["depth", "routine", "GB/s", "memcpy GB/s", "ratio"], rows))

    rows = []
    for bpp in (1, 2, 4):
        limit = b.get(f"BM_MemcpyOfTheSameBytes/{bpp}")
        for vector, family in ((0, "plain"), (1, "vector")):
            copy = b.get(f"BM_CopySpan/{bpp}/{vector}")
            if copy and limit:
                rows.append([f"{bpp * 8} bit", family, gbs(rate(copy)), gbs(rate(limit)), f"{rate(copy) / rate(limit):.2f}"])
    parts.append(table("copy_span against memcpy", ["depth", "family", "GB/s", "memcpy GB/s", "ratio"], rows))

    rows = []
    for name, blit in b.items():
        if not name.startswith("BM_Blit/"):
            continue
        depth, bits, reversed_, vector = (int(v) for v in name.split("/")[1:5])
        dest = 2 if bits == 15 else bits // 8
        limit = b.get(f"BM_MemcpyOfTheSameBytes/{dest}")
        if limit:
            rows.append([f"{depth} -> {bits}{' reversed' if reversed_ else ''}", "SSE2" if vector else "plain",
                         f"{ns(blit) / 1e3:.1f}", f"{ns(limit) / 1e3:.1f}", f"{rate(blit) / rate(limit):.2f}"])
    parts.append(table("Blitters on a full 720 x 190 frame against memcpy of the destination bytes",
                       ["conversion", "family", "us", "memcpy us", "ratio"], rows))

    rows = []
    for n in (1, 12, 89):
        text, cells = b.get(f"BM_DrawStringPerGlyph/{n}"), b.get(f"BM_GlyphCellsFilled/{n}")
        if text and cells:
            rows.append([n, f"{ns(text) / n:.0f}", f"{ns(cells) / n:.0f}", f"{ns(cells) / ns(text):.2f}"])
    parts.append(table("draw_string, 8 x 14 font, 32-bit screen: ns per glyph against filling the glyph cells",
                       ["glyphs", "ns/glyph", "cells filled ns/glyph", "ratio"], rows))

    rows = []
    pairs = (("start-up paint (scripted driver)", "BM_StartUpPaint", "memcpy of one frame", "BM_MemcpyOfOneFrame"),
             ("image_load of piano_k.bmp", "BM_ImageLoadProgramPicture", "reading the file", "BM_ReadPictureFile"))
    for what, name, limit_what, limit_name in pairs:
        x, limit = b.get(name), b.get(limit_name)
        if x and limit:
            rows.append([what, f"{ns(x) / 1e3:.1f}", limit_what, f"{ns(limit) / 1e3:.1f}", f"{ns(limit) / ns(x):.3f}"])
    parts.append(table("Start-up", ["operation", "us", "limit", "limit us", "ratio"], rows))

    rows = []
    click = b.get("BM_ProgramClickToNoteOn/iterations:300/manual_time")
    if click:
        rows.append(["click to Note On at a FIFO (XTest, real program)",
                     f"median {click['median_us']:.0f} us, p90 {click['p90_us']:.0f} us, p99 {click['p99_us']:.0f} us, "
                     f"max {click['max_us']:.0f} us", "median < 1 ms, p99 < 3 ms"])
    idle = b.get("BM_ProgramIdle/iterations:1/manual_time")
    if idle:
        rows.append(["idle program, 10 s",
                     f"{idle['cpu_percent']:.2f} % of a core (scheduler: {idle.get('run_percent', 0):.2f} %), "
                     f"{idle['wakeups_per_s']:.0f} wake-ups/s", "< 0.5 % of a core"])
    start = b.get("BM_ProgramStartToFirstFrame/iterations:20/manual_time")
    if start:
        rows.append(["exec to the complete start frame in the window", f"median {start['median_us'] / 1e3:.1f} ms", ""])
    for shm, what in ((1, "MIT-SHM + XSync"), (0, "XPutImage")):
        p = b.get(f"BM_PresentFullFrame/{shm}/iterations:300/manual_time")
        if p:
            rows.append([f"present a full dirty frame, {what}", f"{ns(p) / 1e3:.0f} us", "one 10 ms tick"])
    for name, what in (("BM_RawFifoArrival/manual_time", "Note On to its bytes at a raw FIFO"),
                       ("BM_SmfRecord", "Note On recorded to a MIDI file"),
                       ("BM_FluidSynthNote", "Note On into the embedded synthesizer")):
        m = b.get(name)
        if m:
            rows.append([what, f"{ns(m) / 1e3:.1f} us", ""])
    parts.append(table("The running program", ["measure", "result", "target"], rows))

    rows = []
    for args, what in (("0", "PulseAudio"), ("1", "PipeWire (pipewire-pulse)")):
        m = b.get(f"BM_SoundThroughServer/{args}/iterations:1")
        if m:
            underruns = "not logged" if m["underruns"] < 0 else f"{m['underruns']:.0f}"
            rows.append([what, f"{m['median_ms']:.1f} / {m['p95_ms']:.1f} ms", f"{m['gaps']:.0f} in {m['notes']:.0f} notes",
                         underruns, f"{m['idle_cpu_pct']:.2f} %, {m['idle_wakeups_s']:.0f}/s"])
    parts.append(table("Sound through the server (VXMIDI unset, other core busy)",
                       ["server", "click to sound, median / p95", "silent gaps", "server underruns", "idle: core, wake-ups"], rows))
    return "\n".join(p for p in parts if p)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program", nargs="?", default="build/bench/vxbench")
    parser.add_argument("--json", help="read a saved JSON run instead of running the program")
    sys.stdout.write(report(load(parser.parse_args())))


if __name__ == "__main__":
    main()
