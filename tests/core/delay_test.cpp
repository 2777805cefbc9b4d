// delay_ms: the whole delay in the microseconds field of one select() without descriptors.
// select is replaced in this binary, so the call is seen and nothing waits.
#include "hidbridge.h"

#include <gtest/gtest.h>

#include <sys/select.h>

#include <vector>

namespace {

struct Call {
    int nfds;
    bool sets;
    bool timeout;
    long sec, usec;
};
std::vector<Call> calls;

} // namespace

extern "C" int select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *tv)
{
    calls.push_back({nfds, r || w || e, tv != nullptr, tv ? long(tv->tv_sec) : -1, tv ? long(tv->tv_usec) : -1});
    return 0;
}

TEST(Delay, WholeDelayInTheMicrosecondsField)
{
    for (int ms : {0, 1, 999, 1500, 60000}) {
        SCOPED_TRACE(ms);
        calls.clear();
        delay_ms(ms);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].nfds, 0);
        EXPECT_FALSE(calls[0].sets);
        ASSERT_TRUE(calls[0].timeout);
        EXPECT_EQ(calls[0].sec, 0);
        EXPECT_EQ(calls[0].usec, ms * 1000L);
    }
}
