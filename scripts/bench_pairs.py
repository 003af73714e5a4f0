#!/usr/bin/env python3
"""The real-pairs benchmark: pkxbuild and the updater against the delta tools.

Seven old/new pairs: five npm releases (fetched with `npm pack` into the cache,
outside the tree), a synthetic 200 MB file with 2,000 seeded edits and a
generated tree of 10,000 small files (30 % changed, 5 % added, 5 % deleted). Each
pair is built with pkxbuild (the compressed format 200 and the classic 150)
and, one patch per changed file, with `xdelta3 -e -9 -N -S none -B <window>`
(the window as large as the old file), `bsdiff` and
`zstd -19 --long --patch-from` (the window as large as the old file); each
tool's added files go as `xz -9e` of each. Every package is applied through
the real updater (`-F`, its MD5 checks included) and every patch with its
tool, and every output is compared with the new files. Everything runs in
this one process, side by side, on whatever else the machine does: the
ratios are what counts, each timing the best of a few runs (two for encoding,
one for bsdiff's, three for the rest) to damp the noise of a shared machine.
Prints the results as Markdown.

Run by `scripts/bench.sh pairs`, which builds the programs first.
"""

import argparse
import json
import os
import platform
import random
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

PAIRS = [
    ("typescript", "typescript", "5.3.3", "5.4.5"),
    ("date-fns", "date-fns", "2.29.3", "2.30.0"),
    ("esbuild", "@esbuild/win32-x64", "0.20.1", "0.20.2"),
    ("swc", "@swc/core-win32-x64-msvc", "1.4.0", "1.4.1"),
    ("nextswc", "@next/swc-win32-x64-msvc", "14.1.0", "14.1.1"),
]
SYNTHETIC = "synthetic"
GENERATED = "generated"
# The pairs of many small files, whose targets include the Windows updater's
# time under Wine and the system calls per changed file.
MANY_FILES = ("date-fns", GENERATED)
PAYLOAD_OFFSET = 0x1F000
MIB = 1 << 20


def run(command, **options):
    """Runs `command`; its wall-clock seconds."""
    start = time.perf_counter()
    subprocess.run(command, check=True, **options)
    return time.perf_counter() - start


def run_measured(command, work, **options):
    """Runs `command` under /usr/bin/time; (seconds, peak resident bytes)."""
    report = work / "time.txt"
    seconds = run(["/usr/bin/time", "-o", str(report), "-f", "%M"] + command, **options)
    return seconds, int(report.read_text().split()[-1]) * 1024


def best(times, measure):
    """The least of `times` results of `measure()`: seconds, or (seconds, peak)."""
    results = [measure() for _ in range(times)]
    if isinstance(results[0], tuple):
        return min(r[0] for r in results), max(r[1] for r in results)
    return min(results)


ENCODE_RUNS = 2
SLOW_ENCODE_RUNS = 1  # bsdiff: minutes on the large pairs
RUNS = 3
# The package formats measured: the compressed one and the classic one.
FORMATS = (200, 150)


# --- The pairs.


def fetch(cache, package, version):
    """The `package` folder of an npm release, unpacked in the cache."""
    folder = cache / "npm" / f"{package.replace('/', '+')}-{version}"
    if not (folder / "package").is_dir():
        download = cache / "npm" / "tgz"
        download.mkdir(parents=True, exist_ok=True)
        name = subprocess.run(["npm", "pack", "--silent", f"{package}@{version}"], cwd=download,
                              check=True, capture_output=True, text=True).stdout.split()[-1]
        partial = folder.with_suffix(".partial")
        shutil.rmtree(partial, ignore_errors=True)
        with tarfile.open(download / name) as archive:
            archive.extractall(partial, filter="data")
        partial.rename(folder)
    return folder / "package"


def synthetic(cache):
    """A 200 MB random file and a copy with 2,000 edits at seeded places:
    insertions, deletions, replacements and blocks repeated from elsewhere."""
    folder = cache / "synthetic-200mb-2000-edits"
    if (folder / "new" / "data.bin").is_file():
        return folder / "old", folder / "new"
    rng = random.Random(20240509)
    size = 200_000_000
    old = rng.randbytes(size)
    parts, at = [], 0
    for place in sorted(rng.sample(range(size), 2000)):
        if place < at:
            continue
        parts.append(old[at:place])
        kind, length = rng.randrange(4), rng.randint(1, 4096)
        if kind == 0:
            parts.append(rng.randbytes(length))
            at = place
        elif kind == 1:
            at = min(place + length, size)
        elif kind == 2:
            parts.append(rng.randbytes(length))
            at = min(place + length, size)
        else:
            source = rng.randrange(size - length)
            parts.append(old[source:source + length])
            at = place
    parts.append(old[at:])
    partial = folder.with_suffix(".partial")
    shutil.rmtree(partial, ignore_errors=True)
    (partial / "old").mkdir(parents=True)
    (partial / "new").mkdir()
    (partial / "old" / "data.bin").write_bytes(old)
    (partial / "new" / "data.bin").write_bytes(b"".join(parts))
    partial.rename(folder)
    return folder / "old", folder / "new"


def generated(cache):
    """A tree of 10,000 text files of 1 to 8 KB in 100 folders of two levels,
    and its new version: 30 % of the files changed by one to four edits of a
    line, 5 % deleted, and 5 % as many added."""
    folder = cache / "generated-10000-files"
    if (folder / "new").is_dir():
        return folder / "old", folder / "new"
    rng = random.Random(20261208)
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(2000)]

    def text(size):
        lines, length = [], 0
        while length < size:
            line = " ".join(rng.choice(words) for _ in range(rng.randint(3, 12))) + "\n"
            lines.append(line)
            length += len(line)
        return lines

    def name(index):
        return Path(f"d{index % 10}") / f"e{index // 10 % 10}" / f"file{index:05}.txt"

    old = {name(index): text(rng.randint(1024, 8192)) for index in range(10_000)}
    new = dict(old)
    names = list(old)
    rng.shuffle(names)
    for path in names[:3000]:
        lines = list(old[path])
        for _ in range(rng.randint(1, 4)):
            at = rng.randrange(len(lines))
            lines[at:at + rng.randint(0, 2)] = text(rng.randint(1, 200))
        new[path] = lines
    for path in names[3000:3500]:
        del new[path]
    for index in range(10_000, 10_500):
        new[name(index)] = text(rng.randint(1024, 8192))
    partial = folder.with_suffix(".partial")
    shutil.rmtree(partial, ignore_errors=True)
    for side, files in (("old", old), ("new", new)):
        for path, lines in files.items():
            target = partial / side / path
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text("".join(lines))
    partial.rename(folder)
    return folder / "old", folder / "new"


def files_of(folder):
    return {str(path.relative_to(folder)): path for path in sorted(folder.rglob("*"))
            if path.is_file()}


def changed_files(old, new):
    """(relative name, old path, new path) of the files both hold, differing."""
    old_files, new_files = files_of(old), files_of(new)
    return [(name, old_files[name], path) for name, path in new_files.items()
            if name in old_files and old_files[name].read_bytes() != path.read_bytes()]


def added_files(old, new):
    """The new files the old folder does not hold."""
    old_files = files_of(old)
    return [path for name, path in files_of(new).items() if name not in old_files]


def same_tree(folder, expected):
    ours, theirs = files_of(folder), files_of(expected)
    return ours.keys() == theirs.keys() and all(
        ours[name].read_bytes() == theirs[name].read_bytes() for name in ours)


# --- The measurements of one pair.


def manifest(work, install, windows):
    path = "Z:" + str(install).replace("/", "\\") if windows else str(install)
    text = ('title = "bench"\nold_version = "old"\nnew_version = "new"\n'
            "delete_backups = true\n\n[[folder_source]]\nkind = \"path\"\n"
            f"path = {json.dumps(path)}\n")
    target = work / ("manifest-windows.toml" if windows else "manifest.toml")
    target.write_text(text)
    return target


def stream_bytes(tools, updater):
    """The difference streams of a classic package's update records."""
    listing = subprocess.run([tools["pkxbuild"], "inspect", str(updater)], check=True,
                             capture_output=True, text=True).stdout
    return sum(int(size) for size in
               re.findall(r"^\s+update\s+0x[0-9A-F]+\s+(\d+)\s", listing, re.MULTILINE))


# ext4 gives out no inode freed in the last minute (five while its table
# block is unwritten), and checks each free one it passes over on the way:
# after the bench has deleted thousands of files, creating thousands more
# walks far. An installation in use has seen no such deletions, so the timed
# runs of the pairs of many files come after everything is written out and
# this long has passed.
QUIET_S = 65


def settle(quiet):
    os.sync()
    if quiet:
        time.sleep(QUIET_S)


def fresh_install(old, install, quiet=False):
    """A copy of the old tree at `install`, on the disk: otherwise the
    updater's flush at its commit would also write out the copy."""
    shutil.rmtree(install, ignore_errors=True)
    shutil.copytree(old, install)
    settle(quiet)


def measure_pkx(tools, name, old, new, work, version, options):
    """pkxbuild create at format `version`, as a user runs it (the proof
    included), and the real updater; the bytes are those of the payload."""
    install = work / "install"
    updater = work / "updater"
    payload = work / "payload"
    result = {}
    create = [tools["pkxbuild"], "create", "--format-version", str(version), "--old", str(old),
              "--new", str(new), "--manifest", str(manifest(work, install, False))]
    build = create + ["--stub", tools["pkxupdate"], "-o", str(updater)]
    # An updater that cannot apply this version yet fails the builder's proof:
    # then the encoding is timed without it, and there is no apply time.
    result["proved"] = subprocess.run(build, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL).returncode == 0
    if not result["proved"]:
        build.append("--no-proof")
    result["encode_s"], result["encode_peak"] = best(
        ENCODE_RUNS, lambda: run_measured(build, work, stdout=subprocess.DEVNULL))
    run(create + ["--payload-only", "--no-proof", "-o", str(payload)], stdout=subprocess.DEVNULL)
    result["bytes"] = payload.stat().st_size
    payload.unlink()

    def apply():
        fresh_install(old, install, name in MANY_FILES)
        seconds = run([str(updater), "-F"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        if not same_tree(install, new):
            sys.exit(f"bench: {name}: the updater's result differs from the new files")
        return seconds

    result["apply_s"] = best(RUNS, apply) if result["proved"] else None
    counted = name in MANY_FILES and version == FORMATS[0] and shutil.which("strace")
    if counted and result["proved"]:
        fresh_install(old, install)
        counts = work / "strace.txt"
        run(["strace", "-c", "-f", "-o", str(counts), str(updater), "-F"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        # strace's summary ends in "100.00 seconds usecs/call calls [errors] total".
        total = counts.read_text().strip().splitlines()[-1].split()
        result["calls"] = int(total[3])
    if version < FORMATS[0]:
        result["streams"] = stream_bytes(tools, updater)
    if options.wine and result["proved"] and version == FORMATS[0]:
        windows = work / "updater.exe"
        run(create[:-2] + ["--manifest", str(manifest(work, install, True)), "--stub",
                           tools["pkxupdate.exe"], "-o", str(windows)], stdout=subprocess.DEVNULL)
        fresh_install(old, install, True)
        result["wine_s"] = run([tools["wine-run"], str(windows), "-F"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not same_tree(install, new):
            sys.exit(f"bench: {name}: the Windows updater's result differs from the new files")
    shutil.rmtree(install)
    updater.unlink()
    return result


def window_log(*paths):
    """zstd's window: at least its --long default, as large as the largest file."""
    largest = max(path.stat().st_size for path in paths)
    return min(max(27, (largest - 1).bit_length()), 31)


# The delta tools: (encode, decode) commands of one changed file, and how many
# runs its encoding's time is the best of.
def xdelta3_commands(old, new, patch, output):
    window = max(-(-old.stat().st_size // MIB), 1) * MIB
    return (["xdelta3", "-e", "-9", "-N", "-S", "none", "-B", str(window), "-f", "-s", str(old),
             str(new), str(patch)],
            ["xdelta3", "-d", "-f", "-s", str(old), str(patch), str(output)])


def bsdiff_commands(old, new, patch, output):
    return (["bsdiff", str(old), str(new), str(patch)],
            ["bspatch", str(old), str(output), str(patch)])


def zstd_commands(old, new, patch, output):
    long = f"--long={window_log(old, new)}"
    return (["zstd", "-q", "-f", "-19", long, f"--patch-from={old}", str(new), "-o", str(patch)],
            ["zstd", "-q", "-f", "-d", long, f"--patch-from={old}", str(patch), "-o",
             str(output)])


TOOLS = {
    "xdelta3": (xdelta3_commands, ENCODE_RUNS),
    "bsdiff": (bsdiff_commands, SLOW_ENCODE_RUNS),
    "zstd": (zstd_commands, ENCODE_RUNS),
}


def measure_added(added, work):
    """`xz -9e` of each added file: what every delta tool ships them as."""
    result = {"bytes": 0, "encode_s": 0.0, "encode_peak": 0, "apply_s": 0.0}
    for index, path in enumerate(added):
        packed = work / f"{index}.xz"

        def encode():
            with packed.open("wb") as out:
                return run_measured(["xz", "-9e", "-c", str(path)], work, stdout=out)

        seconds, peak = best(ENCODE_RUNS, encode)
        result["encode_s"] += seconds
        result["encode_peak"] = max(result["encode_peak"], peak)
        result["bytes"] += packed.stat().st_size
        result["apply_s"] += best(RUNS, lambda: run(["xz", "-d", "-c", str(packed)],
                                                    stdout=subprocess.DEVNULL))
        packed.unlink()
    return result


def measure_tool(tool, name, changed, added, work):
    """One patch per changed file, and the added files as `xz -9e` packs."""
    commands, encode_runs = TOOLS[tool]
    result = dict(added)
    for index, (_, old, new) in enumerate(changed):
        patch = work / f"{index}.patch"
        output = work / f"{index}.out"
        encode, decode = commands(old, new, patch, output)
        seconds, peak = best(encode_runs, lambda: run_measured(
            encode, work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        result["encode_s"] += seconds
        result["encode_peak"] = max(result["encode_peak"], peak)
        result["bytes"] += patch.stat().st_size
        result["apply_s"] += best(RUNS, lambda: run(decode, stdout=subprocess.DEVNULL))
        if output.read_bytes() != new.read_bytes():
            sys.exit(f"bench: {name}: {tool} gives other bytes than the new file")
        patch.unlink()
        output.unlink()
    return result


def measure_copies(pair, new, changed, added, work):
    """One cp of the changed and added new files and one md5sum of the
    changed files' old versions, timed as the updater is."""
    target = work / "copies"

    def copy():
        shutil.rmtree(target, ignore_errors=True)
        target.mkdir()
        settle(pair in MANY_FILES)
        return run(["cp", "--parents", "-t", str(target)] + [name for name, _, _ in changed]
                   + [str(path.relative_to(new)) for path in added], cwd=new)

    md5 = ["md5sum"] + [str(old) for _, old, _ in changed]
    result = {"cp_s": best(RUNS, copy),
              "md5_s": best(RUNS, lambda: run(md5, stdout=subprocess.DEVNULL))}
    shutil.rmtree(target)
    return result


def measure_engine(tools, old, new, work):
    """The synthetic stream applied by the updater's reader alone, and cp."""
    stream = work / "stream"
    output = work / "applied"
    copy = work / "copied"
    subprocess.run([tools["delta_pair"], "encode", str(old), str(new), str(stream)], check=True,
                   stdout=subprocess.DEVNULL)
    best_apply = best_copy = float("inf")
    for _ in range(2 * RUNS):
        best_apply = min(best_apply, run([tools["delta_pair"], "apply", str(old), str(stream),
                                          str(output)]))
        best_copy = min(best_copy, run(["cp", str(new), str(copy)]))
    if output.read_bytes() != new.read_bytes():
        sys.exit("bench: the engine's applier gives other bytes than the new file")
    for path in (stream, output, copy):
        path.unlink()
    return {"engine_s": best_apply, "engine_cp_s": best_copy}


def optimal(tools, cache, name, changed):
    """The least stream bytes the format allows, per changed file (cached)."""
    store = cache / "optimal.json"
    known = json.loads(store.read_text()) if store.is_file() else {}
    total = 0
    for relative, old, new in changed:
        key = f"{name}/{relative}"
        if key not in known:
            known[key] = int(subprocess.run([tools["delta_pair"], "optimal", str(old), str(new)],
                                            check=True, capture_output=True,
                                            text=True).stdout)
            store.write_text(json.dumps(known, indent=1))
        total += known[key]
    return total


# --- The report.


def ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "-"


def table(rows, options):
    """Two tables: bytes, then times as ratios."""
    head = ["pair", "changed files", "added files", "new bytes", "pkx 200", "pkx 150 (classic)",
            "xdelta3 -9", "bsdiff 4.3", "zstd -19", "best tool", "pkx 200 / best"]
    if options.reference:
        head += ["least classic streams", "classic streams / least"]
    lines = ["| " + " | ".join(head) + " |", "|---" + "|---:" * (len(head) - 1) + "|"]
    for row in rows:
        pkx = row["pkx"][FORMATS[0]]
        best_tool = min(TOOLS, key=lambda tool: row[tool]["bytes"])
        least = row[best_tool]["bytes"]
        cells = [row["name"], f"{row['files']:,}", f"{row['added']:,}", f"{row['new_bytes']:,}",
                 f"{pkx['bytes']:,}", f"{row['pkx'][FORMATS[1]]['bytes']:,}"]
        cells += [f"{row[tool]['bytes']:,}" for tool in TOOLS]
        cells += [best_tool, f"{pkx['bytes'] / least:.3f}"]
        if options.reference:
            cells += [f"{row['optimal']:,}", f"{row['streams'] / row['optimal']:.3f}"]
        lines.append("| " + " | ".join(cells) + " |")

    head = ["pair", "encode s xdelta3 -9", "pkx 200", "pkx 150", "bsdiff", "zstd",
            "peak MB pkx 200", "xdelta3", "bsdiff", "zstd", "apply s xdelta3 -d", "pkx 200",
            "pkx 150", "bspatch", "zstd -d", "md5sum + cp s", "pkx 200 / (md5sum + cp)"]
    if options.wine:
        head += ["apply s pkx 200 under Wine", "under Wine / pkx 200"]
    head += ["system calls per changed file"]
    lines += ["", "| " + " | ".join(head) + " |", "|---" + "|---:" * (len(head) - 1) + "|"]
    for row in rows:
        xd = row["xdelta3"]
        pkx = [row["pkx"][version] for version in FORMATS]
        base = row["copies"]["md5_s"] + row["copies"]["cp_s"]
        cells = [row["name"], f"{xd['encode_s']:.2f}"]
        cells += [ratio(result["encode_s"], xd["encode_s"])
                  for result in pkx + [row["bsdiff"], row["zstd"]]]
        cells += [f"{result['encode_peak'] / 1e6:,.0f}"
                  for result in [pkx[0], xd, row["bsdiff"], row["zstd"]]]
        cells += [f"{xd['apply_s']:.2f}"]
        cells += [ratio(result["apply_s"], xd["apply_s"])
                  for result in pkx + [row["bsdiff"], row["zstd"]]]
        cells += [f"{base:.2f}", ratio(pkx[0]["apply_s"], base)]
        if options.wine:
            cells += [f"{pkx[0]['wine_s']:.2f}" if "wine_s" in pkx[0] else "-",
                      ratio(pkx[0].get("wine_s"), pkx[0]["apply_s"])]
        cells += [f"{pkx[0]['calls'] / row['files']:.0f}" if "calls" in pkx[0] else "-"]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def targets(rows):
    checks = []

    def check(what, value, limit):
        checks.append(f"- {what}: {value:.3f} (target at most {limit}): "
                      + ("met" if value <= limit else f"missed by {value / limit - 1:.1%}"))

    for row in rows:
        least = min(row[tool]["bytes"] for tool in TOOLS)
        check(f"bytes of {row['name']} to the smallest tool's",
              row["pkx"][FORMATS[0]]["bytes"] / least, 1.0)
    for row in rows:
        check(f"encode time of {row['name']} to xdelta3 -9's",
              row["pkx"][FORMATS[0]]["encode_s"] / row["xdelta3"]["encode_s"], 2.0)
    for row in rows:
        if row["name"] == "nextswc":
            check("peak memory of nextswc's encoding, GiB",
                  row["pkx"][FORMATS[0]]["encode_peak"] / (1 << 30), 2.0)
    for row in rows:
        if row["pkx"][FORMATS[0]]["apply_s"] is None:
            checks.append(f"- apply time of {row['name']}: not measured, the updater does not "
                          "apply this format yet")
            continue
        check(f"apply time of {row['name']} to xdelta3 -d's",
              row["pkx"][FORMATS[0]]["apply_s"] / row["xdelta3"]["apply_s"], 1.0)
    for row in rows:
        if (row["name"] in (SYNTHETIC, "typescript") + MANY_FILES
                and row["pkx"][FORMATS[0]]["apply_s"]):
            check(f"{row['name']} through the real updater, to md5sum of the old and cp of the new",
                  row["pkx"][FORMATS[0]]["apply_s"]
                  / (row["copies"]["md5_s"] + row["copies"]["cp_s"]), 1.5)
    for row in rows:
        pkx = row["pkx"][FORMATS[0]]
        if row["name"] not in MANY_FILES:
            continue
        if "wine_s" in pkx and row["name"] == "date-fns":
            check(f"{row['name']} through the Windows updater under Wine, seconds", pkx["wine_s"],
                  10)
            check(f"{row['name']} under Wine to the Linux updater's time", pkx["wine_s"]
                  / pkx["apply_s"], 3)
        if "calls" in pkx:
            check(f"system calls of {row['name']} per changed file (strace -c -f)",
                  pkx["calls"] / row["files"], 30)
    return "\n".join(checks)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build folder with pkxbuild, pkxupdate, "
                        "delta_pair")
    parser.add_argument("--win32-build", help="build folder of the Windows updater (with --wine)")
    parser.add_argument("--reference", action="store_true",
                        help="add the least stream size the format allows (slow; cached)")
    parser.add_argument("--wine", action="store_true",
                        help="also time the Windows updater under Wine")
    parser.add_argument("--only", action="append", help="only this pair (repeatable)")
    parser.add_argument("--runs", type=int, help="time each step once, or this many times, "
                        "instead of the defaults")
    options = parser.parse_args()
    if options.runs:
        global ENCODE_RUNS, SLOW_ENCODE_RUNS, RUNS
        ENCODE_RUNS = SLOW_ENCODE_RUNS = RUNS = options.runs
        for tool in TOOLS:
            TOOLS[tool] = (TOOLS[tool][0], options.runs)

    build = Path(options.build)
    tools = {name: str(build / name) for name in ("pkxbuild", "pkxupdate", "delta_pair")}
    if options.wine:
        tools["pkxupdate.exe"] = str(Path(options.win32_build) / "pkxupdate.exe")
        tools["wine-run"] = str(Path(options.win32_build) / "wine-run.sh")
    cache = Path(os.environ.get("PKX_BENCH_CACHE", Path.home() / ".cache" / "pkx-bench"))
    cache.mkdir(parents=True, exist_ok=True)
    work_root = cache / "work"
    work_root.mkdir(exist_ok=True)

    pairs = [(name, fetch(cache, package, old), fetch(cache, package, new))
             for name, package, old, new in PAIRS]
    pairs.append((SYNTHETIC,) + synthetic(cache))
    pairs.append((GENERATED,) + generated(cache))
    rows = []
    for name, old, new in pairs:
        if options.only and name not in options.only:
            continue
        print(f"bench: {name}", file=sys.stderr)
        work = Path(tempfile.mkdtemp(dir=work_root))
        try:
            changed = changed_files(old, new)
            added = added_files(old, new)
            row = {"name": name, "files": len(changed), "added": len(added),
                   "new_bytes": sum(path.stat().st_size for _, _, path in changed)
                   + sum(path.stat().st_size for path in added)}
            row["copies"] = measure_copies(name, new, changed, added, work)
            row["pkx"] = {version: measure_pkx(tools, name, old, new, work, version, options)
                          for version in FORMATS}
            packs = measure_added(added, work)
            for tool in TOOLS:
                row[tool] = measure_tool(tool, name, changed, packs, work)
            if name == SYNTHETIC:
                row["engine"] = measure_engine(tools, changed[0][1], changed[0][2], work)
            if options.reference:
                row["optimal"] = optimal(tools, cache, name, changed)
                row["streams"] = row["pkx"][FORMATS[1]]["streams"]
            rows.append(row)
            # Each pair's figures as soon as they are in, should a long run stop.
            print(f"bench: {json.dumps(row)}", file=sys.stderr, flush=True)
        finally:
            shutil.rmtree(work, ignore_errors=True)

    print(f"Machine: {platform.machine()}, {os.cpu_count()} cores, "
          f"{platform.platform()}; {time.strftime('%Y-%m-%d')}.\n")
    print(table(rows, options))
    if SYNTHETIC in {row["name"] for row in rows}:
        engine = next(row["engine"] for row in rows if row["name"] == SYNTHETIC)
        print(f"\nSynthetic stream rebuilt by the updater's reader alone (best of {2 * RUNS}): "
              f"{engine['engine_s']:.3f} s; cp of the new file: {engine['engine_cp_s']:.3f} s.")
    print("\nTargets:\n")
    print(targets(rows))


if __name__ == "__main__":
    main()
