#include <cstdio>
#include <string>
#include <vector>

#include "builder_main.h"
#include "text.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 0; i < argc; ++i) {
    std::wstring argument = fromStrictUtf8(argv[i]);
    if (argument.empty() && argv[i][0] != 0) {
      std::fprintf(stderr, "Argument %d is not UTF-8\n", i);
      return 1;
    }
    arguments.push_back(std::move(argument));
  }
  return runBuilder(std::move(arguments));
}
