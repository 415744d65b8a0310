#include "app/MainSequence.h"

int main() { return quorvane::RunServer(); }
