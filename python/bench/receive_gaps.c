// SPDX-License-Identifier: MIT
/* receive_gaps.c - the C baselines of the receive timing benchmark: port 0 of
 * card 0 at 500 kbit/s takes N frames from a node on its bus, either polled
 * (CanGetRcvCnt every 0.1 ms, the messages read in the loop) or signal-driven
 * (CanGetReceiveEvent, the messages read in the handler). Prints one line per
 * frame: its sequence number (the node's 8 data bytes, little-endian), the
 * CLOCK_MONOTONIC time, in seconds, at which it was read, and how many frames
 * the virtual card's node had sent by then (-1 without the virtual card):
 * when that is past the frame's successor, the reader was late.
 *
 *   cc -O2 -o receive_gaps receive_gaps.c -I lib -L build/default/lib -lpci_5C3A
 *   PCI5C3A_VCARD_REMOTE=500k:5 with-virtual-card ./receive_gaps poll 400
 *   PCI5C3A_VCARD_REMOTE=500k:5 with-virtual-card ./receive_gaps event 400
 */
#define _GNU_SOURCE /* RTLD_DEFAULT */
#include <dlfcn.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "pci_5C3A.h"

#define MAX_FRAMES 100000

static double times[MAX_FRAMES];
static uint64_t sequences[MAX_FRAMES];
static long long sent_by_then[MAX_FRAMES];
static double sent_at[MAX_FRAMES];
/* The preloaded virtual card's count of the node's frames and the time it
 * sent one, when it is there. */
static uint64_t (*frames_sent)(void);
static int64_t (*frame_sent_ns)(uint64_t);
static volatile sig_atomic_t received;
static int wanted;
static int handle;

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Takes every message waiting in the driver's queue, noting when. */
static void drain(void) {
    CAN_PACKET msg;
    for (int n = CanGetRcvCnt(handle); n > 0; n--) {
        if (CanRcvMsg(handle, &msg) != 0) break;
        if (received < wanted) {
            times[received] = now();
            sent_by_then[received] = frames_sent != NULL ? (long long)frames_sent() : -1;
            uint64_t sequence = 0;
            for (int i = 7; i >= 0; i--) sequence = sequence << 8 | msg.data[i];
            sequences[received] = sequence;
            const int64_t ns = frame_sent_ns != NULL ? frame_sent_ns(sequence) : -1;
            sent_at[received] = ns < 0 ? -1.0 : (double)ns / 1e9;
            received++;
        }
    }
}

static void on_receive(int signal_number) {
    (void)signal_number;
    drain();
}

int main(int argc, char **argv) {
    if (argc != 3 || (strcmp(argv[1], "poll") != 0 && strcmp(argv[1], "event") != 0)) {
        fprintf(stderr, "usage: receive_gaps poll|event FRAMES\n");
        return 2;
    }
    const int signals = strcmp(argv[1], "event") == 0;
    wanted = atoi(argv[2]);
    if (wanted < 1 || wanted > MAX_FRAMES) wanted = MAX_FRAMES;

    *(void **)&frames_sent = dlsym(RTLD_DEFAULT, "_ZN5vcard18remote_frames_sentEv");
    /* uint64_t is unsigned long on x86_64 (m), unsigned long long on i386 (y). */
    *(void **)&frame_sent_ns = dlsym(RTLD_DEFAULT, sizeof(long) == 8 ? "_ZN5vcard20remote_frame_sent_nsEm"
                                                                     : "_ZN5vcard20remote_frame_sent_nsEy");
    handle = CanOpenDriver(0, 0);
    if (handle < 0) return 1;
    PORT_STRUCT cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.accMask = 0xFFFFFFFFu;
    cfg.baudrate = PCI5C3A_BAUD_500K;
    if (CanConfigPort(handle, &cfg) != 0) return 1;
    if (signals && CanGetReceiveEvent(handle, on_receive) != 0) return 1;

    /* Long enough for the frames at any period the benchmark uses. */
    const double limit = now() + 60.0;
    /* Signal-driven, the main thread only looks whether it is done; the
     * handler interrupts its sleep. */
    const struct timespec tick = {0, signals ? 10000000 : 100000};
    while (received < wanted && now() < limit) {
        if (!signals) drain();
        nanosleep(&tick, NULL);
    }
    if (signals) CanStopReceiveEvent(handle);
    CanCloseDriver(handle);
    for (int i = 0; i < received; i++)
        printf("%llu %.9f %lld %.9f\n", (unsigned long long)sequences[i], times[i], sent_by_then[i],
               sent_at[i]);
    return received == wanted ? 0 : 1;
}
