/*
** test_shared_host.cpp - users who share a machine: in a directory every
** user may write, no user's files, links or settings reach another user's
** records or files. Needs root (it adds users and a group, and removes them);
** POSIX only, as the Windows build keeps the real API's own protections.
*/
#include "logread.h"
#include "testenv.h"

#include "platform.h"

#include <chrono>
#include <thread>

using testenv::PRODUCT_KEY;
using testenv::run_result;
using testenv::Test;

namespace {

class SharedHost : public Test {
protected:
  std::string group, attacker, victim, shared, victims_dir, precious, bin;
  std::string prog(const std::string &name) { return testenv::join(bin, name); }

  void SetUp() override {
    Test::SetUp();
    if (!VEZ_OS_POSIX || !testenv::is_root()) GTEST_SKIP() << "needs root to add users";
    std::string id = std::to_string(testenv::process_id() % 100000);
    group = "veztg" + id;
    attacker = "vezta" + id;
    victim = "veztv" + id;
    ASSERT_EQ(testenv::shell("groupadd " + group), 0);
    ASSERT_EQ(testenv::shell("useradd -M -N -g " + group + " " + attacker), 0);
    ASSERT_EQ(testenv::shell("useradd -M -N -g " + group + " " + victim), 0);
    testenv::shell("chmod 755 " + dir);
    /* a sticky directory every user may write, as /tmp is */
    shared = path("shared");
    testenv::make_dir(shared);
    testenv::shell("chmod 1777 " + shared);
    /* the victim's own file, somewhere only the victim writes */
    victims_dir = path("victim");
    testenv::make_dir(victims_dir);
    precious = testenv::join(victims_dir, "precious");
    testenv::write_file(precious, "the victim's own data\n");
    testenv::shell("chown -R " + victim + " " + victims_dir);
    /* the programs, copied where the users it adds can run them (a tree under a private
       home is out of their reach) */
    bin = path("bin");
    for (const char *p : {"aud", "logmsg", "vezcat"})
      testenv::copy_program(p, bin, p);
    testenv::shell("cp -P " + testenv::exe_dir() + "/../lib/libvezlog.so* " + bin +
                   " 2>/dev/null; chmod -R a+rX " + bin);
    testenv::set_env("LD_LIBRARY_PATH", bin.c_str());
    run_result probe = as(victim, {"/usr/bin/env", prog("aud"), "-q"});
    if (probe.status == 126 || probe.status == 127)
      GTEST_SKIP() << "other users cannot reach the copied programs: " << probe.err;
    testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", shared);
    testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", testenv::join(shared, "data.dat"));
    testenv::shell("chmod 644 " + path("registry.reg"));
  }

  void TearDown() override {
    testenv::set_env("LD_LIBRARY_PATH", nullptr);
    if (!victim.empty()) {
      testenv::shell("rm -rf /tmp/vez-$(id -u " + victim + ")");
      testenv::shell("userdel " + attacker + "; userdel " + victim + "; groupdel " + group);
    }
    Test::TearDown();
  }

  run_result as(const std::string &user, std::vector<std::string> argv) {
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + group, "--init-groups"});
    return testenv::run(argv);
  }
  run_result logmsg_as(const std::string &user, const std::string &text) {
    return as(user, {prog("logmsg"), "-c", "error", text});
  }
  /* a shell command run as user */
  int shell_as(const std::string &user, const std::string &command) {
    return testenv::shell("setpriv --reuid=" + user + " --regid=" + group +
                          " --init-groups sh -c '" + command + "'");
  }
  /* the product's group set-up: a 2770 directory of the group, the settings and logs in it */
  std::string group_directory() {
    std::string d = path("group");
    testenv::make_dir(d);
    testenv::shell("chown root:" + group + " " + d + " && chmod 2770 " + d);
    testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", d);
    testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", testenv::join(d, "data.dat"));
    return d;
  }
  void expect_untouched() { EXPECT_EQ(testenv::read_file(precious), "the victim's own data\n"); }
};

TEST_F(SharedHost, PlantedSymlinksAreNeverFollowed) {
  for (const char *name : {"data.dat", "error", "error.lok", "error.old", "kp_dvmsgs"})
    ASSERT_EQ(testenv::shell("setpriv --reuid=" + attacker + " --regid=" + group +
                             " --init-groups ln -s " + precious + " " +
                             testenv::join(shared, name)),
              0);
  run_result r = as(victim, {prog("aud"), "-c"});
  EXPECT_EQ(r.status, 6) << "the data file's name is a link: " << r.err;
  r = logmsg_as(victim, "secret of the victim");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find("open_failed 0"), std::string::npos) << "refused and counted: " << r.err;
  expect_untouched();
}

TEST_F(SharedHost, ForeignFilesAndSettingsAreRefused) {
  /* the attacker's log, lock, old copy and data file wait under the victim's names */
  ASSERT_EQ(as(attacker, {prog("aud"), "-c"}).status, 0);
  ASSERT_EQ(as(attacker, {prog("aud"), "-n", "on", "-d", precious}).status, 0)
      << "notices pointed at the victim's file";
  testenv::shell("chmod 666 " + testenv::join(shared, "data.dat"));
  for (const char *name : {"error", "error.lok"})
    ASSERT_EQ(testenv::shell("setpriv --reuid=" + attacker + " --regid=" + group +
                             " --init-groups sh -c 'umask 0; : > " + testenv::join(shared, name) +
                             "'"),
              0);
  run_result r = logmsg_as(victim, "secret of the victim");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(testenv::read_file(testenv::join(shared, "error")).find("secret"), std::string::npos)
      << "the victim's record is not in the attacker's file";
  EXPECT_EQ(r.err.find("open_failed 0"), std::string::npos) << "refused and counted: " << r.err;
  expect_untouched();
  run_result report = as(victim, {prog("aud")});
  EXPECT_EQ(report.status, 6) << "the attacker's data file is no settings of the victim's";
}

TEST_F(SharedHost, DefaultTemporaryDirectoryIsTheUsersOwn) {
  testenv::reg_clear();
  /* no TMPDIR: the child's environment goes without it */
  run_result r = as(victim, {"/usr/bin/env", "-u", "TMPDIR", prog("aud"), "-c"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string own = testenv::shell("test \"$(stat -c %a:%U /tmp/vez-$(id -u " + victim +
                                   "))\" = 700:" + victim) == 0
                        ? "private"
                        : "not private";
  EXPECT_EQ(own, "private");
  EXPECT_EQ(testenv::shell("test -f /tmp/vez-$(id -u " + victim + ")/datafile.dat"), 0);
  /* made writable by others, it is no longer used */
  testenv::shell("chmod 777 /tmp/vez-$(id -u " + victim + ")");
  r = as(victim, {"/usr/bin/env", "-u", "TMPDIR", prog("logmsg"), "error", "not here"});
  EXPECT_NE(testenv::shell("grep -q 'not here' /tmp/vez-$(id -u " + victim + ")/error"), 0);
}

/* the product's group set-up: a 2770 directory of the group, both users members */
TEST_F(SharedHost, GroupMembersLinksAreNeverFollowed) {
  std::string group_dir = group_directory();
  testenv::shell("chmod 0644 " + precious + " && chmod 0711 " + victims_dir);
  for (const char *name : {"data.dat", "error"})
    ASSERT_EQ(shell_as(attacker, "ln -s " + precious + " " + testenv::join(group_dir, name)), 0);
  run_result r = as(victim, {prog("aud"), "-c"});
  EXPECT_EQ(r.status, 6) << r.err;
  r = logmsg_as(victim, "secret of the victim");
  EXPECT_EQ(r.err.find("open_failed 0"), std::string::npos) << r.err;
  expect_untouched();
  /* a file another member made is shared, as the group means it to be */
  testenv::remove_file(testenv::join(group_dir, "data.dat"));
  testenv::remove_file(testenv::join(group_dir, "error"));
  ASSERT_EQ(as(attacker, {prog("aud"), "-c"}).status, 0);
  ASSERT_EQ(as(attacker, {prog("aud"), "-n", "off"}).status, 0);
  ASSERT_EQ(logmsg_as(attacker, "the attacker's record").status, 0);
  r = logmsg_as(victim, "the victim's record");
  EXPECT_NE(r.err.find("open_failed 0 "), std::string::npos) << r.err;
  std::string log = testenv::read_file(testenv::join(group_dir, "error"));
  EXPECT_NE(log.find("Desc:the victim's record"), std::string::npos);
}

TEST_F(SharedHost, HardLinksAndParentLinksAreRefused) {
  std::string sysctl = "/proc/sys/fs/protected_hardlinks";
  std::string was = testenv::read_file(sysctl);
  if (was.empty() || testenv::shell("echo 0 > " + sysctl + " 2>/dev/null") != 0)
    GTEST_SKIP() << "fs.protected_hardlinks cannot be set here";
  /* the attacker links the victim's own file under the log's name: it passes an owner check */
  testenv::shell("chmod 0644 " + precious + " && chmod 0711 " + victims_dir);
  int linked = shell_as(attacker, "ln " + precious + " " + testenv::join(shared, "error"));
  testenv::shell("echo " + was + " > " + sysctl);
  ASSERT_EQ(linked, 0);
  run_result r = logmsg_as(victim, "secret of the victim");
  EXPECT_EQ(r.err.find("open_failed 0"), std::string::npos) << r.err;
  expect_untouched();
  /* a missing directory of LOGPATH planted as a link into the victim's own directory */
  testenv::remove_file(testenv::join(shared, "error"));
  testenv::shell("cp " + precious + " " + testenv::join(victims_dir, "error") + " && chown " +
                 victim + " " + testenv::join(victims_dir, "error"));
  ASSERT_EQ(shell_as(attacker, "ln -s " + victims_dir + " " + testenv::join(shared, "sub")), 0);
  testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", testenv::join(shared, "sub"));
  r = logmsg_as(victim, "secret of the victim");
  EXPECT_EQ(r.err.find("open_failed 0"), std::string::npos) << r.err;
  EXPECT_EQ(testenv::read_file(testenv::join(victims_dir, "error")), "the victim's own data\n");
}

TEST_F(SharedHost, NotificationSettingIsNoDeputy) {
  std::string group_dir = group_directory();
  testenv::reg_set_dword(testenv::INDEX_KEY, "logmsg", 1); /* on the shared settings */
  ASSERT_EQ(as(victim, {prog("aud"), "-c"}).status, 0);
  /* a member points the notices at the victim's private file */
  testenv::shell("chmod 0711 " + victims_dir + " && chmod 0600 " + precious);
  run_result r = as(attacker, {prog("aud"), "-n", "on", "-d", precious});
  EXPECT_EQ(r.status, 0);
  r = as(victim, {prog("logmsg"), "-c", "error", "an error of the victim"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find("notices_lost 0"), std::string::npos) << "dropped, counted: " << r.err;
  expect_untouched();
  /* a file of the group that the group may write is a shared notice file */
  std::string notices = testenv::join(group_dir, "notices");
  testenv::write_file(notices, "");
  testenv::shell("chown " + victim + ":" + group + " " + notices + " && chmod 0660 " + notices);
  r = as(victim, {prog("aud"), "-d", notices});
  EXPECT_EQ(r.err.find("will be dropped"), std::string::npos) << r.err;
  ASSERT_EQ(logmsg_as(victim, "noticed").status, 0);
  EXPECT_NE(testenv::read_file(notices).find("NOTICE IN:"), std::string::npos);
  r = as(attacker, {prog("aud"), "-d", precious});
  EXPECT_NE(r.err.find("will be dropped"), std::string::npos) << "said when it can see: " << r.err;
}

/* a long-lived writer of root's, its logs in a directory of its own; what it wrote so far */
class RunningWriter : public SharedHost {
protected:
  std::string logs;
  testenv::child *writer = nullptr;
  void SetUp() override {
    SharedHost::SetUp();
    if (IsSkipped()) return;
    logs = path("logs");
    testenv::make_dir(logs);
    testenv::shell("chmod 0755 " + logs);
    testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", logs);
    writer = testenv::start({prog("logmsg"), "-c", "-"});
    write("error first");
  }
  /* a record of the running writer, once it is in a log or refused */
  void write(const std::string &command) {
    testenv::send(writer, command + "\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  run_result finish() {
    run_result r = testenv::finish(writer);
    writer = nullptr;
    return r;
  }
  void TearDown() override {
    if (writer != nullptr) finish();
    SharedHost::TearDown();
  }
};

TEST_F(RunningWriter, DirectoryMadeSharedLaterGetsTheSharedRules) {
  /* root's own file, which the running writer must never write or cut */
  std::string roots = path("roots");
  testenv::write_file(roots, "root's own 17 B\n");
  testenv::shell("chmod 0644 " + roots);
  std::string log = testenv::join(logs, "error");
  ASSERT_NE(testenv::read_file(log).find("Desc:first"), std::string::npos);
  testenv::shell("chmod 0777 " + logs); /* a misconfiguration, later */
  ASSERT_EQ(shell_as(attacker, "rm -f " + log + " && ln -s " + roots + " " + log), 0);
  write("error through a planted link");
  EXPECT_EQ(testenv::read_file(roots), "root's own 17 B\n") << "no record, no mend";
  ASSERT_EQ(shell_as(attacker, "rm -f " + log + " && umask 0 && : > " + log), 0);
  write("error into a foreign file");
  run_result r = finish();
  EXPECT_EQ(testenv::file_size(log), 0) << "the attacker's file got nothing";
  EXPECT_EQ(r.err.find("open_failed 0"), std::string::npos) << "refused, counted: " << r.err;
  EXPECT_EQ(testenv::read_file(roots), "root's own 17 B\n");
}

TEST_F(RunningWriter, LogsDirectoryRenamedAndMadeAgainIsFollowedByName) {
  std::string moved = path("logs.1");
  ASSERT_EQ(testenv::shell("mv " + logs + " " + moved + " && mkdir -m 0755 " + logs), 0);
  write("error after the move");
  finish();
  std::vector<std::string> now =
      testenv::descs(testenv::records(testenv::read_file(testenv::join(logs, "error"))));
  std::vector<std::string> before =
      testenv::descs(testenv::records(testenv::read_file(testenv::join(moved, "error"))));
  EXPECT_EQ(std::count(now.begin(), now.end(), "after the move"), 1);
  EXPECT_EQ(std::count(before.begin(), before.end(), "first"), 1);
  EXPECT_EQ(std::count(before.begin(), before.end(), "after the move"), 0)
      << "nothing more in the moved one";
}

TEST_F(SharedHost, RefusedFileIsNeverCut) {
  std::string foreign = testenv::join(shared, "foreign");
  testenv::write_file(foreign, "the attacker's 29 bytes, kept");
  testenv::shell("chown " + attacker + " " + foreign + " && chmod 0666 " + foreign);
  for (int round = 0; round < 2; round++) {
    int fd = round == 0 ? _creat(foreign.c_str(), 0666)
                        : _open(foreign.c_str(), _O_CREAT | _O_TRUNC | _O_RDWR, 0666);
    EXPECT_EQ(fd, -1) << "refused";
    EXPECT_EQ(testenv::file_size(foreign), 29) << "and not cut first";
  }
}

TEST_F(SharedHost, ReaderSaysWhichLogItCannotRead) {
  /* the victim's logs in the victim's own directory: another user's reader is refused */
  testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", victims_dir);
  testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", testenv::join(victims_dir, "data.dat"));
  ASSERT_EQ(as(victim, {prog("aud"), "-c"}).status, 0);
  ASSERT_EQ(logmsg_as(victim, "the victim's record").status, 0);
  run_result r = as(victim, {prog("vezcat")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Desc:the victim's record"), std::string::npos);
  r = as(attacker, {prog("vezcat")});
  EXPECT_EQ(r.status, 1) << "a log that cannot be read fails the run";
  EXPECT_NE(r.err.find(prog("vezcat") + ": cannot read " + victims_dir), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("the victim's record"), std::string::npos);
}

} // namespace
