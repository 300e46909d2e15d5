// SPDX-License-Identifier: GPL-3.0-or-later
#include "maildir/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "textio/strings.h"

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

namespace {

void CloseAll(std::initializer_list<int> fds) {
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
}

// Standard input is the file itself, not a pipe this process feeds: a
// program that outlives a killed caller, or that is killed with it, can
// never see a message cut short.
Status OpenInput(const CommandRequest& request, int* fd) {
  if (request.input_path.empty()) {
    *fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (*fd < 0) return Status::IOError(std::string("cannot open /dev/null: ") + std::strerror(errno));
    return Status::OK();
  }
  // O_NOFOLLOW and O_NONBLOCK: a link or a named pipe put in the file's
  // place is refused at once instead of being read or waited on.
  *fd = ::open(request.input_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (*fd < 0) return Status::IOError("cannot open " + request.input_path + ": " + std::strerror(errno));
  struct stat st;
  Status s;
  if (::fstat(*fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    s = Status::InvalidArgument("not a regular file: " + request.input_path);
  } else if (::fcntl(*fd, F_SETFL, 0) != 0 ||
             ::lseek(*fd, static_cast<off_t>(request.input_offset), SEEK_SET) < 0) {
    s = Status::IOError("cannot read " + request.input_path + ": " + std::strerror(errno));
  }
  if (!s.ok()) {
    ::close(*fd);
    *fd = -1;
  }
  return s;
}

// In the child: never returns. A failure to start is reported through
// `report` (closed by a successful exec). Nothing here allocates: the
// child of a process with threads must not.
[[noreturn]] void ExecChild(const CommandRequest& request, char* const* args, pid_t parent, int in_fd, int out_fd,
                            int report) {
  ::setpgid(0, 0);
  // Dies with the program: a send it was doing is then retried by the next
  // run instead of finishing behind its back.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  ::signal(SIGPIPE, SIG_DFL);
  ::dup2(in_fd, 0);
  ::dup2(out_fd, 1);
  ::dup2(out_fd, 2);
  if (request.folder.empty() || ::chdir(request.folder.c_str()) == 0) ::execvp(args[0], args);
  int e = errno;
  (void)!::write(report, &e, sizeof e);
  ::_exit(127);
}

// The output collected so far; closes `*fd` once the pipe has ended.
void Drain(int* fd, std::string* output) {
  char buf[4096];
  while (*fd >= 0) {
    ssize_t k = ::read(*fd, buf, sizeof buf);
    if (k > 0) {
      if (output->size() < kMaxOutput) output->append(buf, std::min(static_cast<size_t>(k), kMaxOutput - output->size()));
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if (k == 0 || errno != EAGAIN) {
      ::close(*fd);
      *fd = -1;
    }
    return;
  }
}

// Waits for the child to exit, reading its output meanwhile (a full pipe
// would block it); a background process that keeps the output open does
// not prolong the wait. False when the time ran out or a stop was asked
// for (then *result says which); *status is the wait status otherwise.
bool WaitForExit(pid_t pid, const CommandRequest& request, int* out_fd, int* status, CommandResult* result) {
  const std::int64_t deadline = MonotonicMs() + request.limit_ms;
  // A descriptor that becomes readable the moment the child exits: what
  // the caller does next (move a sent message to .Sent) then follows at
  // once, which keeps the moment small in which a kill of this program
  // would make it send the message again.
  const int exit_fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  bool done = true;
  while (true) {
    pid_t w = ::waitpid(pid, status, WNOHANG);
    if (w == pid) {
      Drain(out_fd, &result->output);
      break;
    }
    if (w < 0 && errno != EINTR) {
      // Reaped by someone else: its outcome is unknown, so not a success.
      *status = -1;
      break;
    }
    const std::int64_t left = deadline - MonotonicMs();
    if (left <= 0) {
      result->timed_out = true;
      done = false;
      break;
    }
    if (request.stop && request.stop()) {
      result->stopped = true;
      done = false;
      break;
    }
    pollfd fds[2];
    nfds_t n = 0;
    if (*out_fd >= 0) fds[n++] = pollfd{*out_fd, POLLIN, 0};
    if (exit_fd >= 0) fds[n++] = pollfd{exit_fd, POLLIN, 0};
    const int slice = static_cast<int>(std::min<std::int64_t>(left, exit_fd >= 0 || *out_fd >= 0 ? 50 : 5));
    if (::poll(fds, n, slice) > 0 && *out_fd >= 0 && fds[0].revents != 0) Drain(out_fd, &result->output);
  }
  if (exit_fd >= 0) ::close(exit_fd);
  return done;
}

// Ends the child's whole group, first politely (a sendmail then removes
// what it half queued), then for good; *status is its wait status.
void EndGroup(pid_t pid, int* status) {
  ::kill(-pid, SIGTERM);
  const std::int64_t grace = MonotonicMs() + 500;
  while (MonotonicMs() < grace) {
    pid_t w = ::waitpid(pid, status, WNOHANG);
    if (w == pid) return;
    if (w < 0 && errno != EINTR) break;
    ::usleep(5000);
  }
  ::kill(-pid, SIGKILL);
  while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

Status RealCommandRunner::Run(const CommandRequest& request, CommandResult* result) {
  *result = CommandResult();
  if (request.argv.empty()) return Status::InvalidArgument("empty command");
  int in_fd = -1;
  Status s = OpenInput(request, &in_fd);
  if (!s.ok()) return s;
  int out_pipe[2] = {-1, -1}, report[2] = {-1, -1};
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) {
    s = Status::IOError(std::strerror(errno));
    CloseAll({in_fd, out_pipe[0], out_pipe[1], report[0], report[1]});
    return s;
  }
  std::vector<char*> args;
  for (const std::string& a : request.argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    s = Status::IOError(std::string("cannot start a process: ") + std::strerror(errno));
    CloseAll({in_fd, out_pipe[0], out_pipe[1], report[0], report[1]});
    return s;
  }
  if (pid == 0) ExecChild(request, args.data(), parent, in_fd, out_pipe[1], report[1]);
  ::setpgid(pid, pid);
  CloseAll({in_fd, out_pipe[1], report[1]});
  int child_errno = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &child_errno, sizeof child_errno);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  int out_fd = out_pipe[0];
  ::fcntl(out_fd, F_SETFL, O_NONBLOCK);
  int status = 0;
  if (got > 0) {
    ::close(out_fd);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return Status::NotFound("cannot run " + request.argv[0] + ": " + std::strerror(child_errno));
  }
  if (!WaitForExit(pid, request, &out_fd, &status, result)) EndGroup(pid, &status);
  if (out_fd >= 0) ::close(out_fd);
  result->exit_code = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result->signal = status != -1 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return Status::OK();
}

std::string FirstLine(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(std::string_view(text).substr(start, end - start));
    if (!line.empty()) return line;
    start = end + 1;
  }
  return "";
}

std::string DescribeCommandOutcome(const std::vector<std::string>& argv, const CommandResult& result) {
  std::string name = argv.empty() ? std::string() : BaseName(argv[0]);
  std::string out = name + ": ";
  if (result.timed_out) {
    out += "時間切れ";
  } else if (result.stopped) {
    out += "中止";
  } else if (result.signal != 0) {
    out += "signal " + std::to_string(result.signal);
  } else {
    out += "exit " + std::to_string(result.exit_code);
  }
  const std::string first = FirstLine(result.output);
  if (!first.empty()) out += ": " + first;
  return out;
}

}  // namespace kelmora
