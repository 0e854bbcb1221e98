// The file-system root. Every absolute path the system uses goes through
// here at the system call, so that HCP_SYSROOT places the whole system
// beneath one directory, as under chroot. Messages and length limits keep
// using the logical path.
#include "hcp_util.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace
{

// The root without trailing slashes; empty when unset or empty.
std::string_view current_root()
{
    const char *env = std::getenv("HCP_SYSROOT");
    std::string_view root = env != nullptr ? env : "";
    while (root.size() > 1 && root.back() == '/')
        root.remove_suffix(1);
    if (root == "/")
        root = "";
    return root;
}

bool resolves_beneath_root(const char *path)
{
    return path[0] == '/' && std::strcmp(path, "/dev/null") != 0;
}

// Resolves into a buffer big enough for any path the kernel accepts.
class resolved
{
  public:
    explicit resolved(const char *path)
    {
        ok_ = sysroot_resolve(path, buffer_, sizeof buffer_) == 0;
    }
    const char *get() const { return ok_ ? buffer_ : nullptr; }

  private:
    char buffer_[PATH_MAX + 1];
    bool ok_;
};

} // namespace

extern "C" {

int sysroot_resolve(const char *path, char *buffer, size_t size)
{
    std::string_view root = resolves_beneath_root(path) ? current_root() : "";
    size_t path_len = std::strlen(path);
    if (root.size() + path_len + 1 > size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(buffer, root.data(), root.size());
    std::memcpy(buffer + root.size(), path, path_len + 1);
    return 0;
}

char *sysroot_path(const char *path)
{
    std::string_view root = resolves_beneath_root(path) ? current_root() : "";
    return alloc_printf("%.*s%s", static_cast<int>(root.size()), root.data(), path);
}

FILE *sysroot_fopen(const char *path, const char *mode)
{
    resolved real(path);
    return real.get() != nullptr ? std::fopen(real.get(), mode) : nullptr;
}

int sysroot_open(const char *path, int flags, mode_t mode)
{
    resolved real(path);
    return real.get() != nullptr ? ::open(real.get(), flags, mode) : -1;
}

int sysroot_stat(const char *path, struct stat *st)
{
    resolved real(path);
    return real.get() != nullptr ? ::stat(real.get(), st) : -1;
}

int sysroot_unlink(const char *path)
{
    resolved real(path);
    return real.get() != nullptr ? ::unlink(real.get()) : -1;
}

int sysroot_rename(const char *from, const char *to)
{
    resolved real_from(from);
    resolved real_to(to);
    if (real_from.get() == nullptr || real_to.get() == nullptr)
        return -1;
    return std::rename(real_from.get(), real_to.get());
}

int sysroot_chdir(const char *path)
{
    resolved real(path);
    return real.get() != nullptr ? ::chdir(real.get()) : -1;
}

} // extern "C"
