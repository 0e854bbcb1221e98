// bench-children: the cost of one trivial child through each runner that
// closes the descriptors it inherits, with RLIMIT_NOFILE at 1,024 and at the
// hard limit, measured in one run. Built and run by scripts/bench-children.
#include "hcp_proc.h"
#include "hcp_util.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

constexpr rlim_t k_low_limit = 1024;
// Where the hard limit is unlimited, a table as large as FreeBSD's usual ones.
constexpr rlim_t k_unlimited_stand_in = rlim_t(1) << 20;

std::string g_child;

bool run_service()
{
    return run_service_script(g_child.c_str(), g_child.c_str(), "start", 1) == 0;
}

bool run_getouterr()
{
    char *argv[] = {g_child.data(), nullptr};
    char *out = nullptr;
    char *err = nullptr;
    int result = fork_execv_getouterr(&out, &err, g_child.c_str(), argv);
    std::free(out);
    std::free(err);
    return result == 0;
}

bool run_capture()
{
    char *argv[] = {g_child.data(), nullptr};
    char *buffer = nullptr;
    size_t size = 0;
    int status = 0;
    char *failure = nullptr;
    size_t failure_free = 0;
    int rc = run_and_capture(&buffer, &size, &status, argv, &failure, &failure_free);
    std::free(buffer);
    std::free(failure);
    return rc == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct runner {
    const char *name;
    bool (*run)();
};

const runner k_runners[] = {
    {"run_service_script", run_service},
    {"fork_execv_getouterr", run_getouterr},
    {"run_and_capture", run_capture},
};

bool set_soft_limit(rlim_t soft)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    limit.rlim_cur = soft;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Milliseconds per child over `children` runs, or a negative value when a
// child failed.
double time_children(const runner &r, int children)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < children; i++)
        if (!r.run())
            return -1;
    std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / children;
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    int children = argc > 2 ? std::atoi(argv[2]) : 100;
    if (rounds < 1 || children < 1) {
        std::fprintf(stderr, "usage: bench-children [rounds [children-per-round]]\n");
        return 2;
    }

    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        std::perror("getrlimit");
        return 1;
    }
    rlim_t high = limit.rlim_max == RLIM_INFINITY ? k_unlimited_stand_in : limit.rlim_max;
    rlim_t low = std::min(k_low_limit, high);
    if (!set_soft_limit(high)) {
        std::perror("setrlimit");
        return 1;
    }

    char dir[] = "/tmp/bench-children-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    g_child = std::string(dir) + "/trivial";
    FILE *script = std::fopen(g_child.c_str(), "w");
    if (script == nullptr || std::fputs("#!/bin/sh\nexit 0\n", script) < 0 ||
        std::fclose(script) != 0 || chmod(g_child.c_str(), 0755) != 0) {
        std::perror(g_child.c_str());
        return 1;
    }

    std::printf("trivial child: %s; best of %d rounds of %d children per limit\n", g_child.c_str(),
                rounds, children);
    std::printf("%-22s %14s %14s %8s\n", "runner", "ms at 1024",
                ("ms at " + std::to_string(high)).c_str(), "ratio");
    int status = 0;
    for (const runner &r : k_runners) {
        double best[2] = {1e300, 1e300};
        const rlim_t limits[2] = {low, high};
        // Untimed: the first children also pay for caches and page faults.
        if (time_children(r, children / 10 + 1) < 0) {
            std::fprintf(stderr, "%s: the trivial child failed\n", r.name);
            return 1;
        }
        // Both limits in every round, so that a busy machine slows both alike.
        for (int round = 0; round < rounds; round++) {
            for (int i = 0; i < 2; i++) {
                if (!set_soft_limit(limits[i])) {
                    std::perror("setrlimit");
                    return 1;
                }
                double ms = time_children(r, children);
                if (ms < 0) {
                    std::fprintf(stderr, "%s: the trivial child failed\n", r.name);
                    return 1;
                }
                best[i] = std::min(best[i], ms);
            }
        }
        double ratio = best[1] / best[0];
        std::printf("%-22s %14.3f %14.3f %7.2fx\n", r.name, best[0], best[1], ratio);
        if (ratio > 1.5)
            status = 3;
    }
    set_soft_limit(high);
    unlink(g_child.c_str());
    rmdir(dir);
    std::printf(status == 0 ? "goal met: every ratio at most 1.5\n"
                            : "goal missed: a ratio above 1.5\n");
    return status;
}
