// quillet: the command-line front end over QuilletKit.
#include <cstdio>
#include <string>

#include "QuilletKit/Localization.hpp"

namespace {

std::string usage() {
  return quillet::tr(
      "uso:\n"
      "  quillet doctor\n"
      "  quillet list\n"
      "  quillet transcribe <arquivo de áudio> [--lang pt-BR|en-US]\n"
      "  quillet enhance <pasta da reunião> [--provider id] [--model nome] [--prompt]\n"
      "  quillet ai test|models [--provider id] [--model nome] [--base-url url]");
}

}  // namespace

int main() {
  quillet::setUpLocalization();
  std::printf("%s\n", usage().c_str());
  return 0;
}
