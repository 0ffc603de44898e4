// Entry point of the assay processor: everything happens in run_assay.
#include <cstdio>

#include "main.h"

int main() { return run_assay(stdout, stderr); }
