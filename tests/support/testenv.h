/*
** testenv.h - what the tests need of their surroundings: a fresh directory
** per test, registry values set the way the platform keeps them, files read
** whole, and the built programs run as real child processes.
*/
#ifndef VEZ_TESTENV_H
#define VEZ_TESTENV_H

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <ctime>
#include <string>
#include <vector>

namespace testenv {

/* paths, in the platform's own form */
std::string join(const std::string &dir, const std::string &name);
std::string exe_dir();                        /* the directory of the running test program */
std::string program(const std::string &name); /* a built program beside the tests */

/* text with each line feed as CR LF, as a log file stores it */
std::string crlf(const std::string &s);
/* text as a program's standard output gives it on this platform (CR LF on Windows) */
std::string console_text(const std::string &s);
/* bytes from their values */
std::string bytes(std::initializer_list<int> values);
/* the 32-bit integer stored at offset, in the machine's order */
int32_t word_at(const std::string &bytes, size_t offset);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);
std::string take_file(const std::string &path); /* read whole, then removed */
long long file_size(const std::string &path);   /* -1 when missing */
void remove_file(const std::string &path);
void make_dir(const std::string &path);

/* environment of this process, inherited by the programs it starts */
void set_env(const char *name, const char *value); /* null value removes it */

/* registry values under HKEY_LOCAL_MACHINE */
void reg_clear();
void reg_set_dword(const std::string &key, const std::string &name, uint32_t value);
void reg_set_string(const std::string &key, const std::string &name, const std::string &text);
void reg_set_binary(const std::string &key, const std::string &name, const std::string &bytes);

/* a child process: its status and what it wrote */
struct run_result {
  int status;
  std::string out;
  std::string err;
};
run_result run(const std::vector<std::string> &argv, const std::string &input = "");

/* a copy of a built program named as, in dir (made when missing): the process name comes
   from the executable's; a shared build's library goes along */
std::string copy_program(const std::string &program_name, const std::string &dir,
                         const std::string &as);

/* a child kept running while the test feeds its standard input */
struct child;
child *start(const std::vector<std::string> &argv);
void send(child *c, const std::string &text);
run_result finish(child *c); /* closes its input, waits, frees c */
void kill_child(child *c);   /* ends it at once, as a crash would; finish() still follows */
/* POSIX: sends it the signal, as kill(1) would (Windows: ends it, as kill_child) */
void signal_child(child *c, int sig);
/* POSIX: stops it where it is (SIGSTOP), and lets it go on (SIGCONT); Windows: nothing */
void pause_child(child *c);
void resume_child(child *c);
/* waits up to ms for text in what the child has written so far (standard output or error) */
bool child_said(child *c, const std::string &text, int ms);
std::string output_so_far(child *c); /* its standard output, then its standard error */

/* another process holding PATH open without sharing (a lock file held
   elsewhere); null when it never got hold of it */
child *hold_lock(const std::string &path);

/* the directory of the running test; its registry file (where it is a file) lies in it */
extern std::string current_dir;

/* a FIFO with this process reading it (POSIX only: false elsewhere) */
bool fifo_open(const std::string &path);
std::string fifo_drain(); /* what has been written into it so far */

/* the time value of a local calendar time, whatever the time zone */
time_t local_time(int year, int mon, int mday, int hour, int min, int sec);

/* the test process's id, for unique names */
long process_id();

/* POSIX: whether the tests run as root (they may add users); false on Windows */
bool is_root();
/* POSIX: whether the process may mount file systems (CAP_SYS_ADMIN in effect: a
   container's root usually may not); false on Windows */
bool may_mount();
/* POSIX: a command through sh, its exit status (-1: it did not exit); -1 on Windows */
int shell(const std::string &command);

/* every test of the suite starts with an empty registry in a directory of its own */
class Test : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  std::string dir; /* removed at the end of the test */
  std::string path(const std::string &name) const { return join(dir, name); }
};

/*
** Configures logmsg's logging into dir: the logs and the data file there,
** notices to a device that is not there, logmsg registered as process 1,
** and the settings reset. True when the reset worked.
*/
bool log_into(const std::string &dir);

/* the registry keys the tests use */
extern const char PRODUCT_KEY[];
extern const char INDEX_KEY[];

} // namespace testenv

#endif /* VEZ_TESTENV_H */
