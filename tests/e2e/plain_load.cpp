// Control for the planting tests: loads each named library with a plain
// LoadLibraryW, that is under the default search order, which looks in the
// executable's own directory first. Placed beside planted DLLs it shows that
// they can be mapped, so a test that finds no marker after the probe ran could
// have failed. Prints one line per name: "<name> loaded" or
// "<name> failed <last error>". Exit status 0 when every name loaded.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    HMODULE module = LoadLibraryW(argv[i]);
    if (module) {
      std::printf("%ls loaded\n", argv[i]);
    } else {
      std::printf("%ls failed %lu\n", argv[i], GetLastError());
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
