#include "Commands.h"

#include <iostream>

int main(int argc, char** argv)
{
    return kestrune::cli::RunCli(argc, argv, std::cout, std::cerr, std::cin);
}
