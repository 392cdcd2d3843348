#include "app/program.h"

int main(int argc, char** argv) { tarnwick::RunProgram(argc, argv); }
