/*
 * kestrel_ros2_plant.h - what kestrel_ros2's actuator role drives: the hook a
 * real driver implements. Each period the role hands the plant the accepted,
 * limited commands of every joint (after the receipt guard, the watchdog and
 * its own joint limiter), then reads back what the plant measured for
 * sensor_msgs/JointState.
 *
 * `--plant loopback` is kestrel_ros2_loopback_plant: an integrator of the
 * commanded velocities, for tests and demonstrations. A driver fills a
 * KestrelRos2Plant with its own functions; both are called from the control
 * loop's one thread, once per period, and must not block for long.
 *
 * With the monitor (on unless --no-monitor), measure's positions and
 * velocities are what the monitor judges: a driver must report what the
 * encoders and the drive measured, never the command echoed back, and a
 * fault as non-zero (the monitor then trips on the missing measurement). Once
 * the monitor says TORQUE_OFF, apply is called every period with every
 * velocity 0: a driver must then cut the torque (open its drive's STO input,
 * or disable the power stage) rather than servo to zero velocity, and keep it
 * off until the actuator role is restarted; the loopback plant just stops.
 */
#ifndef KESTREL_ROS2_PLANT_H
#define KESTREL_ROS2_PLANT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KestrelRos2Plant {
    void *context; /* the driver's own state, passed to both functions */
    /* apply commands joints[0..count-1] to move at velocities[j] (rad/s or
     * m/s) for the next period seconds, along the commanded positions[j];
     * returns 0, or non-zero for a fault (counted as plant_faults). */
    int (*apply)(void *context, uint32_t count, const double *positions, const double *velocities, double period);
    /* measure writes the joints' measured positions, velocities and efforts
     * (NaN where the plant does not measure one) and returns 0, or non-zero
     * for a fault (counted; the state is then not published). */
    int (*measure)(void *context, uint32_t count, double *positions, double *velocities, double *efforts);
} KestrelRos2Plant;

/* The loopback plant of count joints starting at positions: its position is
 * the sum of velocity * period applied, its velocity the last applied, its
 * effort NaN. Free it with kestrel_ros2_loopback_plant_free. Null when out of
 * memory. */
KestrelRos2Plant *kestrel_ros2_loopback_plant_new(uint32_t count, const double *positions);
void kestrel_ros2_loopback_plant_free(KestrelRos2Plant *plant);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_ROS2_PLANT_H */
