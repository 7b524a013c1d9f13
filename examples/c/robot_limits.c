/*
 * robot_limits.c - a joint limiter built from a robot's own files.
 *
 *   robot_limits ROBOT.urdf [joint_limits.yaml]
 *
 * Reads the joint limits of the URDF's movable joints (narrowed by its soft
 * limits, completed by the YAML's acceleration and jerk limits), prints each
 * with the source of every value and the reader's warnings on stderr, builds a KestrelJointLimiter from them at
 * 1 kHz and runs one second of an over-fast request through it. Exits 1 if
 * the files cannot give limits (the message names the file, line, joint and
 * field), 2 if the limiter refuses them.
 */
#include <math.h>
#include <stdio.h>

#include <kestrel_description.h>
#include <kestrel_joint_limiter.h>

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        fputs("usage: robot_limits ROBOT.urdf [joint_limits.yaml]\n", stderr);
        return 2;
    }
    const KestrelDescriptionRequest request = {argv[1], argc == 3 ? argv[2] : NULL, NULL, 0, 0};
    KestrelDescription *description = NULL;
    char message[KESTREL_DESCRIPTION_MESSAGE_SIZE];
    KestrelError error = kestrel_description_load(&request, &description, message, sizeof message, NULL);
    if (error != KESTREL_OK) {
        fprintf(stderr, "robot_limits: %s (%s)\n", message, kestrel_error_name(error));
        return 1;
    }

    /* What the reader left aside (a YAML joint the URDF lacks, a map it does not read). */
    for (size_t i = 0; i < kestrel_description_warning_count(description); ++i) {
        fprintf(stderr, "robot_limits: warning: %s\n", kestrel_description_warning(description, i));
    }
    size_t count = kestrel_description_joint_count(description);
    if (count > KESTREL_JOINT_LIMITER_MAX_JOINTS) count = KESTREL_JOINT_LIMITER_MAX_JOINTS;
    KestrelJointLimits limits[KESTREL_JOINT_LIMITER_MAX_JOINTS];
    double start[KESTREL_JOINT_LIMITER_MAX_JOINTS], desired[KESTREL_JOINT_LIMITER_MAX_JOINTS];
    for (size_t i = 0; i < count; ++i) {
        KestrelDescribedJoint joint;
        (void)kestrel_description_joint(description, i, &joint); /* i < count: cannot fail */
        limits[i] = joint.limits;
        printf("%-16s position [%g, %g] (%s, %s)  velocity %g (%s)  acceleration %g (%s)  jerk %g (%s)\n", joint.name,
               joint.limits.min_position, joint.limits.max_position,
               kestrel_description_source_name(joint.sources[KESTREL_FIELD_MIN_POSITION]),
               kestrel_description_source_name(joint.sources[KESTREL_FIELD_MAX_POSITION]), joint.limits.max_velocity,
               kestrel_description_source_name(joint.sources[KESTREL_FIELD_MAX_VELOCITY]),
               joint.limits.max_acceleration,
               kestrel_description_source_name(joint.sources[KESTREL_FIELD_MAX_ACCELERATION]), joint.limits.max_jerk,
               kestrel_description_source_name(joint.sources[KESTREL_FIELD_MAX_JERK]));
        /* Start in the middle of each range (at 0 where a side is open). */
        const double width = joint.limits.max_position - joint.limits.min_position;
        start[i] = isfinite(width) ? joint.limits.min_position + width / 2 : 0.0;
        desired[i] = 10.0;
    }
    kestrel_description_free(description); /* the limits were copied */

    static KestrelJointLimiter limiter;
    error = kestrel_joint_limiter_init(&limiter, (uint32_t)count, limits, 0.001, start);
    if (error != KESTREL_OK) {
        fprintf(stderr, "robot_limits: the limiter refuses these limits: %s\n", kestrel_error_message(error));
        return 2;
    }
    double commanded[KESTREL_JOINT_LIMITER_MAX_JOINTS];
    uint32_t flags[KESTREL_JOINT_LIMITER_MAX_JOINTS];
    for (int step = 0; step < 1000; ++step) {
        if (kestrel_joint_limiter_limit(&limiter, desired, commanded, flags) != KESTREL_OK) return 2;
    }
    printf("after 1 s of a 10 rad/s request, joint 0 moves at %g\n", commanded[0]);
    return 0;
}
