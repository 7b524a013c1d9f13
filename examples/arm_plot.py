"""One figure per joint of the demo: position, velocity, acceleration and jerk over time.

Shaded spans show where each of the joint limiter's limits bound (its Limit
flags) and where the Governor clamped; red lines mark the periods in which
the boundary refused the joint's command. Needs matplotlib.
"""
import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

import kestrel  # noqa: E402

# Which limit is shaded on which panel, in which colour.
SPANS = {
    "position": [(kestrel.Limit.POSITION, "position limit", "tab:red"),
                 (kestrel.Limit.BRAKING, "braking distance", "tab:orange")],
    "velocity": [(kestrel.Limit.VELOCITY, "velocity limit", "tab:blue"),
                 ("clamped", "Governor clamped", "tab:purple"),
                 (kestrel.Limit.STOP_REQUEST, "stop request (NaN)", "tab:gray")],
    "acceleration": [(kestrel.Limit.ACCELERATION, "acceleration limit", "tab:green"),
                     (kestrel.Limit.ACCELERATION_YIELDED, "acceleration gave way", "tab:olive")],
    "jerk": [(kestrel.Limit.JERK, "jerk limit", "tab:cyan"),
             (kestrel.Limit.JERK_YIELDED, "jerk gave way", "tab:pink")],
}


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

    velocity_axis.plot(times, [s.desired for s in samples], color="tab:gray", lw=0.8, label="desired (controller)")
    velocity_axis.plot(times, [s.limited for s in samples], color="tab:blue", lw=3, alpha=0.5,
                       label="limited (joint limiter)")
    velocity_axis.plot(times, velocity, color="black", lw=1.2, label="commanded (after Governor)")
    limit_lines(velocity_axis, -limits.max_velocity, limits.max_velocity, "±max velocity")
    for value in (-envelope, envelope):
        velocity_axis.axhline(value, color="tab:purple", ls=":", lw=1, label="±Governor envelope" if value > 0 else None)
    top = 1.3 * max(limits.max_velocity, envelope)
    velocity_axis.set_ylim(-top, top)  # the controller's requests go far beyond; the limits matter here
    velocity_axis.set_ylabel("velocity (rad/s)")

    acceleration_axis.plot(times, acceleration, color="black", lw=1, label="acceleration")
    limit_lines(acceleration_axis, -limits.max_acceleration, limits.max_acceleration, "±max acceleration")
    acceleration_axis.set_ylabel("acceleration (rad/s²)")

    jerk_axis.plot(times, jerk, color="black", lw=0.8, label="jerk")
    limit_lines(jerk_axis, -limits.max_jerk, limits.max_jerk, "±max jerk")
    jerk_axis.set_ylabel("jerk (rad/s³)")
    jerk_axis.set_xlabel("time (ms)")

    refusals = [(t, s.refused) for t, s in zip(times, samples) if s.refused is not None]
    for axis, panel in zip(axes, SPANS):
        extra = shade(axis, times, period_ms, samples, SPANS[panel])
        for t, _ in refusals:
            axis.axvline(t, color="red", lw=1.2)
        if refusals:
            extra.append(plt.Line2D([], [], color="red", lw=1.2, label="boundary refused"))
        handles, _ = axis.get_legend_handles_labels()
        axis.legend(handles=handles + extra, loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=8)
        axis.grid(True, alpha=0.3)
    for t, value in refusals:
        velocity_axis.annotate(f"refused: {value:g} rad/s".replace("nan rad/s", "NaN"), (t, top * 0.85), xytext=(4, 0),
                               textcoords="offset points", color="red", fontsize=8)
    figure.suptitle(f"{name}: position {limits.min_position:g} to {limits.max_position:g} rad, "
                    f"velocity ±{limits.max_velocity:g} rad/s, acceleration ±{limits.max_acceleration:g} rad/s², "
                    f"jerk ±{limits.max_jerk:g} rad/s³; Governor envelope ±{envelope:.7g} rad/s; "
                    f"{1 / period:g} Hz", fontsize=10)
    figure.savefig(path)
    plt.close(figure)
