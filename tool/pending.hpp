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
    // Removes it now; false with errno, and it stays for the next run that
    // writes it to remove.
    bool discard();

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

// What a run keeps to undo its change of one file until it has decided: the
// earlier file under a second name "<dir>/.<base>.old", or, where there was
// none, the empty marker "<dir>/.<base>.absent". It is no temporary: nothing
// removes it but the decision. A run ended meanwhile by SIGINT, SIGTERM or
// SIGHUP rolls it back; one killed outright leaves it for the next run, whose
// complete_left() rolls it back before anything else. The lock holder is
// the only one to keep one.
class undo_record
{
  public:
    undo_record() = default;
    undo_record(const undo_record &) = delete;
    undo_record &operator=(const undo_record &) = delete;
    ~undo_record(); // leaves the record where it is

    // Keeps the file at target aside, durably: a second name of it; where
    // this user may not link it (Linux's protected_hardlinks), the file
    // itself, renamed, and target has then no file until the new one is
    // committed. Keeps nothing for a directory, which no file can replace.
    // false with errno, having kept nothing.
    bool keep(const char *dir, std::string_view base, const char *target);
    // The change stays: the record goes, durably. false with errno, and
    // what is left of the record is for the next run to roll back.
    bool drop();
    // The earlier state back at target, durably, and the record gone.
    // false with errno: the record stays for the next run.
    bool roll_back();
    // Rolls back a record that a run killed outright left for target, if
    // there is one. false with errno: it stays.
    static bool complete_left(const char *dir, std::string_view base, const char *target);

  private:
    bool armed_ = false;
};

// From now until exit, SIGINT, SIGTERM and SIGHUP first kill the child the
// run waits for, roll back an undo record and remove the temporaries; a
// signal the caller ignores stays ignored.
void install_cleanup_handlers();

// Makes the entries of a directory (a rename or an unlink in it) durable.
// false with errno.
bool sync_directory(const char *dir);
bool sync_directory_fd(int fd);

} // namespace lanternctl
