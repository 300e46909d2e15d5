// SPDX-License-Identifier: GPL-3.0-or-later
#include "textio/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kelmora {
namespace {

constexpr size_t kMaxOutput = 4096;

std::int64_t MonotonicMs() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool SplitCommandLine(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t') {
      if (in_word) words->push_back(word);
      word.clear();
      in_word = false;
    } else if (c == '\'') {
      size_t end = line.find('\'', i + 1);
      if (end == std::string::npos) return false;
      word += line.substr(i + 1, end - i - 1);
      in_word = true;
      i = end;
    } else if (c == '"') {
      size_t j = i + 1;
      for (; j < line.size() && line[j] != '"'; ++j) {
        if (line[j] == '\\' && j + 1 < line.size() && (line[j + 1] == '"' || line[j + 1] == '\\')) ++j;
        word += line[j];
      }
      if (j >= line.size()) return false;
      in_word = true;
      i = j;
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words->push_back(word);
  return true;
}

Status RealCommandRunner::Run(const std::vector<std::string>& argv, const std::string& folder,
                              const std::string& input, int limit_ms, CommandResult* result) {
  *result = CommandResult();
  if (argv.empty()) return Status::InvalidArgument("empty command");
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) return Status::IOError(std::strerror(errno));
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    return Status::IOError(std::strerror(errno));
  }
  // The child reports a failed exec through this pipe (closed on success).
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]}) ::close(fd);
    return Status::IOError(std::strerror(errno));
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // A child that exits without reading its input must not take this
  // process down with SIGPIPE; the write then fails with EPIPE instead.
  struct sigaction ignore {}, old_pipe {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old_pipe);
  struct RestorePipe {
    struct sigaction* old;
    ~RestorePipe() { ::sigaction(SIGPIPE, old, nullptr); }
  } restore{&old_pipe};

  pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
    return Status::IOError(std::string("cannot start a process: ") + std::strerror(errno));
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(out_pipe[1], 2);
    if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
      int e = errno;
      (void)!::write(err_pipe[1], &e, sizeof e);
      ::_exit(127);
    }
    ::execvp(args[0], args.data());
    int e = errno;
    (void)!::write(err_pipe[1], &e, sizeof e);
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  int child_errno = 0;
  ssize_t got;
  do {
    got = ::read(err_pipe[0], &child_errno, sizeof child_errno);
  } while (got < 0 && errno == EINTR);
  ::close(err_pipe[0]);

  // Feed the input and collect the output together, so that a child that
  // writes much before it reads cannot block us both.
  int in_fd = in_pipe[1];
  int out_fd = out_pipe[0];
  ::fcntl(in_fd, F_SETFL, O_NONBLOCK);
  size_t fed = 0;
  if (got > 0 || input.empty()) {
    ::close(in_fd);
    in_fd = -1;
  }
  const std::int64_t deadline = MonotonicMs() + limit_ms;
  bool timed_out = false;
  while (out_fd >= 0 || in_fd >= 0) {
    std::int64_t left = deadline - MonotonicMs();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    pollfd fds[2];
    int n = 0;
    if (out_fd >= 0) fds[n++] = pollfd{out_fd, POLLIN, 0};
    if (in_fd >= 0) fds[n++] = pollfd{in_fd, POLLOUT, 0};
    int r = ::poll(fds, n, static_cast<int>(left > 1000 ? 1000 : left));
    if (r < 0 && errno != EINTR) break;
    for (int i = 0; i < n && r > 0; ++i) {
      if (fds[i].fd == out_fd && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buf[4096];
        ssize_t k = ::read(out_fd, buf, sizeof buf);
        if (k > 0) {
          if (result->output.size() < kMaxOutput)
            result->output.append(buf, std::min(static_cast<size_t>(k), kMaxOutput - result->output.size()));
        } else if (k == 0 || errno != EAGAIN) {
          ::close(out_fd);
          out_fd = -1;
        }
      } else if (fds[i].fd == in_fd && (fds[i].revents & (POLLOUT | POLLHUP | POLLERR))) {
        ssize_t k = ::write(in_fd, input.data() + fed, input.size() - fed);
        if (k > 0) fed += static_cast<size_t>(k);
        if ((k < 0 && errno != EAGAIN && errno != EINTR) || fed == input.size()) {
          ::close(in_fd);
          in_fd = -1;
        }
      }
    }
  }
  if (in_fd >= 0) ::close(in_fd);
  if (out_fd >= 0) ::close(out_fd);
  if (timed_out) ::kill(-pid, SIGKILL);
  int status = 0;
  // After the output closed the child normally exits at once; bound the
  // wait all the same by the remaining time, then kill.
  while (true) {
    pid_t w = ::waitpid(pid, &status, timed_out ? 0 : WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) break;
    if (w == 0) {
      if (MonotonicMs() >= deadline) {
        timed_out = true;
        ::kill(-pid, SIGKILL);
        continue;
      }
      ::usleep(2000);
    }
  }
  if (got > 0) return Status::NotFound("cannot run " + argv[0] + ": " + std::strerror(child_errno));
  result->timed_out = timed_out;
  result->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return Status::OK();
}

}  // namespace kelmora
