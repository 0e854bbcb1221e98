// Web-server discovery against a stand-in Apache that never ends: the run
// waits out the whole bound on the child, a minute, so it runs apart
// (ctest -L slow).
#include "harness.hpp"
#include "hcp_util.h"
#include "util/child.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using GetApachePathSlowDeathTest = testing::Test;

void discover()
{
    char *magic = nullptr;
    int version_code = 0;
    int patch_level = 0;
    get_apache_path(&magic, &version_code, &patch_level);
    std::free(magic);
}

TEST_F(GetApachePathSlowDeathTest, HungVersionQueryFailsAtTheBound)
{
    hcp_test::temp_root root;
    root.write_conf("PRODUCT_ROOT_D /opt/hcp\n");
    // Every process of the stand-in's group holds the FIFO's writing end: it
    // hangs up once all of them are gone.
    std::string fifo = root.real("/held");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int held = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    std::string runs = root.real("/runs");
    root.write("/usr/sbin/httpd",
               "#!/bin/sh\necho run >> '" + runs + "'\nexec 3>'" + fifo +
                   "'\nsleep 600 &\nexec sleep 600\n",
               0755);
    root.enter();
    EXPECT_EXIT(discover(), testing::ExitedWithCode(1),
                "^get_apache_path: '/usr/sbin/httpd -V' failed\n$");

    EXPECT_EQ(root.read("/runs"), "run\n") << "a query killed at the bound is not run again";
    struct pollfd watched = {held, POLLIN, 0};
    ASSERT_EQ(::poll(&watched, 1, hcp::k_child_wait_seconds * 1000), 1)
        << "a process of the stand-in's group outlived the bound";
    EXPECT_NE(watched.revents & POLLHUP, 0);
    ::close(held);
}

} // namespace
