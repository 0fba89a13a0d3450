#!/usr/bin/python3
"""Draws the benchmark's pictures from the data vorod-bench leaves in build/bench/
(see bench/BenchData.h): realtime.png from realtime.csv and roundtrip.png from
roundtrip.csv, each only when its data is there.

Usage: bench-pictures.py DATA_FOLDER PICTURE_FOLDER
"""
import csv
import os
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

PERIOD_MS = 96 / 48.0  # the strict runs' buffer period
SPACING_TOP_MS = 8.0  # spacings above this are marked just above the top
MODES = [("looped", "looped streaming"), ("standard", "standard streaming"),
         ("looped_usb", "looped, usb profile"), ("standard_usb", "standard, usb profile")]
LOADS = [("idle", "idle"), ("busy_core", "other core busy"),
         ("callback_70", "callback busy 70%")]
ROUND_TRIP_FRAMES = 288  # the driver's default buffer size
LOW_LATENCY_OFFSET = 48  # frames the low-latency mode plays after the host's period
ROUND_TRIP_MODES = MODES[:2] + [("looped_low", "looped, low latency"),
                                ("standard_low", "standard, low latency")]


def read_rows(path):
    with open(path, newline="") as file:
        return list(csv.DictReader(file))


def plural(count, word):
    return f"{count} {word}" + ("" if count == 1 else "s")


def draw_run(ax, events, title):
    """One strict run: the spacing of its callbacks over time, its drop-outs and
    the probe's late wakes."""
    times = [t for t, _ in events["switch"]]
    spacings = [s for _, s in events["switch"]]
    inside = [(t, s) for t, s in zip(times, spacings) if s <= SPACING_TOP_MS]
    above = [t for t, s in zip(times, spacings) if s > SPACING_TOP_MS]
    ax.axhline(PERIOD_MS, color="0.6", linestyle="--", linewidth=0.8, zorder=1)
    ax.scatter([t for t, _ in inside], [s for _, s in inside], s=2, color="tab:blue",
               linewidths=0, zorder=2, label="callback spacing")
    if above:
        ax.scatter(above, [SPACING_TOP_MS + 0.25] * len(above), marker="^", s=14,
                   color="tab:blue", zorder=2, label=f"spacing above {SPACING_TOP_MS:g} ms")
    # Drop-outs along the top, the probe's late wakes along the bottom, each
    # in a strip of its own outside the spacings' range.
    drops = events["dropout"]
    for t, _ in drops:
        ax.axvline(t, color="tab:red", alpha=0.3, linewidth=0.8, zorder=0)
    if drops:
        ax.scatter([t for t, _ in drops], [SPACING_TOP_MS + 0.8] * len(drops), marker="v",
                   s=22, color="tab:red", zorder=3, label="drop-out")
    breaks = [t for t, _ in events["break"]]
    if breaks:
        ax.scatter(breaks, [SPACING_TOP_MS + 0.8] * len(breaks), marker="x", s=16,
                   color="black", linewidths=0.8, zorder=4, label="break heard by the host")
    wakes = [t for t, _ in events["late_wake"]]
    if wakes:
        ax.scatter(wakes, [-0.5] * len(wakes), marker="|", s=40, color="tab:orange",
                   zorder=3, label="probe woke over a period late")
    for edge in (0, SPACING_TOP_MS):
        ax.axhline(edge, color="0.75", linewidth=0.6, zorder=1)
    dropped = int(sum(count for _, count in drops))
    ax.set_title(f"{title}: {plural(dropped, 'drop-out')}, {plural(len(breaks), 'break')}, "
                 f"the probe late {plural(len(wakes), 'time')}", fontsize=9)
    ax.set_ylim(-1, SPACING_TOP_MS + 1.2)
    ax.set_yticks(range(0, int(SPACING_TOP_MS) + 1, 2))
    ax.set_xlim(0, max(times) if times else 1)
    ax.grid(axis="y", color="0.9", linewidth=0.6)
    ax.tick_params(labelsize=8)


def draw_realtime(rows, path):
    runs = defaultdict(lambda: defaultdict(list))
    for row in rows:
        value = float(row["value"]) if row["value"] else None
        if row["kind"] == "switch" and value is None:
            continue
        runs[row["run"]][row["kind"]].append((float(row["seconds"]), value))
    loads = [(key, name) for key, name in LOADS
             if any(f"{mode}.{key}" in runs for mode, _ in MODES)]
    modes = [(mode, title) for mode, title in MODES
             if any(f"{mode}.{key}" in runs for key, _ in LOADS)]
    if not loads:
        return
    fig, axes = plt.subplots(len(loads), len(modes), figsize=(6 * len(modes), 2.6 * len(loads) + 1.2),
                             sharex=True, sharey=True, squeeze=False)
    for row, (key, name) in enumerate(loads):
        for column, (mode, title) in enumerate(modes):
            run = runs.get(f"{mode}.{key}")
            if run is None:
                axes[row][column].set_visible(False)
                continue
            draw_run(axes[row][column], run, f"{title}, {name}")
    for ax in axes[-1]:
        ax.set_xlabel("seconds into the run", fontsize=9)
    for row in axes:
        row[0].set_ylabel("ms since the\nprevious callback", fontsize=9)
    handles, labels = {}, []
    for ax in axes.flat:
        for handle, label in zip(*ax.get_legend_handles_labels()):
            if label not in handles:
                handles[label] = handle
                labels.append(label)
    labels.append(f"buffer period ({PERIOD_MS:g} ms)")
    handles[labels[-1]] = plt.Line2D([], [], color="0.6", linestyle="--", linewidth=0.8)
    fig.legend([handles[label] for label in labels], labels, loc="lower center",
               ncol=len(labels), fontsize=8, frameon=False)
    seconds = max(t for run in runs.values() for t, _ in run["switch"])
    fig.suptitle("Buffer switches of strict real-time runs at 96 frames against the virtual "
                 f"Vor OD ({seconds:.0f} s each), beside the bare platform probe", fontsize=11)
    fig.tight_layout(rect=(0, 0.04, 1, 0.97))
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"drawn: {path}")


def span(ax, start, end, height, text, color):
    """A labelled double arrow from start to end."""
    ax.annotate("", (start, height), (end, height),
                arrowprops=dict(arrowstyle="<->", color=color, linewidth=1, shrinkA=0,
                                shrinkB=0))
    ax.text((start + end) / 2, height + 0.03, text, ha="center", va="bottom", fontsize=8,
            color=color)


def draw_trip(ax, samples, info, end, offset):
    inputs, outputs = info["input_latency"], info["output_latency"]
    reported, measured = inputs + outputs, info["measured_frames"]
    frames = info["buffer_frames"]
    for boundary in range(0, end + 1, frames):
        ax.axvline(boundary, color="0.88", linewidth=0.8, zorder=0)
    full_scale = 2.0 ** 31
    for column, color, label in (("output0", "tab:blue", "click played on output 0"),
                                 ("input14", "tab:green", "heard on input 14")):
        hits = [(f, v / full_scale) for f, v in samples[column] if v != 0]
        for frame, value in hits:
            ax.vlines(frame, 0, value, color=color, linewidth=2)
            ax.plot(frame, value, "o", color=color, markersize=5)
            ax.text(frame + end / 150, value, label, fontsize=8, color=color, va="center")
    # What getLatencies reported, the output's and the input's laid end to
    # end, above the round trip measured from the click to its return.
    device = (outputs - offset) % frames
    span(ax, 0, outputs, 0.94,
         f"output latency {outputs}: {plural((outputs - offset) // frames, 'buffer')} + "
         + (f"{offset} offset + " if offset else "") + f"{device} of the device",
         "tab:blue")
    span(ax, outputs, reported, 0.82,
         f"input latency {inputs}: {plural(inputs // frames, 'buffer')} + {inputs % frames}",
         "tab:green")
    ax.text(reported + end / 150, 0.82, f"reported round trip: {reported}", fontsize=8,
            va="center")
    span(ax, 0, measured, 0.68, f"measured round trip: {measured} frames "
         f"({measured / 48.0:.1f} ms)", "tab:red")
    ax.set_xlim(-frames / 4, end)
    ax.set_xticks(range(0, end + 1, frames))
    ax.set_ylim(0, 1.05)
    ax.set_yticks([0, 0.25, 0.5])
    ax.set_ylabel("sample / full scale", fontsize=9)
    ax.tick_params(labelsize=8)


def draw_roundtrip(rows, path):
    trips = defaultdict(lambda: {"output0": [], "input14": []})
    infos = {}
    for row in rows:
        key = (row["mode"], int(row["buffer_frames"]))
        infos[key] = {name: int(row[name]) for name in
                      ("buffer_frames", "input_latency", "output_latency", "measured_frames")}
        for column in ("output0", "input14"):
            trips[key][column].append((int(row["frame"]), int(row[column])))
    keys = [(mode, ROUND_TRIP_FRAMES) for mode, _ in ROUND_TRIP_MODES
            if (mode, ROUND_TRIP_FRAMES) in trips]
    titles = dict(ROUND_TRIP_MODES)
    if not keys:
        return
    end = max(max(info["input_latency"] + info["output_latency"], info["measured_frames"])
              for key, info in infos.items() if key in keys) + 2 * ROUND_TRIP_FRAMES
    fig, axes = plt.subplots(len(keys), 1, figsize=(12, 2.9 * len(keys) + 0.8), sharex=True,
                             squeeze=False)
    for ax, key in zip(axes[:, 0], keys):
        draw_trip(ax, trips[key], infos[key], end, LOW_LATENCY_OFFSET if key[0].endswith("_low") else 0)
        ax.set_title(f"{titles[key[0]]}, {key[1]}-frame buffers (grey lines: the host's "
                     "buffer switches)", fontsize=9)
    axes[-1][0].set_xlabel("frames after the click left the host's output buffer (48 kHz)",
                           fontsize=9)
    fig.suptitle("A click played on output 0 and heard back on input 14 through the virtual "
                 "Vor OD's loopback", fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 0.96))
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"drawn: {path}")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    data, pictures = sys.argv[1], sys.argv[2]
    for name, draw in (("realtime", draw_realtime), ("roundtrip", draw_roundtrip)):
        source = os.path.join(data, name + ".csv")
        if os.path.exists(source):
            draw(read_rows(source), os.path.join(pictures, name + ".png"))


if __name__ == "__main__":
    main()
