"""One figure per joint of the demo: position, velocity, acceleration and jerk over time.

The velocity panel holds what an engineer looks for first: the controller's
request, the command the actuator ran, the limits and the refusals. Red, and
red alone, marks the periods in which the boundary refused the joint's
command: a cross at the refused value, and the command line running on through
the period, where the actuator held its last command. On the position and
acceleration panels shaded spans show where the joint limiter's limits bound
(its Limit flags). The jerk panel shows one dot per period in which the
acceleration changed: the limiter changes it in single steps, so the jerk of a
period is mostly 0 or one step. The limits' figures are in the caption line
below the panels. Needs matplotlib.
"""
import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

import kestrel  # noqa: E402

# Which limit is shaded on which panel, in which colour.
SPANS = {
    "position": [(kestrel.Limit.POSITION, "position limit", "tab:brown"),
                 (kestrel.Limit.BRAKING, "braking distance", "tab:orange")],
    "velocity": [],  # the request, the command, the limits and the refusals alone (draw_velocity)
    "acceleration": [(kestrel.Limit.ACCELERATION, "acceleration limit", "tab:green"),
                     (kestrel.Limit.ACCELERATION_YIELDED, "acceleration gave way", "tab:olive")],
    "jerk": [],  # drawn as dots (draw_jerk): spans of single periods would be hairlines
}
JERK_DOTS = [(kestrel.Limit.JERK, "at the jerk limit", "tab:cyan"),
             (kestrel.Limit.JERK_YIELDED, "jerk gave way", "tab:pink")]
REFUSED = "red"  # the boundary's refusals, and nothing else


def runs(flags):
    """(first, last) index of every run of True in flags."""
    start = None
    for i, flag in enumerate(list(flags) + [False]):
        if flag and start is None:
            start = i
        elif not flag and start is not None:
            yield start, i - 1
            start = None


def draw_velocity(axis, times, samples, limits, envelope):
    """Request, command, limits and refusals, one legend entry each; the chart's top edge."""
    top = 1.3 * max(limits.max_velocity, envelope)
    desired = [s.desired for s in samples]
    axis.plot(times, desired, color="tab:gray", lw=0.8, label="request (controller; ▲▼ beyond the chart)")
    # Beyond the chart the request is marked at its edge, so it never just leaves.
    for sign, marker in ((1, "^"), (-1, "v")):
        beyond = [t for t, d in zip(times, desired) if sign * d > top]
        axis.plot(beyond, [sign * top * 0.97] * len(beyond), marker, color="tab:gray", ms=3,
                  markevery=max(1, len(beyond) // 60) if beyond else None)
    axis.plot(times, [s.velocity for s in samples], color="black", lw=2, zorder=3,
              label="command the actuator ran (after limiter and Governor)")
    for value in (-limits.max_velocity, limits.max_velocity):
        axis.axhline(value, color="black", ls="--", lw=0.8,
                     label="limits: joint ±max velocity (dashed), Governor envelope (dotted)" if value > 0 else None)
    for value in (-envelope, envelope):
        axis.axhline(value, color="tab:purple", ls=":", lw=1)
    refusals = [(t, s.refused) for t, s in zip(times, samples) if s.refused is not None]
    for t, value in refusals:
        # A NaN, or a value beyond the chart, is crossed at the chart's edge.
        shown = top * 0.9 if value != value else max(-top * 0.9, min(top * 0.9, value))
        axis.plot([t], [shown], "x", color=REFUSED, ms=9, mew=2, zorder=4)
        axis.annotate(f"refused: {value:g} rad/s".replace("nan rad/s", "NaN"), (t, shown), xytext=(6, -3),
                      textcoords="offset points", color=REFUSED, fontsize=8)
    if refusals:
        axis.plot([], [], "x", ls="-", color=REFUSED, lw=1.2, ms=9, mew=2,
                  label="refused by the boundary (×); the actuator held its last command")
    axis.set_ylim(-top, top)  # the controller's requests go far beyond; the limits matter here
    axis.set_ylabel("velocity (rad/s)")


def shade(axis, times, period_ms, samples, spans):
    # A span of one or two periods would be thinner than a pixel: widen it.
    least = (times[-1] - times[0]) / 400
    handles = []
    for key, label, colour in spans:
        flags = [s.clamped if key == "clamped" else s.bound(key) for s in samples]
        for first, last in runs(flags):
            middle, half = (times[first] + times[last]) / 2, max(times[last] - times[first] + period_ms, least) / 2
            axis.axvspan(middle - half, middle + half, color=colour, alpha=0.25, lw=0)
        if any(flags):
            handles.append(Patch(color=colour, alpha=0.3, label=label))
    return handles


def limit_lines(axis, low, high, label):
    for value in (low, high):
        axis.axhline(value, color="black", ls="--", lw=0.8, label=label if value == high else None)


def draw_jerk(axis, times, jerk, samples, limit):
    """One dot per period with a jerk, coloured where the jerk limit (or its giving way) was flagged."""
    axis.axhline(0.0, color="black", lw=0.6)
    # Below 1 % of the limit: the rounding of single-precision commands, and slow easing.
    moving = [(t, j) for t, j in zip(times, jerk) if abs(j) > 0.01 * limit]
    axis.plot([t for t, _ in moving], [j for _, j in moving], "o", color="black", ms=3,
              label="jerk of each period in which the acceleration changed")
    for flag, label, colour in JERK_DOTS:
        flagged = [(t, j) for t, j, s in zip(times, jerk, samples) if s.bound(flag)]
        if flagged:
            axis.plot([t for t, _ in flagged], [j for _, j in flagged], "o", color=colour, ms=6, mfc="none",
                      mew=1.5, label=label)


def draw_joint(path, joint, samples, limits, envelope, period, name):
    """Write the figure of one joint's samples (control_loop.Sample) to path, PNG or SVG by its suffix."""
    period_ms = period * 1000
    times = [i * period_ms for i in range(len(samples))]
    velocity = [s.velocity for s in samples]
    acceleration = [(v - u) / period for u, v in zip([0.0] + velocity, velocity)]
    jerk = [(b - a) / period for a, b in zip([0.0] + acceleration, acceleration)]

    figure, axes = plt.subplots(4, 1, sharex=True, figsize=(12, 11), constrained_layout=True)
    position_axis, velocity_axis, acceleration_axis, jerk_axis = axes
    position_axis.plot(times, [s.position for s in samples], color="black", lw=1.2, label="position")
    limit_lines(position_axis, limits.min_position, limits.max_position, "position limits")
    position_axis.set_ylabel("position (rad)")

    draw_velocity(velocity_axis, times, samples, limits, envelope)

    acceleration_axis.plot(times, acceleration, color="black", lw=1, label="acceleration")
    limit_lines(acceleration_axis, -limits.max_acceleration, limits.max_acceleration, "±max acceleration")
    acceleration_axis.set_ylabel("acceleration (rad/s²)")

    draw_jerk(jerk_axis, times, jerk, samples, limits.max_jerk)
    limit_lines(jerk_axis, -limits.max_jerk, limits.max_jerk, "±max jerk")
    jerk_axis.set_ylim(-1.25 * limits.max_jerk, 1.25 * limits.max_jerk)
    jerk_axis.set_ylabel("jerk (rad/s³)")
    jerk_axis.set_xlabel("time (ms)")

    refused_at = [t for t, s in zip(times, samples) if s.refused is not None]
    for axis, panel in zip(axes, SPANS):
        extra = shade(axis, times, period_ms, samples, SPANS[panel])
        for t in refused_at:  # behind the curves, so the command shows through the refused period
            axis.axvline(t, color=REFUSED, lw=1, alpha=0.5, zorder=0)
        handles, _ = axis.get_legend_handles_labels()
        axis.legend(handles=handles + extra, loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=8)
        axis.grid(True, alpha=0.3)
    figure.suptitle(f"{name} over {len(samples) * period:g} s at {1 / period:g} Hz", fontsize=11)
    figure.supxlabel(f"Limits: position {limits.min_position:g} to {limits.max_position:g} rad, velocity "
                     f"±{limits.max_velocity:g} rad/s, acceleration ±{limits.max_acceleration:g} rad/s², jerk "
                     f"±{limits.max_jerk:g} rad/s³; the Governor's envelope ±{envelope:.7g} rad/s."
                     + ("\nRed: the periods in which the boundary refused the joint's command." if refused_at else ""),
                     fontsize=9)
    figure.savefig(path)
    plt.close(figure)
