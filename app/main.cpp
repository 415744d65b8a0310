#include "app/MainSequence.h"

int main(int argc, char** argv) { return quorvane::Main(argc, argv); }
