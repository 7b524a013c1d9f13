"""One figure per joint of the demo: position, velocity, acceleration and jerk over time.

Shaded spans show where each of the joint limiter's limits bound (its Limit
flags) and where the Governor clamped; red lines, and red alone, mark the
periods in which the boundary refused the joint's command. The jerk panel
shows one dot per period whose jerk is not zero: the limiter changes the
acceleration in single steps, so the jerk of a period is mostly 0 or one
step. Needs matplotlib.
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
    "velocity": [(kestrel.Limit.VELOCITY, "velocity limit", "tab:blue"),
                 ("clamped", "Governor clamped", "tab:purple"),
                 (kestrel.Limit.STOP_REQUEST, "stop request (NaN)", "tab:gray"),
                 (kestrel.Limit.ARRIVAL, "arrival (eased onto the request)", "gold")],
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
              label="jerk of a period (elsewhere below 1 % of the limit)")
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

    top = 1.3 * max(limits.max_velocity, envelope)
    desired = [s.desired for s in samples]
    velocity_axis.plot(times, desired, color="tab:gray", lw=0.8, label="desired (controller)")
    # Beyond the chart the request is marked at its edge, so it never just leaves.
    for sign, marker in ((1, "^"), (-1, "v")):
        beyond = [t for t, d in zip(times, desired) if sign * d > top]
        velocity_axis.plot(beyond, [sign * top * 0.97] * len(beyond), marker, color="tab:gray", ms=3,
                           markevery=max(1, len(beyond) // 60) if beyond else None,
                           label="desired beyond the chart" if sign > 0 and beyond else None)
    # The command is drawn wide and the limiter's result on top of it, dashed:
    # where they agree, the dashes run along the command.
    velocity_axis.plot(times, velocity, color="black", lw=2.6, label="commanded (after Governor)")
    velocity_axis.plot(times, [s.limited for s in samples], color="tab:green", lw=1.3, ls=(0, (4, 3)),
                       label="limited (joint limiter)")
    limit_lines(velocity_axis, -limits.max_velocity, limits.max_velocity, "±max velocity")
    for value in (-envelope, envelope):
        velocity_axis.axhline(value, color="tab:purple", ls=":", lw=1, label="±Governor envelope" if value > 0 else None)
    velocity_axis.set_ylim(-top, top)  # the controller's requests go far beyond; the limits matter here
    velocity_axis.set_ylabel("velocity (rad/s)")

    acceleration_axis.plot(times, acceleration, color="black", lw=1, label="acceleration")
    limit_lines(acceleration_axis, -limits.max_acceleration, limits.max_acceleration, "±max acceleration")
    acceleration_axis.set_ylabel("acceleration (rad/s²)")

    draw_jerk(jerk_axis, times, jerk, samples, limits.max_jerk)
    limit_lines(jerk_axis, -limits.max_jerk, limits.max_jerk, "±max jerk")
    jerk_axis.set_ylim(-1.25 * limits.max_jerk, 1.25 * limits.max_jerk)
    jerk_axis.set_ylabel("jerk (rad/s³)")
    jerk_axis.set_xlabel("time (ms)")

    refusals = [(t, s.refused) for t, s in zip(times, samples) if s.refused is not None]
    for axis, panel in zip(axes, SPANS):
        extra = shade(axis, times, period_ms, samples, SPANS[panel])
        for t, _ in refusals:
            axis.axvline(t, color=REFUSED, lw=1.2)
        if refusals and axis is velocity_axis:  # one legend entry; the lines cross every panel
            extra.append(plt.Line2D([], [], color=REFUSED, lw=1.2, label="boundary refused (all panels)"))
        handles, _ = axis.get_legend_handles_labels()
        axis.legend(handles=handles + extra, loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=8)
        axis.grid(True, alpha=0.3)
    for t, value in refusals:
        velocity_axis.annotate(f"refused: {value:g} rad/s".replace("nan rad/s", "NaN"), (t, top * 0.85), xytext=(4, 0),
                               textcoords="offset points", color=REFUSED, fontsize=8)
    figure.suptitle(f"{name}: position {limits.min_position:g} to {limits.max_position:g} rad, "
                    f"velocity ±{limits.max_velocity:g} rad/s, acceleration ±{limits.max_acceleration:g} rad/s², "
                    f"jerk ±{limits.max_jerk:g} rad/s³; Governor envelope ±{envelope:.7g} rad/s; "
                    f"{1 / period:g} Hz", fontsize=10)
    figure.savefig(path)
    plt.close(figure)
