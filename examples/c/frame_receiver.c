/*
 * frame_receiver.c - the actuator side of a network link: signed command
 * frames (kestrel_frame.h) arrive as UDP datagrams on the loopback interface,
 * and each is checked by one replay guard with a maximum age.
 *
 *   frame_receiver KEY_FILE MAX_AGE_MS FRAMES
 *
 * KEY_FILE holds the boundary's 32 raw key bytes. The receiver binds
 * 127.0.0.1 on a port the system picks and prints "port N" first. Then, for
 * each of FRAMES datagrams, it prints one line: "accepted SEQUENCE_ID" when
 * the frame may be carried out (here it would be handed to the actuator), or
 * "refused ERROR_NAME" (kestrel_error_name) when it must not be. A datagram
 * that is not exactly one frame long is refused as "invalid_frame". It gives
 * up, with exit status 1, when no datagram arrives within RECEIVE_TIMEOUT_S
 * seconds (a stop and continue restarts that wait); exit status 2 means bad
 * arguments or an unusable key file.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <kestrel.h>

#define RECEIVE_TIMEOUT_S 5

static KestrelReceiptGuard guard; /* static storage: published size and alignment */

/* A UDP socket bound to 127.0.0.1 on a free port, with a receive timeout;
 * its port in *port. -1 on failure. */
static int open_socket(unsigned *port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    const struct timeval timeout = {RECEIVE_TIMEOUT_S, 0};
    if (bind(fd, (const struct sockaddr *)&address, sizeof address) != 0 ||
        getsockname(fd, (struct sockaddr *)&address, &length) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

/* Checks one datagram of length bytes and prints its verdict. */
static void judge(const uint8_t *datagram, ssize_t length) {
    KestrelFrame frame;
    const KestrelError verdict = length == KESTREL_FRAME_LEN
                                     ? kestrel_receipt_guard_check_frame(&guard, datagram, &frame)
                                     : KESTREL_ERROR_INVALID_FRAME;
    KestrelReceiptFields fields;
    if (verdict == KESTREL_OK && kestrel_receipt_parse(frame.receipt, &fields) == KESTREL_OK) {
        /* An actuator would now be given frame.axis, frame.position and
         * frame.velocity: exactly the bits that were signed. */
        printf("accepted %llu\n", (unsigned long long)fields.sequence_id);
    } else {
        printf("refused %s\n", kestrel_error_name(verdict));
    }
}

/* Reads a decimal count from text: 0 on success. */
static int parse_count(const char *text, unsigned long long *out) {
    char *end;
    errno = 0;
    *out = strtoull(text, &end, 10);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0 ? 0 : -1;
}

int main(int argc, char **argv) {
    uint8_t key[KESTREL_KEY_LEN];
    char problem[512];
    unsigned long long max_age_ms, frames;
    if (argc != 4 || parse_count(argv[2], &max_age_ms) != 0 || parse_count(argv[3], &frames) != 0 || max_age_ms == 0 ||
        max_age_ms > UINT64_MAX / 1000000u) {
        fprintf(stderr, "usage: frame_receiver KEY_FILE MAX_AGE_MS FRAMES (KEY_FILE: 32 raw bytes, mode 0600)\n");
        return 2;
    }
    if (kestrel_key_file_read(argv[1], key, problem, sizeof problem) != KESTREL_OK) {
        fprintf(stderr, "frame_receiver: %s\n", problem);
        return 2;
    }
    const KestrelError made = kestrel_receipt_guard_init(&guard, key);
    memset(key, 0, sizeof key);
    if (made != KESTREL_OK || kestrel_receipt_guard_set_max_age(&guard, max_age_ms * 1000000u) != KESTREL_OK) {
        return 1;
    }

    unsigned port;
    const int fd = open_socket(&port);
    if (fd < 0) {
        perror("frame_receiver: socket");
        return 1;
    }
    setvbuf(stdout, NULL, _IOLBF, 0); /* one line per frame, as it is judged */
    printf("port %u\n", port);

    int status = 0;
    for (unsigned long long i = 0; i < frames; ++i) {
        uint8_t datagram[KESTREL_FRAME_LEN + 1]; /* one byte more shows a datagram too long */
        ssize_t length;
        /* A stop and continue (Ctrl-Z and fg, a debugger, a paused container)
         * interrupts the wait with EINTR, with no frame lost: wait again. */
        do {
            length = recv(fd, datagram, sizeof datagram, 0);
        } while (length < 0 && errno == EINTR);
        if (length < 0) {
            const int timed_out = errno == EAGAIN || errno == EWOULDBLOCK;
            fprintf(stderr, "frame_receiver: %s\n", timed_out ? "no frame within the timeout" : strerror(errno));
            status = 1;
            break;
        }
        judge(datagram, length);
    }
    close(fd);
    kestrel_receipt_guard_wipe(&guard);
    return status;
}
