// Files that Apache reads are never written in place: the new content goes to
// a temporary beside the live file and is renamed over it when complete.
#pragma once

#include "util/owners.hpp"

#include <climits>
#include <cstdio>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

namespace lanternctl
{

// A temporary "<dir>/.<base>.<role>", removed on every way out until
// committed, also when the run is ended by SIGINT, SIGTERM or SIGHUP. Its
// name is fixed: only the holder of the state lock writes one, so a file
// already there is the leftover of a run that died, and creating the
// temporary removes it. No directory is ever read to find such leftovers.
class pending_file
{
  public:
    pending_file() = default;
    pending_file(const pending_file &) = delete;
    pending_file &operator=(const pending_file &) = delete;
    ~pending_file();

    // Creates it exclusively, never through a symbolic link, with mode under
    // the umask. false with errno when it cannot be created.
    bool create(const char *dir, std::string_view base, std::string_view role, mode_t mode);
    // Makes it a second name of the file at existing (never followed if a
    // link), so that the file can be put back at some path by commit().
    // false with errno.
    bool link_to(const char *dir, std::string_view base, std::string_view role,
                 const char *existing);
    FILE *stream() const { return stream_.get(); }
    // When target is a regular file, gives the temporary its permissions
    // and, where this process may set them, its owner and group. false with
    // errno when that failed; true also when there is nothing to take.
    bool take_attributes_of(const char *target);
    // Flushes to disk and closes; false with errno when any of it failed.
    bool finish();
    // Renames it over target and syncs the directory; false with errno. It
    // stays pending when the rename failed, or (EBUSY) when its name no
    // longer holds the file it created; when only the sync failed, the new
    // file is in place but may not survive a crash.
    bool commit(const char *target);

  private:
    bool name(const char *dir, std::string_view base, std::string_view role);
    // Runs make_file (>= 0 on success) with the cleanup signals held off,
    // removing a leftover in the way.
    template <typename Make> bool make(Make make_file);

    char dir_[PATH_MAX] = "";       // as the tool names it
    char path_[PATH_MAX] = "";      // as the tool names it
    char real_path_[PATH_MAX] = ""; // beneath the file-system root
    bool created_ = false;
    int slot_ = -1; // in the signal handler's list
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    hcp::unique_file stream_;
};

// Makes the entries of a directory (a rename or an unlink in it) durable.
// false with errno.
bool sync_directory(const char *dir);
bool sync_directory_fd(int fd);

} // namespace lanternctl
