// SPDX-License-Identifier: MIT
// Throughput of the message path on the virtual card.
//
// CanSendMsg pauses 1 ms before every send, which caps one caller at about
// 1000 messages per second; SendMsg shows how close a caller gets to that
// ceiling. CountAndReceive is the cost of the usual receive pattern, one
// CanGetRcvCnt plus one CanRcvMsg, per message waiting in the driver.
#include <benchmark/benchmark.h>

#include <cstring>

#include "pci_5C3A.h"
#include "vcard.h"

namespace {

void openLoopback() {
    vcard::reset({});
    CanOpenDriver(0, 0);
    CanOpenDriver(0, 1);
}

CAN_PACKET message(unsigned id) {
    CAN_PACKET p;
    std::memset(&p, 0, sizeof p);
    p.id = id & 0x7FF;
    p.len = 8;
    for (int i = 0; i < 8; ++i) p.data[i] = static_cast<unsigned char>(i);
    return p;
}

void SendMsg(benchmark::State &state) {
    openLoopback();
    CAN_PACKET p = message(0x123);
    for (auto _ : state) {
        benchmark::DoNotOptimize(CanSendMsg(0, &p));
        // Port 1's driver queue holds 1024 messages; keep it from filling.
        if (vcard::queued(0, 1) > 512) {
            state.PauseTiming();
            while (CanRcvMsg(1, &p) == 0) {}
            p = message(0x123);
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["ceiling_per_s"] = 1000;
}
BENCHMARK(SendMsg)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void CountAndReceive(benchmark::State &state) {
    openLoopback();
    vcard::Frame f;
    f.id = 0x321;
    f.len = 8;
    CAN_PACKET p;
    for (auto _ : state) {
        if (CanGetRcvCnt(1) <= 0) {
            // Refill the queue without the send pacing: frames from a node
            // outside the card, at port 1's bit rate.
            state.PauseTiming();
            for (int i = 0; i < 1000; ++i) vcard::remote_send(0, 1, f, 1000000);
            state.ResumeTiming();
            CanGetRcvCnt(1);
        }
        benchmark::DoNotOptimize(CanRcvMsg(1, &p));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CountAndReceive)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
