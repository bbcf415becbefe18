// A program that does nothing until a signal ends it: the stand-in for KW.exe in the tests of
// the process list and of ending processes.
#include <unistd.h>

int main() {
  for (;;) pause();
}
