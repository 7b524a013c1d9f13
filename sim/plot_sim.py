"""Plots a run of kestrel_sim: per joint, the commanded and measured position
against the limits, and the velocity the controller requested, the one the
chain commanded and the one measured, against the limits; the monitor's
stopped states shaded and the run's events marked.

    python3 sim/plot_sim.py RUN.csv OUT.png

The joints, their units and limits come from RUN.joints.csv, which
kestrel_sim writes beside the run from the model it compiled. read_joints and
read_run are the one reader of both files; the simulation's tests use them too.
"""
import argparse
import collections
import csv
import pathlib
import sys
from typing import NamedTuple

STATES = ("run", "stopping", "standstill", "torque off")
# Events drawn as a line across both plots of a joint; the others (refused
# frames, stop requests) as a tick on its velocity.
MOMENTS = ("watchdog_expired", "operator_stop", "collision", "monitor")


class Joint(NamedTuple):
    name: str
    unit: str
    min_position: float
    max_position: float
    max_velocity: float
    max_acceleration: float
    max_jerk: float
    max_torque: float
    home: float


def joints_path(run):
    """The joints file kestrel_sim writes beside the CSV `run`."""
    run = pathlib.Path(run)
    return run.with_name((run.stem if run.suffix == ".csv" else run.name) + ".joints.csv")


def read_joints(path):
    """The driven joints of a run, in order, as kestrel_sim read them from the compiled model."""
    with open(path, newline="", encoding="utf-8") as stream:
        return [Joint(row["name"], row["unit"], *(float(row[field]) for field in Joint._fields[2:]))
                for row in csv.DictReader(stream)]


class Series(NamedTuple):
    time: list
    requested: list
    commanded_position: list
    commanded: list  # velocity
    position: list
    velocity: list
    torque: list
    state: list
    events: list  # (time, measured velocity, event) for every event of the joint


def read_run(path):
    """The CSV of one run, as one Series per joint index."""
    series = collections.defaultdict(lambda: Series(*([] for _ in Series._fields)))
    with open(path, newline="", encoding="utf-8") as stream:
        for row in csv.DictReader(stream):
            joint = series[int(row["joint"])]
            time, velocity = float(row["time_s"]), float(row["measured_velocity"])
            for column, field in (("time_s", joint.time), ("requested_velocity", joint.requested),
                                  ("commanded_position", joint.commanded_position),
                                  ("commanded_velocity", joint.commanded), ("measured_position", joint.position),
                                  ("measured_velocity", joint.velocity), ("torque", joint.torque)):
                field.append(float(row[column]))
            joint.state.append(int(row["monitor_state"]))
            joint.events.extend((time, velocity, event) for event in row["event"].split(";") if event)
    return dict(series)


def import_pyplot():
    try:
        import matplotlib
    except ModuleNotFoundError:
        sys.exit(f"plot_sim.py: matplotlib is not installed for {sys.executable}. Either run this script with "
                 "Debian's /usr/bin/python3 after `apt-get install python3-matplotlib`, or install matplotlib "
                 "into this interpreter's own environment.")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def shade_stops(axis, series):
    """Shades the periods in which the monitor held the arm in a state other than run."""
    start = None
    for time, state in zip(series.time + [None], series.state + [0]):
        if state and start is None:
            start = time
        elif not state and start is not None:
            axis.axvspan(start, time if time is not None else series.time[-1], color="tab:red", alpha=0.08,
                         label="monitor stopped")
            start = None


def plot(run, joints, output, title):
    plt = import_pyplot()
    figure, axes = plt.subplots(len(joints), 2, figsize=(13, 2.1 * len(joints) + 0.6), sharex=True, squeeze=False)
    kinds = sorted({event for series in run.values() for _, _, event in series.events})
    colours = dict(zip(kinds, plt.get_cmap("tab10").colors[3:] * 3))
    for index, joint in enumerate(joints):
        series = run[index]
        position, velocity = axes[index]
        position.plot(series.time, series.commanded_position, color="tab:orange", linewidth=2.5, alpha=0.6,
                      label="commanded")
        position.plot(series.time, series.position, color="tab:blue", linewidth=1.0, label="measured")
        for limit in (joint.min_position, joint.max_position):
            position.axhline(limit, color="black", linestyle="--", linewidth=0.8)
        position.set_ylabel(f"{index} {joint.name}\n{joint.unit}")
        # The request may be far beyond what the joint may do: drawn, but the
        # scale is the limits'.
        velocity.plot(series.time, series.requested, color="tab:green", linewidth=0.8, alpha=0.7,
                      label="requested")
        velocity.plot(series.time, series.commanded, color="tab:orange", linewidth=2.5, alpha=0.6,
                      label="commanded")
        velocity.plot(series.time, series.velocity, color="tab:blue", linewidth=1.0, label="measured")
        for limit in (-joint.max_velocity, joint.max_velocity):
            velocity.axhline(limit, color="black", linestyle="--", linewidth=0.8)
        finite = [abs(value) for value in series.velocity if value == value]
        reach = max([joint.max_velocity] + finite) * 1.15
        velocity.set_ylim(-reach, reach)
        velocity.set_ylabel(f"{joint.unit}/s")
        for axis in (position, velocity):
            shade_stops(axis, series)
        for kind in kinds:
            marked = [(time, value) for time, value, event in series.events if event == kind]
            if not marked:
                continue
            times, values = zip(*marked)
            if kind.startswith(MOMENTS):
                for axis in (position, velocity):
                    for time in times:
                        axis.axvline(time, color=colours[kind], linewidth=1.2, label=kind)
            else:
                velocity.plot(times, values, linestyle="none", marker="|", markersize=14, color=colours[kind],
                              label=kind)
    axes[0][0].set_title("position: commanded and measured (limits dashed)")
    axes[0][1].set_title("velocity: requested, commanded and measured (limits dashed)")
    for column in axes[-1]:
        column.set_xlabel("time (s)")
    handles = {}
    for row in axes:
        for axis in row:
            for handle, label in zip(*axis.get_legend_handles_labels()):
                handles.setdefault(label, handle)
    figure.legend(handles.values(), handles.keys(), loc="upper center", ncol=min(len(handles), 6),
                  bbox_to_anchor=(0.5, 1.0), frameon=False)
    figure.suptitle(title, y=1.0 + 0.5 / (2.1 * len(joints) + 0.6))
    figure.tight_layout(rect=(0, 0, 1, 1 - 0.6 / (2.1 * len(joints) + 0.6)))
    figure.savefig(output, bbox_inches="tight", dpi=80)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv", help="a CSV written by kestrel_sim --csv")
    parser.add_argument("output", help="the picture to write (PNG or SVG, by the extension)")
    arguments = parser.parse_args()
    try:
        joints = read_joints(joints_path(arguments.csv))
        run = read_run(arguments.csv)
    except (OSError, KeyError, ValueError) as error:
        parser.error(f"{arguments.csv}: {error}")
    if sorted(run) != list(range(len(joints))):
        parser.error(f"{arguments.csv}: joints {sorted(run)}, but {joints_path(arguments.csv)} has {len(joints)}")
    plot(run, joints, arguments.output, pathlib.Path(arguments.csv).stem)


if __name__ == "__main__":
    main()
