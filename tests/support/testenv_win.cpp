/*
** testenv_win.cpp - test surroundings on Windows: the registry API itself,
** and programs run through CreateProcess.
*/
#include "testenv.h"

#include "platform.h"

#if VEZ_OS_WIN

namespace testenv {

struct child {
  HANDLE process;
  HANDLE input;
  std::string out_path, err_path;
};

namespace {

HKEY create_key(const std::string &key) {
  HKEY h = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &h, nullptr);
  EXPECT_EQ(rc, ERROR_SUCCESS) << "cannot create registry key " << key;
  return h;
}

void set_value(const std::string &key, const std::string &name, DWORD type, const void *data,
               DWORD size) {
  HKEY h = create_key(key);
  if (h == nullptr) return;
  EXPECT_EQ(RegSetValueExA(h, name.c_str(), 0, type, static_cast<const BYTE *>(data), size),
            ERROR_SUCCESS);
  RegCloseKey(h);
}

/* the quoting rules of the C runtime's command-line parser */
std::string quote_arg(const std::string &a) {
  if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
  std::string q = "\"";
  size_t slashes = 0;
  for (char c : a) {
    if (c == '\\') {
      slashes++;
      continue;
    }
    if (c == '"')
      q.append(slashes * 2 + 1, '\\');
    else
      q.append(slashes, '\\');
    slashes = 0;
    q += c;
  }
  q.append(slashes * 2, '\\');
  return q + "\"";
}

HANDLE inheritable_file(const std::string &path) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

long process_id() { return (long)GetCurrentProcessId(); }

bool is_root() { return false; }

bool may_mount() { return false; }

int shell(const std::string &) { return -1; }

bool fifo_open(const std::string &) { return false; }
std::string fifo_drain() { return ""; }

void set_env(const char *name, const char *value) {
  SetEnvironmentVariableA(name, value);
  std::string assign = std::string(name) + "=" + (value ? value : "");
  _putenv(assign.c_str());
}

void reg_clear() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Quendrix"); }

void reg_set_dword(const std::string &key, const std::string &name, uint32_t value) {
  set_value(key, name, REG_DWORD, &value, 4);
}

void reg_set_string(const std::string &key, const std::string &name, const std::string &text) {
  set_value(key, name, REG_SZ, text.c_str(), (DWORD)text.size() + 1);
}

void reg_set_binary(const std::string &key, const std::string &name, const std::string &bytes) {
  set_value(key, name, REG_BINARY, bytes.data(), (DWORD)bytes.size());
}

child *start(const std::vector<std::string> &argv) {
  static int serial = 0;
  char tmp[MAX_PATH];
  GetTempPathA(sizeof tmp, tmp);
  std::string base = std::string(tmp) + "child-" + std::to_string(serial++);
  child *c = new child{nullptr, nullptr, base + ".out", base + ".err"};

  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE read_end, write_end;
  CreatePipe(&read_end, &write_end, &sa, 0);
  SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE out = inheritable_file(c->out_path), err = inheritable_file(c->err_path);

  std::string cmd;
  for (const std::string &a : argv)
    cmd += (cmd.empty() ? "" : " ") + quote_arg(a);
  STARTUPINFOA si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = read_end;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi;
  std::vector<char> line(cmd.begin(), cmd.end());
  line.push_back('\0');
  BOOL ok = CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           nullptr, &si, &pi);
  CloseHandle(read_end);
  CloseHandle(out);
  CloseHandle(err);
  if (ok) {
    CloseHandle(pi.hThread);
    c->process = pi.hProcess;
  }
  c->input = write_end;
  return c;
}

void send(child *c, const std::string &text) {
  DWORD written;
  WriteFile(c->input, text.data(), (DWORD)text.size(), &written, nullptr);
}

void kill_child(child *c) {
  if (c->process != nullptr) TerminateProcess(c->process, 137);
}

void signal_child(child *c, int) { kill_child(c); }
void pause_child(child *) {}
void resume_child(child *) {}

std::string output_so_far(child *c) { return read_file(c->out_path) + read_file(c->err_path); }

run_result finish(child *c) {
  CloseHandle(c->input);
  DWORD code = 127;
  if (c->process != nullptr) {
    WaitForSingleObject(c->process, INFINITE);
    GetExitCodeProcess(c->process, &code);
    CloseHandle(c->process);
  }
  run_result r{(int)code, take_file(c->out_path), take_file(c->err_path)};
  delete c;
  return r;
}

} // namespace testenv

#endif /* VEZ_OS_WIN */
