/* consumer.c - logs one error and one audit record through the installed library. */
#include <vezlog.h>

int main(void) {
  const char data[] = "c data";
  log__log_error(1, "consumer.c", 5, "error from the C consumer", data, (int)sizeof data - 1);
  log__log_audit(0, "consumer.c", 6, "audit from the C consumer", 0, 0);
  return *log__error_level == 1 ? 0 : 1;
}
