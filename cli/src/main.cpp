// The process entry: hands the arguments after the program name to trade::run.
#include <iostream>
#include <string>
#include <vector>

#include "run.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const int code = trade::run(args, std::cout, std::cerr);
  std::cout.flush();
  return code;
}
