// Owners for the C resources the library handles, so every way out of a
// function releases them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace hcp
{

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using unique_malloc = std::unique_ptr<T, free_deleter>;

// A descriptor closed on destruction; release() hands it over.
class unique_fd
{
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&o) noexcept : fd_(o.release()) {}
    unique_fd &operator=(unique_fd &&o) noexcept
    {
        reset(o.release());
        return *this;
    }
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

} // namespace hcp
