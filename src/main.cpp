// The program's entry point.
#include "cli/command_line.h"

int main(int argc, char** argv) { return assay_main(argc, argv); }
