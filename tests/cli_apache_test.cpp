// lanternctl against a real Apache: Debian's Apache 2.4 loads the include
// files and alias files that the tool writes, passes its configuration test
// after every command and, reloaded through the rc.d script that the tool
// runs, answers webmail.<domain> from the webmail that set-default chose.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#if defined(__FreeBSD__)
#include <sys/procctl.h> // the parent-death signal is procctl's there, prctl's on Linux
#else
#include <sys/prctl.h>
#endif
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using strings = std::vector<std::string>;
using std::chrono::steady_clock;
using namespace std::chrono_literals;

const char k_apache[] = "/usr/sbin/apache2";
const std::string k_webmail_root = "/usr/local/etc/hcp-webmail";
const std::string k_include_dir = "/usr/local/etc/apache22/Includes";
// How long any wait for the server may last before the test gives up.
constexpr auto k_patience = 30s;
constexpr int k_port_tries = 5;

// The test's own Apache: its files in OWN, the tool's include files in
// INCLUDE_D; the first virtual host answers names no other one claims.
const char k_server_conf[] = R"(ServerRoot "{own}"
LoadModule mpm_prefork_module /usr/lib/apache2/modules/mod_mpm_prefork.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule rewrite_module /usr/lib/apache2/modules/mod_rewrite.so
# Taken only when started as root.
User nobody
Group nogroup
Listen 127.0.0.1:{port}
ServerName default.invalid
PidFile "{own}/run/httpd.pid"
DefaultRuntimeDir "{own}/run"
Mutex "file:{own}/run" default
ErrorLog "{own}/error.log"
StartServers 1
MinSpareServers 1
MaxSpareServers 2
<VirtualHost 127.0.0.1:{port}>
	DocumentRoot "{own}/default"
</VirtualHost>
IncludeOptional "{include_d}/*.conf"
)";

// A webmail's template as a package would bring it, with real paths. The
// generated address lists stay in the VirtualHost lines for Apache to parse;
// the server listens on the test's port only, which follows them there.
const char k_template[] = R"(<VirtualHost@WEBMAIL_IP_ADDRESS@ 127.0.0.1:{port}>
@PCI_COMPLIANCE_DIRECTIVE@	ServerName {webmail}.invalid
	ServerAdmin @SERVER_ADMIN@
	DocumentRoot "@WEBMAIL_DOCROOT@"
	IncludeOptional "{webmail_dir}/conf.d/*"
</VirtualHost>
<VirtualHost@WEBMAIL_IP_ADDRESS_SSL@>
	ServerName {webmail}.invalid
	DocumentRoot "@WEBMAIL_DOCROOT@"
</VirtualHost>
)";

// What the rc.d script of a 2.2 port does for configtest, a test of the
// server's configuration, and for reload: a graceful restart of the running
// server, which Apache refuses for a configuration it cannot parse. The
// tool's system-log recorder stays out of it.
const char k_rc_script[] = R"(#!/bin/sh
unset LD_PRELOAD
[ "$1" = configtest ] && exec /usr/sbin/apache2 -t -f "{own}/httpd.conf"
[ "$1" = reload ] || exit 64
read pid < "{own}/run/httpd.pid" && kill -0 "$pid" || exit 69
exec /usr/sbin/apache2 -f "{own}/httpd.conf" -k graceful
)";

// TEXT with every "{name}" replaced by its value.
std::string fill(std::string text, const std::map<std::string, std::string> &values)
{
    for (const auto &[name, value] : values)
        for (size_t at = 0; (at = text.find("{" + name + "}", at)) != std::string::npos;
             at += value.size())
            text.replace(at, name.size() + 2, value);
    return text;
}

std::string apache_stand_in(const std::string &version)
{
    return "#!/bin/sh\ncat <<'EOF'\nServer version: Apache/" + version +
           " (FreeBSD)\nServer's Module Magic Number: 20051115:3\nEOF\n";
}

// A TCP port that is free on the loopback address now.
int free_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &size) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// One request for /name.txt, answered as "<status>" and, for 200 to a GET,
// " <body>" without its newline; "0" when nothing answered.
std::string ask(int port, const std::string &method, const std::string &host)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    const std::string request =
        method + " /name.txt HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            reply.append(buf, size_t(n));
    }
    ::close(fd);
    if (reply.rfind("HTTP/1.1 ", 0) != 0 || reply.size() < 12)
        return "0";
    std::string answer = reply.substr(9, 3);
    size_t body = reply.find("\r\n\r\n");
    if (answer == "200" && method == "GET" && body != std::string::npos)
        answer += " " + reply.substr(body + 4, reply.find('\n', body + 4) - body - 4);
    return answer;
}

// Asks every "<method> <host> <answer>" line of the expectation until all
// are answered so at once, or patience runs out; returns the lines as last
// answered. A graceful restart takes effect a little after its script
// returns, and children of the old generation may answer meanwhile.
std::string await(int port, const std::string &expected)
{
    const auto deadline = steady_clock::now() + k_patience;
    for (;;) {
        std::istringstream lines(expected);
        std::string answered;
        for (std::string method, host, rest; lines >> method >> host && std::getline(lines, rest);)
            answered += method + " " + host + " " + ask(port, method, host) + "\n";
        if (answered == expected || steady_clock::now() > deadline)
            return answered;
        std::this_thread::sleep_for(20ms);
    }
}

// The test's Apache, in the foreground as a child of this process that leads
// a process group of its own. However the test ends, the destructor stops the
// group and waits for it; should this process die first, the kernel sends
// the server SIGTERM.
class apache_server
{
  public:
    explicit apache_server(const std::string &own)
    {
        const std::string conf = own + "/httpd.conf", output = own + "/apache.out";
        const pid_t parent = ::getpid();
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
#if defined(__FreeBSD__)
            int death_signal = SIGTERM;
            ::procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &death_signal);
#else
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
            if (::getppid() != parent)
                ::_exit(1);
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::closefrom(3); // glibc has it too; FreeBSD 13 has no close_range
            ::execl(k_apache, k_apache, "-f", conf.c_str(), "-DFOREGROUND", nullptr);
            ::_exit(127);
        }
        if (pid_ > 0)
            ::setpgid(pid_, pid_); // whichever of the two runs first
    }
    ~apache_server()
    {
        if (pid_ <= 0)
            return;
        ::kill(-pid_, SIGTERM);
        const auto deadline = steady_clock::now() + k_patience;
        while (running() && steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        // Not yet reaped, the leader keeps the group's id from reuse.
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    apache_server(const apache_server &) = delete;
    apache_server &operator=(const apache_server &) = delete;

    bool running() const
    {
        siginfo_t info{};
        return pid_ > 0 && ::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }

  private:
    pid_t pid_ = -1;
};

TEST(CliApache, ServesWhatTheToolWrites)
{
    if (::access(k_apache, X_OK) != 0)
        GTEST_SKIP() << k_apache << " is missing: Debian's apache2-bin (scripts/install-deps)";

    hcp_test::bench_db db;
    db.reset();
    db.exec("INSERT INTO misc VALUES ('FullHostName', 'host.example'), "
            "('admin_email', 'postmaster@example.com')");
    // Documentation addresses: Apache parses them, nothing is sent there.
    db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.1'), ('198.51.100.7')");

    hcp_test::temp_root root;
    // Run as root, Apache serves from children running as nobody.
    ::chmod(root.dir().c_str(), 0711);
    root.write_password();
    root.write_conf("HTTPD_SERVICE apache22\nHTTPD_INCLUDE_D " + k_include_dir + "\n");
    root.mkdir(k_include_dir);
    root.write("/usr/sbin/httpd", apache_stand_in("2.2.3"), 0755);
    const std::string own = root.dir() + "/apache"; // the server's own files
    root.write("/apache/default/name.txt", "default\n");
    root.mkdir("/apache/run");
    for (std::string webmail : {"horde", "atmail"}) {
        root.write(k_webmail_root + "/" + webmail + "/" + webmail + ".conf",
                   "alias=" + webmail + "\nname=" + webmail + "\nversion=1.0\nrelease=1\n" +
                       "docroot=" + root.real("/usr/local/www/" + webmail) + "\nenabled=true\n");
        root.mkdir(k_webmail_root + "/" + webmail + "/conf.d");
        root.write("/usr/local/www/" + webmail + "/name.txt", webmail + "\n");
    }
    root.write("/usr/local/etc/rc.d/apache22", fill(k_rc_script, {{"own", own}}), 0755);

    // The server, on a port picked now: another is tried if something else
    // takes it before the server does.
    int port = 0;
    std::unique_ptr<apache_server> server;
    for (int attempt = 0; attempt < k_port_tries && server == nullptr; attempt++) {
        port = free_port();
        root.write("/apache/httpd.conf",
                   fill(k_server_conf, {{"own", own},
                                        {"port", std::to_string(port)},
                                        {"include_d", root.real(k_include_dir)}}));
        server = std::make_unique<apache_server>(own);
        const auto deadline = steady_clock::now() + k_patience;
        while (server->running() && ask(port, "GET", "default.invalid") != "200 default" &&
               steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        if (!server->running())
            server.reset();
    }
    ASSERT_NE(server, nullptr) << hcp_test::read_file(own + "/apache.out");
    ASSERT_EQ(ask(port, "GET", "default.invalid"), "200 default")
        << hcp_test::read_file(own + "/error.log");
    for (std::string webmail : {"horde", "atmail"}) {
        root.write(k_webmail_root + "/" + webmail + "/" + webmail + "_vhost.conf",
                   fill(k_template, {{"webmail", webmail},
                                     {"port", std::to_string(port)},
                                     {"webmail_dir", root.real(k_webmail_root + "/" + webmail)}}));
    }

    // Each command succeeds quietly, its reload included, and leaves a
    // configuration that passes Apache's own test.
    auto command = [&](const strings &args) {
        std::string line;
        for (const auto &a : args)
            line += " " + a;
        auto r = hcp_test::run_tool(root, args);
        EXPECT_EQ(r.status, 0) << line;
        EXPECT_EQ(r.out + r.err, "") << line;
        auto test = hcp_test::run_program(k_apache, {k_apache, "-t", "-f", own + "/httpd.conf"});
        EXPECT_EQ(test.status, 0) << line;
        EXPECT_EQ(test.out + test.err, "Syntax OK\n") << line;
    };
    auto serves = [&](const std::string &expected) {
        ASSERT_EQ(await(port, expected), expected) << hcp_test::read_file(own + "/error.log");
    };

    command({"--install", "--name=horde"});
    command({"--install", "--name=atmail"});
    command({"--enable", "--name=horde"});
    command({"--set-default", "--vhost-name=example.com", "--name=horde"});
    ASSERT_NO_FATAL_FAILURE(serves("GET webmail.example.com 200 horde\n"
                                   "TRACE webmail.example.com 200\n"
                                   "GET webmail.example.net 200 default\n"));
    command({"--set-default", "--vhost-name=example.net", "--name=atmail"});
    ASSERT_NO_FATAL_FAILURE(serves("GET webmail.example.com 200 horde\n"
                                   "GET webmail.example.net 200 atmail\n"));
    command({"--rename", "--vhost-name=example.com", "--new-name=example.org"});
    ASSERT_NO_FATAL_FAILURE(serves("GET webmail.example.org 200 horde\n"
                                   "GET webmail.example.com 200 default\n"
                                   "GET webmail.example.net 200 atmail\n"));

    // Neither reloads: the next set-default shows both to the server.
    command({"--disable", "--name=atmail"});
    root.write("/usr/sbin/httpd", apache_stand_in("2.0.54"), 0755);
    command({"--enable", "--name=horde"});
    command({"--set-default", "--vhost-name=example.net", "--name=horde"});
    ASSERT_NO_FATAL_FAILURE(serves("GET webmail.example.org 200 horde\n"
                                   "TRACE webmail.example.org 403\n"
                                   "GET webmail.example.net 200 horde\n"
                                   "GET atmail.invalid 200 default\n"));

    // A template the server cannot parse leaves the earlier include file, and
    // the server, as they were.
    const std::string include = k_include_dir + "/zzz_horde_vhost.conf";
    const std::string earlier = root.read(include);
    const std::string template_path = k_webmail_root + "/horde/horde_vhost.conf";
    root.write(template_path, root.read(template_path) + "NoSuchDirective on\n");
    auto r = hcp_test::run_tool(root, {"--enable", "--name=horde"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Unable to create vhost configuration for horde webmail\n");
    ASSERT_GE(r.messages().size(), 3u);
    EXPECT_EQ(r.messages()[0],
              "Apache configuration test failed with the new include file for horde webmail\n");
    // Apache's own words: where, then what.
    EXPECT_NE(r.messages()[1].find("zzz_horde_vhost.conf"), std::string::npos);
    EXPECT_NE(r.messages()[2].find("NoSuchDirective"), std::string::npos) << r.messages()[2];
    EXPECT_EQ(root.read(include), earlier);
    command({"--set-default", "--vhost-name=example.com", "--name=horde"});
    ASSERT_NO_FATAL_FAILURE(serves("GET webmail.example.org 200 horde\n"
                                   "GET webmail.example.com 200 horde\n"
                                   "GET webmail.example.net 200 horde\n"));
}

} // namespace
