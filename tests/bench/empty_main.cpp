// The start-up floor of a console program: the same toolchain, flags, C
// runtime, manifest and version resource as platform_probe.exe, and no work.
int main() { return 0; }
