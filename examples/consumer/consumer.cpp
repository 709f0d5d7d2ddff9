// consumer.cpp - logs one error and one audit record through the installed library.
#include <vezlog.h>

#include <string>

int main() {
  std::string data = "c++ data";
  log__log_error(1, "consumer.cpp", 7, "error from the C++ consumer", data.data(),
                 (int)data.size());
  log__log_audit(0, "consumer.cpp", 8, "audit from the C++ consumer", nullptr, 0);
  return *log__error_level == 1 ? 0 : 1;
}
