#!/usr/bin/env python3
"""Turns the raw figures of bench/run.sh into a table of ratios."""
import glob
import json
import os
import platform
import re
import statistics
import subprocess
import sys
from datetime import date

out = sys.argv[1]


def load(path):
    # the median of the repetitions of each benchmark
    with open(path) as f:
        data = json.load(f)["benchmarks"]
    medians = {b["run_name"]: b for b in data if b.get("aggregate_name") == "median"}
    return medians or {b["name"]: b for b in data}


def real(b):
    # real time in microseconds
    t = b["real_time"]
    return t * {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]


def kv(path):
    with open(path) as f:
        return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", f.read())}


def cpu():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


slapd = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "slapd"],
                       capture_output=True, text=True).stdout or "unknown"
print(f"Machine: {cpu()}, {os.cpu_count()} cores; slapd {slapd}; {date.today().isoformat()}\n")
print("| Measure | Library / tool | Baseline | Ratio | Goal |")
print("|---|---|---|---|---|")

base = load(os.path.join(out, "bench-base.json"))
lk = real(base["BM_Lookup_DefaultToken"])
raw = real(base["BM_Baseline_RawSearchDefaultToken"])
print(f"| kx_getCryptoEntByTokenID, one session | {lk:.1f} µs | raw ldap_search_ext_s {raw:.1f} µs | {lk / raw:.2f} | ≤ 1.1 |")

# Whole processes: medians of the rounds' means; the ratio is the median of
# the rounds' own ratios, each taken against the baseline of its round.
with open(os.path.join(out, "rounds.txt")) as f:
    rounds = [[int(x) for x in line.split()] for line in f if line.strip()]
for col, what in ((0, "display"), (1, "export")):
    t = statistics.median(r[col] for r in rounds)
    b = statistics.median(r[2] for r in rounds)
    ratio = statistics.median(r[col] / r[2] for r in rounds)
    print(f"| kxcrypto {what}, whole process | {t / 1000:.2f} ms | ldapsearch {b / 1000:.2f} ms | {ratio:.2f} | ≤ 1.1 |")

iters = {}
for path in sorted(glob.glob(os.path.join(out, "bench-iterate-*.json"))):
    n = int(re.search(r"bench-iterate-(\d+)", path).group(1))
    iters[n] = load(path)
for n in sorted(iters):
    b = iters[n]
    search = real(b[f"BM_Baseline_RawSubtreeSearch/tokens:{n}"])
    for mode in (0, 1):
        it = b[f"BM_Iterate/tokens:{n}/merge:{mode}"]
        t = real(it)
        extra = ""
        if n == max(iters):
            extra = (f" (peak RSS {it['peak_rss_MiB']:.0f} MiB; heap in use after the last of "
                     f"{it.get('rounds', it.get('iterations', 0)):.0f} rounds {it['heap_growth_bytes']:+.0f} B against the first)")
        print(f"| iterate {n} tokens, merge mode {mode}{extra} | {t / 1000:.1f} ms | raw subtree search {search / 1000:.1f} ms | {t / search:.2f} | ≤ 1.5 |")
if 10000 in iters and 50000 in iters:
    for mode in (0, 1):
        g = real(iters[50000][f"BM_Iterate/tokens:50000/merge:{mode}"]) / real(iters[10000][f"BM_Iterate/tokens:10000/merge:{mode}"])
        print(f"| growth 10,000 → 50,000 tokens, merge mode {mode} | ×{g:.2f} | ×5 (linear) | | ≤ ×5.5 |")

login = os.path.join(out, "bench-login.json")
if os.path.exists(login):
    b = load(login)
    # What the library's algorithms prescribe: directory searches per call
    # (the owners of 100 logical tokens: one lookup each at most).
    rows = [("RawToLogicalId", "raw_token_id_to_logical_token_id", 1),
            ("RawToUser", "raw_token_id_to_user (through the logical token)", 2),
            ("GetUser", "get_user, joined with its status record", 1),
            ("GetXconf", "kx_getXconfByTokenID", 1),
            ("LtokenByUser100", "kx_getLtokenByUser, 100 logical tokens", 1),
            ("LidByRid100", "_kx_getLidByRid, 100 logical tokens", 1),
            ("UidByRid100", "_kx_getUidByRid, 100 logical tokens", "at most 101")]
    for key, label, prescribed in rows:
        lib, base_ = b[f"BM_{key}"], b[f"BM_Baseline_{key}"]
        print(f"| {label} | {real(lib):.1f} µs, {lib['searches_per_call']:.2f} searches (prescribed {prescribed}) "
              f"| raw searches {real(base_):.1f} µs, {base_['searches_per_call']:.2f} searches "
              f"| {real(lib) / real(base_):.2f} | ≤ 1.2 |")

for kind in ("AllDesktops", "AllUsers"):
    small = real(base[f"BM_{kind}/10000"])
    large = real(base[f"BM_{kind}/100000"])
    walk = "BM_Baseline_DbmWalk" + kind[3:]
    walk_s = real(base[f"{walk}/10000"])
    walk_l = real(base[f"{walk}/100000"])
    print(f"| get_all_dbm_{kind[3:].lower()} 10,000 → 100,000 records | {small / 1000:.1f} → {large / 1000:.1f} ms (×{large / small:.1f}) | walk of the same file {walk_s / 1000:.1f} → {walk_l / 1000:.1f} ms (×{walk_l / walk_s:.1f}) | {large / walk_l:.2f} at 100,000 | ≤ 2 |")
    blocks = real(base[f"BM_Baseline_ListBlocks{kind[3:]}/100000"])
    print(f"| get_all_dbm_{kind[3:].lower()}, 100,000 records | {large / 1000:.1f} ms | the walk and the blocks the API hands over, allocated and freed alone: {walk_l / 1000:.1f} + {blocks / 1000:.1f} ms | {large / (walk_l + blocks):.2f} | report |")

for how, label in (("back_to_back", "back to back on one handle"),
                   ("two_handles", "alternating between two handles"),
                   ("spaced", "10 ms apart on one handle")):
    lib = [v for k_, v in base.items() if k_.startswith(f"BM_StatusUpdate/{how}")][0]
    raw_ = [v for k_, v in base.items() if k_.startswith(f"BM_Baseline_StatusUpdate/{how}")][0]
    print(f"| a login's status update, {label} | {real(lib):.1f} µs | the same fetch and store, plain ndbm handle: "
          f"{real(raw_):.1f} µs | {real(lib) / real(raw_):.2f} | report |")

k = kv(os.path.join(out, "batch-kxcrypto.txt"))
m = kv(os.path.join(out, "batch-ldapmodify.txt"))
with open(os.path.join(out, "batch-rounds.txt")) as f:
    batch = [[int(x) for x in line.split()] for line in f if line.strip()]
bk = statistics.median(r[0] for r in batch)
bm = statistics.median(r[1] for r in batch)
br = statistics.median(r[0] / r[1] for r in batch)
print(f"| batch edit, 1,000 lines (5 rounds) | kxcrypto -e {bk / 1000:.0f} ms | ldapmodify {bm / 1000:.0f} ms | {br:.2f} | ≤ 2 |")
print()
print(f"Directory operations per batch line: kxcrypto {k['srch'] / 1000:.2f} searches and {k['mod'] / 1000:.2f} modifications "
      f"(binds {k['bind']}); ldapmodify {m['srch'] / 1000:.2f} searches and {m['mod'] / 1000:.2f} modifications.")
with open(os.path.join(out, "batch-summary.txt")) as f:
    print("kxcrypto -e summary: " + " ".join(line.strip() for line in f))
