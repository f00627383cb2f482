#include <iostream>

#include "lab/lab.h"

int main(int argc, char** argv) { return vhublab::Main(argc, argv, std::cout, std::cerr); }
