// sevalidate - checks plug-in libraries against the host contract.
//   sevalidate PLUGIN... [options]   (sevalidate --help lists them)
#include <iostream>
#include <string>
#include <vector>

#include "sevalidate/validate.h"

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return sevalidate::run_validation(args, std::cout, std::cerr);
}
