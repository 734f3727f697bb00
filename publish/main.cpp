#include "publish/publish_main.h"

int main(int argc, char** argv) { return brindax::publish::publish_main(argc, argv); }
