/* Stand-in for the application "Brindax.exe" in the Wine process tests.
 * On start it appends "start|<command line>|<current directory>" to
 * brindax-started.txt in its current directory, then lives three seconds
 * and appends "done": a caller that waited for it would see "done". */
#include <windows.h>
#include <stdio.h>

static void append(const char *line) {
  FILE *f = fopen("brindax-started.txt", "ab");
  if (f) {
    fputs(line, f);
    fputs("\n", f);
    fclose(f);
  }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR args, int show) {
  char dir[MAX_PATH];
  char line[2 * MAX_PATH + 64];
  (void)instance; (void)previous; (void)args; (void)show;
  if (!GetCurrentDirectoryA(sizeof dir, dir)) dir[0] = '\0';
  snprintf(line, sizeof line, "start|%s|%s", GetCommandLineA(), dir);
  append(line);
  Sleep(3000);
  append("done");
  return 0;
}
