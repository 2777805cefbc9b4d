// The queries against the real kernel: a network namespace of the test's own with a veth pair
// whose one end is eth0. Nothing is sent; IPv6 is switched off so the kernel sends nothing either.
#include "netinfo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

const char *find_ip()
{
    for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (access(p, X_OK) == 0)
            return p;
    }
    return nullptr;
}

void write_sysctl(const char *path, const char *value)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        return;  // kernel without IPv6: nothing to switch off
    ssize_t n = write(fd, value, strlen(value));
    (void)n;
    close(fd);
}

// Whether ethtool requests reach the kernel at all: qemu-user does not pass them on.
bool ethtool_reaches_kernel()
{
    struct ethtool_value ev = {ETHTOOL_GLINK, 0};
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strcpy(ifr.ifr_name, "lo");
    ifr.ifr_data = reinterpret_cast<char *>(&ev);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int rc = ioctl(fd, SIOCETHTOOL, &ifr);
    close(fd);
    return rc == 0;
}

class NetNamespace : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to create a network namespace";
        ip_ = find_ip();
        if (!ip_)
            GTEST_SKIP() << "needs the ip tool (iproute2) to create a network namespace";
        name_ = "hbnet" + std::to_string(getpid());
        run_ip({"netns", "del", name_.c_str()});  // left over by a crashed run of this pid
        if (run_ip({"netns", "add", name_.c_str()}) != 0)
            GTEST_SKIP() << "cannot create a network namespace here";
        created_ = true;

        home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(home_, 0);
        int ns = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(ns, 0);
        ASSERT_EQ(setns(ns, CLONE_NEWNET), 0);
        close(ns);
        entered_ = true;
        write_sysctl("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1");
        write_sysctl("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1");

        if (ip({"link", "add", "eth0", "type", "veth", "peer", "name", "peer0"}) != 0)
            GTEST_SKIP() << "cannot create a veth pair here";
        ASSERT_EQ(ip({"link", "set", "eth0", "address", "02:1a:2b:3c:4d:5e"}), 0);
        ASSERT_EQ(ip({"addr", "add", "192.0.2.10/24", "dev", "eth0"}), 0);
        ASSERT_EQ(ip({"link", "set", "peer0", "up"}), 0);
        ASSERT_EQ(ip({"link", "set", "eth0", "up"}), 0);
        ASSERT_EQ(ip({"route", "add", "default", "via", "192.0.2.1", "dev", "eth0"}), 0);
    }

    void TearDown() override
    {
        if (entered_) {
            EXPECT_EQ(setns(home_, CLONE_NEWNET), 0);
        }
        if (home_ >= 0)
            close(home_);
        if (created_) {
            EXPECT_EQ(run_ip({"netns", "del", name_.c_str()}), 0);
        }
    }

    // Runs ip with the arguments; its exit status, -1 when it could not run.
    int run_ip(std::initializer_list<const char *> args) { return exec_ip({}, args); }

    // ip inside the test's namespace.
    int ip(std::initializer_list<const char *> args) { return exec_ip({"-n", name_.c_str()}, args); }

    int exec_ip(std::initializer_list<const char *> options, std::initializer_list<const char *> args)
    {
        std::vector<const char *> argv{ip_};
        argv.insert(argv.end(), options);
        argv.insert(argv.end(), args);
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            execv(ip_, const_cast<char *const *>(argv.data()));
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }

    const char *ip_ = nullptr;
    std::string name_;
    int home_ = -1;
    bool created_ = false;
    bool entered_ = false;
};

TEST_F(NetNamespace, QueriesSeeTheInterfaceAsConfigured)
{
    if_info_t info;
    memset(&info, 0, sizeof info);
    strcpy(info.name, "eth0");
    ASSERT_EQ(get_if_info(&info), 0);
    EXPECT_STREQ(info.ip, "192.0.2.10");
    EXPECT_STREQ(info.netmask, "255.255.255.0");
    EXPECT_STREQ(info.gateway, "192.0.2.1");
    EXPECT_STREQ(info.mac, "02:1A:2B:3C:4D:5E");

    if (ethtool_reaches_kernel()) {
        int link = -1;
        EXPECT_EQ(get_if_link("eth0", &link), 0);
        EXPECT_EQ(link, 1);
    }

    char out[16] = "";
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_eth0_ip(out), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(out, "192.0.2.10");

    // Without the default route the gateway is empty and the query still succeeds.
    ASSERT_EQ(ip({"route", "del", "default"}), 0);
    strcpy(info.gateway, "stale");
    ASSERT_EQ(get_if_info(&info), 0);
    EXPECT_STREQ(info.gateway, "");
    EXPECT_STREQ(info.ip, "192.0.2.10");
}

TEST_F(NetNamespace, LinkFollowsThePeer)
{
    if (!ethtool_reaches_kernel())
        GTEST_SKIP() << "ethtool requests do not reach the kernel here (emulator)";
    ASSERT_EQ(ip({"link", "set", "peer0", "down"}), 0);
    int link = -1;
    EXPECT_EQ(get_if_link("eth0", &link), 0);
    EXPECT_EQ(link, 0);

    char out[16] = "untouched";
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_eth0_ip(out), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(out, "untouched");

    ASSERT_EQ(ip({"link", "set", "peer0", "up"}), 0);
    EXPECT_EQ(get_if_link("eth0", &link), 0);
    EXPECT_EQ(link, 1);
    EXPECT_EQ(get_eth0_ip(out), 0);
    EXPECT_STREQ(out, "192.0.2.10");
}

TEST_F(NetNamespace, AddressQueryFailureIsTheOneMessage)
{
    ASSERT_EQ(ip({"addr", "flush", "dev", "eth0"}), 0);
    if_info_t info;
    memset(&info, 0, sizeof info);
    strcpy(info.name, "eth0");
    EXPECT_EQ(get_if_info(&info), -1);
    EXPECT_STREQ(info.ip, "");

    char out[16] = "untouched";
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_eth0_ip(out), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "BSPGetIfAddr eth0 err\r\n");
    EXPECT_STREQ(out, "untouched");
}

TEST_F(NetNamespace, DriverWithoutLinkQueryStillGivesTheAddress)
{
    // ifb answers no ethtool link request: the link is taken as up.
    ASSERT_EQ(ip({"link", "del", "eth0"}), 0);
    if (ip({"link", "add", "eth0", "type", "ifb"}) != 0)
        GTEST_SKIP() << "no ifb device in this kernel";
    ASSERT_EQ(ip({"addr", "add", "192.0.2.20/24", "dev", "eth0"}), 0);
    ASSERT_EQ(ip({"link", "set", "eth0", "up"}), 0);

    int link = -1;
    EXPECT_EQ(get_if_link("eth0", &link), -1);
    EXPECT_EQ(link, 0);
    char out[16] = "";
    EXPECT_EQ(get_eth0_ip(out), 0);
    EXPECT_STREQ(out, "192.0.2.20");
}

}  // namespace
