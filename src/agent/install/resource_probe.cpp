// Prints where the agent's code finds its resources, as the installed agent would:
// copied beside the installed executable, it resolves the same folders.
//   resources <folder>
//   words <path of the word list, or nothing>
//   autostart <path of the autostart entry, or nothing>
//   tools <the children's default tool folder>
#include <iostream>

#include "platform/bundle.h"
#include "platform/settings.h"
#include "rules/local_words.h"

int main() {
  const auto& bundle = platform::Bundle::main();
  std::cout << "resources " << bundle.resourcePath() << "\n";
  std::cout << "words " << bundle.path(rules::kWordListResourceName, rules::kWordListResourceType).value_or("") << "\n";
  std::cout << "autostart " << bundle.path("so.velmorhome.mopet.agent", "desktop").value_or("") << "\n";
  std::cout << "tools " << platform::Settings::fromEnvironment().childPath << "\n";
  return 0;
}
