// Stands in for the game launcher in the Windows program's tests: appends one line per start to
// "handoff.txt" in its current directory, the directory and then each argument, each followed by '|',
// so that a test sees whether, how often and with what command line the hand-off happened.
#include <direct.h>

#include <cstdio>

int main(int argc, char** argv) {
  char folder[1024];
  if (!_getcwd(folder, sizeof folder)) return 1;
  std::FILE* file = std::fopen("handoff.txt", "a");
  if (!file) return 1;
  std::fprintf(file, "%s|", folder);
  for (int i = 1; i < argc; ++i) std::fprintf(file, "%s|", argv[i]);
  std::fprintf(file, "\n");
  std::fclose(file);
  return 0;
}
