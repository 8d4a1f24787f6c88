// SPDX-License-Identifier: MIT
// socketcan_peer - a small program on the card library's public API, for the
// SocketCAN suite (tests/kernel/vcard-socketcan.sh): run on the virtual card
// with a wire joined to an interface, it sends, receives, waits for the
// receive signal or reads the error counters, and prints what it saw one
// frame per line as candump -L does ("123#0102", "1ABCDEF0#R").
//
//   socketcan_peer [OPTIONS] send FRAME...       send each frame (ID#DATA, ID#R, 8 hex digits: extended)
//   socketcan_peer [OPTIONS] receive N SECONDS   print the first N frames received, exit 1 if fewer came
//   socketcan_peer [OPTIONS] signal SECONDS      sleep until the receive handler ran once (exit 0) or not (1)
//   socketcan_peer [OPTIONS] rxerr N SECONDS     once the receive error counter is N or more (at most
//                                                SECONDS), print it and the frames received
//   socketcan_peer [OPTIONS] txerr FRAME         send FRAME once; after 0.5 s print the transmit error
//                                                counter and whether the frame is still pending
//   socketcan_peer [OPTIONS] drain N SECONDS     CanGetRcvCnt/CanRcvMsg loop over N frames from
//                                                cangen -I i -D i: prints received, gaps, frames/s
// Options: -p PORT (card 0's port, default 0), -x (29-bit identifiers),
// -b 125k|250k|500k|1M (default 1M), -f CODE:MASK (acceptance, hex).
//
// It prints "ready" once what comes from the bus from then on is taken as
// the command expects: the port configured, and for `signal` the handler
// installed. The suite sends its frames after that line.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "pci_5C3A.h"
#include "sja1000.h"

namespace {

int g_handle = -1;
std::atomic<int> g_signals{0};

double now_s() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void print(const CAN_PACKET &p, bool extended) {
    printf(extended ? "%08X#" : "%03X#", p.id);
    if (p.rtr) {
        printf("R%s\n", p.len ? std::to_string(p.len).c_str() : "");
        return;
    }
    for (int i = 0; i < p.len && i < 8; ++i) printf("%02X", p.data[i]);
    printf("\n");
}

bool parse_frame(const char *text, CAN_PACKET *p, bool extended) {
    *p = CAN_PACKET{};
    char *end = nullptr;
    p->id = unsigned(strtoul(text, &end, 16));
    if (end == text || *end != '#') return false;
    (void)extended;
    const char *d = end + 1;
    if (*d == 'R') {
        p->rtr = 1;
        p->len = d[1] ? static_cast<unsigned char>(atoi(d + 1)) : 0;
        return true;
    }
    while (d[0] && d[1] && p->len < 8) {
        char byte[3] = {d[0], d[1], 0};
        p->data[p->len++] = static_cast<unsigned char>(strtoul(byte, nullptr, 16));
        d += 2;
    }
    return *d == '\0';
}

void on_receive(int) { ++g_signals; }

void ready() {
    printf("ready\n");
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    int port = 0;
    bool extended = false;
    unsigned baud = PCI5C3A_BAUD_1M;
    unsigned code = 0, mask = 0xFFFFFFFF;
    int opt;
    while ((opt = getopt(argc, argv, "p:xb:f:")) != -1) {
        switch (opt) {
        case 'p': port = atoi(optarg); break;
        case 'x': extended = true; break;
        case 'b':
            baud = strcmp(optarg, "125k") == 0   ? PCI5C3A_BAUD_125K
                   : strcmp(optarg, "250k") == 0 ? PCI5C3A_BAUD_250K
                   : strcmp(optarg, "500k") == 0 ? PCI5C3A_BAUD_500K
                                                 : PCI5C3A_BAUD_1M;
            break;
        case 'f':
            if (sscanf(optarg, "%x:%x", &code, &mask) != 2) return 2;
            break;
        default: return 2;
        }
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: socketcan_peer [-p PORT] [-x] [-b RATE] [-f CODE:MASK] COMMAND ARGS...\n");
        return 2;
    }
    const std::string command = argv[optind];
    char **args = argv + optind + 1;
    const int nargs = argc - optind - 1;

    // Open and configure the port: identifiers, filter, bit rate.
    g_handle = CanOpenDriver(0, port);
    if (g_handle < 0) {
        fprintf(stderr, "socketcan_peer: cannot open card 0 port %d\n", port);
        return 1;
    }
    PORT_STRUCT cfg = {};
    cfg.mode = extended ? PCI5C3A_ID_EXTENDED : PCI5C3A_ID_STANDARD;
    cfg.accCode = code;
    cfg.accMask = mask;
    cfg.baudrate = baud;
    if (CanConfigPort(g_handle, &cfg) != 0) {
        fprintf(stderr, "socketcan_peer: cannot configure port %d\n", port);
        return 1;
    }
    if (command != "signal") ready();

    int status = 0;
    if (command == "send") {
        for (int i = 0; i < nargs; ++i) {
            CAN_PACKET p;
            if (!parse_frame(args[i], &p, extended)) return 2;
            // Until the previous frame is off the controller (acknowledged).
            int tries = 0;
            while (CanSendMsg(g_handle, &p) != 0 && ++tries < 1000) {}
            if (tries == 1000) status = 1;
        }
        usleep(100000);
    } else if (command == "receive" && nargs == 2) {
        const int wanted = atoi(args[0]);
        const double end = now_s() + atof(args[1]);
        int got = 0;
        while (got < wanted && now_s() < end) {
            CAN_PACKET p;
            if (CanRcvMsg(g_handle, &p) == 0) {
                print(p, extended);
                ++got;
            } else {
                usleep(1000);
            }
        }
        fflush(stdout);
        status = got == wanted ? 0 : 1;
    } else if (command == "signal" && nargs == 1) {
        // The program only sleeps: the frame must be serviced without it.
        CanGetReceiveEvent(g_handle, on_receive);
        ready();
        const double end = now_s() + atof(args[0]);
        while (g_signals == 0 && now_s() < end) usleep(10000);
        CAN_PACKET p;
        if (g_signals > 0 && CanRcvMsg(g_handle, &p) == 0) {
            printf("handler ran: ");
            print(p, extended);
        }
        CanStopReceiveEvent(g_handle);
        status = g_signals > 0 ? 0 : 1;
    } else if (command == "rxerr" && nargs == 2) {
        const int wanted = atoi(args[0]);
        const double end = now_s() + atof(args[1]);
        while (CanGetRxErrorCount(g_handle) < wanted && now_s() < end) usleep(10000);
        printf("rxerr %d received %d\n", CanGetRxErrorCount(g_handle), CanGetRcvCnt(g_handle));
    } else if (command == "txerr" && nargs == 1) {
        CAN_PACKET p;
        if (!parse_frame(args[0], &p, extended)) return 2;
        const int sent = CanSendMsg(g_handle, &p);
        usleep(500000);
        PORT_STATUS st;
        CanGetPortStatus(g_handle, &st);
        printf("sent %d txerr %d pending %d\n", sent, CanGetTxErrorCount(g_handle),
               (st.status & SR_TBS) ? 0 : 1);
    } else if (command == "drain" && nargs == 2) {
        // Frames of cangen -I i -D i -L 8: identifier and data count up, so
        // any frame lost on the way shows as a gap.
        const int wanted = atoi(args[0]);
        const double limit = now_s() + atof(args[1]);
        int got = 0, gaps = 0;
        unsigned expected = 0;
        double first = 0, last = 0;
        while (got < wanted && now_s() < limit) {
            if (CanGetRcvCnt(g_handle) <= 0) continue;
            CAN_PACKET p;
            while (CanRcvMsg(g_handle, &p) == 0) {
                unsigned seq = 0;
                for (int i = 3; i >= 0; --i) seq = (seq << 8) | p.data[i];
                if (got == 0) first = now_s();
                else if (seq != expected) ++gaps;
                expected = seq + 1;
                last = now_s();
                ++got;
            }
        }
        const double seconds = last - first;
        printf("received %d gaps %d seconds %.3f fps %.0f\n", got, gaps, seconds,
               seconds > 0 ? (got - 1) / seconds : 0.0);
        status = got == wanted && gaps == 0 ? 0 : 1;
    } else {
        fprintf(stderr, "socketcan_peer: unknown command %s\n", command.c_str());
        status = 2;
    }
    fflush(stdout);
    CanCloseDriver(g_handle);
    return status;
}
