// SPDX-License-Identifier: MIT
// The gateway's life: interfaces checked, ports opened and configured,
// receive signals and sender threads started, then the poll loop (loop.h)
// until SIGINT or SIGTERM, and everything closed again.
//
// The parts: wakeup.h (signals: the self-pipe, and the signalfd of the
// receive signals), interface.h (the SocketCAN sockets), card_port.h (the
// card's ports and their sender threads), loop.h (the poll loop and the
// counters' report).
#include "gateway.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "card_port.h"
#include "interface.h"
#include "loop.h"
#include "wakeup.h"

namespace gateway {

namespace {

// Every port closed through the library: notification off, then the close
// request the driver turns the port off with; then the sockets.
void close_ports(Ports &ports) {
    for (const auto &p : ports) close_card_port(p->card);
    for (const auto &p : ports) close_interface(p->iface);
}

}  // namespace

void say(const std::string &line) { std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str()); }

int run(const Options &options) {
    std::string error;
    // A stop signal during start-up is kept in the pipe and honoured once
    // the loop runs (after everything opened has been closed again, if the
    // start fails).
    const int wake_read = open_wakeup(error);
    if (wake_read < 0) {
        say(error);
        return kExitUnusable;
    }
    // Before any thread starts (the virtual card's too, at the first open),
    // so that the receive signals are blocked in all of them.
    const int receive_signals = open_receive_signals(error);
    if (receive_signals < 0) {
        say(error);
        return kExitUnusable;
    }

    Ports ports;
    for (const auto &bridge : options.ports) {
        ports.push_back(std::make_unique<Port>(bridge, options.extended, options.queue_length));
    }
    const auto give_up = [&](const std::string &message) {
        say(message);
        close_ports(ports);
        return kExitUnusable;
    };

    // Interfaces first: nothing is asked of the card while one is missing.
    for (const auto &p : ports) {
        p->iface.sock = open_interface(p->card.bridge.iface, error);
        if (p->iface.sock < 0) return give_up(error);
    }
    // All ports opened before any receive event starts: installing a card
    // sets both receive signals back to ignored.
    for (const auto &p : ports) {
        if (!open_card_port(p->card, error)) return give_up(error);
    }
    for (const auto &p : ports) {
        if (!start_receive_events(p->card, on_receive_signal, error)) return give_up(error);
    }

    // Sender threads take no signal: the handlers run on the loop's thread,
    // and CanSendMsg's pause is not cut short. CanGetReceiveEvent installs
    // on_receive_signal, but the receive signals stay blocked and the loop
    // reads them from `receive_signals`.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    for (const auto &p : ports) start_sender(p->card);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    std::string list;
    for (const auto &p : ports) {
        const CardPort &card = p->card;
        list += (list.empty() ? "" : ", ") + card.bridge.name() + " (" +
                format_bitrate(card.bridge.timing.bitrate) + (card.extended ? ", 29-bit" : ", 11-bit") + ")";
    }
    say("forwarding " + list);

    Loop loop(ports, wake_read, receive_signals, options.restart_ms);
    const int status = loop.run();

    for (const auto &p : ports) {
        CardPort &card = p->card;
        card.queue.close();
        card.sender.join();
        card.counters.unsent += card.queue.discard();
    }
    close_ports(ports);
    print_counters(ports);
    return status;
}

}  // namespace gateway
