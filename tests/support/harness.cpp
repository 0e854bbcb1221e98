#include "harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace hcp_test
{

namespace fs = std::filesystem;

namespace
{

std::string env_or_empty(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < s.size() + 1) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

std::vector<std::string> split_tabs(const std::string &line)
{
    std::vector<std::string> fields;
    std::string field;
    for (char c : line) {
        if (c == '\t') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

void parse_spy(const std::string &path, run_result &result)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        auto f = split_tabs(line);
        log_line entry;
        if (f[0] == "openlog" && f.size() == 4) {
            entry.ident = unescape(f[1]);
            entry.option = std::stoi(f[2]);
            entry.facility = std::stoi(f[3]);
            result.openlog.push_back(entry);
        } else if (f[0] == "syslog" && f.size() == 6) {
            entry.priority = std::stoi(f[1]);
            entry.ident = unescape(f[2]);
            entry.option = std::stoi(f[3]);
            entry.facility = std::stoi(f[4]);
            entry.message = unescape(f[5]);
            result.log.push_back(entry);
        }
    }
}

} // namespace

std::vector<std::string> run_result::messages() const
{
    std::vector<std::string> texts;
    for (const auto &l : log)
        texts.push_back(l.message);
    return texts;
}

void start_capture()
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
}

reports end_capture()
{
    reports r;
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void install_rc_recorder(const temp_root &root, const std::string &logical)
{
    root.write(logical, read_file(helper_path("rc_recorder")), 0755);
}

std::vector<std::map<std::string, std::string>> read_rc_records(const std::string &path)
{
    std::vector<std::map<std::string, std::string>> runs(1);
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        if (line == "--") {
            runs.emplace_back();
            continue;
        }
        auto eq = line.find('=');
        runs.back()[line.substr(0, eq)] = line.substr(eq + 1);
    }
    runs.pop_back();
    return runs;
}

temp_root::temp_root()
{
    std::string base = env_or_empty("TMPDIR");
    if (base.empty())
        base = "/tmp";
    std::string pattern = base + "/lanternctl-root-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
}

temp_root::~temp_root()
{
    std::error_code ec;
    // Tests make files unreadable on purpose; give the owner rights back first.
    for (auto it = fs::recursive_directory_iterator(dir_, ec); !ec && it != fs::end(it);
         it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
}

void temp_root::mkdir(const std::string &logical) const
{
    fs::create_directories(real(logical));
}

void temp_root::write(const std::string &logical, const std::string &content, mode_t mode) const
{
    fs::path p = real(logical);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    ::chmod(p.c_str(), mode);
}

std::string temp_root::read(const std::string &logical) const
{
    return read_file(real(logical));
}

bool temp_root::exists(const std::string &logical) const
{
    struct stat st;
    return ::lstat(real(logical).c_str(), &st) == 0;
}

void temp_root::write_password() const
{
    write("/etc/hcp/.hcp.shadow", bench_db::password() + "\n", 0600);
}

void temp_root::enter() const
{
    ::setenv("HCP_SYSROOT", dir_.c_str(), 1);
}

run_result run_program(const std::string &path, const std::vector<std::string> &argv,
                       const std::vector<std::string> &env, const std::string &spy_file,
                       const identity *as)
{
    // The environment: ours, then the settings given.
    std::vector<std::string> envs;
    for (char **e = environ; *e != nullptr; e++)
        envs.emplace_back(*e);
    for (const auto &setting : env) {
        std::string name = setting.substr(0, setting.find('='));
        std::erase_if(envs, [&](const std::string &e) { return e.rfind(name + "=", 0) == 0; });
        if (setting.size() > name.size() + 1)
            envs.push_back(setting);
    }
    std::vector<char *> envp;
    for (auto &e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char *> argp;
    for (auto &a : args)
        argp.push_back(a.data());
    argp.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, 0);
        if (as != nullptr &&
            (::setgroups(0, nullptr) != 0 || ::setgid(as->gid) != 0 || ::setuid(as->uid) != 0))
            ::_exit(126);
        ::execve(path.c_str(), argp.data(), envp.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);

    run_result result;
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, size_t(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!spy_file.empty())
        parse_spy(spy_file, result);
    return result;
}

namespace
{

run_result run_tool_with(const identity *as, const std::vector<std::string> &wrapper,
                         const temp_root &root, const std::vector<std::string> &args,
                         const std::vector<std::string> &env)
{
    std::string tool = env_or_empty("LANTERNCTL");
    if (tool.empty())
        throw std::runtime_error("LANTERNCTL is not set: run the tests through ctest");
    std::string spy_lib = env_or_empty("HCP_SYSLOG_SPY_LIB");
    if (as != nullptr) {
        // The build tree may lie where the other user cannot reach it.
        const std::string bin = root.dir() + "/.test-bin";
        fs::create_directories(bin);
        fs::copy_file(tool, bin + "/lanternctl", fs::copy_options::overwrite_existing);
        fs::copy_file(spy_lib, bin + "/syslog_spy.so", fs::copy_options::overwrite_existing);
        tool = bin + "/lanternctl";
        spy_lib = bin + "/syslog_spy.so";
    }
    std::string spy = root.dir() + "/.syslog-spy";
    ::unlink(spy.c_str());
    if (as != nullptr) {
        int fd = ::open(spy.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ::fchown(fd, as->uid, as->gid) != 0)
            throw std::runtime_error("cannot hand the log record over");
        ::close(fd);
    }
    std::string asan = env_or_empty("ASAN_OPTIONS");
    asan = "verify_asan_link_order=0" + (asan.empty() ? "" : ":" + asan);

    std::vector<std::string> argv = wrapper;
    argv.push_back(wrapper.empty() ? "lanternctl" : tool);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> settings{
        "HCP_SYSROOT=" + root.dir(),
        "HCP_SYSLOG_SPY=" + spy,
        "LD_PRELOAD=" + spy_lib,
        "ASAN_OPTIONS=" + asan,
    };
    settings.insert(settings.end(), env.begin(), env.end());
    return run_program(wrapper.empty() ? tool : wrapper[0], argv, settings, spy, as);
}

} // namespace

run_result run_tool(const temp_root &root, const std::vector<std::string> &args,
                    const std::vector<std::string> &env)
{
    return run_tool_with(nullptr, {}, root, args, env);
}

run_result run_tool_as(const identity &as, const temp_root &root,
                       const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    return run_tool_with(&as, {}, root, args, env);
}

run_result run_tool_under(const std::vector<std::string> &wrapper, const temp_root &root,
                          const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    return run_tool_with(nullptr, wrapper, root, args, env);
}

pid_t ended_pid()
{
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

bool keeps_running(pid_t pid)
{
    for (int i = 0; i < 500; i++) {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t paren = stat.rfind(')');
        if (::kill(pid, 0) != 0 || paren == std::string::npos || stat[paren + 2] == 'Z')
            return false;
        ::usleep(10'000);
    }
    return true;
}

std::string helper_path(const std::string &name)
{
    return env_or_empty("HCP_TEST_HELPERS") + "/" + name;
}

// Every test process holds one server of the run (scripts/mariadb-bench
// starts HCP_BENCH_SLOTS of them in HCP_BENCH_DIR) for its whole life, so
// that tests running side by side never see each other's tables. The hold is
// an exclusive flock on DIR/slotN/lock: it ends with the process, however it
// ends, and close-on-exec keeps it from the programs the test runs.
void take_bench_slot()
{
    // A death test run anew as a child shares its parent's server.
    if (!env_or_empty("HCP_BENCH_SLOT").empty())
        return;
    std::string dir = env_or_empty("HCP_BENCH_DIR");
    int slots = std::atoi(env_or_empty("HCP_BENCH_SLOTS").c_str());
    if (dir.empty() || slots <= 0) {
        // Not run by ctest: whatever happens, never the machine's own server.
        if (env_or_empty("MYSQL_UNIX_PORT").empty())
            ::setenv("MYSQL_UNIX_PORT", "/nonexistent/hcp-bench/mysqld.sock", 1);
        return;
    }
    for (;;) {
        bool any = false;
        for (int n = 0; n < slots; n++) {
            std::string slot = dir + "/slot" + std::to_string(n);
            int fd = ::open((slot + "/lock").c_str(), O_RDWR | O_CLOEXEC);
            if (fd < 0)
                continue;
            any = true;
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                // fd stays open: the lock is held until the process ends.
                ::setenv("HCP_BENCH_SLOT", std::to_string(n).c_str(), 1);
                ::setenv("MYSQL_UNIX_PORT", (slot + "/mysqld.sock").c_str(), 1);
                return;
            }
            ::close(fd);
        }
        if (!any) {
            // The servers are not running: database tests name the socket.
            ::setenv("MYSQL_UNIX_PORT", (dir + "/slot0/mysqld.sock").c_str(), 1);
            return;
        }
        ::usleep(50 * 1000);
    }
}

bench_db::bench_db()
{
    std::string socket = env_or_empty("MYSQL_UNIX_PORT");
    handle_ = mysql_init(nullptr);
    if (handle_ != nullptr && !socket.empty() &&
        mysql_real_connect(handle_, "localhost", "root", "", "hcp", 0, socket.c_str(), 0) !=
            nullptr)
        return;
    std::string why = handle_ == nullptr ? "out of memory"
                      : socket.empty()   ? "MYSQL_UNIX_PORT is not set"
                                         : mysql_error(handle_);
    mysql_close(handle_);
    handle_ = nullptr;
    // Fatal, so that a fixture holding this connection skips its test.
    [&] {
        FAIL() << "no database server for the tests: " << why
               << " (ctest starts them: run the tests through ctest)";
    }();
}

bench_db::~bench_db()
{
    mysql_close(handle_);
}

std::string bench_db::password()
{
    return env_or_empty("HCP_TEST_DB_PASSWORD");
}

void bench_db::exec(const std::string &sql)
{
    if (handle_ == nullptr)
        return;
    if (mysql_query(handle_, sql.c_str()) != 0) {
        ADD_FAILURE() << "bench statement failed: " << sql << ": " << mysql_error(handle_);
        return;
    }
    if (MYSQL_RES *res = mysql_store_result(handle_))
        mysql_free_result(res);
}

std::vector<bench_db::row> bench_db::rows(const std::string &sql)
{
    std::vector<row> out;
    if (handle_ == nullptr)
        return out;
    if (mysql_query(handle_, sql.c_str()) != 0) {
        ADD_FAILURE() << "bench query failed: " << sql << ": " << mysql_error(handle_);
        return out;
    }
    MYSQL_RES *res = mysql_store_result(handle_);
    if (res == nullptr)
        return out;
    unsigned n = mysql_num_fields(res);
    while (MYSQL_ROW r = mysql_fetch_row(res)) {
        unsigned long *lengths = mysql_fetch_lengths(res);
        row values;
        for (unsigned i = 0; i < n; i++) {
            if (r[i] == nullptr)
                values.emplace_back(std::nullopt);
            else
                values.emplace_back(std::string(r[i], lengths[i]));
        }
        out.push_back(std::move(values));
    }
    mysql_free_result(res);
    return out;
}

void bench_db::reset()
{
    exec("DROP TABLE IF EXISTS Webmails, misc, IP_Addresses");
    std::istringstream schema(read_file(env_or_empty("HCP_SCHEMA_SQL")));
    std::string statement, line;
    while (std::getline(schema, line)) {
        if (line.rfind("--", 0) == 0)
            continue;
        statement += line + "\n";
        if (line.find(';') != std::string::npos) {
            exec(statement);
            statement.clear();
        }
    }
    // Recreating the user drops any grant or revoke a test made.
    exec("DROP USER IF EXISTS 'admin'@'localhost'");
    exec("CREATE USER 'admin'@'localhost' IDENTIFIED BY '" + password() + "'");
    exec("GRANT ALL PRIVILEGES ON hcp.* TO 'admin'@'localhost'");
    exec("FLUSH PRIVILEGES");
}

} // namespace hcp_test
