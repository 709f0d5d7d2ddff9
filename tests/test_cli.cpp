/*
** test_cli.cpp - the four programs' one set of command-line conventions:
** --help and --version on standard output, a bad option or operand named on
** a line of its own before the usage, the statuses of each program's
** table, and an output that cannot be written failing the run.
*/
#include "testenv.h"

#include "platform.h"

using testenv::run_result;
using testenv::Test;

namespace {

struct program_case {
  const char *name;
  std::vector<std::string> bad_option, bad_operand;
  const char *operand_named; /* what the message about the bad operand names */
  int usage_status;          /* a bad operand: aud keeps the statuses of its own table */
  int option_status;
};

const program_case programs[] = {
    {"aud", {"-q"}, {"nosuch"}, "nosuch", 2, 1},
    {"logmsg", {"-q", "v", "error", "x"}, {"frob", "x"}, "frob", 2, 2},
    {"vezreg", {"-q"}, {"frob"}, "frob", 2, 2},
    {"vezcat", {"--bogus"}, {"--lines", "many"}, "many", 1, 1}, /* journalctl's status */
};

} // namespace

class Cli : public Test {};

TEST_F(Cli, FourProgramsOneConvention) {
  for (const program_case &p : programs) {
    if (!VEZ_OS_POSIX && std::string(p.name) == "vezreg") continue; /* Linux's alone */
    SCOPED_TRACE(p.name);
    std::string prog = testenv::program(p.name);
    for (const char *help : {"--help", "-h"}) {
      run_result r = testenv::run({prog, help});
      EXPECT_EQ(r.status, 0) << help;
      EXPECT_NE(r.out.find("sage: "), std::string::npos) << r.out;
      EXPECT_EQ(r.err, "");
    }
    run_result r = testenv::run({prog, "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, testenv::console_text(std::string(p.name) + " (vezlog) " VEZ_VERSION "\n"));

    /* a message that begins with the program's name, then the usage */
    auto said = [&](std::vector<std::string> args, int status, const std::string &named) {
      args.insert(args.begin(), prog);
      run_result bad = testenv::run(args);
      EXPECT_EQ(bad.status, status) << args[1] << ": " << bad.err;
      EXPECT_EQ(bad.err.rfind(prog + ": ", 0), 0u) << bad.err;
      size_t nl = bad.err.find('\n');
      EXPECT_NE(bad.err.substr(0, nl).find(named), std::string::npos) << bad.err;
      EXPECT_NE(bad.err.find("sage: ", nl), std::string::npos) << "the usage follows: " << bad.err;
    };
    said(p.bad_option, p.option_status, p.bad_option[0].substr(p.bad_option[0].size() - 1));
    said(p.bad_operand, p.usage_status, p.operand_named);
  }
}

TEST_F(Cli, OutputThatCannotBeWrittenFailsTheRun) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "needs /dev/full";
  ASSERT_TRUE(testenv::log_into(dir));
  ASSERT_EQ(
      testenv::run({testenv::program("vezreg"), "add", "HKLM\\K", "/v", "v", "/d", "x"}).status, 0);
  const struct {
    std::string command;
    int status;
  } cases[] = {
      {testenv::program("aud") + " all", 5},
      {testenv::program("logmsg") + " --help", 1},
      {testenv::program("vezreg") + " query 'HKLM\\K'", 1},
      {testenv::program("vezcat") + " --version", 1},
      {testenv::program("vezcat") + " --verify", 1},
  };
  for (const auto &c : cases) {
    std::string err = path("err.txt");
    EXPECT_EQ(testenv::shell(c.command + " > /dev/full 2>" + err), c.status) << c.command;
    EXPECT_NE(testenv::read_file(err).find("No space left"), std::string::npos)
        << c.command << ": " << testenv::read_file(err);
  }
}
