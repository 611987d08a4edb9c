#include "app/Startup.h"

int main(int argc, char** argv)
{
    return kestrune::RunKestrune(argc, argv);
}
