/*
** test_shared_host.cpp - users who share a machine: in a directory every
** user may write, no user's files, links or settings reach another user's
** records or files. Needs root (it adds users and a group, and removes them);
** POSIX only, as the Windows build keeps the real API's own protections.
*/
#include "logread.h"
#include "testenv.h"

#include "platform.h"

using testenv::PRODUCT_KEY;
using testenv::run_result;
using testenv::Test;

namespace {

class SharedHost : public Test {
protected:
  std::string group, attacker, victim, shared, victims_dir, precious;

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
    /* the users it adds must be able to run the built programs where they lie */
    run_result probe = as(victim, {"/usr/bin/env", testenv::program("aud"), "-q"});
    if (probe.status == 126 || probe.status == 127)
      GTEST_SKIP() << "other users cannot reach the built programs: " << probe.err;
    testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", shared);
    testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", testenv::join(shared, "data.dat"));
    testenv::shell("chmod 644 " + path("registry.reg"));
  }

  void TearDown() override {
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
    return as(user, {testenv::program("logmsg"), "-c", "error", text});
  }
  void expect_untouched() { EXPECT_EQ(testenv::read_file(precious), "the victim's own data\n"); }
};

TEST_F(SharedHost, PlantedSymlinksAreNeverFollowed) {
  for (const char *name : {"data.dat", "error", "error.lok", "error.old", "kp_dvmsgs"})
    ASSERT_EQ(testenv::shell("setpriv --reuid=" + attacker + " --regid=" + group +
                             " --init-groups ln -s " + precious + " " +
                             testenv::join(shared, name)),
              0);
  run_result r = as(victim, {testenv::program("aud"), "-c"});
  EXPECT_EQ(r.status, 6) << "the data file's name is a link: " << r.err;
  r = logmsg_as(victim, "secret of the victim");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find("open_failed 0"), std::string::npos) << "refused and counted: " << r.err;
  expect_untouched();
}

TEST_F(SharedHost, ForeignFilesAndSettingsAreRefused) {
  /* the attacker's log, lock, old copy and data file wait under the victim's names */
  ASSERT_EQ(as(attacker, {testenv::program("aud"), "-c"}).status, 0);
  ASSERT_EQ(as(attacker, {testenv::program("aud"), "-n", "on", "-d", precious}).status, 0)
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
  run_result report = as(victim, {testenv::program("aud")});
  EXPECT_EQ(report.status, 6) << "the attacker's data file is no settings of the victim's";
}

TEST_F(SharedHost, DefaultTemporaryDirectoryIsTheUsersOwn) {
  testenv::reg_clear();
  /* no TMPDIR: the child's environment goes without it */
  run_result r = as(victim, {"/usr/bin/env", "-u", "TMPDIR", testenv::program("aud"), "-c"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string own = testenv::shell("test \"$(stat -c %a:%U /tmp/vez-$(id -u " + victim +
                                   "))\" = 700:" + victim) == 0
                        ? "private"
                        : "not private";
  EXPECT_EQ(own, "private");
  EXPECT_EQ(testenv::shell("test -f /tmp/vez-$(id -u " + victim + ")/datafile.dat"), 0);
  /* made writable by others, it is no longer used */
  testenv::shell("chmod 777 /tmp/vez-$(id -u " + victim + ")");
  r = as(victim, {"/usr/bin/env", "-u", "TMPDIR", testenv::program("logmsg"), "error", "not here"});
  EXPECT_NE(testenv::shell("grep -q 'not here' /tmp/vez-$(id -u " + victim + ")/error"), 0);
}

} // namespace
