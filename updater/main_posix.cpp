#include "runtime/process/params.h"
#include "updater/updater_main.h"

int main(int argc, char** argv) {
  brindax::set_program_arguments(argc, argv);
  brindax::updater_main();
}
