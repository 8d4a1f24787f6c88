// The virtual card serves requests without allocating, as a kernel driver
// does: an application's signal handler may call the library while the
// thread it interrupted holds the allocator's lock.
#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>

#include "support.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
void count() {
    if (counting) ++allocations;
}
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer owns the allocator; it reports every allocation to a hook.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                         void (*)(const volatile void *));
namespace {
void countHook(const volatile void *, size_t) { count(); }
void freeHook(const volatile void *) {}
// Refused (0) unless both hooks are given.
bool installCounter() { return __sanitizer_install_malloc_and_free_hooks(countHook, freeHook) != 0; }
}  // namespace
#else
namespace {
bool installCounter() { return true; }
}  // namespace
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);

void *malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m) {
    count();
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n) {
    count();
    return __libc_realloc(p, n);
}
void *memalign(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
void *aligned_alloc(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
int posix_memalign(void **p, size_t a, size_t n) {
    count();
    *p = __libc_memalign(a, n);
    return *p ? 0 : ENOMEM;
}
}
#endif

using namespace test;

namespace {

class NoAlloc : public Card {
protected:
    vcard::Config configuration() override {
        vcard::Config c;
        c.remote = vcard::RemoteNode{1000000, 1};
        return c;
    }
};

}  // namespace

TEST_F(NoAlloc, RequestsFramesAndTheRemoteNodeAllocateNothing) {
    open({{0, 0}, {0, 1}});
    vcard::trace_stop();
    CAN_PACKET p = packet(0x123, 8);
    PORT_STRUCT ext = config(1, 0, 0xFFFFFFFF, 3);
    PORT_STATUS st;

    ASSERT_TRUE(installCounter());
    counting = true;
    for (int round = 0; round < 20; ++round) {
        CanSendMsg(0, &p);
        CanSendMsg(1, &p);
        CanGetRcvCnt(1);
        while (CanRcvMsg(1, &p) == 0) {}
        CanGetPortStatus(0, &st);
        CanClearRxBuffer(0);
        CanGetTxErrorCount(0);
    }
    CanConfigPort(1, &ext);
    CanDetectBaudrate(0, 0);
    usleep(20000);  // remote node periods
    counting = false;
    EXPECT_EQ(allocations, 0);
}
