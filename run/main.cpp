#include "run/volscan.h"

int main(int argc, char** argv) { return RunVolscan(argc, argv); }
