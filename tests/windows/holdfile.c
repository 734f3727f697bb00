/* Helper of the Wine process tests: keeps a file open for reading and
 * writing without sharing it for writing or deletion, as a running program
 * holds its files, for the given number of seconds.
 *     holdfile.exe PATH SECONDS */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
  HANDLE file;
  if (argc != 3) return 2;
  file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  printf("holding %s\n", argv[1]);
  fflush(stdout);
  Sleep(1000u * (DWORD)atoi(argv[2]));
  CloseHandle(file);
  return 0;
}
