// korvel-publish: builds patch trees for the updater from game folders, and serves them over HTTP.
#include <iostream>
#include <string>
#include <vector>

#include "tools/publish/publish_command.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return korvel::publish::PublishCommand::run(args, std::cout, std::cerr);
}
