// SPDX-License-Identifier: MIT
// Fault-injection matrix: every driver request code, failing, under every API
// function that issues it. The driver answers -1 with EIO, or 1 (a driver that
// reports an odd positive result); each call must return, return what its
// contract says for that answer, and leave the library's tables as its own
// documented effect and nothing else would.
#include <errno.h>
#include <signal.h>

#include "support.h"
#include "tables.h"

using namespace test;

namespace {

// What a call may change in the tables when its request fails.
enum class Effect {
    none,
    configure,  // portStruct[1] becomes kConfig (failures of the steps go unnoticed)
    reopen,     // portStruct[1] becomes the default configuration
    close,      // InstallRef[1] becomes 0
    led,        // LEDStatus[0] gains bit 3
    detect,     // canIntStatus[1] holds the last status byte read
    eventOn,    // card 0's action record for the port holds the handler, with SA_RESTART
    eventOff    // card 0's action record for the port holds SIG_IGN
};

constexpr int kHandle = 1;  // card 0, port 1: every address carries the window offset
constexpr int kLed = 3;
const PORT_STRUCT kConfig = {1, 0x1ABCDEF, 0x3F, 2, 0, 0, 0, 0, {9, 8, 7, 6}};
const PORT_STRUCT kDefault = {0, 0, 0x7FF, 3, 0, 0, 0, 0, {0, 0, 0, 0}};

void handler(int) {}

PORT_STATUS status;
CAN_PACKET received;
int lastPort = kHandle;  // the handle whose event functions ran

struct Row {
    const char *name;
    unsigned long code;
    int (*call)();
    int onEio;  // result when the request answers -1 (EIO)
    int onOne;  // result when it answers 1
    Effect effect = Effect::none;
    void (*prepare)() = nullptr;  // before the fault is injected
    void (*verify)() = nullptr;   // after the call, beyond the result and tables
};

// Handle 1's receive message counter never reaching 0.
void fifoNeverEmpties() { vcard::force_read(0, kPort1 + REG_RMC, {3}, true); }

// One message waiting in handle 1's driver queue.
void messageWaiting() {
    CAN_PACKET p = packet(0x55, 8);
    ASSERT_EQ(CanSendMsg(0, &p), 0);
    ASSERT_EQ(waitForCount(kHandle, 1), 1);
    std::memset(&received, 0xEE, sizeof received);
}

void closeOthers() {
    ASSERT_EQ(CanCloseDriver(0), 0);
    ASSERT_EQ(CanCloseDriver(2), 0);
}

std::size_t issued(unsigned long code) {
    std::size_t n = 0;
    for (const auto &r : vcard::trace()) n += r.code == code;
    return n;
}

const Row kRows[] = {
    // Register reads: a failed read gives 0, never an uninitialised byte.
    {"Read", REQ_REG_READ, [] { return int(_5C3A_Read(kHandle, REG_EWLR)); }, 0, 0},
    {"GetArbitrationLostBit", REQ_REG_READ, [] { return CanGetArbitrationLostBit(kHandle); }, 0, 0},
    {"GetErrorCode", REQ_REG_READ, [] { return CanGetErrorCode(kHandle); }, 0, 0},
    {"GetErrorWarningLimit", REQ_REG_READ, [] { return CanGetErrorWarningLimit(kHandle); }, 0, 0},
    {"GetRxErrorCount", REQ_REG_READ, [] { return CanGetRxErrorCount(kHandle); }, 0, 0},
    {"GetTxErrorCount", REQ_REG_READ, [] { return CanGetTxErrorCount(kHandle); }, 0, 0},
    {"GetPortStatus", REQ_REG_READ, [] { return CanGetPortStatus(kHandle, &status); }, 0, 0, Effect::none,
     [] { std::memset(&status, 0xEE, sizeof status); },
     [] {
         EXPECT_EQ(status.status, 0);
         EXPECT_EQ(std::memcmp(&status, &portStruct[kHandle], sizeof(PORT_STRUCT)), 0);
     }},
    {"ConfigPort", REQ_REG_READ, [] { return CanConfigPort(kHandle, &kConfig); }, 0, 0, Effect::configure},
    {"EnableReceive", REQ_REG_READ, [] { return CanEnableReceive(kHandle); }, 0, 0},
    {"DisableReceive", REQ_REG_READ, [] { return CanDisableReceive(kHandle); }, 0, 0},
    {"ClearOverrun", REQ_REG_READ, [] { return CanClearOverrun(kHandle); }, 0, 0},
    {"ClearRxBuffer", REQ_REG_READ, [] { return CanClearRxBuffer(kHandle), 0; }, 0, 0},
    {"SetErrorWarningLimit", REQ_REG_READ, [] { return CanSetErrorWarningLimit(kHandle, 50); }, 0, 0},
    {"SetTxErrorCount", REQ_REG_READ, [] { return CanSetTxErrorCount(kHandle, 5); }, 0, 0},
    {"DetectBaudrate", REQ_REG_READ, [] { return CanDetectBaudrate(kHandle, 0); }, PCI5C3A_BAUD_NONE,
     PCI5C3A_BAUD_NONE, Effect::detect},
    {"OpenDriver", REQ_REG_READ, [] { return CanOpenDriver(0, kHandle); }, kHandle, kHandle, Effect::reopen},

    // Register writes: passed on where the function returns a write's result.
    {"Write", REQ_REG_WRITE, [] { return _5C3A_Write(kHandle, REG_EWLR, 7); }, PCI5C3A_ERROR, 1},
    {"ConfigPort", REQ_REG_WRITE, [] { return CanConfigPort(kHandle, &kConfig); }, 0, 0, Effect::configure},
    {"EnableReceive", REQ_REG_WRITE, [] { return CanEnableReceive(kHandle); }, PCI5C3A_ERROR, 1},
    {"DisableReceive", REQ_REG_WRITE, [] { return CanDisableReceive(kHandle); }, PCI5C3A_ERROR, 1},
    {"ClearOverrun", REQ_REG_WRITE, [] { return CanClearOverrun(kHandle); }, PCI5C3A_ERROR, 1},
    // A release that never takes effect must not keep the caller forever.
    {"ClearRxBuffer", REQ_REG_WRITE, [] { return CanClearRxBuffer(kHandle), 0; }, 0, 0, Effect::none,
     fifoNeverEmpties, [] { EXPECT_EQ(issued(REQ_REG_WRITE), 64u); }},
    {"ClearTxBuffer", REQ_REG_WRITE, [] { return CanClearTxBuffer(kHandle), 0; }, 0, 0},
    {"SetErrorWarningLimit", REQ_REG_WRITE, [] { return CanSetErrorWarningLimit(kHandle, 50); },
     PCI5C3A_ERROR, 1},
    {"SetTxErrorCount", REQ_REG_WRITE, [] { return CanSetTxErrorCount(kHandle, 5); }, PCI5C3A_ERROR, 1},
    {"SetLedStatus", REQ_REG_WRITE, [] { return CanSetLedStatus(0, kLed, 1); }, PCI5C3A_ERROR, 1,
     Effect::led},
    {"DetectBaudrate", REQ_REG_WRITE, [] { return CanDetectBaudrate(kHandle, 0); }, PCI5C3A_BAUD_NONE,
     PCI5C3A_BAUD_NONE, Effect::detect},
    {"OpenDriver", REQ_REG_WRITE, [] { return CanOpenDriver(0, kHandle); }, kHandle, kHandle, Effect::reopen},

    {"ConfigPort", REQ_SET_MODE, [] { return CanConfigPort(kHandle, &kConfig); }, 0, 0, Effect::configure},
    {"DetectBaudrate", REQ_SET_MODE, [] { return CanDetectBaudrate(kHandle, 0); }, PCI5C3A_BAUD_NONE,
     PCI5C3A_BAUD_NONE, Effect::detect},
    {"OpenDriver", REQ_SET_MODE, [] { return CanOpenDriver(0, kHandle); }, kHandle, kHandle, Effect::reopen},

    {"SendMsg", REQ_SEND,
     [] {
         CAN_PACKET p = packet(0x66, 4);
         return CanSendMsg(kHandle, &p);
     },
     PCI5C3A_ERROR, 0},
    // A failed receive hands out zeros, not the caller's old bytes, and
    // does not consume the waiting message.
    {"RcvMsg", REQ_RECEIVE, [] { return CanRcvMsg(kHandle, &received); }, PCI5C3A_ERROR, 0, Effect::none,
     messageWaiting,
     [] {
         const CAN_PACKET zero = {};
         EXPECT_EQ(std::memcmp(&received, &zero, sizeof zero), 0);
         EXPECT_EQ(vcard::queued(0, 1), 1u);
     }},
    {"GetRcvCnt", REQ_RCV_COUNT, [] { return CanGetRcvCnt(kHandle); }, PCI5C3A_ERROR, 0, Effect::none,
     messageWaiting},

    // Any non-zero answer is a refusal.
    {"GetReceiveEvent", REQ_EVENT_PORT0, [] { return CanGetReceiveEvent(lastPort = 0, handler); },
     PCI5C3A_EVENT_DRIVER_REFUSED, PCI5C3A_EVENT_DRIVER_REFUSED, Effect::eventOn},
    {"StopReceiveEvent", REQ_EVENT_PORT0, [] { return CanStopReceiveEvent(lastPort = 0); },
     PCI5C3A_EVENT_DRIVER_REFUSED, PCI5C3A_EVENT_DRIVER_REFUSED, Effect::eventOff},
    {"GetReceiveEvent", REQ_EVENT_PORT1, [] { return CanGetReceiveEvent(lastPort = 1, handler); },
     PCI5C3A_EVENT_DRIVER_REFUSED, PCI5C3A_EVENT_DRIVER_REFUSED, Effect::eventOn},
    {"StopReceiveEvent", REQ_EVENT_PORT1, [] { return CanStopReceiveEvent(lastPort = 1); },
     PCI5C3A_EVENT_DRIVER_REFUSED, PCI5C3A_EVENT_DRIVER_REFUSED, Effect::eventOff},

    // Closing always succeeds: the port is closed whatever the driver says.
    {"CloseDriver", REQ_PORT_CLOSE, [] { return CanCloseDriver(kHandle); }, 0, 0, Effect::close},
    {"CloseDriver", REQ_LAST_CLOSE, [] { return CanCloseDriver(kHandle); }, 0, 0, Effect::close, closeOthers},
};

const char *codeName(unsigned long code) {
    switch (code) {
    case REQ_REG_READ: return "REG_READ";
    case REQ_REG_WRITE: return "REG_WRITE";
    case REQ_SET_MODE: return "SET_MODE";
    case REQ_SEND: return "SEND";
    case REQ_RECEIVE: return "RECEIVE";
    case REQ_RCV_COUNT: return "RCV_COUNT";
    case REQ_EVENT_PORT0: return "EVENT_PORT0";
    case REQ_EVENT_PORT1: return "EVENT_PORT1";
    case REQ_PORT_CLOSE: return "PORT_CLOSE";
    case REQ_LAST_CLOSE: return "LAST_CLOSE";
    }
    return "unknown";
}

struct Fault {
    const char *name;
    int result, error;
};
const Fault kFaults[] = {{"Eio", -1, EIO}, {"One", 1, 0}};

void PrintTo(const Row &row, std::ostream *os) { *os << codeName(row.code) << " " << row.name; }
void PrintTo(const Fault &fault, std::ostream *os) { *os << fault.name; }

using Param = std::tuple<Row, Fault>;

// Cards 0 and 1 installed, handles 0, 1 and 2 open: the call works on card 0
// while another card's tables stand by to be disturbed.
class FaultMatrix : public TwoCards, public ::testing::WithParamInterface<Param> {
protected:
    void SetUp() override {
        TwoCards::SetUp();
        open({{0, 0}, {0, 1}, {1, 0}});
    }
};

TEST_P(FaultMatrix, CallReturnsItsResultAndKeepsTheTables) {
    const auto &[row, fault] = GetParam();
    lastPort = kHandle;
    if (row.prepare) row.prepare();
    ASSERT_FALSE(HasFatalFailure());
    vcard::trace_clear();
    const test::Snapshot before = test::take();

    vcard::answer(row.code, fault.result, fault.error);
    EXPECT_EQ(row.call(), fault.result == -1 ? row.onEio : row.onOne);
    vcard::clear_answer(row.code);

    // The row exercised its request, and every request went to an
    // installed card's own descriptor.
    EXPECT_GE(issued(row.code), 1u);
    const test::Snapshot after = test::take();
    for (const auto &r : vcard::trace()) {
        ASSERT_TRUE(r.card >= 0 && r.card < 2) << vcard::describe(r);
        EXPECT_EQ(r.fd, after.info[r.card].fd) << vcard::describe(r);
    }

    test::Snapshot want = before;
    PCI_INFO &card0 = want.info[0];
    struct sigaction &action = lastPort % 2 == 0 ? card0.act0 : card0.act1;
    switch (row.effect) {
    case Effect::none: break;
    case Effect::configure: want.ports[kHandle] = kConfig; break;
    case Effect::reopen: want.ports[kHandle] = kDefault; break;
    case Effect::close: want.installRef[kHandle] = 0; break;
    case Effect::led: want.leds[0] |= 1 << kLed; break;
    case Effect::detect:
        // The last status read: 0 when reads fail, else the register's own byte.
        want.intStatus[kHandle] = row.code == REQ_REG_READ ? 0 : vcard::peek(0, 128 + REG_SR);
        break;
    case Effect::eventOn:
        action.sa_handler = handler;
        action.sa_flags |= SA_RESTART;
        break;
    case Effect::eventOff: action.sa_handler = SIG_IGN; break;
    }
    EXPECT_EQ(test::difference(want, after), "");
    EXPECT_EQ(test::sane(after), "");

    // The process's disposition follows the record: a handler stays
    // installed when only the driver refused, and a stop ignores the signal
    // all the same.
    if (row.effect == Effect::eventOn || row.effect == Effect::eventOff) {
        struct sigaction now;
        sigaction(lastPort % 2 == 0 ? 63 : 62, nullptr, &now);
        EXPECT_EQ(now.sa_handler, action.sa_handler);
    }
    if (row.verify) row.verify();
}

std::string paramName(const ::testing::TestParamInfo<Param> &info) {
    const auto &[row, fault] = info.param;
    return std::string(codeName(row.code)) + "_" + row.name + "_" + fault.name;
}

INSTANTIATE_TEST_SUITE_P(Requests, FaultMatrix,
                         ::testing::Combine(::testing::ValuesIn(kRows), ::testing::ValuesIn(kFaults)),
                         paramName);

// Every request code of the driver interface appears in the matrix.
TEST(FaultMatrixRows, CoverEveryRequestCode) {
    for (unsigned long code :
         {REQ_REG_READ, REQ_REG_WRITE, REQ_SET_MODE, REQ_SEND, REQ_RECEIVE, REQ_RCV_COUNT, REQ_EVENT_PORT0,
          REQ_EVENT_PORT1, REQ_PORT_CLOSE, REQ_LAST_CLOSE}) {
        bool found = false;
        for (const Row &row : kRows) found |= row.code == code;
        EXPECT_TRUE(found) << codeName(code);
    }
}

}  // namespace
