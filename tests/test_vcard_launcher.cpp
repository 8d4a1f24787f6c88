// SPDX-License-Identifier: MIT
// with-virtual-card: runs an unchanged program (vcard_probe, linked only to
// the card library) on the virtual card and passes its exit status on.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string directoryOf(const std::string &path) { return path.substr(0, path.rfind('/')); }

// This test program lives in the build tree's tests/, next to the probe; the
// virtual card library and the launcher copy made for it are in vcard/.
std::string buildTests() {
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? directoryOf(std::string(self, std::size_t(n))) : ".";
}
const std::string kProbe = buildTests() + "/vcard_probe";
const std::string kBuiltLauncher = buildTests() + "/../vcard/with-virtual-card";
const std::string kLibrary = buildTests() + "/../vcard/libpci_5C3A_vcard.so";
const std::string kSourceLauncher = directoryOf(directoryOf(__FILE__)) + "/vcard/with-virtual-card";

struct Outcome {
    int status;
    std::string output;  // standard output and error
};

Outcome run(const std::string &command) {
    Outcome r{-1, {}};
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buffer[512];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) r.output.append(buffer, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string quoted(const std::string &s) { return "'" + s + "'"; }

TEST(VcardLauncher, RunsAnUnchangedProgramOnTheVirtualCard) {
    // Without it the program finds no card.
    Outcome r = run(quoted(kProbe) + " 7");
    EXPECT_EQ(r.status, 99) << r.output;

    r = run(quoted(kBuiltLauncher) + " " + quoted(kProbe) + " 7");
    EXPECT_EQ(r.status, 7) << r.output;
    EXPECT_EQ(r.output, "warning limit 96\n");
    r = run(quoted(kBuiltLauncher) + " " + quoted(kProbe) + " 0");
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST(VcardLauncher, TheProgramSeesTheConfiguration) {
    Outcome r = run("PCI5C3A_VCARD_CARDS=0 " + quoted(kBuiltLauncher) + " " + quoted(kProbe) + " 7");
    EXPECT_EQ(r.status, 99) << r.output;
    EXPECT_NE(r.output.find("Couldn't find PCI-5C3A card 0"), std::string::npos) << r.output;

    r = run("PCI5C3A_VCARD_WIRING=crossed " + quoted(kBuiltLauncher) + " " + quoted(kProbe) + " 7");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output,
              "virtual card: PCI5C3A_VCARD_WIRING=\"crossed\" is not valid; expected loopback, separate or "
              "shared\n");

    r = run("PCI5C3A_VCARD_TRACE=- " + quoted(kBuiltLauncher) + " " + quoted(kProbe) + " 3");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.output.find("REQ_REG_READ addr=13 data=0x60 -> 0\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("REQ_LAST_CLOSE addr=64 data=0xff -> 0\n"), std::string::npos) << r.output;
}

TEST(VcardLauncher, FindsTheLibraryOrSaysWhy) {
    // The source tree's copy, given the library explicitly.
    Outcome r = run("PCI5C3A_VCARD_LIB=" + quoted(kLibrary) + " " + quoted(kSourceLauncher) + " " +
                    quoted(kProbe) + " 5");
    EXPECT_EQ(r.status, 5) << r.output;

    r = run("PCI5C3A_VCARD_LIB=/nonexistent/lib.so " + quoted(kBuiltLauncher) + " " + quoted(kProbe));
    EXPECT_EQ(r.status, 127);
    EXPECT_NE(r.output.find("PCI5C3A_VCARD_LIB=/nonexistent/lib.so: no such file"), std::string::npos)
        << r.output;

    // A library of the other ABI would be ignored by the dynamic loader, and
    // the program would look for the real card: refused.
    std::string tmpl = ::testing::TempDir() + "vcard-otherabiXXXXXX";  // TMPDIR, else /tmp
    char *path = tmpl.data();
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const unsigned char header[16] = {0x7F, 'E', 'L', 'F', sizeof(void *) == 8 ? 1 : 2, 1, 1};
    ASSERT_EQ(write(fd, header, sizeof header), ssize_t(sizeof header));
    close(fd);
    r = run(std::string("PCI5C3A_VCARD_LIB=") + path + " " + quoted(kBuiltLauncher) + " " + quoted(kProbe));
    EXPECT_EQ(r.status, 127);
    EXPECT_NE(r.output.find(sizeof(void *) == 8 ? "is not a 64-bit library" : "is not a 32-bit library"),
              std::string::npos)
        << r.output;
    unlink(path);

    r = run(quoted(kBuiltLauncher) + " /nonexistent/program");
    EXPECT_EQ(r.status, 127);
    r = run(quoted(kBuiltLauncher));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("usage: with-virtual-card PROGRAM [ARGS...]"), std::string::npos);
}

}  // namespace
