// tavractl: the administrator's tool. Parses its words into one command, runs it and exits.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "input_line.h"
#include "services.h"
#include "tool.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  // Standard input is read only as far as a command consumes it.
  tavra::ctl::DescriptorInputBuffer standardInput(STDIN_FILENO);
  std::istream in(&standardInput);
  tavra::ctl::Context context = tavra::ctl::systemContext(std::cout, in);
  return tavra::ctl::runTool(std::vector<std::string>(argv + 1, argv + argc), context, std::cerr);
}
