// Test bench: temporary HCP_SYSROOT trees, running the real binary with its
// system-log calls recorded, and the private MariaDB server.
#pragma once

#include <mysql.h>

#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace hcp_test
{

// One recorded system-log call of the tool (see support/syslog_spy.c).
struct log_line {
    int priority = 0;
    std::string ident;
    int option = 0;
    int facility = 0;
    std::string message;
};

struct run_result {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
    std::vector<log_line> log;     // syslog calls in order
    std::vector<log_line> openlog; // openlog calls in order (message empty)
    std::vector<std::string> messages() const;
};

// A fresh directory used as HCP_SYSROOT, removed with everything in it.
class temp_root
{
  public:
    temp_root();
    ~temp_root();
    temp_root(const temp_root &) = delete;
    temp_root &operator=(const temp_root &) = delete;

    const std::string &dir() const { return dir_; }
    // The real path of a logical absolute path beneath this root.
    std::string real(const std::string &logical) const { return dir_ + logical; }
    // Creates missing parent directories.
    void write(const std::string &logical, const std::string &content, mode_t mode = 0644) const;
    std::string read(const std::string &logical) const;
    bool exists(const std::string &logical) const;
    void mkdir(const std::string &logical) const;
    // Writes /etc/hcp/hcp.conf.
    void write_conf(const std::string &content) const { write("/etc/hcp/hcp.conf", content); }
    // Writes /etc/hcp/.hcp.shadow with the bench password and a newline.
    void write_password() const;
    // Makes HCP_SYSROOT name this root in the test process itself.
    void enter() const;

  private:
    std::string dir_;
};

// A user other than the test's own, with no supplementary groups.
struct identity {
    uid_t uid;
    gid_t gid;
};

// Runs a program with argv (argv[0] as given) and extra "NAME=value" settings
// added to the environment; "NAME=" with nothing after it removes NAME.
// With `as`, the program runs as that user.
run_result run_program(const std::string &path, const std::vector<std::string> &argv,
                       const std::vector<std::string> &env = {}, const std::string &spy_file = "",
                       const identity *as = nullptr);

// Runs lanternctl (argument zero "lanternctl") beneath the root with its
// system log recorded.
run_result run_tool(const temp_root &root, const std::vector<std::string> &args,
                    const std::vector<std::string> &env = {});
// The same as another user, who can write the log record but needs whatever
// else the run needs of the root.
run_result run_tool_as(const identity &as, const temp_root &root,
                       const std::vector<std::string> &args,
                       const std::vector<std::string> &env = {});
// The same under a program that runs it (strace and its options): the
// wrapper's arguments, then the tool's path and args.
run_result run_tool_under(const std::vector<std::string> &wrapper, const temp_root &root,
                          const std::vector<std::string> &args,
                          const std::vector<std::string> &env = {});

// The id of a process that has run and ended: no process has it now.
pid_t ended_pid();

// Whether a process still runs after 5 seconds, the most one killed a moment
// ago may take to end (a zombie that init has yet to reap has ended). Reads
// Linux's /proc.
bool keeps_running(pid_t pid);

// Path of a helper program built by the test suite (tests/helpers/NAME.c).
std::string helper_path(const std::string &name);

// Takes, for the rest of the process's life, one of the private database
// servers of the test run, waiting while all are taken: MYSQL_UNIX_PORT then
// names its socket, for this process and every program it runs. The test
// programs' main calls it before any test.
void take_bench_slot();

// Root connection to the private server this process holds. Without a server
// it fails the test with one line; in a fixture's construction that failure
// also skips the test, and the statements below are then no-ops.
class bench_db
{
  public:
    bench_db();
    ~bench_db();
    bench_db(const bench_db &) = delete;
    bench_db &operator=(const bench_db &) = delete;

    static std::string password();
    // Runs statements; a failure fails the test.
    void exec(const std::string &sql);
    using row = std::vector<std::optional<std::string>>;
    std::vector<row> rows(const std::string &sql);
    // Fresh, empty tables and the admin user's full grants back.
    void reset();

  private:
    MYSQL *handle_ = nullptr;
};

std::string read_file(const std::string &path);

// What the test process itself wrote on stdout and stderr between
// start_capture() and end_capture(): library reports go to both.
struct reports {
    std::string out;
    std::string err;
};
void start_capture();
reports end_capture();

// Places the stand-in start/stop script (helpers/rc_recorder.c) at a logical
// path beneath the root; read_rc_records() gives what it recorded in the file
// named by RC_RECORD: one map of its lines per run, in order.
void install_rc_recorder(const temp_root &root, const std::string &logical);
std::vector<std::map<std::string, std::string>> read_rc_records(const std::string &path);

} // namespace hcp_test
