// Files that Apache reads are never written in place: the new content goes to
// a temporary beside the live file and is renamed over it when complete. A
// run ended by SIGINT, SIGTERM or SIGHUP removes its temporaries and rolls
// back its undo records first.
#pragma once

#include "util/owners.hpp"

#include <climits>
#include <csignal>
#include <cstdio>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

namespace lanternctl
{

// A temporary at a fixed name in dir, removed on every way out until
// committed, also when the run is ended by SIGINT, SIGTERM or SIGHUP. Only
// the holder of the state lock writes one, so a file already there is the
// leftover of a run that died, and creating the temporary removes it. No
// directory is ever read to find such leftovers.
class pending_file
{
  public:
    pending_file() = default;
    pending_file(const pending_file &) = delete;
    pending_file &operator=(const pending_file &) = delete;
    ~pending_file();

    // Creates it at path (in dir) exclusively, never through a symbolic
    // link, with mode under the umask. false with errno (what is in the way
    // may be no file to remove: a directory stays).
    bool create(const char *dir, const char *path, mode_t mode);
    // Makes it at path (in dir) a second name of the file at existing (never
    // followed if a link), so that the file can be put back at some path by
    // commit(). false with errno.
    bool link_to(const char *dir, const char *path, const char *existing);
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
    // Removes it now; false with errno, and it stays for the next run that
    // writes it to remove.
    bool discard();
    // Its logical path, for messages.
    const char *path() const { return path_; }

  private:
    bool name(const char *dir, const char *path);
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

// Whether what follows "<name>." is how earlier versions numbered their
// temporaries: "<pid>.<n>".
bool is_earlier_temporary_suffix(std::string_view suffix);

// The paths of an undo record beneath the file-system root: what the cleanup
// handler needs to put the earlier state of target back.
struct undo_paths {
    char record[PATH_MAX];
    char target[PATH_MAX];
    char dir[PATH_MAX];
    bool had_earlier; // the record is the earlier file, not the marker of none

    // false (ENAMETOOLONG) when a path does not fit.
    bool resolve(const char *dir_path, const char *record_path, const char *target_path,
                 bool earlier);
};

// Puts the earlier state of target back from its record, durably, and
// removes the record; false with errno, the record then still there.
// Async-signal-safe.
bool roll_back_paths(const undo_paths &paths);

// Hands a record to the cleanup handler until disarm_undo(); the slot, or
// -1 with EBUSY when the handler holds as many as it can.
int arm_undo(const undo_paths &paths);
void disarm_undo(int slot);

// Holds the cleanup signals off while a file comes into being or goes: the
// handler must never remove a file that has just become the live one.
class cleanup_signals_blocked
{
  public:
    cleanup_signals_blocked();
    ~cleanup_signals_blocked();
    cleanup_signals_blocked(const cleanup_signals_blocked &) = delete;
    cleanup_signals_blocked &operator=(const cleanup_signals_blocked &) = delete;

  private:
    sigset_t old_;
};

// From now until exit, SIGINT, SIGTERM and SIGHUP first kill the child the
// run waits for, roll back the armed undo records and remove the
// temporaries; a signal the caller ignores stays ignored.
void install_cleanup_handlers();

// Makes the entries of a directory (a rename or an unlink in it) durable.
// false with errno.
bool sync_directory(const char *dir);
bool sync_directory_fd(int fd);

} // namespace lanternctl
