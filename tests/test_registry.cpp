// SPDX-License-Identifier: MIT
// Opening and closing ports, installing cards, the register accessors and
// the driver requests they produce.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "support.h"

using namespace test;

namespace {

void (*disposition(int sig))(int) {
    struct sigaction now;
    sigaction(sig, nullptr, &now);
    return now.sa_handler;
}

}  // namespace

TEST_F(Card, OpeningBothPortsInstallsTheCardOnce) {
    EXPECT_EQ(CanOpenDriver(0, 0), 0);
    EXPECT_EQ(CanOpenDriver(0, 1), 1);
    EXPECT_EQ(totalCards, 1);
    EXPECT_EQ(pci_Info_5C3A[0].magic, 0x5C3A);
    EXPECT_EQ(pci_Info_5C3A[0].sigReady, 1);
    EXPECT_GT(pci_Info_5C3A[0].fd, 2);
    EXPECT_EQ(InstallRef[0], 1);
    EXPECT_EQ(InstallRef[1], 1);
    EXPECT_EQ(vcard::owner(0), getpid());

    // Both notification signals are ignored from installation on.
    EXPECT_EQ(disposition(63), SIG_IGN);
    EXPECT_EQ(disposition(62), SIG_IGN);
    EXPECT_EQ(pci_Info_5C3A[0].act0.sa_handler, SIG_IGN);
    EXPECT_EQ(pci_Info_5C3A[0].act1.sa_handler, SIG_IGN);
    EXPECT_EQ(pci_Info_5C3A[0].act0.sa_flags, 0);

    // Every request went to the one descriptor of card 0.
    for (const auto &r : vcard::trace()) EXPECT_EQ(r.fd, pci_Info_5C3A[0].fd);

    // The default configuration is recorded for both ports.
    for (int h : {0, 1}) {
        EXPECT_EQ(portStruct[h].mode, 0u);
        EXPECT_EQ(portStruct[h].accCode, 0u);
        EXPECT_EQ(portStruct[h].accMask, 0x7FFu);
        EXPECT_EQ(portStruct[h].baudrate, 3u);
    }
}

TEST_F(Card, CardsOutsideTheRangeAreRefusedWithTheMessage) {
    const Snapshot before = take();
    for (int card : {4, 5, -1, -100, 1 << 30}) {
        int result = 0;
        const std::string out = captureStdout([&] { result = CanOpenDriver(card, 0); });
        EXPECT_EQ(result, PCI5C3A_ERROR) << card;
        EXPECT_EQ(out, "Couldn't find PCI-5C3A card " + std::to_string(card) + "\n");
        EXPECT_EQ(_5C3A_InstallPCI(card), PCI5C3A_INSTALL_NO_CARD) << card;
    }
    EXPECT_EQ(difference(before, take()), "");
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(Card, PortsOutsideTheRangeAreRefusedSilently) {
    const Snapshot before = take();
    for (int port : {2, -1, 7}) {
        int result = 0;
        const std::string out = captureStdout([&] { result = CanOpenDriver(0, port); });
        EXPECT_EQ(result, PCI5C3A_ERROR);
        EXPECT_EQ(out, "");
    }
    EXPECT_EQ(difference(before, take()), "");
    EXPECT_EQ(pci_Info_5C3A[0].magic, 0);
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(Card, MissingDeviceNodeLeavesTheCardUninstalledAndIsTriedAgain) {
    vcard::set_node_missing(0);
    int result = 0;
    const std::string out = captureStdout([&] { result = CanOpenDriver(0, 1); });
    EXPECT_EQ(result, PCI5C3A_ERROR);
    EXPECT_EQ(out, "Couldn't find PCI-5C3A card 0\n");
    EXPECT_EQ(pci_Info_5C3A[0].magic, 0);
    EXPECT_EQ(totalCards, 0);
    EXPECT_EQ(InstallRef[1], 0);
    EXPECT_EQ(_5C3A_InstallPCI(0), PCI5C3A_INSTALL_NO_DEVICE);

    vcard::set_node_missing(0, false);
    EXPECT_EQ(CanOpenDriver(0, 1), 1);
    EXPECT_EQ(totalCards, 1);
}

TEST_F(Card, SignalActionFailureInstallsTheCardWithoutCountingIt) {
    vcard::fail_sigaction(62);
    int result = 0;
    const std::string out = captureStdout([&] { result = CanOpenDriver(0, 0); });
    EXPECT_EQ(result, PCI5C3A_ERROR);
    EXPECT_EQ(out, "Couldn't find PCI-5C3A card 0\n");
    EXPECT_EQ(pci_Info_5C3A[0].magic, 0x5C3A);
    EXPECT_EQ(pci_Info_5C3A[0].sigReady, 1);
    EXPECT_GE(pci_Info_5C3A[0].fd, 0);
    EXPECT_EQ(totalCards, 0);
    EXPECT_EQ(InstallRef[0], 0);
    EXPECT_EQ(disposition(63), SIG_IGN);  // the first action went in

    // A later open skips installation and succeeds.
    EXPECT_EQ(CanOpenDriver(0, 0), 0);
    EXPECT_EQ(totalCards, 0);
    EXPECT_EQ(InstallRef[0], 1);
}

TEST_F(Card, FirstSignalActionFailureStopsBeforeTheSecond) {
    vcard::fail_sigaction(63);
    EXPECT_EQ(_5C3A_InstallPCI(0), PCI5C3A_INSTALL_SIGACTION);
    EXPECT_EQ(disposition(62), SIG_DFL);
}

TEST_F(Card, OwnershipFailureStillInstallsTheCard) {
    vcard::fail_setown();
    EXPECT_EQ(CanOpenDriver(0, 0), 0);
    EXPECT_EQ(pci_Info_5C3A[0].magic, 0x5C3A);
    EXPECT_EQ(pci_Info_5C3A[0].sigReady, 0);
    EXPECT_EQ(totalCards, 1);
    EXPECT_EQ(disposition(63), SIG_DFL);  // signals left alone
    EXPECT_EQ(disposition(62), SIG_DFL);
}

TEST_F(Card, ClosingTheLastPortTellsTheDriver) {
    open({{0, 0}, {0, 1}});
    EXPECT_EQ(CanCloseDriver(0), 0);
    auto trace = vcard::trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].code, REQ_PORT_CLOSE);
    EXPECT_EQ(trace[0].in, regAccessBytes(0, 1));

    vcard::trace_clear();
    EXPECT_EQ(CanCloseDriver(1), 0);
    trace = vcard::trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].code, REQ_PORT_CLOSE);
    EXPECT_EQ(trace[0].in, regAccessBytes(128, 1));
    EXPECT_EQ(trace[1].code, REQ_LAST_CLOSE);
    EXPECT_EQ(trace[1].in, regAccessBytes(64, 0xFF));
    EXPECT_EQ(vcard::peek(0, PCI5C3A_LED_ADDR), 0xFF);

    // The card stays installed, its descriptor open, its LED byte untouched.
    EXPECT_EQ(pci_Info_5C3A[0].magic, 0x5C3A);
    EXPECT_NE(fcntl(pci_Info_5C3A[0].fd, F_GETFD), -1);
    EXPECT_EQ(LEDStatus[0], 0);
    EXPECT_EQ(portStruct[1].accMask, 0x7FFu);  // configuration kept after close
}

TEST_F(Card, ClosingTwiceIsRefusedTheSecondTime) {
    open({{0, 0}});
    EXPECT_EQ(CanCloseDriver(0), 0);
    vcard::trace_clear();
    EXPECT_EQ(CanCloseDriver(0), PCI5C3A_ERROR);
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(Card, CloseIgnoresDriverFailures) {
    open({{0, 0}});
    vcard::answer(REQ_PORT_CLOSE, -1, EIO);
    vcard::answer(REQ_LAST_CLOSE, -1, EIO);
    EXPECT_EQ(CanCloseDriver(0), 0);
    EXPECT_EQ(InstallRef[0], 0);
}

// A one-channel board's driver refuses every request for port 1 with
// ENXIO: the open fails with its own line and leaves the port closed, the
// card installed; other driver failures during the configuration are not
// the open's business, as before.
TEST_F(Card, APortTheDriverDoesNotHaveIsNotOpened) {
    EXPECT_EQ(CanOpenDriver(0, 0), 0);
    for (unsigned long code : {REQ_REG_READ, REQ_REG_WRITE, REQ_SET_MODE}) vcard::answer(code, -1, ENXIO);
    int result = 0;
    const std::string out = captureStdout([&] { result = CanOpenDriver(0, 1); });
    EXPECT_EQ(result, PCI5C3A_ERROR);
    EXPECT_EQ(out, "PCI-5C3A card 0 has no port 1\n");
    EXPECT_EQ(InstallRef[1], 0);
    EXPECT_EQ(InstallRef[0], 1);
    EXPECT_EQ(pci_Info_5C3A[0].magic, 0x5C3A);
    EXPECT_EQ(totalCards, 1);

    for (unsigned long code : {REQ_REG_READ, REQ_REG_WRITE, REQ_SET_MODE}) vcard::answer(code, -1, EIO);
    EXPECT_EQ(captureStdout([&] { result = CanOpenDriver(0, 1); }), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(InstallRef[1], 1);
}

// A port the driver has made a network interface refuses every request
// that names it with EADDRINUSE: the open fails with a line that says how
// to get the port back, and leaves it closed. ENXIO, a port the board does
// not have, is told apart.
TEST_F(Card, APortThatIsANetworkInterfaceIsNotOpened) {
    const std::string interfaceLine =
        "PCI-5C3A card 0 port 1 is a network interface: to open it here, set the interface down and write "
        "chardev to /sys/class/pci5c3a/PCI5C3AW0/port1/personality\n";
    EXPECT_EQ(CanOpenDriver(0, 0), 0);
    for (unsigned long code : {REQ_REG_READ, REQ_REG_WRITE, REQ_SET_MODE})
        vcard::answer(code, -1, EADDRINUSE);
    int result = 0;
    EXPECT_EQ(captureStdout([&] { result = CanOpenDriver(0, 1); }), interfaceLine);
    EXPECT_EQ(result, PCI5C3A_ERROR);
    EXPECT_EQ(InstallRef[1], 0);
    EXPECT_EQ(InstallRef[0], 1);
    EXPECT_EQ(totalCards, 1);

    // One refused request is enough, and the flag does not outlive the open.
    for (unsigned long code : {REQ_REG_READ, REQ_REG_WRITE}) vcard::clear_answer(code);
    EXPECT_EQ(captureStdout([&] { result = CanOpenDriver(0, 1); }), interfaceLine);
    EXPECT_EQ(result, PCI5C3A_ERROR);
    vcard::answer(REQ_SET_MODE, -1, ENXIO);
    EXPECT_EQ(captureStdout([&] { result = CanOpenDriver(0, 1); }), "PCI-5C3A card 0 has no port 1\n");
    vcard::clear_answer(REQ_SET_MODE);
    EXPECT_EQ(captureStdout([&] { result = CanOpenDriver(0, 1); }), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(InstallRef[1], 1);
}

// The same through the virtual card's own driver, configured as the real
// one is with netdev=1:0: the open sends exactly the configuration's
// requests, each refused, and the card's other port, its LED and the last
// close still work.
class CardWithAnInterface : public TwoCards {
protected:
    vcard::Config configuration() override {
        vcard::Config c = TwoCards::configuration();
        c.netdev = {2};
        return c;
    }
};

TEST_F(CardWithAnInterface, OpenFailsAfterTheUsualRequestsAndTheCardStaysUsable) {
    ASSERT_EQ(CanOpenDriver(0, 0), 0);
    const auto usual = codes();
    vcard::trace_clear();
    int result = 0;
    const std::string out = captureStdout([&] { result = CanOpenDriver(1, 0); });
    EXPECT_EQ(result, PCI5C3A_ERROR);
    EXPECT_EQ(
        out,
        "PCI-5C3A card 1 port 0 is a network interface: to open it here, set the interface down and write "
        "chardev to /sys/class/pci5c3a/PCI5C3AW1/port0/personality\n");
    EXPECT_EQ(pci_Info_5C3A[1].magic, 0x5C3A);
    EXPECT_EQ(InstallRef[2], 0);
    EXPECT_EQ(codes(), usual);
    const auto trace = vcard::trace();
    ASSERT_FALSE(trace.empty());
    for (const auto &r : trace) {
        EXPECT_EQ(r.card, 1);
        EXPECT_EQ(r.result, -1) << vcard::describe(r);
        EXPECT_EQ(r.error, EADDRINUSE) << vcard::describe(r);
    }
    EXPECT_EQ(vcard::peek(1, REG_MOD), MOD_RM);  // the controller was never touched

    vcard::trace_clear();
    EXPECT_EQ(CanOpenDriver(1, 1), 3);
    EXPECT_EQ(codes(), usual);  // the other port of the card opens as any port does
    EXPECT_EQ(CanSetLedStatus(1, 2, 1), 0);
    EXPECT_EQ(vcard::peek(1, PCI5C3A_LED_ADDR), 0x04);
    EXPECT_EQ(CanCloseDriver(0), 0);
    EXPECT_EQ(CanCloseDriver(3), 0);
    EXPECT_EQ(vcard::peek(1, PCI5C3A_LED_ADDR), LED_AT_LAST_CLOSE);
}

TEST_F(TwoCards, LastCloseWaitsForPortsOfCardsOpenedOutOfOrder) {
    // Only card 1 is in use: one installation, handles 2 and 3.
    open({{1, 0}, {1, 1}});
    EXPECT_EQ(totalCards, 1);
    EXPECT_EQ(CanCloseDriver(2), 0);
    EXPECT_EQ(codes(), std::vector<unsigned long>{REQ_PORT_CLOSE});  // handle 3 is still open
    vcard::trace_clear();
    EXPECT_EQ(CanCloseDriver(3), 0);
    EXPECT_EQ(codes(), (std::vector<unsigned long>{REQ_PORT_CLOSE, REQ_LAST_CLOSE}));
    for (const auto &r : vcard::trace()) EXPECT_EQ(r.card, 1);
}

TEST_F(TwoCards, LastCloseGoesToTheClosingPortsCard) {
    open({{0, 0}, {1, 1}});
    EXPECT_EQ(totalCards, 2);
    EXPECT_EQ(CanCloseDriver(0), 0);
    EXPECT_EQ(codes(), std::vector<unsigned long>{REQ_PORT_CLOSE});
    vcard::trace_clear();
    EXPECT_EQ(CanCloseDriver(3), 0);
    const auto trace = vcard::trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[1].code, REQ_LAST_CLOSE);
    EXPECT_EQ(trace[1].card, 1);
}

TEST_F(Card, ReopeningAnOpenPortConfiguresItAgain) {
    open({{0, 1}});
    PORT_STRUCT c = config(PCI5C3A_ID_EXTENDED, 0x1234, 0, PCI5C3A_BAUD_500K);
    ASSERT_EQ(CanConfigPort(1, &c), 0);
    vcard::trace_clear();
    EXPECT_EQ(CanOpenDriver(0, 1), 1);
    EXPECT_EQ(totalCards, 1);
    EXPECT_EQ(portStruct[1].mode, 0u);
    EXPECT_EQ(portStruct[1].accMask, 0x7FFu);
    EXPECT_FALSE(writes().empty());
}

TEST_F(Card, VersionIsMajorAndMinor) {
    EXPECT_EQ(GetDriverVersion(), 4);
    majorVersion = 1;
    minorVersion = 2;
    EXPECT_EQ(GetDriverVersion(), 0x102);
    majorVersion = 0xFFFF;
    minorVersion = 0xFFFF;
    EXPECT_EQ(GetDriverVersion(), 0xFFFF);
}

TEST_F(Card, HandlesOutsideTheRangeTouchNothing) {
    open({{0, 0}, {0, 1}});
    const Snapshot before = take();
    PORT_STRUCT c = config(PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_1M);
    PORT_STATUS st;
    for (int h : {-1, 8, 9, -8, 1 << 20}) {
        EXPECT_EQ(CanCloseDriver(h), PCI5C3A_ERROR);
        EXPECT_EQ(_5C3A_Read(h, 2), 0);
        EXPECT_EQ(_5C3A_Write(h, 0, 1), PCI5C3A_ERROR);
        EXPECT_EQ(CanConfigPort(h, &c), PCI5C3A_ERROR);
        EXPECT_EQ(CanGetPortStatus(h, &st), PCI5C3A_ERROR);
    }
    EXPECT_EQ(difference(before, take()), "");
    EXPECT_EQ(requestCount(), 0u);
}

// ---------------------------------------------------------------------------
// Register accessors

TEST_F(Card, ReadAddressesThePortsWindow) {
    open({{0, 1}});
    _5C3A_Read(1, 4);
    const auto trace = vcard::trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].code, REQ_REG_READ);
    EXPECT_EQ(trace[0].in, regAccessBytes(132, 0));
    EXPECT_EQ(trace[0].fd, pci_Info_5C3A[0].fd);
}

TEST_F(TwoCards, WriteSendsTheLowByteOnTheCardsDescriptor) {
    open({{1, 0}});
    EXPECT_EQ(_5C3A_Write(2, 0, 0x108), 0);
    const auto trace = vcard::trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].code, REQ_REG_WRITE);
    EXPECT_EQ(trace[0].card, 1);
    EXPECT_EQ(trace[0].fd, pci_Info_5C3A[1].fd);
    EXPECT_EQ(trace[0].in, regAccessBytes(0, 0x08));
}

TEST_F(Card, AccessorsOnAClosedPortSendNothing) {
    open({{0, 0}});
    ASSERT_EQ(CanCloseDriver(0), 0);
    vcard::trace_clear();
    EXPECT_EQ(_5C3A_Read(0, 2), 0);
    EXPECT_EQ(_5C3A_Write(0, 4, 0x01), PCI5C3A_ERROR);
    EXPECT_EQ(_5C3A_Read(1, 2), 0);  // never opened
    EXPECT_EQ(_5C3A_Write(1, 4, 0x01), PCI5C3A_ERROR);
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(Card, AccessorsPassOnTheDriversAnswer) {
    open({{0, 0}});
    vcard::answer(REQ_REG_WRITE, -1, EIO);
    EXPECT_EQ(_5C3A_Write(0, 4, 0x01), PCI5C3A_ERROR);
    vcard::answer(REQ_REG_WRITE, 0);
    EXPECT_EQ(_5C3A_Write(0, 4, 0x01), 0);

    // A failed read gives 0, whatever the register holds.
    vcard::force_read(0, REG_EWLR, {0x55}, true);
    EXPECT_EQ(_5C3A_Read(0, 13), 0x55);
    vcard::answer(REQ_REG_READ, -1, EIO);
    EXPECT_EQ(_5C3A_Read(0, 13), 0);
}

TEST_F(Card, AccessorsAcceptAnyNonZeroOpenFlag) {
    open({{0, 0}});
    InstallRef[0] = 2;
    EXPECT_EQ(_5C3A_Read(0, 13), 96);  // the controller's warning limit after reset
    EXPECT_EQ(_5C3A_Write(0, 4, 0x03), 0);
    EXPECT_EQ(requestCount(), 2u);
}

TEST_F(Card, TablesMarkedOpenWithoutACardSendNothing) {
    // An application that writes the exported tables itself must not make
    // the library talk to descriptor 0.
    InstallRef[0] = 1;
    EXPECT_EQ(_5C3A_Write(0, 4, 0x03), PCI5C3A_ERROR);
    EXPECT_EQ(_5C3A_Read(0, 2), 0);
    EXPECT_EQ(CanCloseDriver(0), 0);
    EXPECT_EQ(requestCount(), 0u);
}
