// Entry point of the assay processor.
#include "main.h"

int main(int argc, char** argv) { return assay_main(argc, argv); }
