// quillon-cli run as a process by the tests: its status and both outputs,
// in a temporary folder of its own.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillon::test {

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class TTempDir {
public:
  TTempDir() {
    char tmpl[] = "/tmp/quillon-cli-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    Path = tmpl;
  }
  ~TTempDir() { std::system(("rm -rf '" + Path + "'").c_str()); }
  std::string Path;
};

// Runs quillon-cli with `args`; the environment gets XDG_CONFIG_HOME and
// the extra variables given.
inline TRun RunCli(const std::vector<std::string>& args, const std::string& configHome,
            const std::vector<std::string>& extraEnv = {}) {
  TTempDir io;
  const std::string out = io.Path + "/out", err = io.Path + "/err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> all{QUILLON_CLI};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envs{"XDG_CONFIG_HOME=" + configHome, "HOME=" + configHome, "PATH=/usr/bin:/bin"};
  envs.insert(envs.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid;
  TRun r;
  if (posix_spawn(&pid, QUILLON_CLI, &fa, nullptr, argv.data(), envp.data()) != 0) return r;
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.Out = ReadFile(out);
  r.Err = ReadFile(err);
  return r;
}

inline std::string Describe(const TRun& r) { return "status " + std::to_string(r.Status) + "\nstdout: " + r.Out + "\nstderr: " + r.Err; }

}  // namespace quillon::test
