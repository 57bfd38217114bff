#!/usr/bin/python3
"""Turns one benchmark run (the JSON lines bench/run.sh collects) into
docs/benchmarks-results.json, docs/benchmarks.png and the tables between the
"results" markers of docs/benchmarks.md.

usage: report.py RESULTS.jsonl DOCS_FOLDER
       report.py --nats RESULTS.jsonl DOCS_FOLDER   (a run of the room on a NATS cluster
       alone: docs/benchmarks-nats-results.json and a table on standard output; the
       page and the other results are left as they are)
"""
import json
import statistics
import sys
from pathlib import Path

TARGETS = ["product", "window", "mirelune", "ngircd", "inspircd", "relay"]
TARGET_NAMES = {"product": "mirelune-room host", "window": "window program (Xvfb)",
                "mirelune": "bench host (no player)", "ngircd": "ngIRCd", "inspircd": "InspIRCd",
                "relay": "minimal relay"}
IRC = ["ngircd", "inspircd"]
WORKLOADS = {"a": "(a) N=10, S=10", "b": "(b) N=100, S=10", "c": "(c) N=500, S=5"}
BEGIN = "<!-- results:begin -->"
END = "<!-- results:end -->"


def load(path):
    records = [json.loads(line) for line in Path(path).read_text().splitlines() if line.strip()]
    return records


def metric(records, target, workload, pick):
    values = []
    for record in records:
        if record["kind"] == "load" and record["target"] == target and record["workload"] == workload:
            value = pick(record["result"])
            if value is not None:
                values.append(value)
    return values


def phase(mode, field):
    def pick(result):
        for p in result.get("phases", []):
            if p["mode"] == mode and not p["timed_out"]:
                return p[field]
        return None

    return pick


def joined(result):
    return result["join_ms"] if result["all_joined"] else None


def rss_mb(result):
    return result["server_peak_rss_kb"] / 1024 if result["server_peak_rss_kb"] > 0 else None


def lost(result):
    return sum(p["lost"] for p in result.get("phases", [])) + (0 if result["all_joined"] else 1)


def load_share(result):
    shares = [p["load_cpu_share"] for p in result.get("phases", []) if p["mode"] != "paced"]
    return max(shares) if shares else None


def server_cpu(result):
    return result["server_cpu_total_s"] if result["server_cpu_total_s"] >= 0 else None


def summary(values):
    if not values:
        return None
    return statistics.median(values), min(values), max(values), len(values)


def fmt_rate(v):
    return f"{v / 1e6:.2f} M" if v >= 1e5 else f"{v / 1e3:.1f} k"


def fmt_ms(v):
    return f"{v:.0f} ms" if v >= 100 else f"{v:.1f} ms" if v >= 10 else f"{v:.2f} ms"


def fmt_s(v):
    return f"{v:.2f} s"


def fmt_mb(v):
    return f"{v:.1f} MB"


def fmt_int(v):
    return f"{v:.0f}"


def fmt_share(v):
    return f"{v * 100:.0f} %"


def cell(values, fmt):
    s = summary(values)
    if s is None:
        return "n/a"
    median, low, high, count = s
    if count == 1 or low == high:
        return fmt(median)
    return f"{fmt(median)} ({fmt(low)}–{fmt(high)})"


ROWS = [
    ("sustained deliveries/s", phase("sustained", "deliveries_per_s"), fmt_rate),
    ("saturate deliveries/s", phase("saturate", "deliveries_per_s"), fmt_rate),
    ("paced latency p50", phase("paced", "p50_ms"), fmt_ms),
    ("paced latency p99", phase("paced", "p99_ms"), fmt_ms),
    ("paced latency max", phase("paced", "max_ms"), fmt_ms),
    ("sustained latency p99", phase("sustained", "p99_ms"), fmt_ms),
    ("all members joined, each seeing the whole room", joined, fmt_ms),
    ("lost messages (all modes)", lost, fmt_int),
    ("server peak RSS", rss_mb, fmt_mb),
    ("server CPU (whole run)", server_cpu, fmt_s),
    ("load program CPU share (busiest mode)", load_share, fmt_share),
]


def med(records, target, workload, pick):
    s = summary(metric(records, target, workload, pick))
    return None if s is None else s[0]


def drops(records, target):
    """The memory runs of a target that saw every stopped member dropped."""
    out = []
    for record in records:
        if record["kind"] == "memory" and record["target"] == target:
            drop = record["result"].get("drop")
            if drop and not drop["timed_out"] and drop["idle_rss_kb"] > 0 and drop["after_rss_kb"] > 0:
                out.append(drop)
    return out


def checks(records, listings):
    out = []
    # The product's own host when it was measured; the bench host otherwise (old runs).
    ours_target = "product" if any(r.get("target") == "product" for r in records) else "mirelune"

    def add(name, ok, detail):
        out.append((name, "met" if ok else ("NOT met" if ok is not None else "not measured"), detail))

    def show(value, fmt):
        return fmt(value) if value is not None else "n/a"

    for workload in WORKLOADS:
        for mode in ["sustained", "saturate"]:
            ours = med(records, ours_target, workload, phase(mode, "deliveries_per_s"))
            irc = med(records, "ngircd", workload, phase(mode, "deliveries_per_s"))
            ok = None if ours is None or irc is None else ours >= 3 * irc
            add(f"{mode} deliveries/s {workload}: at least 3x ngIRCd", ok,
                f"{show(ours, fmt_rate)} vs {show(irc, fmt_rate)}")
        ours = med(records, ours_target, workload, phase("saturate", "deliveries_per_s"))
        relay = med(records, "relay", workload, phase("saturate", "deliveries_per_s"))
        ok = None if ours is None or relay is None else ours >= 0.7 * relay
        add(f"saturate deliveries/s {workload}: at least 0.7x the minimal relay", ok,
            f"{show(ours, fmt_rate)} vs {show(relay, fmt_rate)}")
        ours = med(records, ours_target, workload, phase("paced", "p99_ms"))
        irc = med(records, "ngircd", workload, phase("paced", "p99_ms"))
        ok = None if ours is None or irc is None else ours * 2 <= irc
        add(f"paced p99 {workload}: at most half of ngIRCd's", ok, f"{show(ours, fmt_ms)} vs {show(irc, fmt_ms)}")
        ours = med(records, ours_target, workload, joined)
        irc = [v for v in (med(records, t, workload, joined) for t in IRC) if v is not None]
        best = min(irc) if irc else None
        ok = None if ours is None or best is None else ours < best
        add(f"join {workload}: faster than the better IRC server", ok, f"{show(ours, fmt_ms)} vs {show(best, fmt_ms)}")
        window = med(records, "window", workload, phase("sustained", "deliveries_per_s"))
        irc = med(records, "ngircd", workload, phase("sustained", "deliveries_per_s"))
        ok = None if window is None or irc is None else window >= irc
        add(f"room hosted by the window program, sustained deliveries/s {workload}: at least ngIRCd's", ok,
            f"{show(window, fmt_rate)} vs {show(irc, fmt_rate)}")
    ours = med(records, ours_target, "c", joined)
    add("all 500 members joined, each seeing the whole room, in under 100 ms", None if ours is None else ours < 100,
        show(ours, fmt_ms))
    rss = metric(records, ours_target, "c", rss_mb)
    add("host memory under 50 MB with 500 members", None if not rss else max(rss) < 50,
        f"peak {fmt_mb(max(rss))} (highest repetition)" if rss else "n/a")
    # The same limit for the room most users host: the window program's.
    rss = metric(records, "window", "c", rss_mb)
    add("window program hosting, memory under 50 MB with 500 members", None if not rss else max(rss) < 50,
        f"peak {fmt_mb(max(rss))} (highest repetition)" if rss else "n/a")
    runs = drops(records, "product")
    if runs:
        worst = max(runs, key=lambda d: d["after_rss_kb"] / d["idle_rss_kb"])
        add("host memory back within 20 % of its idle size after members that stopped reading were dropped",
            worst["after_rss_kb"] <= 1.2 * worst["idle_rss_kb"],
            f"idle {fmt_mb(worst['idle_rss_kb'] / 1024)}, peak {fmt_mb(worst['peak_rss_kb'] / 1024)}, "
            f"after {fmt_mb(worst['after_rss_kb'] / 1024)} (worst repetition)")
    else:
        add("host memory back within 20 % of its idle size after members that stopped reading were dropped", None,
            "n/a")
    tens = [r for r in listings if r["rooms"] == 10]
    if tens:
        worst = max(r["result"]["median_ms"] for r in tens)
        found = min(r["result"]["rooms_found_min"] for r in tens)
        add("LAN listing of 10 rooms within 250 ms", worst < 250 and found >= 10,
            f"slowest median {fmt_ms(worst)}, {found} of 10 rooms found")
    return out


def plot(records, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [
        ("sustained deliveries/s (millions)", phase("sustained", "deliveries_per_s"), 1e-6, False),
        ("saturate deliveries/s (millions)", phase("saturate", "deliveries_per_s"), 1e-6, False),
        ("paced latency p99 (ms, log)", phase("paced", "p99_ms"), 1, True),
        ("join, until all see the whole room (ms, log)", joined, 1, True),
    ]
    colours = {"product": "#8e44ad", "window": "#d35400", "mirelune": "#c0392b", "ngircd": "#2980b9", "inspircd": "#27ae60", "relay": "#7f8c8d"}
    figure, axes = plt.subplots(1, 4, figsize=(17, 4.2))
    width = 0.8 / len(TARGETS)
    for ax, (title, pick, scale, log) in zip(axes, panels):
        for i, target in enumerate(TARGETS):
            xs, ys, lows, highs = [], [], [], []
            for j, workload in enumerate(WORKLOADS):
                s = summary(metric(records, target, workload, pick))
                if s is None:
                    continue
                xs.append(j + (i - (len(TARGETS) - 1) / 2) * width)
                ys.append(s[0] * scale)
                lows.append((s[0] - s[1]) * scale)
                highs.append((s[2] - s[0]) * scale)
            ax.bar(xs, ys, width, yerr=[lows, highs], capsize=2, color=colours[target])
        ax.set_xticks(range(len(WORKLOADS)))
        ax.set_xticklabels(["a: 10", "b: 100", "c: 500"])
        ax.set_xlabel("workload: members")
        ax.set_title(title, fontsize=10)
        if log:
            ax.set_yscale("log")
        ax.grid(axis="y", alpha=0.3)
    from matplotlib.patches import Patch

    axes[0].legend(handles=[Patch(color=colours[t], label=TARGET_NAMES[t]) for t in TARGETS], fontsize=8)
    figure.suptitle("Median of the repetitions; bars show the spread (min to max)", fontsize=9)
    figure.tight_layout()
    figure.savefig(path, dpi=90)


def nats_main(path, docs):
    records = load(path)
    (docs / "benchmarks-nats-results.json").write_text(json.dumps(records, indent=1, ensure_ascii=False) + "\n")
    print("| N | mode | deliveries/s | latency median | latency p99 | lost | duplicates | joined | servers' CPU |")
    print("|---|---|---|---|---|---|---|---|---|")
    for workload in ("a", "b"):
        for mode in ("paced", "saturate"):
            runs = [r for r in records if r["kind"] == "load" and r["target"] == "nats" and r["workload"] == workload
                    and r["result"]["all_joined"]]
            results = [r["result"] for r in runs]
            phases = [p for r in results for p in r["phases"] if p["mode"] == mode]
            if not phases:
                continue
            print(f"| {results[0]['members']} | {mode} | {cell([p['deliveries_per_s'] for p in phases], fmt_rate)} | "
                  f"{cell([p['p50_ms'] for p in phases], fmt_ms)} | {cell([p['p99_ms'] for p in phases], fmt_ms)} | "
                  f"{sum(p['lost'] for p in phases)} | {sum(p['duplicates'] for p in phases)} | "
                  f"{cell([r['join_ms'] for r in results], fmt_ms)} | {cell([r['servers_cpu_s'] for r in runs], fmt_s)} |")


def main():
    if sys.argv[1] == "--nats":
        nats_main(sys.argv[2], Path(sys.argv[3]))
        return
    records = load(sys.argv[1])
    docs = Path(sys.argv[2])
    (docs / "benchmarks-results.json").write_text(json.dumps(records, indent=1, ensure_ascii=False) + "\n")
    machine = next((r["result"] for r in records if r["kind"] == "machine"), {})
    after = next((r["result"] for r in records if r["kind"] == "machine_after"), {})
    listings = [r for r in records if r["kind"] == "listing"]
    startups = [r["result"]["ms"] for r in records if r["kind"] == "startup"]

    lines = [BEGIN, "", "### Machine and run", ""]
    lines.append(f"- {machine.get('nproc', '?')} cores, {machine.get('cpu', '?')}, Linux {machine.get('kernel', '?')}")
    lines.append(f"- run of {machine.get('date', '?')}: {machine.get('reps', '?')} repetitions, paced mode "
                 f"{machine.get('paced_seconds', '?')} s per repetition; ngIRCd {machine.get('ngircd', '?')}, "
                 f"InspIRCd {machine.get('inspircd', '?')}")
    lines.append(f"- load average (1, 5, 15 min) before the run: {machine.get('load_before', '?')}; after: "
                 f"{after.get('load_after', '?')}")
    lines.append("")
    lines.append("Each cell: median (lowest–highest) of the repetitions. Raw figures: "
                 "[benchmarks-results.json](benchmarks-results.json).")
    for workload, title in WORKLOADS.items():
        lines += ["", f"### Workload {title}", ""]
        lines.append("| | " + " | ".join(TARGET_NAMES[t] for t in TARGETS) + " |")
        lines.append("|---|" + "---|" * len(TARGETS))
        for name, pick, fmt in ROWS:
            lines.append(f"| {name} | " + " | ".join(cell(metric(records, t, workload, pick), fmt) for t in TARGETS)
                         + " |")
    lines += ["", "### LAN listing and start-up", ""]
    lines.append("| | median | fastest | slowest | rooms found |")
    lines.append("|---|---|---|---|---|")
    for rooms in (1, 10):
        rs = [r["result"] for r in listings if r["rooms"] == rooms]
        if rs:
            medians = [r["median_ms"] for r in rs]
            lines.append(f"| LAN listing, {rooms} room{'s' if rooms > 1 else ''} hosted | "
                         f"{fmt_ms(statistics.median(medians))} | {fmt_ms(min(r['min_ms'] for r in rs))} | "
                         f"{fmt_ms(max(r['max_ms'] for r in rs))} | {min(r['rooms_found_min'] for r in rs)} |")
    if startups:
        lines.append(f"| start-up to the first window | {fmt_ms(statistics.median(startups))} | "
                     f"{fmt_ms(min(startups))} | {fmt_ms(max(startups))} | |")
    else:
        lines.append("| start-up to the first window | not measured (the program was not built) | | | |")
    memory_rows = [(t, drops(records, t)) for t in TARGETS]
    memory_rows = [(t, runs) for t, runs in memory_rows if runs]
    if memory_rows:
        lines += ["", "### Memory when members stop reading", "",
                  "20 members, 5 of them stop reading, 5 senders go on until the host has dropped the 5.", "",
                  "| | idle before | highest | 5 s after the drop | dropped after |", "|---|---|---|---|---|"]
        for target, runs in memory_rows:
            lines.append(f"| {TARGET_NAMES[target]} | "
                         + " | ".join(cell([d[key] / 1024 for d in runs], fmt_mb)
                                      for key in ("idle_rss_kb", "peak_rss_kb", "after_rss_kb"))
                         + f" | {cell([d['drop_seconds'] for d in runs], fmt_s)} |")
    lines += ["", "### Targets", "", "| target | result | figures (ours vs theirs) |", "|---|---|---|"]
    for name, verdict, detail in checks(records, listings):
        lines.append(f"| {name} | {verdict} | {detail} |")
    lines += ["", "![benchmark plot](benchmarks.png)", "", END]

    page = docs / "benchmarks.md"
    text = page.read_text() if page.exists() else f"# Benchmarks\n\n{BEGIN}\n{END}\n"
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < 0:
        text = text.rstrip() + "\n\n" + BEGIN + "\n" + END + "\n"
        start, end = text.find(BEGIN), text.find(END)
    text = text[:start] + "\n".join(lines) + text[end + len(END):]
    page.write_text(text)
    plot(records, docs / "benchmarks.png")


if __name__ == "__main__":
    main()
