/*
** testenv.cpp - the portable half of the test surroundings.
*/
#include "testenv.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform.h"

namespace fs = std::filesystem;

namespace testenv {

const char PRODUCT_KEY[] = "Software\\Quendrix\\VEZ";
const char INDEX_KEY[] = "SOFTWARE\\Quendrix\\VEZ\\audit";
std::string current_dir;

std::string join(const std::string &dir, const std::string &name) {
  return dir + VEZ_DIRSEP + name;
}

std::string exe_dir() {
  char buf[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  std::string p(buf, n);
  size_t cut = p.find_last_of(VEZ_DIRSEP_CHAR);
  return cut == std::string::npos ? "." : p.substr(0, cut);
}

std::string program(const std::string &name) {
  return join(exe_dir(), name) + (VEZ_OS_WIN ? ".exe" : "");
}

std::string crlf(const std::string &s) {
  std::string out;
  for (char c : s)
    out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

std::string console_text(const std::string &s) { return VEZ_OS_WIN ? crlf(s) : s; }

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int c : values)
    s += (char)c;
  return s;
}

int32_t word_at(const std::string &bytes, size_t offset) {
  int32_t v = 0;
  if (offset + sizeof v <= bytes.size()) memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
}

bool file_exists(const std::string &path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

long long file_size(const std::string &path) {
  std::error_code ec;
  auto n = fs::file_size(path, ec);
  return ec ? -1 : (long long)n;
}

void remove_file(const std::string &path) {
  std::error_code ec;
  fs::remove(path, ec);
}

void make_dir(const std::string &path) {
  std::error_code ec;
  fs::create_directories(path, ec);
}

std::string take_file(const std::string &path) {
  std::string s = read_file(path);
  remove_file(path);
  return s;
}

run_result run(const std::vector<std::string> &argv, const std::string &input) {
  child *c = start(argv);
  send(c, input);
  return finish(c);
}

time_t local_time(int year, int mon, int mday, int hour, int min, int sec) {
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = mday;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

child *hold_lock(const std::string &path) {
  child *holder = start({program("lockhold"), path});
  for (int i = 0; i < 1000; i++) {
    /* the holder has it once our own exclusive open fails */
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return holder;
    CloseHandle(h);
    Sleep(10);
  }
  kill_child(holder);
  finish(holder);
  return nullptr;
}

std::string copy_program(const std::string &program_name, const std::string &dir,
                         const std::string &as) {
  make_dir(dir);
  std::string to = join(dir, as) + (VEZ_OS_WIN ? ".exe" : "");
  write_file(to, read_file(program(program_name)));
  std::string dll = join(exe_dir(), "libvezlog.dll");
  if (file_exists(dll)) write_file(join(dir, "libvezlog.dll"), read_file(dll));
  if (VEZ_OS_POSIX) run({"/bin/chmod", "755", to});
  return to;
}

bool log_into(const std::string &dir) {
  reg_set_string(PRODUCT_KEY, "LOGPATH", dir);
  reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", join(dir, "data.dat"));
  reg_set_string(PRODUCT_KEY, "LOGNOTIFYDEV", join(dir, "no-device"));
  reg_set_dword(INDEX_KEY, "logmsg", 1);
  return run({program("aud"), "-c"}).status == 0;
}

void Test::SetUp() {
  static int counter = 0;
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string("vez-") + info->test_suite_name() + "-" + info->name() + "-" +
                     std::to_string(process_id()) + "-" + std::to_string(counter++);
  for (char &c : name)
    if (c == '/') c = '_';
  static const fs::path base = fs::temp_directory_path(); /* before TMP points at a test */
  dir = (base / name).string();
  while (!dir.empty() && dir.back() == VEZ_DIRSEP_CHAR)
    dir.pop_back();
  fs::remove_all(dir);
  fs::create_directories(dir);
  current_dir = dir;
  /* registry file (where it is a file) and the default temporary directory lie in it */
  set_env("VEZ_REGISTRY", join(dir, "registry.reg").c_str());
  set_env("VEZVERSION", nullptr);
  set_env(VEZ_OS_WIN ? "TMP" : "TMPDIR", dir.c_str());
  reg_clear();
}

void Test::TearDown() {
  reg_clear();
  if (!HasFailure()) {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
}

bool child_said(child *c, const std::string &text, int ms) {
  for (int waited = 0;; waited += 20) {
    if (output_so_far(c).find(text) != std::string::npos) return true;
    if (waited >= ms) return false;
    Sleep(20);
  }
}

} // namespace testenv

namespace {

/* A run's failures said again at its end, each cut short: a long run's output kept only at
   its beginning and its end still says what failed and why. */
class failure_recap : public testing::EmptyTestEventListener {
  static constexpr size_t SAID_MAX = 700;
  std::vector<std::string> said;
  std::string test; /* the one running (the unit's own calls would wait for its lock here) */
  void OnTestStart(const testing::TestInfo &t) override {
    test = std::string(t.test_suite_name()) + "." + t.name();
  }
  void OnTestPartResult(const testing::TestPartResult &r) override {
    if (!r.failed()) return;
    std::string line = test + " (" + std::string(r.file_name() != nullptr ? r.file_name() : "?") +
                       ":" + std::to_string(r.line_number()) + "): ";
    std::string message = r.message();
    if (message.size() > SAID_MAX) message = message.substr(0, SAID_MAX) + " [...]";
    said.push_back(line + message);
  }
  void OnTestProgramEnd(const testing::UnitTest &) override {
    if (said.empty()) return;
    printf("\nWhat failed, again (%zu):\n", said.size());
    for (size_t i = 0; i < said.size() && i < 20; i++)
      printf("%s\n", said[i].c_str());
    fflush(stdout);
  }
};

const bool recap_listening = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new failure_recap);
  return true;
}();

} // namespace
