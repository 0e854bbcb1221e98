// --check and --sync: what a run finds, and how it keeps what it found and
// changed; shared by the include-file half (check.cpp) and the alias-file
// half (check_aliases.cpp).
#pragma once

#include "lanternctl.h"
#include "util/owners.hpp"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace lanternctl
{

enum class finding {
    include_missing,
    include_stale,
    include_unexpected,
    include_unbuildable,
    alias_duplicate,
    alias_malformed,
    alias_unserved,
    leftover,
    configtest,
    reload_pending,
};

enum class outcome { found, repaired, kept, left };

// One check or sync: what it was asked, what it found, what it changed.
struct check_run {
    // What was asked.
    const char *only = nullptr;  // the webmail named, or null for every one
    const char *vhost = nullptr; // the vhost named, or null for every one
    bool repair = false;
    bool diff = false;
    bool reload = false; // a sync that changes files reloads the web server

    // What was found.
    bool enabled[KNOWN_WEBMAIL_COUNT] = {}; // the catalogue, read under the lock
    bool catalogue_read = false;
    std::vector<std::string> lines;
    std::vector<std::pair<std::string, std::string>> diffs; // a finding's line, its diff
    bool reload_was_pending = false;                        // an earlier sync's change not reloaded

    // What was done.
    bool changed = false;     // a file the web server reads: the sync reloads
    bool failed = false;      // the run could not complete: what it did not judge is left
    bool hold_reload = false; // an include file may be live untested: no reload
    bool left = false;
    ino_t mark = 0; // this run's pending-reload mark

    explicit check_run(const check_request &request);
    // Everything: no webmail and no vhost named.
    bool whole() const { return only == nullptr && vhost == nullptr; }
    bool in_scope(const char *webmail) const;
    // The outcome of a finding this run does not repair.
    outcome unrepaired() const { return repair ? outcome::left : outcome::found; }
    // A line for the finding where the webmail is in scope; a repair is
    // logged whatever the scope.
    void note(const char *webmail, finding what, std::string_view path, outcome how);
    // Before the first change of a file the web server reads, where the
    // sync will reload: the durable mark that a reload is pending. false
    // after logging why; nothing may then change.
    bool before_change();
};

// known_webmails' index of a known name.
int webmail_index(const char *webmail);

// The lock, taken to confirm and repair and let go between batches so that
// a waiting run gets in; false after reporting why it could not be had.
bool hold_state_lock();
void let_go_of_state_lock();

// A conf.d as the alias half reads it; one that several webmails share (a
// link) counts once, as the webmail named or else the first walked.
struct alias_dir {
    const char *webmail = "";
    std::string path;
    hcp::unique_fd fd;
    dev_t dev = 0;
    ino_t ino = 0;
    bool of[KNOWN_WEBMAIL_COUNT] = {}; // the webmails whose conf.d it is
    bool inside_root = false;          // beneath the webmail root: the sync may change it
    bool touched = false;              // removals to make durable
};

// One entry of a conf.d as it was read.
struct alias_entry {
    enum class kind : uint8_t { holds_line, malformed, leftover, foreign_leftover };
    uint32_t name = 0; // offset in the names' arena
    uint16_t dir = 0;
    kind what = kind::malformed;
    ino_t ino = 0; // 0: not looked at beyond its directory entry
    off_t size = 0;
    timespec mtime = {};
    timespec ctime = {};
};

struct alias_files {
    std::vector<alias_dir> dirs;
    std::string arena; // entry names, each ended by NUL
    std::vector<alias_entry> entries;
    const char *name_of(const alias_entry &e) const { return arena.data() + e.name; }
};

// Opens every known webmail's conf.d and, but for one vhost, reads each
// without the lock; false after logging why.
bool scan_alias_files(const check_run &run, alias_files &files);
// Confirms each finding under the lock, in batches, and (sync) repairs what
// needs no guessing; false after logging why, the rest then left.
bool settle_alias_files(check_run &run, alias_files &files);

} // namespace lanternctl
