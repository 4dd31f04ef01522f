// Runs a program as a web server runs a CGI program: an explicit environment
// (nothing inherited), standard input, arguments and working directory. The
// whole output and the exit status come back; a run is bounded in time.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace revozi::testing {

struct ModuleResult {
  int status = -1;       // exit status, or -1 when killed
  std::string out;
  std::string err;
  std::size_t inputTaken = 0;  // bytes of the input the program read, or more
};

struct ModuleRequest {
  std::map<std::string, std::string> env;
  std::string input;
  std::vector<std::string> args;  // after the program name
  std::string cwd = "/";
  std::string outputFile;  // when set, standard output goes there (e.g. /dev/full)
  int timeoutSeconds = 60;
};

inline double monotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline ModuleResult runProgram(const std::string& program, const ModuleRequest& request) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {};
  // A sanitizer build reports with its own exit status, which no outcome of
  // the module uses; the variables do nothing in other builds.
  std::map<std::string, std::string> env = request.env;
  env.emplace("ASAN_OPTIONS", "exitcode=86:halt_on_error=1:detect_leaks=1");
  env.emplace("UBSAN_OPTIONS", "exitcode=86:halt_on_error=1:print_stacktrace=1");
  std::vector<std::string> envText;
  for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
  std::vector<char*> envp, argv;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string name = program;
  argv.push_back(name.data());
  std::vector<std::string> args = request.args;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    if (!request.outputFile.empty()) {
      const int fd = open(request.outputFile.c_str(), O_WRONLY);
      if (fd < 0) _exit(125);
      dup2(fd, 1);
      close(fd);
    }
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (chdir(request.cwd.c_str()) != 0) _exit(126);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  ModuleResult result;
  std::size_t written = 0;
  if (request.input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  double deadline = monotonicSeconds() + request.timeoutSeconds;
  bool outOpen = true, errOpen = true;
  while ((outOpen || errOpen) && monotonicSeconds() < deadline) {
    pollfd fds[3] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0},
                     {in[1], POLLOUT, 0}};
    if (poll(fds, 3, 200) < 0) continue;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        (i == 0 ? outOpen : errOpen) = false;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
      }
    }
    if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in[1], request.input.data() + written, request.input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 || written == request.input.size()) {
        close(in[1]);
        in[1] = -1;
      }
    }
  }
  if (in[1] >= 0) close(in[1]);
  close(out[0]);
  close(err[0]);
  if (outOpen || errOpen) kill(pid, SIGKILL);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.inputTaken = written;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return result;
}

// What "uname -a" prints on this host, as the diagnostic block shows it.
inline std::string hostUname() {
  ModuleRequest r;
  r.args = {"-c", "uname -a"};
  return runProgram("/bin/sh", r).out;
}

}  // namespace revozi::testing
