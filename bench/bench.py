#!/usr/bin/env python3
"""Measure sfml-works against the floor: the same frame drawn with nothing but
Xlib, GLX and OpenGL 1.1.

Each round runs both programs, in alternating order, on a private Xvfb with
openbox, and measures for each:
  - frames per second in steady state, counted by a preloaded wrapper around
    the buffer swap (the same counter for both);
  - time from launch to the first presented frame (the median of several
    launches);
  - CPU time per frame and peak resident memory;
  - instructions per steady-state frame (callgrind), in all and on the main
    thread alone (the one that polls, makes the OpenGL calls and swaps; the
    software renderer's own threads fill the pixels), and heap allocations
    per steady-state frame with where they come from (DHAT). Both are the
    difference between a short and a long run divided by the difference in
    frames, which leaves out start-up and teardown.
The library blends every draw under its default render states, which the
program draws with, so the headline compares it with the floor drawing the same
frame with alpha blending on (`floor --blend`), and the targets are set
against that. The lean floor, which writes the pixels without blending, is
measured in every round too and reported beside it as the limit that no
program drawing through the library can reach.

Mesa keeps the shaders it compiles in a disk cache, and a run that has to
compile them spends far more at start-up than one that finds them there. So
every run uses a private cache under the output folder, warmed by unmeasured
runs first: the figures are those of a program started again, not the very
first start on a machine, and they do not depend on the user's own cache.

Writes report.md, report.json and ratios.png into the output folder and
prints the Markdown report.
"""

import argparse
import glob
import json
import math
import os
import platform
import re
import statistics
import sys
import time

from sfmlcheck.diagnosis import field
from sfmlcheck.facts import PROGRAM
from sfmlcheck.procs import resident_kib
from sfmlcheck.session import XSession

# The program is driven as the tests drive it.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from driving import DrivenProgram  # noqa: E402

FLOOR = "floor"
BLENDED_FLOOR = "floor --blend"
ALLOCATOR = re.compile(r"\b(malloc|calloc|realloc|memalign|posix_memalign|aligned_alloc|"
                       r"operator new(\[\])?)\b|vgpreload_")

# The floor the targets are set against, and the limit beside it.
HEADLINE = BLENDED_FLOOR
LIMIT = FLOOR
SUBJECTS = (PROGRAM, HEADLINE, LIMIT)

# name, label, unit, how to show a value, and the target: on the ratio
# sfml-works / floor --blend, ("<=", x) or (">=", x); or ("=", x) on
# sfml-works's own value; or None.
METRICS = [
    ("instructions_per_frame", "Instructions per frame (callgrind)", "", "{:,.0f}",
     ("<=", 1.05)),
    ("main_thread_instructions_per_frame", "… of them on the main thread", "", "{:,.0f}",
     ("<=", 1.15)),
    ("fps", "Frames per second", "", "{:,.0f}", (">=", 0.85)),
    ("first_frame_ms", "Time to first frame", "ms", "{:.1f}", ("<=", 1.5)),
    ("cpu_us_per_frame", "CPU time per frame", "µs", "{:.1f}", None),
    ("peak_rss_mib", "Peak resident memory", "MiB", "{:.1f}", None),
    ("allocations_per_frame", "Heap allocations per frame, whole process", "", "{:.2f}",
     None),
    ("own_allocations_per_frame", "Heap allocations per frame, program's own code", "",
     "{:.2f}", ("=", 0)),
]


def target_met(target, ratio, value):
    """Whether the median meets the target: a ratio's, or the program's own."""
    op, bound = target
    if op == "=":
        return value == bound
    return ratio is not None and (ratio <= bound if op == "<=" else ratio >= bound)


def target_text(target):
    op, bound = target
    return f"{bound} (own value)" if op == "=" else f"{op} {bound}×"


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True, help="the installed sfml-works")
    parser.add_argument("--floor", required=True, help="the reference program")
    parser.add_argument("--counter", required=True, help="the frame-counter library")
    parser.add_argument("--out", required=True, help="folder for the report")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--steady-seconds", type=float, default=5.0,
                        help="length of the steady-state window of each timed run")
    parser.add_argument("--warm-up-seconds", type=float, default=1.0)
    parser.add_argument("--launches", type=int, default=5,
                        help="launches per round for the time to first frame")
    parser.add_argument("--short-frames", type=int, default=50)
    parser.add_argument("--long-frames", type=int, default=550)
    args = parser.parse_args()
    if args.rounds < 1 or args.launches < 1 or args.long_frames <= args.short_frames:
        parser.error("need at least one round and one launch, and more long frames "
                     "than short ones")
    return args


# The command line, once main has read it.
ARGS = None


def start(x, args=(), binary=None, wrapper=()):
    """Start binary on the session's display with the frame counter."""
    return DrivenProgram(x, binary, os.path.abspath(ARGS.counter), args, wrapper=wrapper)


VALGRIND_TIMEOUT = 600
# How long a program may take to end after a close request, outside valgrind.
CLOSE_TIMEOUT = 10


def log(message):
    print(f"==> {message}", file=sys.stderr, flush=True)


def cpu_seconds(pid):
    """User and system CPU time of the whole process, all threads."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def first_frame_ms(x, binary, args=()):
    """Start binary on the session's display: the program, and the time in
    milliseconds from its launch to its first presented frame."""
    launched_ns = time.time_ns()
    program = start(x, args, binary=binary)
    program.wait_frames(1)
    return program, (program.counter.read().first_ns - launched_ns) / 1e6


def launch(binary, args=()):
    """Start binary on a new display, close it once its window is shown and
    drawn; return the milliseconds from its launch to its first frame."""
    with XSession() as x:
        program, ms = first_frame_ms(x, binary, args)
        program.wait_window()
        program.close(timeout=CLOSE_TIMEOUT)
    return ms


def timed_run(binary, args=()):
    """Frames per second, time to first frame, CPU per frame, peak memory.
    A single start-up moves a great deal with the machine's load, so the time
    to first frame is the median of several launches, each on a new display."""
    launches = [launch(binary, args) for _ in range(ARGS.launches - 1)]
    with XSession() as x:
        program, ms = first_frame_ms(x, binary, args)
        launches.append(ms)
        program.wait_window()
        time.sleep(ARGS.warm_up_seconds)  # the measurement's warm-up period
        frames0, cpu0, t0 = program.frames(), cpu_seconds(program.proc.pid), time.monotonic()
        time.sleep(ARGS.steady_seconds)  # the measurement window itself
        frames1, cpu1, t1 = program.frames(), cpu_seconds(program.proc.pid), time.monotonic()
        peak_kib = resident_kib(program.proc.pid, "VmHWM")
        program.close(timeout=CLOSE_TIMEOUT)
    frames = frames1 - frames0
    return {
        "fps": frames / (t1 - t0),
        "first_frame_ms": statistics.median(launches),
        "cpu_us_per_frame": (cpu1 - cpu0) / frames * 1e6,
        "peak_rss_mib": peak_kib / 1024,
    }


def valgrind_run(binary, tool, frames, out_file, args=(), options=()):
    """Run binary under a valgrind tool until it has presented this many
    frames, then close it; return the frames it presented in all."""
    with XSession() as x:
        program = start(x, args, binary=binary, wrapper=[
            "valgrind", f"--tool={tool}", f"--{tool}-out-file={out_file}", *options])
        program.wait_window(timeout=VALGRIND_TIMEOUT)
        program.wait_frames(frames, timeout=VALGRIND_TIMEOUT)
        program.close(timeout=VALGRIND_TIMEOUT)
        return program.frames()


def warm_shader_cache(out, subjects):
    """Point Mesa at a private shader cache and fill it: one unmeasured run of
    each subject natively and one under valgrind, whose emulated CPU makes the
    renderer compile for a different target."""
    os.environ["MESA_SHADER_CACHE_DIR"] = os.path.join(out, "shader-cache")
    os.environ.pop("MESA_SHADER_CACHE_DISABLE", None)
    for name, (binary, args) in subjects.items():
        log(f"warming the shader cache: {name}")
        launch(binary, args)
        valgrind_run(binary, "callgrind", 10, os.path.join(out, "warm-up.callgrind"),
                     args)


def callgrind_totals(out_file):
    """Instructions of the whole process and of its main thread, from a run
    with one profile per thread (out_file-01 is the main thread's)."""
    totals = {}
    for path in glob.glob(glob.escape(out_file) + "-*"):
        with open(path) as profile:
            totals[path.rsplit("-", 1)[1]] = int(
                re.search(r"^totals:\s+(\d+)", profile.read(), re.M).group(1))
    return sum(totals.values()), totals["01"]


def short_and_long(name, tool, binary, tmp, round_number, args=(), options=()):
    """Run binary under tool for the short and the long number of frames: the
    frames presented and the tool's output file, for each."""
    runs = []
    for length, frames in (("short", ARGS.short_frames), ("long", ARGS.long_frames)):
        out_file = os.path.join(tmp, f"{name.replace(' ', '')}-{round_number}-{tool}-"
                                     f"{length}.out")
        runs.append((valgrind_run(binary, tool, frames, out_file, args, options), out_file))
    return runs


def instructions_per_frame(name, binary, tmp, round_number, args=()):
    """Instructions per steady-state frame, of the whole process and of its
    main thread: a short and a long callgrind run, the difference in
    instructions over the difference in frames."""
    (short_frames, short_out), (long_frames, long_out) = short_and_long(
        name, "callgrind", binary, tmp, round_number, args, ["--separate-threads=yes"])
    short_all, short_main = callgrind_totals(short_out)
    long_all, long_main = callgrind_totals(long_out)
    frames = long_frames - short_frames
    return (long_all - short_all) / frames, (long_main - short_main) / frames


def frame_text(entry):
    """A DHAT stack frame without its address, so runs can be compared."""
    return entry.split(": ", 1)[-1]


def allocation_sites(out_file, program_path):
    """Blocks allocated per allocating site: the innermost frame outside the
    allocator, keyed by its text; and the module each site is in."""
    with open(out_file) as profile:
        data = json.load(profile)
    table = data["ftbl"]
    blocks, modules = {}, {}
    for point in data["pps"]:
        frames = [frame_text(table[i]) for i in point["fs"]]
        site = next((f for f in frames if not ALLOCATOR.search(f)), frames[-1])
        module = re.search(r"\(in (.*)\)$", site)
        # A frame with neither symbol nor module is most likely code made at
        # run time, such as the software renderer's compiled shaders.
        path = module.group(1) if module else (
            "no module (run-time code)" if site.startswith("???") else site)
        blocks[site] = blocks.get(site, 0) + point["tbk"]
        modules[site] = (PROGRAM + " (own code)" if os.path.realpath(path) == program_path
                         else os.path.basename(path))
    return blocks, modules


def profiled_run(name, binary, tmp, round_number, args=()):
    """Instructions and heap allocations per steady-state frame."""
    instructions, main_thread = instructions_per_frame(name, binary, tmp, round_number,
                                                       args)
    results = {"instructions_per_frame": instructions,
               "main_thread_instructions_per_frame": main_thread}
    (short_frames, short_out), (long_frames, long_out) = short_and_long(
        name, "dhat", binary, tmp, round_number, args)
    program_path = os.path.realpath(binary)
    short_blocks, modules = allocation_sites(short_out, program_path)
    long_blocks, long_modules = allocation_sites(long_out, program_path)
    modules.update(long_modules)
    per_module = {}
    for site in set(short_blocks) | set(long_blocks):
        extra = long_blocks.get(site, 0) - short_blocks.get(site, 0)
        if extra:
            per_module[modules[site]] = per_module.get(modules[site], 0) + extra
    frames = long_frames - short_frames
    results["allocations_per_frame"] = sum(per_module.values()) / frames
    results["own_allocations_per_frame"] = per_module.get(PROGRAM + " (own code)", 0) / frames
    results["allocations_by_module"] = {m: n / frames for m, n in sorted(per_module.items())}
    return results


def machine_description():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = re.search(r"^model name\s*:\s*(.*)$", info.read(), re.M).group(1)
    except (OSError, AttributeError):
        pass
    with XSession(window_manager=False) as x:
        renderer = field("OpenGL renderer string", x.glx_info()) or "unknown renderer"
    return {"cpu": cpu, "cores": os.cpu_count(), "renderer": renderer,
            "system": platform.platform(), "date": time.strftime("%Y-%m-%d")}


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def spread(form, s):
    return f"{form.format(s['median'])} ({form.format(s['min'])}–{form.format(s['max'])})"


def ratio_text(ratio):
    return f"{ratio['median']:.2f}× ({ratio['min']:.2f}–{ratio['max']:.2f})" if ratio else "—"


def render_markdown(report):
    machine = report["machine"]
    results = report["results"]
    lines = [
        f"Measured on {machine['date']}: {machine['cpu']} ({machine['cores']} cores), "
        f"{machine['system']}, renderer {machine['renderer']} on Xvfb; "
        f"{report['rounds']} round{'s' if report['rounds'] != 1 else ''}, alternating.",
        "",
        f"| measure | {PROGRAM}: median (min–max) | `{HEADLINE}`: median (min–max) | "
        f"ratio | target | `{LIMIT}`, the limit: median | ratio to the limit |",
        "|---|---|---|---|---|---|---|",
    ]
    for key, label, unit, form, target in METRICS:
        ratio = report["ratios"].get(key)
        check = report["targets"].get(key)
        cells = [label + (f" ({unit})" if unit else ""),
                 spread(form, results[PROGRAM][key]), spread(form, results[HEADLINE][key]),
                 ratio_text(ratio),
                 f"{check['target']}: {'met' if check['met'] else 'missed'}" if check else "",
                 form.format(results[LIMIT][key]["median"]),
                 ratio_text(report["ratios_to_limit"].get(key))]
        lines.append("| " + " | ".join(cells) + " |")
    lines += ["", "Heap allocations per steady-state frame by where they are made "
                  "(median over rounds):", "",
              "| made in | " + " | ".join(SUBJECTS) + " |", "|---|---|---|---|"]
    by_module = report["allocations_by_module"]
    modules = sorted(set().union(*(by_module[name] for name in SUBJECTS)))
    for module in modules:
        lines.append("| " + " | ".join(
            [module] + [f"{by_module[name].get(module, 0):.2f}" for name in SUBJECTS]) + " |")
    if not modules:
        lines.append("| (none) | 0 | 0 | 0 |")
    return "\n".join(lines) + "\n"


def render_chart(report, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [(label, report["ratios"][key], report["ratios_to_limit"].get(key), target)
             for key, label, _, _, target in METRICS if key in report["ratios"]]
    fig, ax = plt.subplots(figsize=(9, 4.5), dpi=100)
    height = 0.38
    for offset, which, colour, name in ((-height / 2, 1, "#3a7d44", f"/ {HEADLINE}"),
                                        (height / 2, 2, "#9e9e9e", f"/ {LIMIT} (the limit)")):
        rows = [(y, row[which]) for y, row in enumerate(shown) if row[which]]
        ax.barh([y + offset for y, _ in rows], [r["median"] for _, r in rows], height,
                xerr=[[r["median"] - r["min"] for _, r in rows],
                      [r["max"] - r["median"] for _, r in rows]],
                color=colour, capsize=3, label=name)
    for y, (_, _, _, target) in enumerate(shown):
        if target and target[0] != "=":
            ax.plot([target[1]] * 2, [y - 0.45, y + 0.05], color="#b03a2e", linewidth=2)
    ax.axvline(1.0, color="black", linewidth=1)
    ax.set_yticks(range(len(shown)), [label for label, *_ in shown])
    ax.invert_yaxis()
    ax.legend(loc="lower right", fontsize=8)
    ax.set_xlabel("ratio: median of the rounds, bars min–max; red: target")
    ax.set_title(f"{PROGRAM} against the floor that blends, {report['machine']['renderer']}",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main():
    global ARGS
    ARGS = parse_args()
    os.makedirs(ARGS.out, exist_ok=True)
    tmp = os.path.join(ARGS.out, "runs")
    os.makedirs(tmp, exist_ok=True)
    floor = os.path.abspath(ARGS.floor)
    # name: binary and arguments.
    subjects = {PROGRAM: (os.path.abspath(ARGS.program), ()),
                BLENDED_FLOOR: (floor, ("--blend",)),
                FLOOR: (floor, ())}
    warm_shader_cache(ARGS.out, subjects)
    per_round = {name: [] for name in subjects}
    for round_number in range(1, ARGS.rounds + 1):
        order = list(subjects) if round_number % 2 else list(reversed(subjects))
        for name in order:
            binary, args = subjects[name]
            log(f"round {round_number}/{ARGS.rounds}: {name}")
            result = timed_run(binary, args)
            result.update(profiled_run(name, binary, tmp, round_number, args))
            per_round[name].append(result)

    def ratios(to):
        """Median and range of the paired ratios sfml-works / to, per figure
        that both have and that is never zero for to."""
        found = {}
        for key, *_ in METRICS:
            pairs = [(p.get(key), f.get(key)) for p, f in zip(per_round[PROGRAM],
                                                              per_round[to])]
            if all(f is not None and f > 0 for _, f in pairs):
                found[key] = summary([p / f for p, f in pairs])
        return found

    report = {
        "machine": machine_description(),
        "rounds": ARGS.rounds,
        "results": {name: {key: summary([r[key] for r in rounds])
                           for key, *_ in METRICS if key in rounds[0]}
                    for name, rounds in per_round.items()},
        "ratios": ratios(HEADLINE),
        "ratios_to_limit": ratios(LIMIT),
        "targets": {},
        "allocations_by_module": {},
        "per_round": per_round,
    }
    for key, *_, target in METRICS:
        if target and key in report["results"][PROGRAM]:
            ratio = report["ratios"].get(key)
            report["targets"][key] = {
                "target": target_text(target),
                "met": target_met(target, ratio and ratio["median"],
                                  report["results"][PROGRAM][key]["median"])}
    for name in SUBJECTS:
        rounds = per_round[name]
        modules = {m for r in rounds for m in r["allocations_by_module"]}
        report["allocations_by_module"][name] = {
            m: statistics.median(r["allocations_by_module"].get(m, 0) for r in rounds)
            for m in sorted(modules)}

    bad = [(name, key) for name, results in report["results"].items()
           for key, value in results.items() if not math.isfinite(value["median"])]
    bad += [(name, key) for name in SUBJECTS for key, *_ in METRICS
            if key not in report["results"][name]]
    bad += [("ratio", key) for key, *_, target in METRICS
            if target and target[0] != "=" and key not in report["ratios"]]
    if "instructions_per_frame" not in report["ratios_to_limit"]:
        bad.append((LIMIT, "instructions_per_frame"))
    if bad:
        raise SystemExit(f"bench: no figure for {bad}")

    markdown = render_markdown(report)
    with open(os.path.join(ARGS.out, "report.md"), "w") as out:
        out.write(markdown)
    with open(os.path.join(ARGS.out, "report.json"), "w") as out:
        json.dump(report, out, indent=2)
    render_chart(report, os.path.join(ARGS.out, "ratios.png"))
    print(markdown)
    log(f"wrote {os.path.join(ARGS.out, 'report.md')}, report.json and ratios.png")


if __name__ == "__main__":
    main()
