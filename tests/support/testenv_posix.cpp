/*
** testenv_posix.cpp - test surroundings on POSIX: the registry is the file
** named by VEZ_REGISTRY, written here in the export format, and programs run
** through fork and exec.
*/
#include "testenv.h"

#include "platform.h"

#if VEZ_OS_POSIX

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <map>
#include <utility>

namespace testenv {

namespace {

/* key (as given) -> value name -> the text after '=' */
std::map<std::string, std::map<std::string, std::string>> values;

std::string quote(const std::string &s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') q += '\\';
    q += c;
  }
  return q + "\"";
}

std::string hex_bytes(const std::string &bytes) {
  std::string h;
  char b[4];
  for (size_t i = 0; i < bytes.size(); i++) {
    snprintf(b, sizeof b, "%s%02x", i ? "," : "", (unsigned char)bytes[i]);
    h += b;
  }
  return h;
}

void save() {
  std::string text = "REGEDIT4\r\n";
  for (auto &key : values) {
    text += "\r\n[HKEY_LOCAL_MACHINE\\" + key.first + "]\r\n";
    for (auto &v : key.second)
      text += quote(v.first) + "=" + v.second + "\r\n";
  }
  /* the file this test set up, whatever VEZ_REGISTRY names by now */
  write_file(join(current_dir, "registry.reg"), text);
}

} // namespace

struct child {
  pid_t pid;
  int input;
  std::string out_path, err_path;
};

long process_id() { return (long)getpid(); }

bool is_root() { return geteuid() == 0; }

bool may_mount() {
  /* the effective capabilities, as the kernel shows them; CAP_SYS_ADMIN is bit 21 */
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("CapEff:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> 21) & 1;
  return false;
}

int shell(const std::string &command) {
  int rc = system(command.c_str());
  return rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

static int fifo_fd = -1;

bool fifo_open(const std::string &path) {
  if (mkfifo(path.c_str(), 0666) != 0) return false;
  fifo_fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return fifo_fd >= 0;
}

std::string fifo_drain() {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fifo_fd, buf, sizeof buf)) > 0)
    s.append(buf, (size_t)n);
  return s;
}

void set_env(const char *name, const char *value) {
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

void reg_clear() {
  values.clear();
  save();
}

void reg_set_dword(const std::string &key, const std::string &name, uint32_t value) {
  char text[32];
  snprintf(text, sizeof text, "dword:%08x", value);
  values[key][name] = text;
  save();
}

void reg_set_string(const std::string &key, const std::string &name, const std::string &text) {
  values[key][name] = quote(text);
  save();
}

void reg_set_binary(const std::string &key, const std::string &name, const std::string &bytes) {
  values[key][name] = "hex:" + hex_bytes(bytes);
  save();
}

child *start(const std::vector<std::string> &argv) {
  static int serial = 0;
  int pipefd[2];
  if (pipe(pipefd) != 0) return nullptr;
  std::string base = std::string(getenv("TMPDIR")) + "/child-" + std::to_string(serial++);
  child *c = new child{0, pipefd[1], base + ".out", base + ".err"};
  fcntl(pipefd[1], F_SETFD, FD_CLOEXEC);
  signal(SIGPIPE, SIG_IGN);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(c->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int err = open(c->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    dup2(pipefd[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char *> args;
    for (const std::string &a : argv)
      args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipefd[0]);
  c->pid = pid;
  return c;
}

void send(child *c, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(c->input, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += (size_t)n;
  }
}

void kill_child(child *c) { kill(c->pid, SIGKILL); }

void signal_child(child *c, int sig) { kill(c->pid, sig); }
void pause_child(child *c) { kill(c->pid, SIGSTOP); }
void resume_child(child *c) { kill(c->pid, SIGCONT); }

std::string output_so_far(child *c) { return read_file(c->out_path) + read_file(c->err_path); }

run_result finish(child *c) {
  close(c->input);
  int st = 0;
  waitpid(c->pid, &st, 0);
  run_result r{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), take_file(c->out_path),
               take_file(c->err_path)};
  delete c;
  return r;
}

} // namespace testenv

#endif /* VEZ_OS_POSIX */
