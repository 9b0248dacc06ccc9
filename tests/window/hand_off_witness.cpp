// Stands in for the game launcher in the window tests: writes the command line it was started with
// into "handoff.txt" in its current directory, so the test sees that the hand-off happened.
#include <cstdio>

int main(int argc, char** argv) {
  std::FILE* file = std::fopen("handoff.txt", "w");
  if (!file) return 1;
  for (int i = 0; i < argc; ++i) std::fprintf(file, "%s\n", argv[i]);
  std::fclose(file);
  return 0;
}
