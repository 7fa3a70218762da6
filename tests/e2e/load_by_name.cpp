// The control of the planting test: loads each library named on the command line by its
// bare name, as a program without any protection would, and prints NAME=PATH for the
// module it got (NAME= when the load failed). Copied beside the planted libraries, it
// shows that each planted copy is taken and detected when nothing prevents it.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  for (int i = 1; i < argc; ++i) {
    HMODULE module = LoadLibraryA(argv[i]);
    char path[MAX_PATH] = "";
    if (module) GetModuleFileNameA(module, path, MAX_PATH);
    std::printf("%s=%s\n", argv[i], path);
  }
  std::fflush(stdout);
  return 0;
}
