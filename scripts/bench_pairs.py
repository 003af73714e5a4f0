#!/usr/bin/env python3
"""The real-pairs benchmark: pkxbuild and the updater against xdelta3.

Six old/new pairs: five npm releases (fetched with `npm pack` into the cache,
outside the tree) and a synthetic 200 MB file with 2,000 seeded edits. Each
pair is built with pkxbuild and with `xdelta3 -e -9 -N -S none -B <window>`
(one delta per changed file, the window as large as the old file), applied
through the real updater (`-F`, its MD5 checks included) and with
`xdelta3 -d`, and every output is compared with the new files. Everything
runs in this one process, side by side, on whatever else the machine does:
the ratios are what counts, each timing the best of a few runs (two for
encoding, three for the rest) to damp the noise of a shared machine. Prints
the results as Markdown.

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
RUNS = 3


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


def files_of(folder):
    return {str(path.relative_to(folder)): path for path in sorted(folder.rglob("*"))
            if path.is_file()}


def changed_files(old, new):
    """(relative name, old path, new path) of the files both hold, differing."""
    old_files, new_files = files_of(old), files_of(new)
    return [(name, old_files[name], path) for name, path in new_files.items()
            if name in old_files and old_files[name].read_bytes() != path.read_bytes()]


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
    listing = subprocess.run([tools["pkxbuild"], "inspect", str(updater)], check=True,
                             capture_output=True, text=True).stdout
    return sum(int(size) for size in
               re.findall(r"^\s+update\s+0x[0-9A-F]+\s+(\d+)\s", listing, re.MULTILINE))


def measure_pkx(tools, name, old, new, work, options):
    install = work / "install"
    updater = work / "updater"
    result = {}
    build = [tools["pkxbuild"], "create", "--old", str(old), "--new", str(new), "--manifest",
             str(manifest(work, install, False)), "--stub", tools["pkxupdate"], "-o", str(updater)]
    result["encode_s"], result["encode_peak"] = best(
        ENCODE_RUNS, lambda: run_measured(build, work, stdout=subprocess.DEVNULL))
    result["bytes"] = stream_bytes(tools, updater)
    result["payload"] = updater.stat().st_size - PAYLOAD_OFFSET
    def apply():
        shutil.rmtree(install, ignore_errors=True)
        shutil.copytree(old, install)
        seconds = run([str(updater), "-F"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        if not same_tree(install, new):
            sys.exit(f"bench: {name}: the updater's result differs from the new files")
        return seconds

    result["apply_s"] = best(RUNS, apply)
    if options.wine:
        windows = work / "updater.exe"
        run([tools["pkxbuild"], "create", "--old", str(old), "--new", str(new), "--manifest",
             str(manifest(work, install, True)), "--stub", tools["pkxupdate.exe"], "-o",
             str(windows)], stdout=subprocess.DEVNULL)
        shutil.rmtree(install)
        shutil.copytree(old, install)
        result["wine_s"] = run([tools["wine-run"], str(windows), "-F"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not same_tree(install, new):
            sys.exit(f"bench: {name}: the Windows updater's result differs from the new files")
    shutil.rmtree(install)
    updater.unlink()
    return result


def measure_xdelta(name, changed, work):
    result = {"bytes": 0, "encode_s": 0.0, "encode_peak": 0, "apply_s": 0.0}
    for index, (_, old, new) in enumerate(changed):
        window = max(-(-old.stat().st_size // MIB), 1) * MIB
        patch = work / f"{index}.vcdiff"
        encode = ["xdelta3", "-e", "-9", "-N", "-S", "none", "-B", str(window), "-f", "-s",
                  str(old), str(new), str(patch)]
        seconds, peak = best(ENCODE_RUNS, lambda: run_measured(encode, work))
        result["encode_s"] += seconds
        result["encode_peak"] = max(result["encode_peak"], peak)
        result["bytes"] += patch.stat().st_size
    for index, (_, old, new) in enumerate(changed):
        patch = work / f"{index}.vcdiff"
        output = work / f"{index}.out"
        decode = ["xdelta3", "-d", "-f", "-s", str(old), str(patch), str(output)]
        result["apply_s"] += best(RUNS, lambda: run(decode))
        if output.read_bytes() != new.read_bytes():
            sys.exit(f"bench: {name}: xdelta3 -d gives other bytes than the new file")
        patch.unlink()
        output.unlink()
    return result


def measure_copies(new, changed, work):
    """One cp of the changed new files and one md5sum of their old versions."""
    target = work / "copies"

    def copy():
        shutil.rmtree(target, ignore_errors=True)
        target.mkdir()
        return run(["cp", "--parents", "-t", str(target)] + [name for name, _, _ in changed],
                   cwd=new)

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


def table(rows, options):
    head = ["pair", "changed files", "new bytes", "pkx bytes", "xdelta3 bytes", "pkx / xdelta3"]
    if options.reference:
        head += ["least possible", "pkx / least"]
    head += ["encode s pkx", "encode s xdelta3", "pkx / xdelta3", "peak MB pkx",
             "peak MB xdelta3", "apply s pkx", "apply s xdelta3", "cp s", "md5sum + cp s",
             "pkx / (md5sum + cp)"]
    if options.wine:
        head += ["apply s pkx under Wine"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for row in rows:
        pkx, xd, copies = row["pkx"], row["xdelta3"], row["copies"]
        cells = [row["name"], f"{row['files']:,}", f"{row['new_bytes']:,}",
                 f"{pkx['bytes']:,}", f"{xd['bytes']:,}", f"{pkx['bytes'] / xd['bytes']:.2f}"]
        if options.reference:
            cells += [f"{row['optimal']:,}", f"{pkx['bytes'] / row['optimal']:.3f}"]
        base = copies["md5_s"] + copies["cp_s"]
        cells += [f"{pkx['encode_s']:.2f}", f"{xd['encode_s']:.2f}",
                  f"{pkx['encode_s'] / xd['encode_s']:.2f}", f"{pkx['encode_peak'] / 1e6:,.0f}",
                  f"{xd['encode_peak'] / 1e6:,.0f}", f"{pkx['apply_s']:.2f}",
                  f"{xd['apply_s']:.2f}", f"{copies['cp_s']:.2f}", f"{base:.2f}",
                  f"{pkx['apply_s'] / base:.2f}"]
        if options.wine:
            cells += [f"{pkx['wine_s']:.2f}"]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def targets(rows):
    by_name = {row["name"]: row for row in rows}
    checks = []

    def check(what, ratio, limit):
        checks.append(f"- {what}: {ratio:.3f} (target at most {limit}): "
                      + ("met" if ratio <= limit else f"missed by {ratio / limit - 1:.1%}"))

    for name in ("typescript", "date-fns", SYNTHETIC):
        if name in by_name:
            row = by_name[name]
            check(f"bytes of {name} to xdelta3's", row["pkx"]["bytes"] / row["xdelta3"]["bytes"],
                  1.0)
    for name in ("esbuild", "swc", "nextswc"):
        if name in by_name:
            row = by_name[name]
            check(f"bytes of {name} to xdelta3's", row["pkx"]["bytes"] / row["xdelta3"]["bytes"],
                  1.3)
    for row in rows:
        check(f"encode time of {row['name']} to xdelta3 -9's",
              row["pkx"]["encode_s"] / row["xdelta3"]["encode_s"], 1.0)
    if SYNTHETIC in by_name:
        row = by_name[SYNTHETIC]
        check("synthetic rebuilt by the updater's reader, to cp of the new file",
              row["engine"]["engine_s"] / row["engine"]["engine_cp_s"], 1.25)
    for name in (SYNTHETIC, "typescript"):
        if name in by_name:
            row = by_name[name]
            check(f"{name} through the real updater, to md5sum of the old and cp of the new",
                  row["pkx"]["apply_s"] / (row["copies"]["md5_s"] + row["copies"]["cp_s"]), 1.5)
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
    options = parser.parse_args()

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
    rows = []
    for name, old, new in pairs:
        if options.only and name not in options.only:
            continue
        print(f"bench: {name}", file=sys.stderr)
        work = Path(tempfile.mkdtemp(dir=work_root))
        try:
            changed = changed_files(old, new)
            row = {"name": name, "files": len(changed),
                   "new_bytes": sum(path.stat().st_size for _, _, path in changed)}
            row["copies"] = measure_copies(new, changed, work)
            row["pkx"] = measure_pkx(tools, name, old, new, work, options)
            row["xdelta3"] = measure_xdelta(name, changed, work)
            if name == SYNTHETIC:
                row["engine"] = measure_engine(tools, changed[0][1], changed[0][2], work)
            if options.reference:
                row["optimal"] = optimal(tools, cache, name, changed)
            rows.append(row)
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
