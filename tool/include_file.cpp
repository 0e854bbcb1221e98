// The include file's names, and what a killed run left beside it: the undo
// record that the next run rolls back before anything else, as an opener of
// a database rolls back a journal its writer left, and the temporaries.
#include "include_file.hpp"

#include "hcp_conf.h"
#include "hcp_util.h"
#include "messages.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

using lanternctl::beside_role;

constexpr char k_template_suffix[] = "_vhost.conf";

// What the tool itself leaves at a name: a regular file, and at the earlier
// file's name also what the include path held, a link among them.
bool is_tools_kind(beside_role role, mode_t mode)
{
    return S_ISREG(mode) || (role == beside_role::undo_earlier && S_ISLNK(mode));
}

// lstat beneath the root; 1 there, 0 not there, -1 with errno.
int look(const char *logical, struct stat &st)
{
    char real[PATH_MAX];
    if (sysroot_resolve(logical, real, sizeof real) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (::lstat(real, &st) == 0)
        return 1;
    return lanternctl::names_nothing(errno) ? 0 : -1;
}

// Removes a name beneath the root; true also when it is not there.
bool remove_if_there(const char *logical)
{
    return sysroot_unlink(logical) == 0 || errno == ENOENT;
}

} // namespace

namespace lanternctl
{

bool include_file::name(const char *webmail, bool report)
{
    strlcpy(webmail_, webmail, sizeof webmail_);
    dir_ = conf_get(HTTPD_INCLUDE_D);
    int n = std::snprintf(path_, sizeof path_, "%s/zzz_%s%s", dir_, webmail, k_template_suffix);
    if (n < 0 || size_t(n) >= sizeof path_) {
        if (report)
            log_printf(LOG_ERR, "Unable to get webserver config name. Buffer too short\n");
        return false;
    }
    base_at_ = std::strlen(dir_) + 1;
    for (const beside_name &b : k_beside_names)
        beside_[size_t(b.role)] = std::string(dir_) + "/." + base() + "." + b.suffix;
    return true;
}

bool include_file::role_of(std::string_view entry, beside_role &role) const
{
    for (const beside_name &b : k_beside_names) {
        std::string_view name = beside_[size_t(b.role)];
        if (name.substr(std::strlen(dir_) + 1) == entry) {
            role = b.role;
            return true;
        }
    }
    return false;
}

bool include_file::is_earlier_temporary(std::string_view entry) const
{
    std::string_view base_name = base();
    if (entry.size() < base_name.size() + 2 || entry[0] != '.' ||
        entry.substr(1, base_name.size()) != base_name || entry[base_name.size() + 1] != '.')
        return false;
    return is_earlier_temporary_suffix(entry.substr(base_name.size() + 2));
}

bool inspect_left(const include_file &file, left_beside &left)
{
    left = left_beside{};
    struct stat at[k_beside_roles];
    for (const beside_name &b : k_beside_names) {
        size_t i = size_t(b.role);
        int there = look(file.beside(b.role), at[i]);
        if (there < 0)
            return false;
        left.present[i] = there == 1;
        left.tools[i] = there == 1 && is_tools_kind(b.role, at[i].st_mode);
    }
    struct stat live;
    int live_there = look(file.path(), live);
    if (live_there < 0)
        return false;
    bool live_is_dir = live_there == 1 && S_ISDIR(live.st_mode);
    // A directory at the path was never replaced by a run: what is beside it
    // is none of a run's undoing.
    const struct stat &earlier = at[size_t(beside_role::undo_earlier)];
    left.record_earlier = left.ours(beside_role::undo_earlier) && !live_is_dir;
    left.record_none = !left.record_earlier && left.ours(beside_role::undo_none);
    if (left.record_earlier)
        left.live_changes =
            live_there == 0 || live.st_dev != earlier.st_dev || live.st_ino != earlier.st_ino;
    else if (left.record_none)
        left.live_changes = live_there == 1 && !live_is_dir;
    return true;
}

bool complete_left(const include_file &file, const left_beside &left)
{
    const char *earlier = file.beside(beside_role::undo_earlier);
    const char *none = file.beside(beside_role::undo_none);
    undo_paths paths;
    if (left.record_earlier || (left.record_none && left.live_changes)) {
        const char *record = left.record_earlier ? earlier : none;
        if (!paths.resolve(file.dir(), record, file.path(), left.record_earlier) ||
            !roll_back_paths(paths))
            return log_system_error(record);
        log_printf(LOG_WARNING, "Rolled back the change of %s that a killed run left undecided\n",
                   file.path());
    }
    // Only the earlier file tells what was there: a marker beside it goes,
    // as does one whose run never put a file in place.
    bool removed = false;
    for (beside_role role :
         {beside_role::undo_none, beside_role::temporary, beside_role::kept_aside}) {
        if (!left.ours(role) ||
            (role == beside_role::undo_none && left.record_none && left.live_changes))
            continue;
        if (!remove_if_there(file.beside(role)))
            return log_system_error(file.beside(role));
        removed = true;
    }
    return !removed || sync_directory(file.dir()) || log_system_error(file.dir());
}

undo_record::~undo_record()
{
    disarm_undo(slot_);
}

bool undo_record::keep(const include_file &file)
{
    cleanup_signals_blocked blocked;
    struct stat st;
    int there = look(file.path(), st);
    if (there < 0)
        return false;
    bool earlier = there == 1;
    if (earlier && S_ISDIR(st.st_mode))
        return true; // nothing to keep: the commit fails
    if (earlier && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        errno = EINVAL; // nothing the tool could put back
        return false;
    }
    dir_ = file.dir();
    record_ = file.beside(earlier ? beside_role::undo_earlier : beside_role::undo_none);
    if (!paths_.resolve(file.dir(), record_, file.path(), earlier))
        return false;
    auto undo = [&] {
        int error = errno;
        ::unlink(paths_.record);
        errno = error;
        return false;
    };
    if (!earlier) {
        int fd = ::open(paths_.record, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        if (::close(fd) != 0 || !sync_directory(file.dir()))
            return undo();
    } else if (::linkat(AT_FDCWD, paths_.target, AT_FDCWD, paths_.record, 0) == 0) {
        // Never through a link: flags 0 names the link itself.
        if (!sync_directory(file.dir()))
            return undo();
    } else {
        if (errno != EPERM && errno != EACCES && errno != EMLINK && errno != EOPNOTSUPP &&
            errno != ENOTSUP)
            return false;
        // Moved aside, never over a file there: the commit that follows at
        // once syncs both renames.
        struct stat record_st;
        if (::lstat(paths_.record, &record_st) == 0)
            errno = EEXIST;
        if (errno != ENOENT || ::rename(paths_.target, paths_.record) != 0)
            return false;
    }
    slot_ = arm_undo(paths_);
    if (slot_ < 0) {
        int error = errno;
        roll_back_paths(paths_);
        errno = error;
        return false;
    }
    return true;
}

bool undo_record::drop()
{
    if (slot_ < 0)
        return true;
    cleanup_signals_blocked blocked;
    if (::unlink(paths_.record) != 0)
        return false;
    disarm_undo(slot_);
    slot_ = -1;
    return sync_directory(dir_);
}

bool undo_record::roll_back()
{
    if (slot_ < 0)
        return true;
    cleanup_signals_blocked blocked;
    if (!roll_back_paths(paths_))
        return false;
    disarm_undo(slot_);
    slot_ = -1;
    return true;
}

} // namespace lanternctl

extern "C" int recover_include_files(void)
{
    for (const char *webmail : known_webmails) {
        if (std::strcmp(webmail, "none") == 0)
            continue;
        // A path that does not fit was never written by any run.
        lanternctl::include_file file;
        lanternctl::left_beside left;
        if (!file.name(webmail, false))
            continue;
        if (!lanternctl::inspect_left(file, left)) {
            lanternctl::log_system_error(file.path());
            return -1;
        }
        if (!lanternctl::complete_left(file, left))
            return -1;
    }
    return 0;
}
