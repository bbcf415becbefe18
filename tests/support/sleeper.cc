// A program that does nothing until it is ended: the stand-in for KW.exe in the tests of the
// process list and of ending processes.
#include <chrono>
#include <thread>

int main() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
