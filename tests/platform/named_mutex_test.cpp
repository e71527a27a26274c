#include "platform/named_mutex.h"

#include "platform/clock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

namespace {

class NamedMutexTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quillon-lock-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("VELMORA_LOCK_DIR", dir_.c_str(), 1);
        name_ = "TestMutex" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    void TearDown() override {
        unsetenv("VELMORA_LOCK_DIR");
        std::filesystem::remove_all(dir_);
    }
    std::string dir_, name_;
};

TEST_F(NamedMutexTest, RecursiveForTheHoldingThreadExclusiveForOthers) {
    auto m = platform::CreateNamedMutex(name_);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Lock(0), platform::WaitResult::Acquired);
    EXPECT_EQ(m->Lock(0), platform::WaitResult::Acquired);
    auto other = platform::CreateNamedMutex(name_);  // same name: the same mutex
    platform::WaitResult seen{};
    std::thread t([&] { seen = other->Lock(30); });
    t.join();
    EXPECT_EQ(seen, platform::WaitResult::TimedOut);
    EXPECT_TRUE(m->Unlock());
    EXPECT_TRUE(m->Unlock());
    EXPECT_FALSE(m->Unlock());
    std::thread t2([&] {
        seen = other->Lock(30);
        other->Unlock();
    });
    t2.join();
    EXPECT_EQ(seen, platform::WaitResult::Acquired);
}

TEST_F(NamedMutexTest, ExcludesAnotherProcessAndIsFreedWhenThatProcessIsKilled) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto m = platform::CreateNamedMutex(name_);
        if (!m || m->Lock(1000) != platform::WaitResult::Acquired) _exit(1);
        if (write(ready[1], "k", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    auto m = platform::CreateNamedMutex(name_);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Lock(50), platform::WaitResult::TimedOut);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(m->Lock(1000), platform::WaitResult::Acquired);
    m->Unlock();
    close(ready[0]);
    close(ready[1]);
}

TEST_F(NamedMutexTest, TimeOutIsMeasuredOnTheInstalledClock) {
    auto m = platform::CreateNamedMutex(name_);
    ASSERT_EQ(m->Lock(0), platform::WaitResult::Acquired);
    platform::VirtualClock clock;
    platform::ScopedClock use(clock);
    platform::WaitResult seen{};
    std::thread t([&] { seen = platform::CreateNamedMutex(name_)->Lock(20000); });
    t.join();
    EXPECT_EQ(seen, platform::WaitResult::TimedOut);
    EXPECT_GE(clock.NowMs(), 20000u);
    m->Unlock();
}

}  // namespace
