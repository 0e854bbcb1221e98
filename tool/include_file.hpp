// A webmail's Apache include file, zzz_<webmail>_vhost.conf in
// HTTPD_INCLUDE_D, and the names the tool may leave beside it. Writing,
// removing, recovering, checking and syncing take the file's names and what
// each of them means from here.
#pragma once

#include "lanternctl.h"
#include "pending.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace lanternctl
{

// What the tool may leave beside an include file, at "<dir>/.<base>.<suffix>".
enum class beside_role {
    temporary,    // the new file while it is written
    undo_earlier, // undo record: a second name of the earlier file (or link)
    undo_none,    // undo record: an empty marker that there was no earlier file
    kept_aside,   // the new file, aside while the earlier one is tested alone
};
constexpr size_t k_beside_roles = 4;

struct beside_name {
    beside_role role;
    const char *suffix;
};
// None of them ends in ".conf": Apache's include patterns pick none up.
constexpr beside_name k_beside_names[k_beside_roles] = {
    {beside_role::temporary, "new"},
    {beside_role::undo_earlier, "old"},
    {beside_role::undo_none, "absent"},
    {beside_role::kept_aside, "kept"},
};

class include_file
{
  public:
    // Names webmail's include file; false when its path does not fit the
    // 1024-byte buffer, after logging "Unable to get webserver config name.
    // Buffer too short\n" where report.
    bool name(const char *webmail, bool report = true);

    const char *webmail() const { return webmail_; }
    const char *dir() const { return dir_; }              // HTTPD_INCLUDE_D
    const char *base() const { return path_ + base_at_; } // zzz_<webmail>_vhost.conf
    const char *path() const { return path_; }            // as Apache sees it
    // "<dir>/.<base>.<suffix>".
    const char *beside(beside_role role) const { return beside_[size_t(role)].c_str(); }
    // Which name beside the file an entry of the include directory is;
    // false when it is none.
    bool role_of(std::string_view entry, beside_role &role) const;
    // Whether an entry is how earlier versions named their temporaries:
    // ".<base>.<pid>.<n>".
    bool is_earlier_temporary(std::string_view entry) const;

  private:
    char webmail_[WEBMAIL_NAME_MAX + 1] = "";
    const char *dir_ = "";
    char path_[PATH_BUFFER_BYTES] = "";
    size_t base_at_ = 0;
    std::string beside_[k_beside_roles];
};

// What a killed run left beside an include file: one lstat a name.
struct left_beside {
    bool present[k_beside_roles] = {}; // an entry is at the name
    bool tools[k_beside_roles] = {};   // ...of the kind the tool leaves there
    bool record_earlier = false;       // completing puts the earlier file back
    bool record_none = false;          // completing removes what is at the path
    bool live_changes = false;         // completing changes what Apache reads

    bool at(beside_role role) const { return present[size_t(role)]; }
    bool ours(beside_role role) const { return tools[size_t(role)]; }
};

// Looks beside the file; false with errno.
bool inspect_left(const include_file &file, left_beside &left);
// Rolls back the undo record a killed run left and removes its temporaries,
// durably, leaving what is not of the tool's kind; false after logging why,
// the record then still there for the next run.
bool complete_left(const include_file &file, const left_beside &left);

// What a run keeps to undo its change of an include file until it has
// decided: the earlier file under a second name, or the empty marker that
// there was none. It is no temporary: nothing removes it but the decision. A
// run ended meanwhile by SIGINT, SIGTERM or SIGHUP rolls it back; one killed
// outright leaves it for the next run that takes the lock, which rolls it
// back before anything else.
class undo_record
{
  public:
    undo_record() = default;
    undo_record(const undo_record &) = delete;
    undo_record &operator=(const undo_record &) = delete;
    ~undo_record(); // leaves the record where it is

    // Keeps the file at file.path() aside, durably: a second name of it;
    // where this user may not link it (Linux's protected_hardlinks), the
    // file itself, renamed, and the path has then no file until the new one
    // is committed. Keeps nothing for a directory, which no file can
    // replace. false with errno, having kept nothing.
    bool keep(const include_file &file);
    bool is_kept() const { return slot_ >= 0; }
    // The change stays: the record goes, durably. false with errno, and
    // what is left of the record is for the next run to roll back.
    bool drop();
    // The earlier state back, durably, and the record gone. false with
    // errno: the record stays for the next run.
    bool roll_back();
    // The record's logical path, for messages.
    const char *path() const { return record_; }

  private:
    undo_paths paths_ = {};
    const char *dir_ = "";
    const char *record_ = "";
    int slot_ = -1;
};

} // namespace lanternctl
