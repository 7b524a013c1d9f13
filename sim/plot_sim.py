"""Plots a run of kestrel_sim: per joint, the measured position against its
limits and the measured velocity against the commanded one and its limits,
with the run's events marked.

    python3 sim/plot_sim.py RUN.csv OUT.png [--model sim/arm.xml]

read_datasheet and read_run are the one reader of the model's limits and of
a run's CSV; the simulation's tests use them too.
"""
import argparse
import collections
import csv
import pathlib
import xml.etree.ElementTree as ElementTree
from typing import NamedTuple

MODEL = pathlib.Path(__file__).resolve().parent / "arm.xml"


class Joint(NamedTuple):
    name: str
    min_position: float
    max_position: float
    max_velocity: float
    max_acceleration: float
    max_jerk: float


def read_datasheet(model=MODEL):
    """The joints of the model, in order, with the limits kestrel_sim reads from it."""
    root = ElementTree.parse(model).getroot()
    numerics = {numeric.get("name"): [float(value) for value in numeric.get("data").split()]
                for numeric in root.iter("numeric")}
    joints = []
    for index, joint in enumerate(root.find("worldbody").iter("joint")):
        low, high = (float(value) for value in joint.get("range").split())
        joints.append(Joint(joint.get("name"), low, high, numerics["max_velocity"][index],
                            numerics["max_acceleration"][index], numerics["max_jerk"][index]))
    return joints


class Series(NamedTuple):
    time: list
    position: list
    velocity: list
    commanded: list
    events: list  # (time, measured velocity, event) for every event of the joint


def read_run(path):
    """The CSV of one run, as one Series per joint index."""
    series = collections.defaultdict(lambda: Series([], [], [], [], []))
    with open(path, newline="", encoding="utf-8") as stream:
        for row in csv.DictReader(stream):
            joint = series[int(row["joint"])]
            time, velocity = float(row["time_s"]), float(row["measured_velocity"])
            joint.time.append(time)
            joint.position.append(float(row["measured_position"]))
            joint.velocity.append(velocity)
            joint.commanded.append(float(row["commanded_velocity"]))
            joint.events.extend((time, velocity, event) for event in row["event"].split(";") if event)
    return dict(series)


def plot(run, joints, output, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(len(joints), 2, figsize=(13, 2.1 * len(joints)), sharex=True, squeeze=False)
    kinds = sorted({event for series in run.values() for _, _, event in series.events})
    # Past blue and orange, which draw the measured and commanded lines.
    colours = dict(zip(kinds, plt.get_cmap("tab10").colors[2:] * 2))
    for index, joint in enumerate(joints):
        series = run[index]
        position, velocity = axes[index]
        position.plot(series.time, series.position, color="tab:blue", label="measured")
        for limit in (joint.min_position, joint.max_position):
            position.axhline(limit, color="black", linestyle="--", linewidth=0.8)
        position.set_ylabel(f"{index} {joint.name}\nrad")
        velocity.plot(series.time, series.commanded, color="tab:orange", linewidth=2.5, alpha=0.6,
                      label="commanded")
        velocity.plot(series.time, series.velocity, color="tab:blue", linewidth=1.0, label="measured")
        for limit in (-joint.max_velocity, joint.max_velocity):
            velocity.axhline(limit, color="black", linestyle="--", linewidth=0.8)
        velocity.set_ylabel("rad/s")
        for kind in kinds:
            marked = [(time, value) for time, value, event in series.events if event == kind]
            if marked:
                times, values = zip(*marked)
                velocity.plot(times, values, linestyle="none", marker="|", markersize=14,
                              color=colours[kind], label=kind)
    axes[0][0].set_title("position (limits dashed)")
    axes[0][1].set_title("velocity: commanded and measured (limits dashed)")
    for column in axes[-1]:
        column.set_xlabel("time (s)")
    handles = {}
    for row in axes:
        for axis in row:
            for handle, label in zip(*axis.get_legend_handles_labels()):
                handles.setdefault(label, handle)
    figure.legend(handles.values(), handles.keys(), loc="upper center", ncol=min(len(handles), 6),
                  bbox_to_anchor=(0.5, 1.0), frameon=False)
    figure.suptitle(title, y=1.02)
    figure.tight_layout(rect=(0, 0, 1, 0.97))
    figure.savefig(output, bbox_inches="tight", dpi=80)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv", help="a CSV written by kestrel_sim --csv")
    parser.add_argument("output", help="the picture to write (PNG or SVG, by the extension)")
    parser.add_argument("--model", default=MODEL, help="the model the run used (default: %(default)s)")
    arguments = parser.parse_args()
    joints = read_datasheet(arguments.model)
    run = read_run(arguments.csv)
    if sorted(run) != list(range(len(joints))):
        parser.error(f"{arguments.csv}: joints {sorted(run)}, but the model has {len(joints)}")
    plot(run, joints, arguments.output, pathlib.Path(arguments.csv).stem)


if __name__ == "__main__":
    main()
