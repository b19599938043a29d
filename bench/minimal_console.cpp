// The yardstick for an unattended run: the least a Win32 program does to print
// one line to standard output and exit 0, built with the same toolchain and
// flags (console subsystem). WriteFile on the standard handle, no C runtime
// stream, so the yardstick carries nothing the program could do without.
#include <windows.h>

int wmain() {
  static const char line[] = "minimal console\r\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, sizeof line - 1, &written, nullptr);
  return 0;
}
