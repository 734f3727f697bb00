/* Describes a top-level dialog window found by its exact title, as the user
 * sees it: prints "title <text>", then one "child <class> <visible> <text>"
 * line per child control, in z-order. Exit code 1 when there is no such
 * dialog. Used by the Wine process tests to read the text of a message box
 * (X11 shows only its title). */
#include <windows.h>
#include <stdio.h>

static BOOL CALLBACK print_child(HWND window, LPARAM unused) {
  char cls[64];
  char text[1024];
  (void)unused;
  if (GetParent(window) == NULL) return TRUE;
  GetClassNameA(window, cls, sizeof cls);
  GetWindowTextA(window, text, sizeof text);
  printf("child %s %d %s\n", cls, IsWindowVisible(window) ? 1 : 0, text);
  return TRUE;
}

int main(int argc, char **argv) {
  char title[1024];
  HWND box;
  if (argc != 2) {
    fprintf(stderr, "usage: boxinfo <title>\n");
    return 2;
  }
  box = FindWindowA("#32770", argv[1]);
  if (!box) {
    printf("none\n");
    return 1;
  }
  GetWindowTextA(box, title, sizeof title);
  printf("title %s\n", title);
  printf("visible %d\n", IsWindowVisible(box) ? 1 : 0);
  EnumChildWindows(box, print_child, 0);
  fflush(stdout);
  return 0;
}
