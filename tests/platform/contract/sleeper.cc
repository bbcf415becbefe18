// A program that does nothing until something ends it: copies of it stand in for KW.exe and
// its neighbours in the Processes contract, on every platform.
#include <chrono>
#include <thread>

int main() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
