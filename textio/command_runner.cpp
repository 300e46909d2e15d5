#include "textio/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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

Status RealCommandRunner::Run(const CommandRequest& request, CommandResult* result) {
  *result = CommandResult();
  const std::vector<std::string>& argv = request.argv;
  if (argv.empty()) return Status::InvalidArgument("empty command");
  // Standard input is the file itself, not a pipe this process feeds: a
  // program that outlives a killed caller, or that is killed with it, can
  // never see a message cut short.
  int in_fd = -1;
  if (!request.input_path.empty()) {
    // O_NOFOLLOW and O_NONBLOCK: a link or a named pipe put in the file's
    // place is refused at once instead of being read or waited on.
    in_fd = ::open(request.input_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in_fd < 0) return Status::IOError("cannot open " + request.input_path + ": " + std::strerror(errno));
    struct stat st;
    if (::fstat(in_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(in_fd);
      return Status::InvalidArgument("not a regular file: " + request.input_path);
    }
    ::fcntl(in_fd, F_SETFL, 0);
    if (::lseek(in_fd, static_cast<off_t>(request.input_offset), SEEK_SET) < 0) {
      const int e = errno;
      ::close(in_fd);
      return Status::IOError("cannot read " + request.input_path + ": " + std::strerror(e));
    }
  } else {
    in_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in_fd < 0) return Status::IOError(std::string("cannot open /dev/null: ") + std::strerror(errno));
  }
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ::close(in_fd);
    return Status::IOError(std::strerror(errno));
  }
  // The child reports a failed exec through this pipe (closed on success).
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    for (int fd : {in_fd, out_pipe[0], out_pipe[1]}) ::close(fd);
    return Status::IOError(std::strerror(errno));
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : {in_fd, out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
    return Status::IOError(std::string("cannot start a process: ") + std::strerror(errno));
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    // Dies with the program: a send it was doing is then retried by the
    // next run instead of finishing behind its back.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(in_fd, 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(out_pipe[1], 2);
    if (!request.folder.empty() && ::chdir(request.folder.c_str()) != 0) {
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
  ::close(in_fd);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  int child_errno = 0;
  ssize_t got;
  do {
    got = ::read(err_pipe[0], &child_errno, sizeof child_errno);
  } while (got < 0 && errno == EINTR);
  ::close(err_pipe[0]);
  int out_fd = out_pipe[0];
  ::fcntl(out_fd, F_SETFL, O_NONBLOCK);
  int status = 0;
  if (got > 0) {
    ::close(out_fd);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return Status::NotFound("cannot run " + argv[0] + ": " + std::strerror(child_errno));
  }

  auto drain = [&] {
    char buf[4096];
    while (out_fd >= 0) {
      ssize_t k = ::read(out_fd, buf, sizeof buf);
      if (k > 0) {
        if (result->output.size() < kMaxOutput)
          result->output.append(buf, std::min(static_cast<size_t>(k), kMaxOutput - result->output.size()));
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      if (k == 0 || errno != EAGAIN) {
        ::close(out_fd);
        out_fd = -1;
      }
      return;
    }
  };

  // The wait ends when the program exits. Its output is read meanwhile (a
  // full pipe would block it), but a background process that keeps the
  // output open does not prolong the wait.
  const std::int64_t deadline = MonotonicMs() + request.limit_ms;
  bool exited = false;
  while (true) {
    pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      exited = true;
      drain();
      break;
    }
    if (w < 0 && errno != EINTR) {
      // Reaped by someone else: its outcome is unknown, so not a success.
      status = -1;
      exited = true;
      break;
    }
    const std::int64_t left = deadline - MonotonicMs();
    if (left <= 0) {
      result->timed_out = true;
      break;
    }
    if (request.stop && request.stop()) {
      result->stopped = true;
      break;
    }
    const int slice = static_cast<int>(std::min<std::int64_t>(left, out_fd >= 0 ? 50 : 5));
    pollfd fds[1] = {pollfd{out_fd, POLLIN, 0}};
    int r = ::poll(fds, out_fd >= 0 ? 1 : 0, slice);
    if (r > 0) drain();
  }
  if (out_fd >= 0) ::close(out_fd);
  if (!exited) {
    // Asked to end, or out of time: the whole group goes, first politely
    // (a sendmail then removes what it half queued), then for good.
    ::kill(-pid, SIGTERM);
    const std::int64_t grace = MonotonicMs() + 500;
    while (!exited && MonotonicMs() < grace) {
      pid_t w = ::waitpid(pid, &status, WNOHANG);
      if (w == pid || (w < 0 && errno != EINTR)) exited = w == pid;
      if (!exited) ::usleep(5000);
    }
    ::kill(-pid, SIGKILL);
    while (!exited) {
      pid_t w = ::waitpid(pid, &status, 0);
      if (w == pid || (w < 0 && errno != EINTR)) break;
    }
  }
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
