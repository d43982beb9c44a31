// A private PostgreSQL server for tests and benchmarks: a cluster made with
// initdb in a temporary folder, served by pg_ctl on a free loopback port
// (its socket in that folder too), stopped and removed when the object
// goes. The server refuses to run as root, so as root the folder belongs to
// the postgres user and the programs run as that user (runuser); otherwise
// they run as whoever runs the test. Anyone connects as "postgres" without a
// password (trust, loopback only).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libpq-fe.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace quillon::test {

class TPgCluster {
public:
  TPgCluster() {
    FBin = ServerBin();
    char tmpl[] = "/tmp/quillon-pg-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    Dir = tmpl;
    try {
      if (::geteuid() == 0) {
        const passwd* pg = ::getpwnam("postgres");
        if (!pg) throw std::runtime_error("running as root and there is no user postgres to run the server as");
        if (::chown(Dir.c_str(), pg->pw_uid, pg->pw_gid) != 0) throw std::runtime_error("chown " + Dir);
        FAsPostgres = true;
      }
      Port = FreePort();
      Run({FBin + "/initdb", "-D", Dir + "/data", "-A", "trust", "-U", "postgres", "-E", "UTF8", "--locale=C",
           "--no-sync"},
          "initdb");
      Watch();
      Start();
    } catch (...) {
      Remove();
      throw;
    }
  }
  ~TPgCluster() {
    try {
      Stop();
    } catch (...) {
    }
    Remove();
  }
  TPgCluster(const TPgCluster&) = delete;
  TPgCluster& operator=(const TPgCluster&) = delete;

  void Start() {
    // fsync off: a test's data need not survive a power cut.
    Run({FBin + "/pg_ctl", "-D", Dir + "/data", "-l", Dir + "/server.log", "-w", "-t", "60", "-o",
         "-p " + std::to_string(Port) + " -k " + Dir + " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200",
         "start"},
        "pg_ctl start");
    FRunning = true;
  }
  // "fast": connections are cut, transactions in flight rolled back.
  void Stop() {
    if (!FRunning) return;
    FRunning = false;
    Run({FBin + "/pg_ctl", "-D", Dir + "/data", "-m", "fast", "-w", "-t", "60", "stop"}, "pg_ctl stop");
  }

  std::string Uri(const std::string& database = "postgres") const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(Port) + "/" + database;
  }
  // A new empty database; its URI.
  std::string CreateDatabase(const std::string& name) {
    Sql("postgres", "CREATE DATABASE " + name);
    return Uri(name);
  }
  // Runs statements (no parameters: test data only) and returns the
  // first column of the result's rows.
  std::vector<std::string> Sql(const std::string& database, const std::string& sql) const {
    PGconn* c = PQconnectdb(Uri(database).c_str());
    if (PQstatus(c) != CONNECTION_OK) {
      const std::string why = PQerrorMessage(c);
      PQfinish(c);
      throw std::runtime_error("test server: " + why);
    }
    PGresult* r = PQexec(c, sql.c_str());
    const ExecStatusType st = PQresultStatus(r);
    std::vector<std::string> rows;
    if (st == PGRES_TUPLES_OK)
      for (int i = 0; i < PQntuples(r); ++i) rows.emplace_back(PQgetisnull(r, i, 0) ? "NULL" : PQgetvalue(r, i, 0));
    const std::string why = PQresultErrorMessage(r);
    PQclear(r);
    PQfinish(c);
    if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) throw std::runtime_error("test server: " + sql + ": " + why);
    return rows;
  }
  int64_t Count(const std::string& database, const std::string& table) const {
    return std::stoll(Sql(database, "SELECT count(*) FROM " + table).at(0));
  }

  int Port = 0;
  std::string Dir;

private:
  // The newest server installed (Debian: /usr/lib/postgresql/VERSION/bin).
  static std::string ServerBin() {
    glob_t g{};
    std::vector<std::string> found;
    if (::glob("/usr/lib/postgresql/*/bin/pg_ctl", 0, nullptr, &g) == 0)
      for (size_t i = 0; i < g.gl_pathc; ++i) found.emplace_back(g.gl_pathv[i]);
    ::globfree(&g);
    if (found.empty())
      throw std::runtime_error(
          "no PostgreSQL server: /usr/lib/postgresql/*/bin/pg_ctl not found (Debian package postgresql; "
          "scripts/install-deps.sh installs it)");
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
      return std::stoi(a.substr(20)) < std::stoi(b.substr(20));
    });
    return found.back().substr(0, found.back().size() - 7);
  }
  void Run(std::vector<std::string> args, const std::string& what) const {
    if (FAsPostgres) args.insert(args.begin(), {"/usr/sbin/runuser", "-u", "postgres", "--"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = Dir + "/commands.log";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    // The server's own folder is its working folder (runuser keeps ours, which postgres may not read).
    posix_spawn_file_actions_addchdir_np(&fa, Dir.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    int status = -1;
    if (rc != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      throw std::runtime_error(what + " failed; its output:\n" + Text(log) + Text(Dir + "/server.log"));
  }
  // A process of its own session that outlives a test killed (a crash, a
  // timeout) and then stops the server and removes the folder, so that no
  // server is left running; after a normal end it finds nothing to do.
  void Watch() const {
    const std::string ctl = (FAsPostgres ? "/usr/sbin/runuser -u postgres -- " : "") + FBin + "/pg_ctl";
    std::string script = "while kill -0 " + std::to_string(::getpid()) + " 2>/dev/null; do sleep 1; done; " + ctl +
                         " -D '" + Dir + "/data' -m immediate stop; rm -rf '" + Dir + "'";
    std::vector<char*> argv{const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), script.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    for (int fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", O_RDWR, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", &fa, &attr, argv.data(), environ) != 0)
      throw std::runtime_error("cannot start the server's watcher");
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
  }
  static std::string Text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // A loopback port nothing listens on now.
  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("no free loopback port");
    ::close(fd);
    return ntohs(a.sin_port);
  }
  void Remove() {
    if (!Dir.empty()) std::system(("rm -rf '" + Dir + "'").c_str());
  }
  std::string FBin;
  bool FAsPostgres = false;
  bool FRunning = false;
};

}  // namespace quillon::test
