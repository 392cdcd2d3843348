// A program with the faults that the sanitizers exist to find, one per argument: the check that a
// finding in a program run by the end-to-end harness fails the row instead of passing for one of
// the program's own endings.

#include <climits>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2) return 0;
  if (std::strcmp(argv[1], "heap-overflow") == 0) {
    char* bytes = new char[4];
    bytes[argc + 2] = 1;  // argc is 2: one past the end
    const int value = bytes[0];
    delete[] bytes;
    return value;
  }
  if (std::strcmp(argv[1], "signed-overflow") == 0) {
    volatile int large = INT_MAX - 2 + argc;  // INT_MAX
    const int sum = large + 1;
    return sum & 1;
  }
  return 0;
}
