// tavractl: the administrator's tool. Parses its words into one command, runs it and exits.
#include <iostream>
#include <string>
#include <vector>

#include "services.h"
#include "tool.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  tavra::ctl::Context context = tavra::ctl::systemContext(std::cout, std::cin);
  return tavra::ctl::runTool(std::vector<std::string>(argv + 1, argv + argc), context, std::cerr);
}
